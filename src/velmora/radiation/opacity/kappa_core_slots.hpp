// The C-level operations of the opacity-law base types: the slots a concrete
// law overrides, failing with NotImplementedError until it does.
// Part of module kappa_core (kappa_core.cpp includes it, once).
#pragma once

namespace velmora::opacity {
namespace {

// ---------------------------------------------------------------------------
// The C-level operations of the base types.

// Raises NotImplementedError "<type name><suffix>" under the lock.
void raise_not_implemented(PyObject* self, const char* suffix) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
    if (!name) return;
    Ref text = PyUnicode_CheckExact(name.get()) ? name : Ref::steal(PyObject_Format(name.get(), nullptr));
    if (!text) return;
    Ref tail = Ref::steal(PyUnicode_FromString(suffix));
    if (!tail) return;
    Ref message = Ref::steal(PyUnicode_Concat(text.get(), tail.get()));
    if (!message) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_NotImplementedError, message.get()));
    if (!exc) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

template <const char* Suffix, const char* Qualname>
double unimplemented(PyObject* self) {
    {
        rt::GilGuard gil;
        raise_not_implemented(self, Suffix);
    }
    rt::add_traceback(Qualname);
    return 0.0;
}

constexpr char q_grey_opacity[] = KC_PREFIX "C_GreyKappaCore._opacity";
constexpr char q_grey_log_opacity[] = KC_PREFIX "C_GreyKappaCore._log_opacity";
constexpr char q_grey_dlogrho[] = KC_PREFIX "C_GreyKappaCore._dlogkappa_dlogrho";
constexpr char q_grey_dlogT[] = KC_PREFIX "C_GreyKappaCore._dlogkappa_dlogT";
constexpr char q_freq_opacity[] = KC_PREFIX "C_KappaCore._opacity";
constexpr char q_freq_log_opacity[] = KC_PREFIX "C_KappaCore._log_opacity";
constexpr char q_freq_dlogrho[] = KC_PREFIX "C_KappaCore._dlogkappa_dlogrho";
constexpr char q_freq_dlogT[] = KC_PREFIX "C_KappaCore._dlogkappa_dlogT";
constexpr char q_freq_dlognu[] = KC_PREFIX "C_KappaCore._dlogkappa_dlognu";

// kappa(rho, T) = exp(ln kappa(ln T, ln rho)); slot 1 is called through the
// object's own table so that overrides take effect. No sign check: a zero
// gives -inf, a negative value NaN, and these are passed on.
double grey_opacity(GreyKappaCore* self, double rho, double T) {
    const double log_rho = std::log(rho);
    const double log_T = std::log(T);
    const double v = self->vtab->_log_opacity(self, log_T, log_rho);
    if (rt::exception_pending()) {
        rt::add_traceback(q_grey_opacity);
        return 0.0;
    }
    return std::exp(v);
}

double grey_log_opacity(GreyKappaCore* self, double, double) {
    return unimplemented<msg::grey_log_opacity, q_grey_log_opacity>(reinterpret_cast<PyObject*>(self));
}
double grey_dlogrho(GreyKappaCore* self, double, double) {
    return unimplemented<msg::grey_dlogrho, q_grey_dlogrho>(reinterpret_cast<PyObject*>(self));
}
double grey_dlogT(GreyKappaCore* self, double, double) {
    return unimplemented<msg::grey_dlogT, q_grey_dlogT>(reinterpret_cast<PyObject*>(self));
}

double freq_opacity(KappaCore* self, double nu, double rho, double T) {
    const double log_rho = std::log(rho);
    const double log_T = std::log(T);
    const double log_nu = std::log(nu);
    const double v = self->vtab->_log_opacity(self, log_nu, log_T, log_rho);
    if (rt::exception_pending()) {
        rt::add_traceback(q_freq_opacity);
        return 0.0;
    }
    return std::exp(v);
}

double freq_log_opacity(KappaCore* self, double, double, double) {
    return unimplemented<msg::freq_log_opacity, q_freq_log_opacity>(reinterpret_cast<PyObject*>(self));
}
double freq_dlogrho(KappaCore* self, double, double, double) {
    return unimplemented<msg::freq_dlogrho, q_freq_dlogrho>(reinterpret_cast<PyObject*>(self));
}
double freq_dlogT(KappaCore* self, double, double, double) {
    return unimplemented<msg::freq_dlogT, q_freq_dlogT>(reinterpret_cast<PyObject*>(self));
}
double freq_dlognu(KappaCore* self, double, double, double) {
    return unimplemented<msg::freq_dlognu, q_freq_dlognu>(reinterpret_cast<PyObject*>(self));
}

GreyKappaOps grey_ops;
KappaOps freq_ops;

}  // namespace
}  // namespace velmora::opacity

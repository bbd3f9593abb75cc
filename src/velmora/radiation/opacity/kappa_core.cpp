// Module velmora.radiation.opacity.kappa_core: the abstract opacity-law base
// types C_GreyKappaCore and C_KappaCore, their operation tables, the scalar
// and vectorised wrappers every law inherits, and their pickling.
#include "radiation/opacity/kappa_core.hpp"

#include "_runtime/format.hpp"
#include "_runtime/runtime.hpp"
#include "_runtime/units.hpp"

#include <climits>
#include <cmath>
#include <utility>

namespace velmora::opacity {
namespace {

namespace msg = rt::msg;
using rt::Ref;

#define KC_PREFIX "velmora.radiation.opacity.kappa_core."

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

// ---------------------------------------------------------------------------
// Interpreter-level wrappers. A method is described by a traits struct: its
// object type, its slot, its name, qualified name, docstring and parameter
// names; the binder and the docstring's text signature read the same names.

template <typename Obj>
struct OpsOf;
template <>
struct OpsOf<GreyKappaCore> {
    using type = GreyKappaOps;
};
template <>
struct OpsOf<KappaCore> {
    using type = KappaOps;
};

#define KC_METHOD(ID, OBJ, SLOT, NAME, QUAL, DOC, ...)                           \
    struct ID {                                                                  \
        using Obj = OBJ;                                                         \
        static constexpr auto slot = &OpsOf<OBJ>::type::SLOT;                    \
        static constexpr const char* name = NAME;                                \
        static constexpr const char* qualname = KC_PREFIX QUAL;                  \
        static constexpr const char* doc = DOC;                                  \
        static constexpr std::array names{__VA_ARGS__};                           \
        static constexpr std::size_t N = names.size();                           \
    };

// The scalar methods keep their one-line docstrings: their examples are in
// the classes' docstrings. The examples of the grey array methods evaluate
// electron scattering in pure hydrogen, kappa = 0.4 cm^2 g^-1 at every
// (rho, T).
#define KC_GREY_ARRAY_EXAMPLES                                                     \
    "\nExamples\n--------\n>>> import numpy as np\n"                               \
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"         \
    ">>> law = ElectronScatteringOpacity(X=1.0)\n"

KC_METHOD(GOpacity, GreyKappaCore, _opacity, "opacity", "C_GreyKappaCore.opacity",
          "Opacity $\\kappa(\\rho, T)$ in cm^2 g^-1; wraps the C-level ``_opacity``.",
          "rho", "T")
KC_METHOD(GLogOpacity, GreyKappaCore, _log_opacity, "log_opacity", "C_GreyKappaCore.log_opacity",
          "Natural-log opacity $\\ln\\kappa(\\ln T, \\ln\\rho)$; wraps the C-level ``_log_opacity``.",
          "log_T", "log_rho")
KC_METHOD(GDlogrho, GreyKappaCore, _dlogkappa_dlogrho, "dlogkappa_dlogrho", "C_GreyKappaCore.dlogkappa_dlogrho",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln\\rho$ at fixed $T$; wraps "
          "the C-level ``_dlogkappa_dlogrho``.",
          "log_T", "log_rho")
KC_METHOD(GDlogT, GreyKappaCore, _dlogkappa_dlogT, "dlogkappa_dlogT", "C_GreyKappaCore.dlogkappa_dlogT",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln T$ at fixed $\\rho$; wraps "
          "the C-level ``_dlogkappa_dlogT``.",
          "log_T", "log_rho")
KC_METHOD(GOpacityA, GreyKappaCore, _opacity, "opacity_array", "C_GreyKappaCore.opacity_array",
          "Opacity $\\kappa(\\rho_i, T_i)$ element by element.\n\n"
          "Parameters\n----------\n"
          "rho : ndarray, dtype=float64, C-contiguous\n    Density in g cm^-3.\n"
          "T : ndarray, dtype=float64, C-contiguous\n    Temperature in K.\n\n"
          "Returns\n-------\nndarray of float64\n    kappa in cm^2 g^-1, same shape as inputs.\n"
          KC_GREY_ARRAY_EXAMPLES
          ">>> law.opacity_array(np.array([1e-9, 1e-3]), np.array([1e4, 1e6]))\n"
          "array([0.4, 0.4])\n",
          "rho", "T")
KC_METHOD(GLogOpacityA, GreyKappaCore, _log_opacity, "log_opacity_array", "C_GreyKappaCore.log_opacity_array",
          "Natural-log opacity $\\ln\\kappa(\\ln T_i, \\ln\\rho_i)$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_T : ndarray, dtype=float64, C-contiguous\n    Natural log of temperature (T in K).\n"
          "log_rho : ndarray, dtype=float64, C-contiguous\n    Natural log of density (rho in g cm^-3).\n\n"
          "Returns\n-------\nndarray of float64\n    ln kappa.\n"
          KC_GREY_ARRAY_EXAMPLES
          ">>> np.exp(law.log_opacity_array(np.log([1e4, 1e6]), np.log([1e-9, 1e-3])))\n"
          "array([0.4, 0.4])\n",
          "log_T", "log_rho")
KC_METHOD(GDlogrhoA, GreyKappaCore, _dlogkappa_dlogrho, "dlogkappa_dlogrho_array",
          "C_GreyKappaCore.dlogkappa_dlogrho_array",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln\\rho$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_T : ndarray, dtype=float64, C-contiguous\n    Natural log of temperature.\n"
          "log_rho : ndarray, dtype=float64, C-contiguous\n    Natural log of density.\n\n"
          "Returns\n-------\nndarray of float64\n"
          KC_GREY_ARRAY_EXAMPLES
          ">>> law.dlogkappa_dlogrho_array(np.log([1e4, 1e6]), np.log([1e-9, 1e-3]))\n"
          "array([0., 0.])\n",
          "log_T", "log_rho")
KC_METHOD(GDlogTA, GreyKappaCore, _dlogkappa_dlogT, "dlogkappa_dlogT_array", "C_GreyKappaCore.dlogkappa_dlogT_array",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln T$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_T : ndarray, dtype=float64, C-contiguous\n    Natural log of temperature.\n"
          "log_rho : ndarray, dtype=float64, C-contiguous\n    Natural log of density.\n\n"
          "Returns\n-------\nndarray of float64\n"
          KC_GREY_ARRAY_EXAMPLES
          ">>> law.dlogkappa_dlogT_array(np.log([1e4, 1e6]), np.log([1e-9, 1e-3]))\n"
          "array([0., 0.])\n",
          "log_T", "log_rho")

KC_METHOD(FOpacity, KappaCore, _opacity, "opacity", "C_KappaCore.opacity",
          "Opacity $\\kappa(\\nu, \\rho, T)$ in cm^2 g^-1; wraps the C-level ``_opacity``.",
          "nu", "rho", "T")
KC_METHOD(FLogOpacity, KappaCore, _log_opacity, "log_opacity", "C_KappaCore.log_opacity",
          "Natural-log opacity $\\ln\\kappa(\\ln\\nu, \\ln T, \\ln\\rho)$; wraps the C-level "
          "``_log_opacity``.",
          "log_nu", "log_T", "log_rho")
KC_METHOD(FDlogrho, KappaCore, _dlogkappa_dlogrho, "dlogkappa_dlogrho", "C_KappaCore.dlogkappa_dlogrho",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln\\rho$; wraps the C-level "
          "``_dlogkappa_dlogrho``.",
          "log_nu", "log_T", "log_rho")
KC_METHOD(FDlogT, KappaCore, _dlogkappa_dlogT, "dlogkappa_dlogT", "C_KappaCore.dlogkappa_dlogT",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln T$; wraps the C-level "
          "``_dlogkappa_dlogT``.",
          "log_nu", "log_T", "log_rho")
KC_METHOD(FDlognu, KappaCore, _dlogkappa_dlognu, "dlogkappa_dlognu", "C_KappaCore.dlogkappa_dlognu",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln\\nu$; wraps the C-level "
          "``_dlogkappa_dlognu``.",
          "log_nu", "log_T", "log_rho")

// The frequency-dependent base has no concrete law in the package: the
// examples of its array methods show what a base instance does. Empty arrays
// never reach the slot, non-empty ones do.
#define KC_FREQ_ARRAY_EXAMPLES(CALL, SLOT)                                                             \
    "\nExamples\n--------\n>>> import numpy as np\n"                                                  \
    ">>> from velmora.radiation.opacity.kappa_core import C_KappaCore\n"                             \
    ">>> C_KappaCore()." CALL "(np.empty(0), np.empty(0), np.empty(0))\n"                             \
    "array([], dtype=float64)\n"                                                                      \
    ">>> C_KappaCore()." CALL "(np.log([1e15]), np.log([1e4]), np.log([1e-9]))\n"                     \
    "Traceback (most recent call last):\n"                                                            \
    "    ...\n"                                                                                       \
    "NotImplementedError: C_KappaCore must implement " SLOT "(log_nu, log_T, log_rho).\n"

KC_METHOD(FLogOpacityA, KappaCore, _log_opacity, "log_opacity_array", "C_KappaCore.log_opacity_array",
          "Natural-log opacity $\\ln\\kappa(\\ln\\nu_i, \\ln T_i, \\ln\\rho_i)$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_nu : ndarray, dtype=float64, C-contiguous\n    Natural log of frequency (nu in Hz).\n"
          "log_T : ndarray, dtype=float64, C-contiguous\n    Natural log of temperature (T in K).\n"
          "log_rho : ndarray, dtype=float64, C-contiguous\n    Natural log of density (rho in g cm^-3).\n\n"
          "Returns\n-------\nndarray of float64\n    ln kappa.\n"
          KC_FREQ_ARRAY_EXAMPLES("log_opacity_array", "_log_opacity"),
          "log_nu", "log_T", "log_rho")
KC_METHOD(FDlogrhoA, KappaCore, _dlogkappa_dlogrho, "dlogkappa_dlogrho_array",
          "C_KappaCore.dlogkappa_dlogrho_array",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln\\rho$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_nu, log_T, log_rho : ndarray, dtype=float64, C-contiguous\n    Natural logs of frequency, "
          "temperature and density.\n\nReturns\n-------\nndarray of float64\n"
          KC_FREQ_ARRAY_EXAMPLES("dlogkappa_dlogrho_array", "_dlogkappa_dlogrho"),
          "log_nu", "log_T", "log_rho")
KC_METHOD(FDlogTA, KappaCore, _dlogkappa_dlogT, "dlogkappa_dlogT_array", "C_KappaCore.dlogkappa_dlogT_array",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln T$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_nu, log_T, log_rho : ndarray, dtype=float64, C-contiguous\n    Natural logs of frequency, "
          "temperature and density.\n\nReturns\n-------\nndarray of float64\n"
          KC_FREQ_ARRAY_EXAMPLES("dlogkappa_dlogT_array", "_dlogkappa_dlogT"),
          "log_nu", "log_T", "log_rho")
KC_METHOD(FDlognuA, KappaCore, _dlogkappa_dlognu, "dlogkappa_dlognu_array", "C_KappaCore.dlogkappa_dlognu_array",
          "Logarithmic derivative $\\partial\\ln\\kappa/\\partial\\ln\\nu$ element by element.\n\n"
          "Parameters\n----------\n"
          "log_nu, log_T, log_rho : ndarray, dtype=float64, C-contiguous\n    Natural logs of frequency, "
          "temperature and density.\n\nReturns\n-------\nndarray of float64\n"
          KC_FREQ_ARRAY_EXAMPLES("dlogkappa_dlognu_array", "_dlogkappa_dlognu"),
          "log_nu", "log_T", "log_rho")

// Calls the method's slot through the object's own table with x[0..N-1].
template <typename M, std::size_t... I>
double call_slot(typename M::Obj* obj, const double* x, std::index_sequence<I...>) {
    return (obj->vtab->*M::slot)(obj, x[I]...);
}

template <typename M>
constexpr rt::Params<M::N> params_v{M::name, M::names};

template <typename M>
const rt::Params<M::N>& params_of() {
    return params_v<M>;
}

// Scalar wrapper: bind, convert left to right, call the slot, test.
template <typename M>
PyObject* scalar_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, M::N> values;
    double x[M::N];
    if (!rt::bind(params_of<M>(), args, nargs, kwnames, values)) return nullptr;
    if (const int units = rt::any_carries_unit(values))
        return units < 0 ? nullptr : rt::call_with_units(self, M::name, M::names, values);
    for (std::size_t i = 0; i < M::N; ++i)
        if (!rt::to_double(values[i], x[i])) return nullptr;
    auto* obj = reinterpret_cast<typename M::Obj*>(self);
    const double r = call_slot<M>(obj, x, std::make_index_sequence<M::N>{});
    if (PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(r);
}

template <typename M>
inline constexpr auto scalar_method = rt::traced<&scalar_body<M>, M::qualname>;

PyObject* str_np;
PyObject* str_empty;
PyObject* str_float64;
PyObject* str_asarray;
PyObject* str_dtype;

// Vectorised wrapper: the slot element by element over 1-D float64 arrays
// into a new array from np.empty, returned through np.asarray.
template <typename M>
PyObject* array_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, M::N> values;
    if (!rt::bind(params_of<M>(), args, nargs, kwnames, values)) return nullptr;
    if (const int units = rt::any_carries_unit(values))
        return units < 0 ? nullptr : rt::call_with_units(self, M::name, M::names, values);
    rt::Vec in[M::N];
    for (std::size_t k = 0; k < M::N; ++k) {
        if (values[k] == Py_None) {
            rt::raise_argument_none(M::names[k]);
            return nullptr;
        }
        if (!in[k].acquire(values[k])) return nullptr;
    }
    const Py_ssize_t len = in[0].size();
    if (len > INT_MAX) {
        PyErr_Format(PyExc_ValueError, msg::array_too_long, M::name, M::names[0], len);
        return nullptr;
    }
    // Elements past the first array's length are ignored; shorter later
    // arrays would be read past their end and are refused.
    for (std::size_t k = 1; k < M::N; ++k) {
        if (in[k].size() < len) {
            PyErr_Format(PyExc_ValueError, msg::array_too_short, M::name, M::names[k], in[k].size(), len,
                         M::names[0]);
            return nullptr;
        }
    }
    const int n = static_cast<int>(len);

    Ref np = rt::module_global(str_np);
    if (!np) return nullptr;
    Ref empty = Ref::steal(PyObject_GetAttr(np.get(), str_empty));
    if (!empty) return nullptr;
    Ref n_obj = Ref::steal(PyLong_FromLong(n));
    if (!n_obj) return nullptr;
    np = rt::module_global(str_np);
    if (!np) return nullptr;
    Ref float64 = Ref::steal(PyObject_GetAttr(np.get(), str_float64));
    if (!float64) return nullptr;
    PyObject* call_args[] = {n_obj.get(), float64.get()};
    Ref kwnames_dtype = Ref::steal(PyTuple_Pack(1, str_dtype));
    if (!kwnames_dtype) return nullptr;
    Ref result = Ref::steal(PyObject_Vectorcall(empty.get(), call_args, 1, kwnames_dtype.get()));
    if (!result) return nullptr;

    rt::Vec out;
    if (!out.acquire(result.get())) return nullptr;
    if (out.size() < len) {
        // Only a replaced np.empty can do this; never write past its end.
        PyErr_Format(PyExc_ValueError, msg::output_too_short, M::name, n, out.size());
        return nullptr;
    }
    auto* obj = reinterpret_cast<typename M::Obj*>(self);
    double* dst = out.data();
    const rt::PendingTest pending;  // the lock is held throughout the loop
    rt::SignalCheck interrupted(1024);  // an element costs 20 ns or more
    for (int i = 0; i < n; ++i) {
        double x[M::N];
        for (std::size_t k = 0; k < M::N; ++k) x[k] = in[k][i];
        const double r = call_slot<M>(obj, x, std::make_index_sequence<M::N>{});
        if (pending()) return nullptr;
        dst[i] = r;
        if (interrupted()) return nullptr;
    }

    np = rt::module_global(str_np);
    if (!np) return nullptr;
    Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), str_asarray));
    if (!asarray) return nullptr;
    Ref wrapped = Ref::steal(PyMemoryView_FromObject(result.get()));
    if (!wrapped) return nullptr;
    out.release();
    return PyObject_CallOneArg(asarray.get(), wrapped.get());
}

template <typename M>
inline constexpr auto array_method = rt::traced<&array_body<M>, M::qualname>;

// ---------------------------------------------------------------------------
// Pickling. The base types store no C-level fields: the persisted form is the
// class, a layout checksum and, for instances with a non-empty __dict__, that
// dict. The three accepted checksums are 28-bit fingerprints of the (empty)
// field list.

constexpr long checksum_written = 0xe3b0c44;
bool checksum_accepted(int c) { return c == 0xe3b0c44 || c == 0xda39a3e || c == 0xd41d8cd; }

template <typename Obj>
struct PickleNames;
template <>
struct PickleNames<GreyKappaCore> {
    static constexpr const char* reconstructor = "__c_unpickle_C_GreyKappaCore";
    static constexpr const char* q_reconstructor = KC_PREFIX "__c_unpickle_C_GreyKappaCore";
    static constexpr const char* q_set_state = KC_PREFIX "__c_unpickle_C_GreyKappaCore__set_state";
    static constexpr const char* q_reduce = KC_PREFIX "C_GreyKappaCore.__reduce__";
    static constexpr const char* q_setstate = KC_PREFIX "C_GreyKappaCore.__setstate__";
    static PyTypeObject* type;
};
template <>
struct PickleNames<KappaCore> {
    static constexpr const char* reconstructor = "__c_unpickle_C_KappaCore";
    static constexpr const char* q_reconstructor = KC_PREFIX "__c_unpickle_C_KappaCore";
    static constexpr const char* q_set_state = KC_PREFIX "__c_unpickle_C_KappaCore__set_state";
    static constexpr const char* q_reduce = KC_PREFIX "C_KappaCore.__reduce__";
    static constexpr const char* q_setstate = KC_PREFIX "C_KappaCore.__setstate__";
    static PyTypeObject* type;
};
PyTypeObject* PickleNames<GreyKappaCore>::type = nullptr;
PyTypeObject* PickleNames<KappaCore>::type = nullptr;

// Restores a state tuple: a true first element updates the instance dict.
template <typename Obj>
bool restore_state(PyObject* obj, PyObject* state) {
    using P = PickleNames<Obj>;
    if (PyTuple_GET_SIZE(state) > 0) {
        PyObject* first = PyTuple_GET_ITEM(state, 0);
        int truth = PyObject_IsTrue(first);
        if (truth < 0) {
            rt::add_traceback(P::q_set_state);
            return false;
        }
        if (truth) {
            Ref d = Ref::steal(PyObject_GetAttrString(obj, "__dict__"));
            Ref r = d ? Ref::steal(PyObject_CallMethod(d.get(), "update", "O", first)) : Ref();
            if (!r) {
                rt::add_traceback(P::q_set_state);
                return false;
            }
        }
    }
    return true;
}

template <typename Obj>
PyObject* reduce_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = PickleNames<Obj>;
    std::array<PyObject*, 0> values;
    if (!rt::bind(rt::reduce_params, args, nargs, kwnames, values)) return nullptr;
    Ref state = Ref::steal(PyTuple_New(0));
    if (!state) return nullptr;
    Ref d = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!d) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    int truth = 0;
    if (d && d.get() != Py_None) {
        truth = PyObject_IsTrue(d.get());
        if (truth < 0) return nullptr;
    }
    Ref checksum = Ref::steal(PyLong_FromLong(checksum_written));
    if (!checksum) return nullptr;
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref name = Ref::steal(PyUnicode_FromString(P::reconstructor));
    if (!name) return nullptr;
    if (truth) {
        state = Ref::steal(PyTuple_Pack(1, d.get()));
        if (!state) return nullptr;
        Ref reconstructor = rt::module_global(name.get());
        if (!reconstructor) return nullptr;
        Ref cargs = Ref::steal(PyTuple_Pack(3, type.get(), checksum.get(), Py_None));
        if (!cargs) return nullptr;
        return PyTuple_Pack(3, reconstructor.get(), cargs.get(), state.get());
    }
    Ref reconstructor = rt::module_global(name.get());
    if (!reconstructor) return nullptr;
    Ref cargs = Ref::steal(PyTuple_Pack(3, type.get(), checksum.get(), state.get()));
    if (!cargs) return nullptr;
    return PyTuple_Pack(2, reconstructor.get(), cargs.get());
}

template <typename Obj>
inline constexpr auto reduce_method = rt::traced<&reduce_body<Obj>, PickleNames<Obj>::q_reduce>;

template <typename Obj>
PyObject* setstate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = PickleNames<Obj>;
    rt::StateArg a;
    bool ok = rt::parse(rt::setstate_decl, args, nargs, kwnames, a);
    if (ok) {
        PyObject* state = a.state;
        if (state == Py_None) {
            PyErr_SetString(PyExc_TypeError, msg::none_into_not_none);
            ok = false;
        } else if (!PyTuple_CheckExact(state)) {
            PyErr_Format(PyExc_TypeError, msg::expected_type, "tuple", Py_TYPE(state)->tp_name);
            ok = false;
        } else {
            ok = restore_state<Obj>(self, state);
        }
    }
    if (!ok) {
        rt::add_traceback(P::q_setstate);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// pickle.PickleError with the checksum filled in by the interpreter's own
// %-formatting (so that a negative checksum prints as it would there).
void raise_incompatible_checksum(int checksum) {
    Ref pickle = rt::import_module("pickle");
    if (!pickle) return;
    Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return;
    Ref text = rt::percent_format(msg::incompatible_checksums, Ref::steal(Py_BuildValue("(i)", checksum)).get());
    if (!text) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(error.get(), text.get()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

struct UnpickleArgs {
    PyObject* type;
    int checksum;
    PyObject* state;
};

template <typename Obj>
constexpr auto unpickle_decl = rt::declare<&UnpickleArgs::type, &UnpickleArgs::checksum, &UnpickleArgs::state>(
    PickleNames<Obj>::reconstructor, {"__c_type", "__c_checksum", "__c_state"});

template <typename Obj>
constexpr const auto& unpickle_params = unpickle_decl<Obj>.params;

template <typename Obj>
PyObject* unpickle_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = PickleNames<Obj>;
    UnpickleArgs a;
    if (!rt::parse(unpickle_decl<Obj>, args, nargs, kwnames, a)) return nullptr;
    const int checksum = a.checksum;
    PyObject* state = a.state;
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        rt::raise_argument_type("__c_state", &PyTuple_Type, state);
        return nullptr;
    }
    if (!checksum_accepted(checksum)) {
        raise_incompatible_checksum(checksum);
        return nullptr;
    }
    Ref new_ = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(P::type), "__new__"));
    if (!new_) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(new_.get(), a.type));
    if (!result) return nullptr;
    if (state != Py_None && !restore_state<Obj>(result.get(), state)) return nullptr;
    return result.release();
}

template <typename Obj>
PyObject* unpickle_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unpickle_body<Obj>(args, nargs, kwnames);
}

template <typename Obj>
inline constexpr auto unpickle_function = rt::traced<&unpickle_call<Obj>, PickleNames<Obj>::q_reconstructor>;

// ---------------------------------------------------------------------------
// Types.

template <typename Obj>
typename OpsOf<Obj>::type* table_of();
template <>
GreyKappaOps* table_of<GreyKappaCore>() {
    return &grey_ops;
}
template <>
KappaOps* table_of<KappaCore>() {
    return &freq_ops;
}

// Creation routine: allocates the instance and points it at the base table;
// arguments are accepted and ignored. Subclass modules call it through the
// base type and then store their own table.
template <typename Obj>
PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    reinterpret_cast<Obj*>(o)->vtab = table_of<Obj>();
    return o;
}

void tp_dealloc(PyObject* o) { Py_TYPE(o)->tp_free(o); }

#define KC_WRAPPER(M, FN) \
    {M::name, VELMORA_METH(FN<M>), METH_FASTCALL | METH_KEYWORDS, rt::signed_method_doc<params_v<M>, M::doc>}
#define KC_SCALAR(M) KC_WRAPPER(M, scalar_method)
#define KC_ARRAY(M) KC_WRAPPER(M, array_method)

PyMethodDef grey_methods[] = {KC_SCALAR(GOpacity),   KC_SCALAR(GLogOpacity),  KC_SCALAR(GDlogrho),
                              KC_SCALAR(GDlogT),     KC_ARRAY(GOpacityA),     KC_ARRAY(GLogOpacityA),
                              KC_ARRAY(GDlogrhoA),   KC_ARRAY(GDlogTA),       {nullptr, nullptr, 0, nullptr}};

PyMethodDef freq_methods[] = {KC_SCALAR(FOpacity),   KC_SCALAR(FLogOpacity), KC_SCALAR(FDlogrho),
                              KC_SCALAR(FDlogT),     KC_SCALAR(FDlognu),     KC_ARRAY(FLogOpacityA),
                              KC_ARRAY(FDlogrhoA),   KC_ARRAY(FDlogTA),      KC_ARRAY(FDlognuA),
                              {nullptr, nullptr, 0, nullptr}};

constexpr char reduce_doc[] = "Pickle support: the reconstructor, the class, a layout checksum and the instance dict.";
constexpr char setstate_doc[] = "Pickle support: restore the instance dict from a state tuple.";

template <typename Obj>
PyMethodDef pickle_methods[2] = {
    {"__reduce__", VELMORA_METH(reduce_method<Obj>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<rt::reduce_params, reduce_doc>},
    {"__setstate__", VELMORA_METH(&setstate_method<Obj>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<rt::setstate_params, setstate_doc>},
};

PyTypeObject grey_type = rt::static_type(KC_PREFIX "C_GreyKappaCore", sizeof(GreyKappaCore));
PyTypeObject freq_type = rt::static_type(KC_PREFIX "C_KappaCore", sizeof(KappaCore));

// The constructors take no parameters of their own; whatever is passed is
// accepted and ignored, for subclasses that parse their own.
constexpr rt::Params<0> grey_new{"C_GreyKappaCore", {}};
constexpr rt::Params<0> freq_new{"C_KappaCore", {}};

constexpr char grey_doc[] =
    "Abstract base of grey (frequency-independent) opacity laws.\n\n"
    "Concrete laws are compiled subclasses that override the C-level operations\n"
    "``_log_opacity(log_T, log_rho)``, ``_dlogkappa_dlogrho`` and ``_dlogkappa_dlogT``\n"
    "(natural logs, temperature first); ``_opacity(rho, T)`` is derived from\n"
    "``_log_opacity``. The scalar and ``_array`` methods defined here dispatch through\n"
    "the object's operation table, so every subclass inherits them unchanged.\n"
    "Units: kappa in cm^2 g^-1, rho in g cm^-3, T in K."
    "\n\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.radiation.opacity.kappa_core import C_GreyKappaCore\n"
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"
    ">>> law = ElectronScatteringOpacity(X=1.0)  # a compiled subclass: kappa = 0.4 cm^2 g^-1\n"
    ">>> isinstance(law, C_GreyKappaCore)\n"
    "True\n"
    ">>> law.opacity(1e-9, 1e4)  # rho in g cm^-3 first, then T in K\n"
    "0.4\n"
    ">>> ln_T, ln_rho = math.log(1e4), math.log(1e-9)\n"
    ">>> round(law.log_opacity(ln_T, ln_rho), 6)  # natural logs, temperature first\n"
    "-0.916291\n"
    ">>> law.dlogkappa_dlogrho(ln_T, ln_rho), law.dlogkappa_dlogT(log_T=ln_T, log_rho=ln_rho)\n"
    "(0.0, 0.0)\n"
    ">>> C_GreyKappaCore().opacity(1e-9, 1e4)  # the base implements no law\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "NotImplementedError: C_GreyKappaCore must implement _log_opacity(log_T, log_rho).\n";

constexpr char freq_doc[] =
    "Abstract base of frequency-dependent opacity laws.\n\n"
    "Concrete laws are compiled subclasses that override the C-level operations\n"
    "``_log_opacity(log_nu, log_T, log_rho)`` and the three logarithmic derivatives\n"
    "(natural logs, frequency first); ``_opacity(nu, rho, T)`` is derived from\n"
    "``_log_opacity``. Units: nu in Hz, kappa in cm^2 g^-1, rho in g cm^-3, T in K."
    "\n\nExamples\n--------\n"
    "The package has no concrete frequency-dependent law; a base instance shows\n"
    "the calling convention and names the operation a subclass must fill:\n\n"
    ">>> from velmora.radiation.opacity.kappa_core import C_KappaCore\n"
    ">>> base = C_KappaCore()\n"
    ">>> base.opacity(1e15, 1e-9, 1e4)  # nu in Hz, rho in g cm^-3, T in K\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "NotImplementedError: C_KappaCore must implement _log_opacity(log_nu, log_T, log_rho).\n"
    ">>> for method in (base.log_opacity, base.dlogkappa_dlogrho, base.dlogkappa_dlogT, base.dlogkappa_dlognu):\n"
    "...     try:\n"
    "...         method(34.5, 9.2, -20.7)  # ln nu, ln T, ln rho\n"
    "...     except NotImplementedError as e:\n"
    "...         print(e)\n"
    "C_KappaCore must implement _log_opacity(log_nu, log_T, log_rho).\n"
    "C_KappaCore must implement _dlogkappa_dlogrho(log_nu, log_T, log_rho).\n"
    "C_KappaCore must implement _dlogkappa_dlogT(log_nu, log_T, log_rho).\n"
    "C_KappaCore must implement _dlogkappa_dlognu(log_nu, log_T, log_rho).\n";

template <typename Obj>
bool prepare_type(PyObject* module, PyTypeObject* type, PyMethodDef* methods, const char* doc,
                  const char* attr) {
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type->tp_doc = doc;
    type->tp_new = &tp_new<Obj>;
    type->tp_dealloc = &tp_dealloc;
    type->tp_methods = methods;
    if (PyType_Ready(type) < 0) return false;
    if (!rt::set_vtable(type, table_of<Obj>())) return false;
    if (PyModule_AddObjectRef(module, attr, reinterpret_cast<PyObject*>(type)) < 0) return false;
    PickleNames<Obj>::type = type;
    return rt::setup_reduce(type, &pickle_methods<Obj>[0], &pickle_methods<Obj>[1]);
}

constexpr char unpickle_grey_doc[] = "Reconstruct a pickled C_GreyKappaCore (or subclass) instance.";
constexpr char unpickle_freq_doc[] = "Reconstruct a pickled C_KappaCore (or subclass) instance.";

PyMethodDef module_functions[] = {
    {"__c_unpickle_C_GreyKappaCore", VELMORA_METH(unpickle_function<GreyKappaCore>),
     METH_FASTCALL | METH_KEYWORDS, rt::signed_doc<unpickle_params<GreyKappaCore>, unpickle_grey_doc>},
    {"__c_unpickle_C_KappaCore", VELMORA_METH(unpickle_function<KappaCore>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_doc<unpickle_params<KappaCore>, unpickle_freq_doc>},
    {nullptr, nullptr, 0, nullptr}};

bool intern_names() {
    str_np = PyUnicode_InternFromString("np");
    str_empty = PyUnicode_InternFromString("empty");
    str_float64 = PyUnicode_InternFromString("float64");
    str_asarray = PyUnicode_InternFromString("asarray");
    str_dtype = PyUnicode_InternFromString("dtype");
    return str_np && str_empty && str_float64 && str_asarray && str_dtype;
}

int exec_kappa_core(PyObject* module) {
    if (!intern_names()) return -1;
    Ref np = rt::import_module("numpy");
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;

    grey_ops._opacity = &grey_opacity;
    grey_ops._log_opacity = &grey_log_opacity;
    grey_ops._dlogkappa_dlogrho = &grey_dlogrho;
    grey_ops._dlogkappa_dlogT = &grey_dlogT;
    if (!prepare_type<GreyKappaCore>(module, &grey_type, grey_methods, rt::signed_doc<grey_new, grey_doc>,
                                     "C_GreyKappaCore"))
        return -1;

    freq_ops._opacity = &freq_opacity;
    freq_ops._log_opacity = &freq_log_opacity;
    freq_ops._dlogkappa_dlogrho = &freq_dlogrho;
    freq_ops._dlogkappa_dlogT = &freq_dlogT;
    freq_ops._dlogkappa_dlognu = &freq_dlognu;
    if (!prepare_type<KappaCore>(module, &freq_type, freq_methods, rt::signed_doc<freq_new, freq_doc>,
                                 "C_KappaCore"))
        return -1;

    return PyModule_AddFunctions(module, module_functions);
}

constexpr const char* module_doc =
    "Abstract base classes of the package's opacity laws.\n\n"
    "C_GreyKappaCore\n    Grey (frequency-independent) laws: kappa(rho, T).\n"
    "C_KappaCore\n    Frequency-dependent laws: kappa(nu, rho, T).\n\n"
    "The interface has two tiers.\n\n"
    "Tier 1, C-level operations: underscore-prefixed functions held in a per-type\n"
    "operation table (``_opacity``, ``_log_opacity`` and the logarithmic derivatives).\n"
    "Concrete laws live in other compiled modules, derive from these types and\n"
    "override the slots; compiled loops call the slots directly through the table,\n"
    "with plain doubles and without interpreter objects. A failing operation leaves\n"
    "an exception pending and returns 0.0; callers test for a pending exception\n"
    "after every call.\n\n"
    "Tier 2, interpreter-level wrappers: ``opacity``, ``log_opacity``,\n"
    "``dlogkappa_dlogrho``, ... and their ``_array`` forms over float64 arrays,\n"
    "defined once here and inherited by every law; they always dispatch through\n"
    "the calling object's table.\n\n"
    "Log-space operations take natural logarithms, temperature before density\n"
    "(frequency first for C_KappaCore). Units: kappa in cm^2 g^-1, rho in g cm^-3,\n"
    "T in K, nu in Hz."
    "\n\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.radiation.opacity.kappa_core import C_GreyKappaCore\n"
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"
    ">>> law = ElectronScatteringOpacity(X=1.0)  # a compiled subclass of C_GreyKappaCore\n"
    ">>> law.opacity(1e-9, 1e4) == math.exp(law.log_opacity(math.log(1e4), math.log(1e-9)))\n"
    "True\n";

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(kappa_core, velmora::opacity::module_doc, "velmora/radiation/opacity/kappa_core.cpp",
               velmora::opacity::exec_kappa_core)

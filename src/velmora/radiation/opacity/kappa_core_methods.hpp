// The interpreter-level wrappers every opacity law inherits: scalar methods
// and their vectorised _array forms, described by traits structs.
// Part of module kappa_core (kappa_core.cpp includes it, once).
#pragma once

namespace velmora::opacity {
namespace {

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

// Scalar wrapper: bind, convert left to right, call the slot, test.
template <typename M>
PyObject* scalar_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, M::N> values;
    double x[M::N];
    if (!rt::bind(params_v<M>, args, nargs, kwnames, values)) return nullptr;
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
    if (!rt::bind(params_v<M>, args, nargs, kwnames, values)) return nullptr;
    if (const int units = rt::any_carries_unit(values))
        return units < 0 ? nullptr : rt::call_with_units(self, M::name, M::names, values);
    rt::Vec in[M::N];
    for (std::size_t k = 0; k < M::N; ++k)
        if (!rt::acquire_argument(in[k], values[k], M::names[k])) return nullptr;
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

}  // namespace
}  // namespace velmora::opacity

// The interpreter side of the root finder: interpreter callables as
// scalar_func (the trampoline), and the wrappers py_expand_bracket,
// py_brent_root and py_find_root with their docstrings. Part of module
// _bracket_solver (_bracket_solver.cpp includes it, once).
#pragma once

namespace velmora::math_utils {
namespace {

// ---------------------------------------------------------------------------
// Interpreter callables as scalar_func.

// Saves the thread's handled exception (sys.exception()) and puts it back on
// scope exit, whatever the callable did to it.
class HandledExceptionKeeper {
public:
    HandledExceptionKeeper() noexcept : saved_(Ref::steal(PyErr_GetHandledException())) {}
    ~HandledExceptionKeeper() { PyErr_SetHandledException(saved_.get()); }
    HandledExceptionKeeper(const HandledExceptionKeeper&) = delete;
    HandledExceptionKeeper& operator=(const HandledExceptionKeeper&) = delete;

private:
    Ref saved_;
};

// user_data is the callable. An Exception from it (or from converting its
// result) is discarded and reported as status 1; anything else outside the
// Exception hierarchy (interrupts, exit) stays pending and aborts the solve.
int _py_trampoline(double x, void* user_data, double* f_out) {
    {
        rt::GilGuard gil;
        HandledExceptionKeeper keeper;
        Ref arg = rt::new_float(x);
        Ref result;
        if (arg) result = Ref::steal(PyObject_CallOneArg(static_cast<PyObject*>(user_data), arg.get()));
        double v = 0.0;
        if (result && rt::to_double(result.get(), v)) {
            *f_out = v;
            return 0;
        }
        PyObject* exc = PyErr_Occurred();
        if (!exc || PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
            PyErr_Clear();
            return 1;
        }
    }
    rt::add_traceback(q_trampoline);
    return -1;
}

// ---------------------------------------------------------------------------
// Interpreter-level wrappers. Each is described by a traits struct: its name,
// its arguments (declared once: the callable f, then doubles and 32-bit ints,
// converted left to right), its number of outputs and the solver call.

struct ExpandArgs {
    PyObject* f;
    double x_guess, step, grow_factor;
    int max_expand;
    double x_min, x_max, tolerance;
};

struct PyExpandBracket {
    static constexpr const char* name = "py_expand_bracket";
    static constexpr const char* qualname = BS_PREFIX "py_expand_bracket";
    static constexpr auto decl =
        rt::declare<&ExpandArgs::f, &ExpandArgs::x_guess, &ExpandArgs::step, &ExpandArgs::grow_factor,
                    &ExpandArgs::max_expand, &ExpandArgs::x_min, &ExpandArgs::x_max, &ExpandArgs::tolerance>(
            name, {"f", "x_guess", "step", "grow_factor", "max_expand", "x_min", "x_max", "tolerance"});
    static constexpr std::size_t n_out = 4;  // x_lo, x_hi, f_lo, f_hi

    static int solve(const ExpandArgs& a, double* out) {
        return expand_bracket(&_py_trampoline, a.f, a.x_guess, a.step, a.grow_factor, a.max_expand, a.x_min,
                              a.x_max, a.tolerance, &out[0], &out[1], &out[2], &out[3]);
    }
};

struct BrentArgs {
    PyObject* f;
    double x_lo, x_hi, f_lo, f_hi, tol_x, tol_f;
    int maxiter;
};

struct PyBrentRoot {
    static constexpr const char* name = "py_brent_root";
    static constexpr const char* qualname = BS_PREFIX "py_brent_root";
    static constexpr auto decl =
        rt::declare<&BrentArgs::f, &BrentArgs::x_lo, &BrentArgs::x_hi, &BrentArgs::f_lo, &BrentArgs::f_hi,
                    &BrentArgs::tol_x, &BrentArgs::tol_f, &BrentArgs::maxiter>(
            name, {"f", "x_lo", "x_hi", "f_lo", "f_hi", "tol_x", "tol_f", "maxiter"});
    static constexpr std::size_t n_out = 1;  // root

    static int solve(const BrentArgs& a, double* out) {
        return brent_root(&_py_trampoline, a.f, a.x_lo, a.x_hi, a.f_lo, a.f_hi, a.tol_x, a.tol_f, a.maxiter,
                          &out[0]);
    }
};

struct FindArgs {
    PyObject* f;
    double x_guess, step, grow_factor;
    int max_expand;
    double x_min, x_max, tolerance, tol_x, tol_f;
    int maxiter;
};

struct PyFindRoot {
    static constexpr const char* name = "py_find_root";
    static constexpr const char* qualname = BS_PREFIX "py_find_root";
    static constexpr auto decl =
        rt::declare<&FindArgs::f, &FindArgs::x_guess, &FindArgs::step, &FindArgs::grow_factor, &FindArgs::max_expand,
                    &FindArgs::x_min, &FindArgs::x_max, &FindArgs::tolerance, &FindArgs::tol_x, &FindArgs::tol_f,
                    &FindArgs::maxiter>(name, {"f", "x_guess", "step", "grow_factor", "max_expand", "x_min", "x_max",
                                               "tolerance", "tol_x", "tol_f", "maxiter"});
    static constexpr std::size_t n_out = 1;  // root

    static int solve(const FindArgs& a, double* out) {
        return find_root(&_py_trampoline, a.f, a.x_guess, a.step, a.grow_factor, a.max_expand, a.x_min, a.x_max,
                         a.tolerance, a.tol_x, a.tol_f, a.maxiter, &out[0]);
    }
};

// (status, out[0], ..., out[n-1])
template <std::size_t N>
PyObject* result_tuple(int status, const std::array<double, N>& out) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N + 1)));
    if (!tuple) return nullptr;
    Ref item = Ref::steal(PyLong_FromLong(status));
    if (!item) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, item.release());
    for (std::size_t k = 0; k < N; ++k) {
        item = rt::new_float(out[k]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k + 1), item.release());
    }
    return tuple.release();
}

template <typename W>
constexpr const auto& params_v = W::decl.params;

// Binds, converts left to right, runs the solver with the lock held and
// returns the status with the outputs (0.0 where the solver wrote none).
template <typename W>
PyObject* wrapper_body(PyObject* /* module */, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    typename std::remove_cvref_t<decltype(W::decl)>::Args a;
    if (!rt::parse(W::decl, args, nargs, kwnames, a)) return nullptr;
    std::array<double, W::n_out> out{};
    const int status = W::solve(a, out.data());
    if (status == -1 && PyErr_Occurred()) return nullptr;
    return result_tuple(status, out);
}

template <typename W>
inline constexpr auto wrapper = rt::traced<&wrapper_body<W>, W::qualname>;

constexpr const char* expand_bracket_doc =
    "Python wrapper around :func:`expand_bracket`.\n\n"
    "Widen the interval [x_guess - w, x_guess + w] geometrically, starting from\n"
    "w = step and multiplying w by grow_factor at each widening, until f changes\n"
    "sign across it or one of its ends is an exact root. The ends are cut to\n"
    "[x_min, x_max].\n\n"
    "Parameters\n----------\n"
    "f : callable\n    Function of one float returning a float.\n"
    "x_guess : float\n    Centre of the search interval.\n"
    "step : float\n    Initial half-width of the interval.\n"
    "grow_factor : float\n    Factor applied to the half-width at each widening (> 1).\n"
    "max_expand : int\n    Number of widenings allowed after the initial interval.\n"
    "x_min : float\n    Lower domain bound.\n"
    "x_max : float\n    Upper domain bound.\n"
    "tolerance : float\n    An end with |f| < tolerance is taken as an exact root.\n\n"
    "Returns\n-------\n"
    "status : int\n"
    "    0 SUCCESS: bracket found (x_lo == x_hi, f_lo == f_hi == 0.0 when an\n"
    "    exact root was found); 1 FUNC_ERROR: f raised or returned a non-number;\n"
    "    2 EXPAND_FAIL: no sign change within max_expand widenings or the domain.\n"
    "x_lo, x_hi : float\n    Ends of the bracket (0.0 unless status is 0).\n"
    "f_lo, f_hi : float\n    f at x_lo and x_hi (0.0 unless status is 0).\n"
    "\nExamples\n--------\n"
    "The half-widths 0.5, 1 and 2 around 1.0: f(x) = x - 2.5 changes sign across\n"
    "the third interval.\n\n"
    ">>> from velmora.math_utils._bracket_solver import py_expand_bracket\n"
    ">>> py_expand_bracket(lambda x: x - 2.5, 1.0, 0.5, 2.0, 10, -100.0, 100.0, 0.0)\n"
    "(0, -1.0, 3.0, -3.5, 0.5)\n";

constexpr const char* brent_root_doc =
    "Python wrapper around :func:`brent_root`.\n\n"
    "Refine a root of f inside a bracket by Brent's method: inverse quadratic\n"
    "interpolation or the secant step, with bisection whenever the trial point\n"
    "is not trusted. The end values are used as given, not re-evaluated.\n\n"
    "Parameters\n----------\n"
    "f : callable\n    Function of one float returning a float.\n"
    "x_lo, x_hi : float\n    Ends of the bracket, in either order.\n"
    "f_lo, f_hi : float\n    f at x_lo and x_hi; f_lo * f_hi must be negative.\n"
    "tol_x : float\n    Absolute bracket-width tolerance.\n"
    "tol_f : float\n    Absolute function-value tolerance.\n"
    "maxiter : int\n    Maximum number of function evaluations.\n\n"
    "Returns\n-------\n"
    "status : int\n"
    "    0 SUCCESS: converged; 1 FUNC_ERROR: f raised or returned a non-number;\n"
    "    3 NO_BRACKET: f_lo * f_hi > 0; 4 MAX_ITER: maxiter evaluations used up.\n"
    "root : float\n    Best root estimate, written on SUCCESS and MAX_ITER (0.0 otherwise).\n"
    "\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.math_utils._bracket_solver import py_brent_root\n"
    ">>> status, root = py_brent_root(math.cos, 1.0, 2.0, math.cos(1.0), math.cos(2.0), 1e-12, 1e-14, 100)\n"
    ">>> status, abs(root - math.pi / 2) < 1e-12\n"
    "(0, True)\n"
    ">>> py_brent_root(math.cos, 1.0, 1.5, math.cos(1.0), math.cos(1.5), 1e-12, 1e-14, 100)  # no sign change\n"
    "(3, 0.0)\n";

constexpr const char* find_root_doc =
    "Python wrapper around :func:`find_root`.\n\n"
    "Solve f(x) = 0 from a guess: accept the guess if f is exactly zero there,\n"
    "otherwise expand a bracket around it and refine the root by Brent's method.\n\n"
    "Parameters\n----------\n"
    "f : callable\n    Function of one float returning a float.\n"
    "x_guess : float\n    Initial guess and centre of the expansion.\n"
    "step : float\n    Initial half-width of the expansion.\n"
    "grow_factor : float\n    Factor applied to the half-width at each widening (> 1).\n"
    "max_expand : int\n    Number of widenings allowed.\n"
    "x_min : float\n    Lower domain bound.\n"
    "x_max : float\n    Upper domain bound.\n"
    "tolerance : float\n    Exact-root threshold on |f| at the bracket ends.\n"
    "tol_x : float\n    Absolute bracket-width tolerance of the refinement.\n"
    "tol_f : float\n    Absolute function-value tolerance of the refinement.\n"
    "maxiter : int\n    Maximum number of refinement steps.\n\n"
    "Returns\n-------\n"
    "status : int\n"
    "    0 SUCCESS; 1 FUNC_ERROR: f raised or returned a non-number;\n"
    "    2 EXPAND_FAIL: no bracket found; 4 MAX_ITER: maxiter steps used up.\n"
    "root : float\n    Best root estimate, written on SUCCESS and MAX_ITER (0.0 otherwise).\n"
    "\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.math_utils._bracket_solver import py_find_root\n"
    ">>> status, root = py_find_root(lambda x: x * x - 2.0, 1.0, 0.1, 2.0, 50, 0.0, 10.0,\n"
    "...                              1e-30, 1e-12, 1e-14, 100)\n"
    ">>> status, abs(root - math.sqrt(2.0)) < 1e-12\n"
    "(0, True)\n";

}  // namespace
}  // namespace velmora::math_utils

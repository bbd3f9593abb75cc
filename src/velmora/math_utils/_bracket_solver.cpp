// Module velmora.math_utils._bracket_solver: a bracketed one-dimensional root
// finder (geometric bracket expansion, then Brent refinement) for compiled
// callers through `__c_api__`, and interpreter-level wrappers around it.
#include "math_utils/bracket_solver.hpp"

#include "_runtime/declare.hpp"
#include "_runtime/runtime.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace velmora::math_utils {
namespace {

using rt::Ref;

#define BS_PREFIX "velmora.math_utils._bracket_solver."

constexpr const char* q_expand_bracket = BS_PREFIX "expand_bracket";
constexpr const char* q_brent_root = BS_PREFIX "brent_root";
constexpr const char* q_find_root = BS_PREFIX "find_root";
constexpr const char* q_trampoline = BS_PREFIX "_py_trampoline";

// The test after every callback call, made before its return code is looked
// at: -1 with the caller's traceback entry when an exception is pending,
// FUNC_ERROR for a non-zero code, SUCCESS to go on.
int check_callback(int rc, const char* qualname) noexcept {
    if (rt::exception_pending()) {
        rt::add_traceback(qualname);
        return -1;
    }
    return rc != 0 ? FUNC_ERROR : SUCCESS;
}

// ---------------------------------------------------------------------------
// Bracket expansion: numerical steps.

struct Interval {
    double lo, hi;
};

// [x_guess - w, x_guess + w], each end cut by its bound with one comparison,
// so a NaN end stays NaN.
Interval bounded_interval(double x_guess, double w, double x_min, double x_max) noexcept {
    double lo = x_guess - w;
    if (x_min > lo) lo = x_min;
    double hi = x_guess + w;
    if (hi > x_max) hi = x_max;
    return {lo, hi};
}

// An endpoint under tolerance is taken as the root (lower end first, reported
// with f = +0.0); otherwise a strictly negative product is a bracket. An
// underflowing product or a NaN is neither.
bool pair_test(const Interval& iv, double flo, double fhi, double tolerance, double* x_lo, double* x_hi,
               double* f_lo, double* f_hi) noexcept {
    if (tolerance > std::fabs(flo)) {
        *x_lo = *x_hi = iv.lo;
        *f_lo = *f_hi = 0.0;
        return true;
    }
    if (tolerance > std::fabs(fhi)) {
        *x_lo = *x_hi = iv.hi;
        *f_lo = *f_hi = 0.0;
        return true;
    }
    if (fhi * flo < 0.0) {
        *x_lo = iv.lo;
        *x_hi = iv.hi;
        *f_lo = flo;
        *f_hi = fhi;
        return true;
    }
    return false;
}

// f at both ends, lower first; a failure at lo skips hi.
int evaluate_pair(scalar_func f, void* user_data, const Interval& iv, double& flo, double& fhi) {
    const int rc_lo = f(iv.lo, user_data, &flo);
    if (int st = check_callback(rc_lo, q_expand_bracket); st != SUCCESS) return st;
    const int rc_hi = f(iv.hi, user_data, &fhi);
    return check_callback(rc_hi, q_expand_bracket);
}

int expand_bracket(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                   int max_expand, double x_min, double x_max, double tolerance, double* x_lo, double* x_hi,
                   double* f_lo, double* f_hi) {
    double w = step;
    Interval iv = bounded_interval(x_guess, w, x_min, x_max);
    double flo = 0.0, fhi = 0.0;
    if (int st = evaluate_pair(f, user_data, iv, flo, fhi); st != SUCCESS) return st;
    if (pair_test(iv, flo, fhi, tolerance, x_lo, x_hi, f_lo, f_hi)) return SUCCESS;
    if (max_expand <= 0) return EXPAND_FAIL;

    for (int k = 0; k < max_expand; ++k) {
        // Recentred on the guess each time: after k widenings w = step * grow_factor^k.
        w = w * grow_factor;
        iv = bounded_interval(x_guess, w, x_min, x_max);
        if (int st = evaluate_pair(f, user_data, iv, flo, fhi); st != SUCCESS) return st;
        if (pair_test(iv, flo, fhi, tolerance, x_lo, x_hi, f_lo, f_hi)) return SUCCESS;
        if (iv.lo == x_min && iv.hi == x_max) return EXPAND_FAIL;  // pinned at both bounds
    }
    return EXPAND_FAIL;
}

// ---------------------------------------------------------------------------
// Brent refinement: numerical steps.

struct BrentState {
    double a, fa;  // contrapoint
    double b, fb;  // best estimate, |fb| <= |fa| unless NaN
    double c, fc;  // previous b
    double d;      // the b before c; read only after a non-bisection step
    bool bisected;
};

// b is the end of smaller |f|; ties go to x_hi.
BrentState orient(double x_lo, double x_hi, double f_lo, double f_hi) noexcept {
    BrentState s{};
    if (std::fabs(f_hi) > std::fabs(f_lo)) {
        s.b = x_lo;
        s.fb = f_lo;
        s.a = x_hi;
        s.fa = f_hi;
    } else {
        s.b = x_hi;
        s.fb = f_hi;
        s.a = x_lo;
        s.fa = f_lo;
    }
    s.c = s.a;
    s.fc = s.fa;
    s.d = 0.0;
    s.bisected = true;
    return s;
}

bool converged(const BrentState& s, double tol_x, double tol_f) noexcept {
    return tol_f > std::fabs(s.fb) || tol_x > std::fabs(s.b - s.a);
}

// Inverse quadratic interpolation through (a, b, c) when the three values
// differ, else the secant through (a, b). False when a divisor is exactly zero
// (products of differences may underflow to it); all divisors are tested
// before any division.
bool trial_point(const BrentState& s, double& out) noexcept {
    if (s.fa != s.fc && s.fb != s.fc) {
        const double den_a = (s.fa - s.fb) * (s.fa - s.fc);
        const double den_b = (s.fb - s.fa) * (s.fb - s.fc);
        const double den_c = (s.fc - s.fa) * (s.fc - s.fb);
        if (den_a == 0.0 || den_b == 0.0 || den_c == 0.0) return false;
        out = s.a * s.fb * s.fc / den_a + s.b * s.fa * s.fc / den_b + s.c * s.fa * s.fb / den_c;
        return true;
    }
    const double den = s.fb - s.fa;
    if (den == 0.0) return false;
    const double num = s.fb * (s.b - s.a);
    out = s.b - num / den;
    return true;
}

// Keeps the trial point only inside (3a + b)/4 .. b and while the steps keep
// shrinking; otherwise bisects. Records which it did.
double accept(BrentState& s, double trial, double tol_x) noexcept {
    const double q = (s.a * 3.0 + s.b) * 0.25;
    const double lo = q > s.b ? s.b : q;
    const double hi = q > s.b ? q : s.b;
    const double step = std::fabs(trial - s.b);
    const bool outside = !(lo < trial && trial < hi);
    const bool bisect = outside || (s.bisected && step >= std::fabs(s.b - s.c) * 0.5) ||
                        (!s.bisected && step >= std::fabs(s.c - s.d) * 0.5) ||
                        (s.bisected && tol_x > std::fabs(s.b - s.c)) ||
                        (!s.bisected && tol_x > std::fabs(s.c - s.d));
    s.bisected = bisect;
    return bisect ? (s.a + s.b) * 0.5 : trial;
}

void update(BrentState& s, double x, double fx) noexcept {
    s.d = s.c;
    s.c = s.b;
    s.fc = s.fb;
    if (s.fa * fx < 0.0) {
        s.b = x;
        s.fb = fx;
    } else {
        s.a = x;
        s.fa = fx;
    }
    if (std::fabs(s.fb) > std::fabs(s.fa)) {
        std::swap(s.a, s.b);
        std::swap(s.fa, s.fb);
    }
}

int brent_root(scalar_func f, void* user_data, double x_lo, double x_hi, double f_lo, double f_hi, double tol_x,
               double tol_f, int maxiter, double* root) {
    if (f_lo * f_hi > 0.0) return NO_BRACKET;
    BrentState s = orient(x_lo, x_hi, f_lo, f_hi);
    if (maxiter <= 0) {
        *root = s.b;
        return MAX_ITER;
    }
    for (int counter = 0; counter < maxiter; ++counter) {
        if (converged(s, tol_x, tol_f)) {
            *root = s.b;
            return SUCCESS;
        }
        double trial = 0.0;
        if (!trial_point(s, trial)) {
            rt::raise_locked(PyExc_ZeroDivisionError, rt::msg::float_division);
            rt::add_traceback(q_brent_root);
            return -1;
        }
        const double x = accept(s, trial, tol_x);
        double fx = 0.0;
        const int rc = f(x, user_data, &fx);
        if (int st = check_callback(rc, q_brent_root); st != SUCCESS) return st;
        update(s, x, fx);
    }
    // No convergence test after the last evaluation.
    *root = s.b;
    return MAX_ITER;
}

// ---------------------------------------------------------------------------
// Combined solve.

// Adds find_root's entry to an exception left pending by an inner stage.
int pass_on(int status) noexcept {
    if (status == -1 && rt::exception_pending()) rt::add_traceback(q_find_root);
    return status;
}

int find_root(scalar_func f, void* user_data, double x_guess, double step, double grow_factor, int max_expand,
              double x_min, double x_max, double tolerance, double tol_x, double tol_f, int maxiter,
              double* root) {
    double f0 = 0.0;
    const int rc = f(x_guess, user_data, &f0);
    if (int st = check_callback(rc, q_find_root); st != SUCCESS) return st;
    // Only an exact zero counts here; tolerance belongs to the expansion.
    if (f0 == 0.0) {
        *root = x_guess;
        return SUCCESS;
    }
    double lo = 0.0, hi = 0.0, flo = 0.0, fhi = 0.0;
    const int st = expand_bracket(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance,
                                  &lo, &hi, &flo, &fhi);
    if (st != SUCCESS) return pass_on(st);
    if (lo == hi) {  // an endpoint under tolerance
        *root = lo;
        return SUCCESS;
    }
    return pass_on(brent_root(f, user_data, lo, hi, flo, fhi, tol_x, tol_f, maxiter, root));
}

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

// Binds, converts left to right, runs the solver with the lock held and
// returns the status with the outputs (0.0 where the solver wrote none).
template <typename W>
constexpr const auto& params_v = W::decl.params;

template <typename W>
PyObject* wrapper_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    typename std::remove_cvref_t<decltype(W::decl)>::Args a;
    if (!rt::parse(W::decl, args, nargs, kwnames, a)) return nullptr;
    std::array<double, W::n_out> out{};
    const int status = W::solve(a, out.data());
    if (status == -1 && PyErr_Occurred()) return nullptr;
    return result_tuple(status, out);
}

template <typename W>
PyObject* wrapper_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return wrapper_body<W>(args, nargs, kwnames);
}

template <typename W>
inline constexpr auto wrapper = rt::traced<&wrapper_call<W>, W::qualname>;

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

PyMethodDef module_functions[] = {
    {PyExpandBracket::name, VELMORA_METH(wrapper<PyExpandBracket>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_doc<params_v<PyExpandBracket>, expand_bracket_doc>},
    {PyBrentRoot::name, VELMORA_METH(wrapper<PyBrentRoot>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_doc<params_v<PyBrentRoot>, brent_root_doc>},
    {PyFindRoot::name, VELMORA_METH(wrapper<PyFindRoot>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_doc<params_v<PyFindRoot>, find_root_doc>},
    {nullptr, nullptr, 0, nullptr}};

// The exported functions have exactly the types importers bind them as.
static_assert(std::is_same_v<decltype(&expand_bracket), expand_bracket_t>);
static_assert(std::is_same_v<decltype(&brent_root), brent_root_t>);
static_assert(std::is_same_v<decltype(&find_root), find_root_t>);
static_assert(std::is_same_v<decltype(&_py_trampoline), scalar_func>);

int exec_bracket_solver(PyObject* module) {
    if (!rt::export_function(module, "brent_root", &brent_root, brent_root_signature) ||
        !rt::export_function(module, "expand_bracket", &expand_bracket, expand_bracket_signature) ||
        !rt::export_function(module, "find_root", &find_root, find_root_signature))
        return -1;
    return PyModule_AddFunctions(module, module_functions);
}

constexpr const char* module_doc =
    "Bracketed one-dimensional root finding.\n\n"
    "Three C-level functions, exported to other compiled modules through the\n"
    "dictionary ``__c_api__`` (function name -> capsule named by its signature):\n\n"
    "expand_bracket\n"
    "    Widen a symmetric interval around a guess geometrically until f changes\n"
    "    sign across it (or an end is an exact root).\n"
    "brent_root\n"
    "    Refine an already bracketed root by Brent's method, a combination of\n"
    "    inverse quadratic interpolation, the secant method and bisection.\n"
    "find_root\n"
    "    Both in turn: the normal entry point. The lower-level functions are for\n"
    "    callers that already hold a tight bracket.\n\n"
    "Callback interface: ``int f(double x, void *user_data, double *f_out)`` writes\n"
    "f(x) to *f_out and returns 0 on success, non-zero on failure. ``user_data`` is\n"
    "passed through unchanged to every call; the solver never reads or writes it.\n"
    "The functions may run without the interpreter lock; after every callback call\n"
    "they test for a pending interpreter exception and then return -1.\n\n"
    "Status codes:\n\n"
    "    0  SUCCESS      the outputs were written (a bracket or an exact root for\n"
    "                    expand_bracket; the root for brent_root and find_root)\n"
    "    1  FUNC_ERROR   a callback call returned a non-zero code; outputs untouched\n"
    "    2  EXPAND_FAIL  expand_bracket used up max_expand widenings, or reached both\n"
    "                    domain bounds, without a sign change; outputs untouched\n"
    "    3  NO_BRACKET   brent_root was given endpoint values whose product is\n"
    "                    positive; output untouched\n"
    "    4  MAX_ITER     brent_root used up maxiter evaluations; the best estimate\n"
    "                    was written\n\n"
    "py_expand_bracket, py_brent_root and py_find_root call them for an interpreter\n"
    "callable and return the status with the results as a tuple."
    "\n\nExamples\n--------\n"
    ">>> from velmora.math_utils import _bracket_solver\n"
    ">>> sorted(_bracket_solver.__c_api__)\n"
    "['brent_root', 'expand_bracket', 'find_root']\n"
    ">>> limits = (0.1, 2.0, 20, -10.0, 10.0, 1e-30, 1e-12, 1e-14, 100)\n"
    ">>> _bracket_solver.py_find_root(lambda x: x * x + 1.0, 0.0, *limits)  # no real root\n"
    "(2, 0.0)\n"
    ">>> _bracket_solver.py_find_root(lambda x: 1.0 / 0.0, 0.0, *limits)  # f raised\n"
    "(1, 0.0)\n";

}  // namespace
}  // namespace velmora::math_utils

VELMORA_MODULE(_bracket_solver, velmora::math_utils::module_doc, "velmora/math_utils/_bracket_solver.cpp",
               velmora::math_utils::exec_bracket_solver)

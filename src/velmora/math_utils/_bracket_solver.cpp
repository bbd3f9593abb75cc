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

}  // namespace
}  // namespace velmora::math_utils

#include "math_utils/_bracket_solver_wrappers.hpp"

namespace velmora::math_utils {
namespace {

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

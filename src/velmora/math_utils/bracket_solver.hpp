// Shared declarations of the bracketed root finder, for every compiled module
// that calls it: the callback type, the status codes, the three solver
// function types with the signature texts of their `__c_api__` capsules, and
// the binding an importing module makes at its initialisation.
//
// The solver functions may be called with or without the interpreter lock;
// they take it briefly after every callback call to test for a pending
// exception, and to raise or record an error. A status of -1 means an
// interpreter exception is pending; the solver never clears it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "_runtime/capi.hpp"

namespace velmora::math_utils {

// f(x) written to *f_out; 0 on success, any other value a failure. user_data
// is the solver caller's pointer, handed through untouched.
using scalar_func = int (*)(double x, void* user_data, double* f_out);

inline constexpr int SUCCESS = 0;      // outputs written
inline constexpr int FUNC_ERROR = 1;   // a callback returned non-zero; outputs untouched
inline constexpr int EXPAND_FAIL = 2;  // no sign change within the widenings or the domain
inline constexpr int NO_BRACKET = 3;   // brent_root: f_lo * f_hi > 0
inline constexpr int MAX_ITER = 4;     // brent_root: maxiter used up; best estimate written

// The name of a status, as messages show it.
inline constexpr const char* status_name(int status) noexcept {
    switch (status) {
        case FUNC_ERROR: return "FUNC_ERROR";
        case EXPAND_FAIL: return "EXPAND_FAIL";
        case NO_BRACKET: return "NO_BRACKET";
        case MAX_ITER: return "MAX_ITER";
        default: return "unknown status";
    }
}

// expand_bracket(f, user_data, x_guess, step, grow_factor, max_expand, x_min,
//                x_max, tolerance, x_lo, x_hi, f_lo, f_hi)
using expand_bracket_t = int (*)(scalar_func f, void* user_data, double x_guess, double step,
                                 double grow_factor, int max_expand, double x_min, double x_max,
                                 double tolerance, double* x_lo, double* x_hi, double* f_lo,
                                 double* f_hi);
// brent_root(f, user_data, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter, root)
using brent_root_t = int (*)(scalar_func f, void* user_data, double x_lo, double x_hi, double f_lo,
                             double f_hi, double tol_x, double tol_f, int maxiter, double* root);
// find_root(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max,
//           tolerance, tol_x, tol_f, maxiter, root)
using find_root_t = int (*)(scalar_func f, void* user_data, double x_guess, double step,
                            double grow_factor, int max_expand, double x_min, double x_max,
                            double tolerance, double tol_x, double tol_f, int maxiter, double* root);

inline constexpr const char* bracket_solver_module = "velmora.math_utils._bracket_solver";

// The callback type as it is spelled in the signature texts; exporter and
// importers compare the whole text, so it is written in one place.
#define VELMORA_SCALAR_FUNC_ID "velmora_math_utils__bracket_solver_scalar_func"

inline constexpr const char* expand_bracket_signature =
    "int (" VELMORA_SCALAR_FUNC_ID
    ", void *, double, double, double, int, double, double, double, double *, double *, double *, "
    "double *)";
inline constexpr const char* brent_root_signature =
    "int (" VELMORA_SCALAR_FUNC_ID ", void *, double, double, double, double, double, double, int, double *)";
inline constexpr const char* find_root_signature =
    "int (" VELMORA_SCALAR_FUNC_ID
    ", void *, double, double, double, int, double, double, double, double, double, int, double *)";

// find_root as an importing module binds it from the module's `__c_api__`,
// accepted only under its exact signature text. The address stays valid for
// the process.
struct BracketSolverBinding {
    find_root_t find_root = nullptr;

    // Only find_root, the normal entry point.
    bool bind_find_root() {
        rt::Ref mod = rt::import_module(bracket_solver_module);
        return mod && rt::import_function(mod.get(), "find_root", find_root_signature, find_root);
    }
};

}  // namespace velmora::math_utils

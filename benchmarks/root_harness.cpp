// Root finder at the C level: velmora's find_root, called through the
// address its `__c_api__` capsule holds, against GSL's Brent solver on the
// same cheap callback, the same bracket and the same tolerances. Built by
// `make bench` and loaded with ctypes; it is not part of the package.
//
// Solve k of n finds the root of f(x) = x^3 - 2x - c_k, c_k = 4 + 2k/n,
// in [1, 3] (f(1) = -1 - c_k < 0 < f(3) = 21 - c_k), so that every solve
// walks a different path. find_root starts from x_guess = 2 with step 1,
// whose first pair is that bracket; GSL is set on it directly.
//
// Convergence: find_root with tol_f = 0 stops when |b - a| < tol_x; GSL's loop
// stops when gsl_root_test_interval(lo, hi, tol_x, 0) does, the same
// absolute-width test. The internal step tests of the two variants differ, so
// the evaluations per solve are reported beside the time.
#include "math_utils/bracket_solver.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_roots.h>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace {

namespace ms = velmora::math_utils;

constexpr double x_guess = 2.0;
constexpr double step = 1.0;
constexpr double grow_factor = 2.0;
constexpr int max_expand = 60;
constexpr double x_min = -1e3;
constexpr double x_max = 1e3;
constexpr double tolerance = 1e-30;  // exact-root threshold of the expansion
constexpr double tol_f = 0.0;        // no test on |f|: GSL has none
constexpr int maxiter = 100;

struct Problem {
    double c = 0.0;
    long long evaluations = 0;
    // Heap bytes in use as glibc counts them: at the start, and the extremes
    // seen at every evaluation (only in the allocation check).
    bool watch_heap = false;
    std::size_t heap_start = 0, heap_low = 0, heap_high = 0;
};

std::size_t heap_in_use() { return mallinfo2().uordblks; }

void watch(Problem* p) {
    const std::size_t now = heap_in_use();
    p->heap_low = std::min(p->heap_low, now);
    p->heap_high = std::max(p->heap_high, now);
}

double cubic(double x, double c) { return (x * x - 2.0) * x - c; }

int velmora_callback(double x, void* user_data, double* f_out) {
    auto* p = static_cast<Problem*>(user_data);
    ++p->evaluations;
    if (p->watch_heap) watch(p);
    *f_out = cubic(x, p->c);
    return 0;
}

double gsl_callback(double x, void* params) {
    auto* p = static_cast<Problem*>(params);
    ++p->evaluations;
    return cubic(x, p->c);
}

double now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double c_of(int k, int n) { return 4.0 + 2.0 * k / n; }

}  // namespace

extern "C" {

// n solves with find_root at `find_root_address`; roots[k] gets solve k's
// root (NaN when it failed). Returns ns per solve; *evaluations the total
// callback calls, *failures the solves whose status was not SUCCESS.
__attribute__((visibility("default"))) double bench_velmora(void* find_root_address, double tol_x, int n,
                                                            double* roots, long long* evaluations,
                                                            int* failures) {
    auto find_root = reinterpret_cast<ms::find_root_t>(find_root_address);
    Problem p;
    int failed = 0;
    const double t0 = now_ns();
    for (int k = 0; k < n; ++k) {
        p.c = c_of(k, n);
        double root = 0.0;
        const int st = find_root(&velmora_callback, &p, x_guess, step, grow_factor, max_expand, x_min, x_max,
                                 tolerance, tol_x, tol_f, maxiter, &root);
        if (st != ms::SUCCESS) {
            ++failed;
            root = __builtin_nan("");
        }
        roots[k] = root;
    }
    const double t1 = now_ns();
    *evaluations = p.evaluations;
    *failures = failed;
    return (t1 - t0) / n;
}

// The same solves with gsl_root_fsolver_brent on [1, 3]. The solver is
// allocated once, outside the timed loop.
__attribute__((visibility("default"))) double bench_gsl(double tol_x, int n, double* roots,
                                                        long long* evaluations, int* failures) {
    gsl_set_error_handler_off();
    gsl_root_fsolver* s = gsl_root_fsolver_alloc(gsl_root_fsolver_brent);
    if (!s) return -1.0;
    Problem p;
    gsl_function F{&gsl_callback, &p};
    int failed = 0;
    const double t0 = now_ns();
    for (int k = 0; k < n; ++k) {
        p.c = c_of(k, n);
        bool solved = false;
        if (gsl_root_fsolver_set(s, &F, x_guess - step, x_guess + step) == GSL_SUCCESS) {
            for (int iter = 0; iter < maxiter; ++iter) {
                if (gsl_root_fsolver_iterate(s) != GSL_SUCCESS) break;
                if (gsl_root_test_interval(gsl_root_fsolver_x_lower(s), gsl_root_fsolver_x_upper(s), tol_x,
                                           0.0) == GSL_SUCCESS) {
                    solved = true;
                    break;
                }
            }
        }
        if (!solved) ++failed;
        roots[k] = solved ? gsl_root_fsolver_root(s) : __builtin_nan("");
    }
    const double t1 = now_ns();
    gsl_root_fsolver_free(s);
    *evaluations = p.evaluations;
    *failures = failed;
    return (t1 - t0) / n;
}

// n solves with the find_root_t at `solver_address`, reading the heap bytes
// in use (mallinfo2) before the first solve, at every evaluation and after
// the last: *growth is the change from start to end, *spread the largest
// departure from the start seen at any evaluation. Both 0: no solve left
// memory behind or held any while it called back. Returns the number of
// failed solves.
//
// glibc counts blocks in its per-thread cache as in use, so a block freed
// and taken again from that cache moves nothing: run this with the cache
// off (GLIBC_TUNABLES=glibc.malloc.tcache_count=0), and check with
// allocating_solver that the reading does see an allocation.
__attribute__((visibility("default"))) int heap_check(void* solver_address, double tol_x, int n,
                                                      long long* growth, long long* spread) {
    auto find_root = reinterpret_cast<ms::find_root_t>(solver_address);
    Problem p;
    p.watch_heap = true;
    p.heap_start = p.heap_low = p.heap_high = heap_in_use();
    int failed = 0;
    for (int k = 0; k < n; ++k) {
        p.c = c_of(k, n);
        double root = 0.0;
        if (find_root(&velmora_callback, &p, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance,
                      tol_x, tol_f, maxiter, &root) != ms::SUCCESS)
            ++failed;
    }
    const auto start = static_cast<long long>(p.heap_start);
    *growth = static_cast<long long>(heap_in_use()) - start;
    *spread = std::max(static_cast<long long>(p.heap_high) - start, start - static_cast<long long>(p.heap_low));
    return failed;
}

// A stand-in for find_root that holds a heap block while it calls back: the
// allocation check must see it.
static int allocating_solver(ms::scalar_func f, void* user_data, double x_guess, double, double, int, double,
                             double, double, double, double, int, double* root) {
    void* volatile block = std::malloc(64);  // volatile: the pair is not elided
    double v = 0.0;
    const int rc = f(x_guess, user_data, &v);
    std::free(block);
    *root = x_guess;
    return rc == 0 ? ms::SUCCESS : ms::FUNC_ERROR;
}

__attribute__((visibility("default"))) void* allocating_solver_address() {
    return reinterpret_cast<void*>(static_cast<ms::find_root_t>(&allocating_solver));
}

}  // extern "C"

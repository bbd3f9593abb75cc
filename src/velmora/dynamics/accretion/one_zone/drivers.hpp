// What the framework's drivers (solve_profile, evolve, thermal_equilibria)
// share inside the closure module: the ring formulas, the test after every
// kernel call, the parameter snapshot a run works from, the refusal of a
// closure object that is not ready, and the registry of models' energy
// balances.
#pragma once

#include "dynamics/accretion/one_zone/branches.hpp"
#include "dynamics/accretion/one_zone/closure.hpp"
#include "dynamics/accretion/one_zone/disk_model.hpp"

#include "_runtime/declare.hpp"
#include "_runtime/runtime.hpp"

#include <cmath>

namespace velmora::disk {

// The closure object's type, made ready by the module's initialisation.
extern PyTypeObject closure_type;

#define OZ_PREFIX "velmora.dynamics.accretion.one_zone.closure."

// ---------------------------------------------------------------------------
// Ring physics: all of the disk's mass M_D on one circular orbit around the
// hole, J_D = DISK_A M_D sqrt(G M_BH R_D) (DISK_A = 1 for a ring), spread
// over the area pi R_D^2.

inline double ring_angular_momentum(double M_D, double R_D, double M_BH) {
    using namespace constants;
    return DISK_A * M_D * std::sqrt(G_CGS * M_BH * R_D);
}

inline DiskDerived ring_of(double M_D, double J_D, double M_BH) {
    using namespace constants;
    const double j = J_D / (DISK_A * M_D);  // specific angular momentum [cm^2 s^-1]
    const double GM = G_CGS * M_BH;
    const double R_D = j * j / GM;
    DiskDerived d;
    d.R_D = R_D;
    d.Sigma = M_D / (PI * R_D * R_D);
    d.Omega = std::sqrt(GM / (R_D * R_D * R_D));
    return d;
}

// Aspect ratio H / R_D of a solved ring, H = c_s / Omega.
inline double aspect_ratio(const DiskDerived& d, const ClosureResult& r) {
    return std::exp(r.ln_c_s) / d.Omega / d.R_D;
}

// ---------------------------------------------------------------------------
// How a kernel call went, as the drivers see it.
struct KernelFailure {
    enum Kind { none, exception, no_solution, kernel_status } kind = none;
    int status = 0;
    const char* function = "";

    bool failed() const { return kind != none; }
};

// The test after every kernel call: a pending exception first, then the
// status (a closure's non-zero status means no solution; any other kernel's
// is a failure without an exception).
inline KernelFailure checked(int rc, const char* function) {
    if (rt::exception_pending()) return {KernelFailure::exception, rc, function};
    if (rc != 0) return {KernelFailure::kernel_status, rc, function};
    return {};
}

inline KernelFailure checked_closure(int rc) {
    KernelFailure f = checked(rc, "closure");
    if (f.kind == KernelFailure::kernel_status) f.kind = KernelFailure::no_solution;
    return f;
}

// ---------------------------------------------------------------------------
// The parameter record a long run works from, taken once under the lock.
// The record the object fills borrows its law and points into the object's
// wrapper objects, and the object's functions may be replaced, so another
// thread that installs a new law or binds new parameters while the lock is
// released would free or change what the run reads. The snapshot holds its
// own reference on the law, its own copies of the advection and fallback
// records and of the installed functions; a rebinding in mid-run does not
// reach it.
class ParameterSnapshot {
public:
    explicit ParameterSnapshot(PyObject* obj);
    ParameterSnapshot(const ParameterSnapshot&) = delete;
    ParameterSnapshot& operator=(const ParameterSnapshot&) = delete;

    const DiskParameters& params() const { return params_; }
    // Whether the object still holds what the run started from (its
    // generation counts bindings and new laws).
    bool current(PyObject* obj) const;

    int (*compute_derived)(PyObject* self, const DiskState*, const DiskParameters*, DiskDerived*) = nullptr;
    closure_func_t closure_func = nullptr;
    step_func_t derivative_func = nullptr;
    step_func_t source_func = nullptr;
    writer_func_t writer_func = nullptr;
    int n_result_fields = 0;
    const DiskModel* model = nullptr;       // what the model registered, if anything
    const ThermalModel* thermal = nullptr;  // the model's balance, when it offers one

    // The name of the closure's non-zero status, as the model calls it.
    const char* status_name(int status) const;

private:
    DiskParameters params_{};
    AdvectionParams advection_{};
    FallbackParams fallback_{};
    rt::Ref law_;
    unsigned int generation_ = 0;
};

// The disk's rates for a solved closure: the derivative step, plus the
// source step field by field when a source is installed.
KernelFailure disk_rates(const ParameterSnapshot& run, const DiskState& state, const DiskDerived& derived,
                         const ClosureResult& result, DiskStep& step);

// The whole structure of the model's balance at a ring, `ctx` prepared for
// it (for the model's fill afterwards); the balance's evaluations are added
// to `*evaluations` when it is given.
KernelFailure scan_ring(const ParameterSnapshot& run, const DiskDerived& derived, ThermalContext& ctx,
                        thermal::Structure& s, long* evaluations = nullptr);

// Row `row` of an (n, n_fields) row-major output.
KernelFailure write_row(const ParameterSnapshot& run, int row, const DiskState& state, const DiskDerived& derived,
                        const ClosureResult& result, const DiskStep& step, double* out);

// The closure object must have its functions installed and its parameters
// complete (the model's own test, else an opacity law): refused here, before
// any kernel runs. `func` names the refusing driver; evolve also needs the
// derivative function.
bool closure_ready(PyObject* obj, const char* func, bool needs_derivative);

// The record a model registered for its closure function, or null; and the
// registration a model makes (exported under `__c_framework__`): 0, or -1
// with an exception set. A second registration for a closure replaces the
// first.
const DiskModel* disk_model_of(closure_func_t closure);
int register_disk_model(closure_func_t closure, const DiskModel* model);

// A driver's `branch` argument: None (the driver's default), "closure" (the
// installed closure's own search), or a branch name ("hottest", "thick",
// "thin", "coolest"), whose choice and name are then set. False with
// ValueError for anything else.
enum class BranchArg { unset, closure, named };
bool read_branch(PyObject* value, const char* func, BranchArg& kind, thermal::Choice& choice, const char*& name);

// The arguments of a driver, declared once (declare.hpp); the first, the
// `closure` member, must be a closure object.
template <typename Args, std::size_t N>
bool parse_driver(const rt::Declaration<Args, N>& decl, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Args& out) {
    if (!rt::parse(decl, args, nargs, kwnames, out)) return false;
    if (PyObject_TypeCheck(out.closure, &closure_type)) return true;
    rt::raise_argument_type("closure", &closure_type, out.closure);
    return false;
}

// A new (n, n_fields) float64 array for output rows, and a view on it.
rt::Ref new_rows(Py_ssize_t n, int n_fields, rt::Table& table);

// The module functions each driver's source defines.
extern PyMethodDef solve_profile_def;
extern PyMethodDef evolve_def;
extern PyMethodDef thermal_equilibria_def;

}  // namespace velmora::disk

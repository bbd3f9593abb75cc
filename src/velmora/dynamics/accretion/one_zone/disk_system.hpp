// The right-hand side of the disk's evolution and its thermal history: a
// disk point (state, ring, thermal structure, rates, branch bracket) at any
// (t, M_D, J_D), on the branch the disk follows or from the closure's own
// search; the scan at the start and the fall after a branch's end.
#pragma once

#include "dynamics/accretion/one_zone/branches.hpp"
#include "dynamics/accretion/one_zone/dopri5.hpp"
#include "dynamics/accretion/one_zone/drivers.hpp"

#include "_runtime/checks.hpp"

#include <algorithm>
#include <cmath>

namespace velmora::disk::evolution {

using State = ode::State<2>;

// How the thermal structure is chosen: the closure's own search, or a branch.
struct ThermalMode {
    bool follow = false;
    thermal::Choice start = thermal::Choice::hottest;
    const char* name = "closure";
};

// evolve's arguments (declared with evolve_decl below); objects borrowed.
struct EvolveInput {
    PyObject* closure;
    double M_D0, R_D0, t_end;
    int n_out;
    double rtol;
    PyObject* progress;  // None or null: no callback
    rt::Maybe<double> t_start;
    int max_steps;
    PyObject* branch;  // None or null: the default
    bool full_output;
};

// One evaluation of the disk: state, ring, thermal structure, rates, and the
// branch's bracket there.
struct DiskPoint {
    DiskState state{};
    DiskDerived derived{};
    ClosureResult result{};
    DiskStep step{};
    thermal::Branch branch{};
};

// Roots of the balance closer than this in ln T to a fold are the fold's own.
constexpr double fold_width = 1e-6;

// A jump from one branch to another, at the time the first one ended.
struct Transition {
    double t;
    thermal::Label from, to;
    DiskPoint before, after;
};

// The right-hand side for the stepper, and the disk's thermal history; runs
// without the interpreter lock.
class DiskSystem {
public:
    DiskSystem(PyObject* obj, const ParameterSnapshot& run, bool follow)
        : obj_(obj), run_(run), params_(run.params()), follow_(follow) {}

    ode::Eval derivative(double t, const State& y, State& dydt) {
        ++evaluations_;
        const ode::Eval e = evaluate(t, y, latest_);
        if (e == ode::Eval::ok) dydt = {latest_.step.step1, latest_.step.step2};
        return e;
    }

    // The stepper's accepted point was the evaluation just made.
    void accept(double t, const State& y) {
        if (!(latest_.state.state0 == t && latest_.state.M_D == y[0] && latest_.state.state2 == y[1]))
            evaluate(t, y, latest_);
        accepted_ = latest_;
        previous_ = accepted_.result;
        tracked_ = accepted_.branch;
        has_unsolved_ = false;
    }

    // The disk at (t, y): its ring, its thermal structure on the followed
    // branch (or from the closure, starting at the last accepted solution),
    // its rates. Eval::event: the followed branch has ended there.
    ode::Eval evaluate(double t, const State& y, DiskPoint& p) {
        // A trial step long enough to empty the disk is the stepper's to shorten.
        if (!rt::positive_finite(y[0]) || !rt::positive_finite(y[1])) return ode::Eval::outside;
        p.state = DiskState{t, y[0], y[1]};
        failure_ = checked(run_.compute_derived(obj_, &p.state, &params_, &p.derived), "compute_derived");
        if (failure_.failed()) return ode::Eval::stop;
        if (follow_) {
            const ode::Eval e = solve_on_branch(p);
            if (e != ode::Eval::ok) return e;
        } else {
            failure_ = checked_closure(run_.closure_func(&p.state, &p.derived, &params_, &previous_, &p.result));
            if (failure_.kind == KernelFailure::no_solution) return unsolved(p);
            if (failure_.failed()) return ode::Eval::stop;
        }
        failure_ = disk_rates(run_, p.state, p.derived, p.result, p.step);
        return failure_.failed() ? ode::Eval::stop : ode::Eval::ok;
    }

    // The stable root `choice` picks at the start, from a scan; false with
    // the failure (or, for a branch that does not exist, missing_) set.
    bool choose_start(double t, const State& y, thermal::Choice choice) {
        DiskPoint p;
        p.state = DiskState{t, y[0], y[1]};
        failure_ = checked(run_.compute_derived(obj_, &p.state, &params_, &p.derived), "compute_derived");
        if (failure_.failed()) return false;
        thermal::Structure s;
        if (!scan_at(p, s)) return false;
        const int k = s.pick(choice);
        if (k < 0) {
            missing_ = true;
            at_ = p;
            return false;
        }
        tracked_ = s.branch_of(k, run_.thermal->ln_T_min, run_.thermal->ln_T_max);
        start_label_ = s.label(k);
        return true;
    }

    // After the event at the accepted point: the stable root the disk falls
    // onto, beyond the end of its branch, and the transition. False with the
    // failure (or no_landing_) set.
    bool fall(Transition& out) {
        const DiskPoint& p = accepted_;
        thermal::Structure s;
        if (!scan_at(p, s)) return false;
        // Past the bounding extremum, and clear of the merging pair itself:
        // at the fold the old root and the unstable one differ by about the
        // square root of the balance's rounding.
        const bool downward = ended_below_;
        const double edge = downward ? std::min(p.branch.lo, p.branch.root) - fold_width
                                     : std::max(p.branch.hi, p.branch.root) + fold_width;
        const int k = s.next_stable(edge, downward);
        if (k < 0) {
            no_landing_ = true;
            at_ = p;
            return false;
        }
        out.t = p.state.state0;
        out.from = s.label_at(p.branch.root, fold_width);
        out.to = s.label(k);
        out.before = p;
        if (!at_fold(out.before, downward)) return false;
        tracked_ = s.branch_of(k, run_.thermal->ln_T_min, run_.thermal->ln_T_max);
        const State y{p.state.M_D, p.state.state2};
        if (evaluate(p.state.state0, y, out.after) != ode::Eval::ok) return false;
        return true;
    }

    const DiskPoint& accepted() const { return accepted_; }
    // After Eval::stop: what failed, at the point being evaluated.
    const KernelFailure& failure() const { return failure_; }
    const DiskPoint& latest() const { return latest_; }
    // The last state without a solution since the last accepted step.
    bool has_unsolved() const { return has_unsolved_; }
    const DiskPoint& unsolved_point() const { return unsolved_; }
    const KernelFailure& unsolved_failure() const { return unsolved_failure_; }
    bool ended_below() const { return ended_below_; }
    bool missing() const { return missing_; }
    bool no_landing() const { return no_landing_; }
    const DiskPoint& at() const { return at_; }
    thermal::Label start_label() const { return start_label_; }
    const thermal::Branch& tracked() const { return tracked_; }
    void set_tracked(const thermal::Branch& b) { tracked_ = b; }
    long evaluations() const { return evaluations_; }
    long residual_evaluations() const { return residual_evaluations_; }
    long scans() const { return scans_; }

private:
    ode::Eval unsolved(const DiskPoint& p) {
        // No thermal equilibrium here: a trial step too long, or the disk
        // has reached such a state. The stepper narrows it down; if it is
        // real, this is the failure to report.
        unsolved_ = p;
        unsolved_failure_ = failure_;
        has_unsolved_ = true;
        return ode::Eval::outside;
    }

    ode::Eval solve_on_branch(DiskPoint& p) {
        ThermalContext ctx;
        failure_ = checked(run_.thermal->prepare(&p.derived, &params_, &ctx), "closure");
        if (failure_.failed()) return ode::Eval::stop;
        thermal::Balance balance(*run_.thermal, ctx);
        const thermal::Follow r = thermal::follow(balance, tracked_, p.branch);
        residual_evaluations_ += balance.evaluations();
        switch (r) {
            case thermal::Follow::ok: break;
            case thermal::Follow::ended_below:
            case thermal::Follow::ended_above:
                ended_below_ = r == thermal::Follow::ended_below;
                return ode::Eval::event;
            case thermal::Follow::no_root:
                failure_ = {KernelFailure::no_solution, math_utils::EXPAND_FAIL, "closure"};
                return unsolved(p);
            case thermal::Follow::failed:
                failure_ = checked(balance.status() ? balance.status() : -1, "closure");
                return ode::Eval::stop;
        }
        failure_ = checked(run_.thermal->fill(&p.derived, &params_, &ctx, p.branch.root, &p.result), "closure");
        return failure_.failed() ? ode::Eval::stop : ode::Eval::ok;
    }

    // The disk at the end of its branch: the thermal structure at the
    // bounding extremum, where the branch's root and the unstable one merge.
    // The accepted point lies up to an event tolerance before that end; there
    // the root is still the square root of that tolerance away from the fold,
    // while the extremum has moved by the tolerance alone. The root stays
    // where the extremum is not found.
    bool at_fold(DiskPoint& p, bool downward) {
        ThermalContext ctx;
        failure_ = checked(run_.thermal->prepare(&p.derived, &params_, &ctx), "closure");
        if (failure_.failed()) return false;
        thermal::Balance balance(*run_.thermal, ctx);
        thermal::Extremum e;
        bool found = false;
        const bool ok = thermal::refine_extremum(balance, downward ? p.branch.lo : p.branch.hi, downward, e, found);
        residual_evaluations_ += balance.evaluations();
        if (!ok) {
            failure_ = checked(balance.status() ? balance.status() : -1, "closure");
            return false;
        }
        if (!found) return true;
        failure_ = checked(run_.thermal->fill(&p.derived, &params_, &ctx, e.x, &p.result), "closure");
        if (!failure_.failed()) failure_ = disk_rates(run_, p.state, p.derived, p.result, p.step);
        return !failure_.failed();
    }

    bool scan_at(const DiskPoint& p, thermal::Structure& s) {
        ThermalContext ctx;
        ++scans_;
        failure_ = scan_ring(run_, p.derived, ctx, s, &residual_evaluations_);
        return !failure_.failed();
    }

    PyObject* obj_;
    const ParameterSnapshot& run_;
    const DiskParameters& params_;
    const bool follow_;
    ClosureResult previous_{};  // closure mode: start of every search (0.0: the closure's own guess)
    thermal::Branch tracked_{};  // branch mode: the branch at the last accepted point
    DiskPoint latest_, accepted_, unsolved_, at_;
    KernelFailure failure_, unsolved_failure_;
    bool has_unsolved_ = false, ended_below_ = false, missing_ = false, no_landing_ = false;
    thermal::Label start_label_ = thermal::Label::single;
    long evaluations_ = 0, residual_evaluations_ = 0, scans_ = 0;
};

}  // namespace velmora::disk::evolution

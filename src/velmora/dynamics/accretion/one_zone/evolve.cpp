// evolve: the disk's time evolution. Its mass and angular momentum,
// y = (M_D, J_D) at t = state0, are integrated by the Dormand-Prince pair;
// every evaluation of the rates derives the ring, finds its thermal structure
// and sums the derivative and source steps.
//
// The thermal structure comes from a named branch of the model's energy
// balance, followed from one accepted point to the next (branches.hpp), so
// that no accepted point lies on an unstable root and the disk leaves its
// branch exactly where the branch ends. That end is an event: a trial stage
// past it bounds a window in which the stepper locates it to the tolerance,
// the disk falls onto the next stable root on that side (a transition, kept
// in the run's record) and the integrator restarts from there. Output rows
// come from the steps' continuous extension, so output times never shape the
// steps. With branch="closure" the installed closure searches from the last
// accepted point's solution instead, as its own first guess allows.
#include "dynamics/accretion/one_zone/branches.hpp"
#include "dynamics/accretion/one_zone/dopri5.hpp"
#include "dynamics/accretion/one_zone/drivers.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/format.hpp"
#include "_runtime/notes.hpp"
#include "_runtime/signals.hpp"
#include "_runtime/signature.hpp"
#include "_runtime/threads.hpp"
#include "math_utils/scalar_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;
using State = ode::State<2>;

constexpr char q_evolve[] = OZ_PREFIX "evolve";

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

    bool scan_at(const DiskPoint& p, thermal::Structure& s) {
        ThermalContext ctx;
        failure_ = checked(run_.thermal->prepare(&p.derived, &params_, &ctx), "closure");
        if (failure_.failed()) return false;
        thermal::Balance balance(*run_.thermal, ctx);
        ++scans_;
        const bool ok = thermal::scan(balance, s);
        residual_evaluations_ += balance.evaluations();
        if (!ok) failure_ = checked(balance.status() ? balance.status() : -1, "closure");
        return ok;
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

// The output times: n_out points log-spaced from t_start to t_end, the first
// exactly t_start (unless n_out is 1) and the last exactly t_end, never
// beyond it and never decreasing, however close the two are.
std::vector<double> output_times(const EvolveInput& in) {
    std::vector<double> times(static_cast<std::size_t>(in.n_out));
    const double a = std::log(in.t_start.value), b = std::log(in.t_end);
    for (int k = 0; k + 1 < in.n_out; ++k) times[k] = std::exp(a + (b - a) * k / (in.n_out - 1));
    times.front() = in.t_start.value;  // both ends exactly, not through exp(log(t))
    times.back() = in.t_end;
    for (std::size_t k = 1; k < times.size(); ++k) times[k] = std::clamp(times[k], times[k - 1], in.t_end);
    return times;
}

// How a run ended.
struct EvolveOutcome {
    enum Kind {
        done,
        kernel,          // a kernel failed, or no thermal equilibrium (failure says which)
        callback,        // progress raised, or the object was rebound; the exception is pending
        interrupted,     // a signal handler raised; the exception is pending
        step_too_small,
        too_many_steps,
        stalled,
        missing_branch,  // the asked-for branch does not exist at the start
        no_landing,      // a branch ended with no stable root beyond it
        restless,        // transitions without settling
        empty,           // the disk's mass or angular momentum ran out
    } kind = done;
    int rows = 0;           // output rows completed
    KernelFailure failure;  // kind kernel
    DiskPoint at;           // where it happened
    double t = 0.0, h = 0.0, t_target = 0.0;
    long max_steps = 0;
};

// The largest accretion rate onto the hole: over the accepted points and the
// transitions, then refined between the neighbouring steps' continuous
// extensions.
struct Peak {
    double t = 0.0, Mdot = -1.0;
    thermal::Branch branch{};
    ode::DenseStep<2> before{}, after{};
    bool has_before = false, has_after = false, awaiting_after = false;
};

// At each output row, with the lock taken briefly: pending signals, then the
// progress callback with the fraction done, then whether the object still
// holds the parameters the run started from. False with the exception
// pending on this thread.
bool report_progress(PyObject* obj, const ParameterSnapshot& run, PyObject* progress, int rows, int n_out,
                     bool& interrupted) {
    rt::GilGuard gil;
    if (PyErr_CheckSignals() < 0) {
        interrupted = true;
        return false;
    }
    if (!progress) return true;
    Ref fraction = rt::new_float(static_cast<double>(rows) / n_out);
    if (!fraction || !Ref::steal(PyObject_CallOneArg(progress, fraction.get()))) return false;
    if (run.current(obj)) return true;
    PyErr_Format(PyExc_RuntimeError, msg::evolve_rebound, Py_TYPE(obj)->tp_name);
    return false;
}

// Transitions closer together than this many event tolerances, this many
// times in a row, mean the disk cannot settle on either branch.
constexpr int max_quick_transitions = 50;

class Run {
public:
    Run(PyObject* obj, const ParameterSnapshot& run, const EvolveInput& in, const ThermalMode& mode,
        const std::vector<double>& times, double* out)
        : obj_(obj),
          run_(run),
          in_(in),
          mode_(mode),
          times_(times),
          out_(out),
          sys_(obj, run, mode.follow),
          stepper_(in.rtol, in.max_steps) {}

    EvolveOutcome go() {
        r_.max_steps = in_.max_steps;
        const State y0{in_.M_D0, ring_angular_momentum(in_.M_D0, in_.R_D0, run_.params().M_BH)};
        if (mode_.follow && !sys_.choose_start(0.0, y0, mode_.start)) {
            if (sys_.missing()) return finish(EvolveOutcome::missing_branch, 0.0);
            return kernel_failure(sys_.failure(), sys_.latest(), 0.0);
        }
        ode::Outcome o = stepper_.start(sys_, 0.0, y0, in_.t_end);
        if (o != ode::Outcome::accepted) return stopped(o, 0.0);
        consider_peak(sys_.accepted(), false);
        int quick = 0;
        double last_transition = -1.0;
        while (r_.rows < in_.n_out) {
            o = stepper_.step(sys_, in_.t_end);
            if (o == ode::Outcome::event) {
                Transition tr;
                if (!sys_.fall(tr)) {
                    if (sys_.no_landing()) return finish(EvolveOutcome::no_landing, stepper_.t());
                    return kernel_failure(sys_.failure(), sys_.accepted(), stepper_.t());
                }
                const double dt = tr.t - last_transition;
                quick = dt <= 1e3 * in_.rtol * std::max(tr.t, 1.0) ? quick + 1 : 0;
                if (quick >= max_quick_transitions) return finish(EvolveOutcome::restless, tr.t);
                last_transition = tr.t;
                transitions_.push_back(tr);
                consider_peak(tr.after, false);
                const State y{tr.after.state.M_D, tr.after.state.state2};
                o = stepper_.start(sys_, tr.t, y, in_.t_end - tr.t);
                if (o != ode::Outcome::accepted) return stopped(o, tr.t);
                continue;
            }
            if (o != ode::Outcome::accepted && o != ode::Outcome::reached) return stopped(o, times_[r_.rows]);
            consider_peak(sys_.accepted(), true);
            if (!write_rows()) return r_;
            if (interrupted_()) {
                r_.kind = EvolveOutcome::interrupted;
                r_.t = stepper_.t();
                return r_;
            }
        }
        refine_peak();
        return r_;
    }

    const std::vector<Transition>& transitions() const { return transitions_; }
    const Peak& peak() const { return peak_; }
    const DiskSystem& system() const { return sys_; }
    const ode::Counts& counts() const { return stepper_.counts(); }

private:
    // Rows at the output times within the step just accepted, from its
    // continuous extension; the step's own end exactly.
    bool write_rows() {
        const ode::DenseStep<2>& d = stepper_.dense();
        const double t_new = stepper_.t();
        while (r_.rows < in_.n_out && times_[r_.rows] <= t_new) {
            const double t = times_[r_.rows];
            DiskPoint p;
            if (t == t_new) {
                p = sys_.accepted();
            } else {
                const ode::Eval e = sys_.evaluate(t, d.at(t), p);
                if (e != ode::Eval::ok) {
                    // Within the tolerance of a branch's end, or a failure.
                    if (e == ode::Eval::stop) {
                        kernel_failure(sys_.failure(), p, t);
                        return false;
                    }
                    p = sys_.accepted();
                }
            }
            const KernelFailure f = write_row(run_, r_.rows, p.state, p.derived, p.result, p.step, out_);
            if (f.failed()) {
                kernel_failure(f, p, t);
                return false;
            }
            ++r_.rows;
            bool interrupted = false;
            if (!report_progress(obj_, run_, in_.progress, r_.rows, in_.n_out, interrupted)) {
                r_.kind = interrupted ? EvolveOutcome::interrupted : EvolveOutcome::callback;
                r_.t = t;
                return false;
            }
        }
        return true;
    }

    void consider_peak(const DiskPoint& p, bool after_a_step) {
        if (peak_.awaiting_after && after_a_step) {
            peak_.after = stepper_.dense();
            peak_.has_after = true;
        }
        peak_.awaiting_after = false;
        if (!(p.step.step0 > peak_.Mdot)) return;
        peak_.t = p.state.state0;
        peak_.Mdot = p.step.step0;
        peak_.branch = p.branch;
        peak_.has_before = after_a_step;
        if (after_a_step) peak_.before = stepper_.dense();
        peak_.has_after = false;
        peak_.awaiting_after = true;
    }

    // The peak between the accepted points on either side of the best one:
    // the accretion rate along the continuous extensions, maximised.
    void refine_peak() {
        if (!mode_.follow) return;
        auto try_step = [&](const ode::DenseStep<2>& d) {
            const thermal::Branch kept = sys_.tracked();
            sys_.set_tracked(peak_.branch);
            bool ok = true;
            auto minus_Mdot = [&](double t, double& g) {
                DiskPoint p;
                if (sys_.evaluate(t, d.at(t), p) != ode::Eval::ok) return ok = false;
                g = -p.step.step0;
                return true;
            };
            math_utils::Minimum m;
            if (math_utils::local_minimum(minus_Mdot, d.t_old, d.t_old + d.h, 0.0, m) && ok && -m.f > peak_.Mdot) {
                peak_.Mdot = -m.f;
                peak_.t = m.x;
            }
            sys_.set_tracked(kept);
            rt::GilGuard gil;  // a failed evaluation here only leaves the peak as it was
            PyErr_Clear();
        };
        if (peak_.has_before) try_step(peak_.before);
        if (peak_.has_after) try_step(peak_.after);
    }

    EvolveOutcome& finish(EvolveOutcome::Kind kind, double t) {
        r_.kind = kind;
        r_.t = t;
        r_.at = sys_.at();
        return r_;
    }

    EvolveOutcome& kernel_failure(const KernelFailure& f, const DiskPoint& p, double t) {
        r_.kind = EvolveOutcome::kernel;
        r_.failure = f;
        r_.at = p;
        r_.t = t;
        return r_;
    }

    EvolveOutcome& stopped(ode::Outcome o, double t_target) {
        r_.t = stepper_.t();
        r_.h = stepper_.step();
        r_.t_target = t_target;
        switch (o) {
            case ode::Outcome::stopped: return kernel_failure(sys_.failure(), sys_.latest(), stepper_.t());
            case ode::Outcome::edge:
                if (sys_.has_unsolved())
                    return kernel_failure(sys_.unsolved_failure(), sys_.unsolved_point(), stepper_.t());
                r_.kind = EvolveOutcome::empty;
                return r_;
            case ode::Outcome::start_outside:
                if (sys_.has_unsolved())
                    return kernel_failure(sys_.unsolved_failure(), sys_.unsolved_point(), stepper_.t());
                r_.kind = EvolveOutcome::step_too_small;
                return r_;
            case ode::Outcome::step_too_small: r_.kind = EvolveOutcome::step_too_small; break;
            case ode::Outcome::too_many_steps: r_.kind = EvolveOutcome::too_many_steps; break;
            case ode::Outcome::stalled: r_.kind = EvolveOutcome::stalled; break;
            case ode::Outcome::event:
            case ode::Outcome::accepted:
            case ode::Outcome::reached: break;
        }
        // The step shrank to nothing against a state without a solution.
        if (r_.kind == EvolveOutcome::step_too_small && sys_.has_unsolved())
            return kernel_failure(sys_.unsolved_failure(), sys_.unsolved_point(), stepper_.t());
        return r_;
    }

    PyObject* obj_;
    const ParameterSnapshot& run_;
    const EvolveInput& in_;
    const ThermalMode& mode_;
    const std::vector<double>& times_;
    double* out_;
    DiskSystem sys_;
    ode::DormandPrince5<2> stepper_;
    EvolveOutcome r_;
    std::vector<Transition> transitions_;
    Peak peak_;
    rt::SignalCheck interrupted_{1};  // a step takes microseconds
};

// --- results and reports, with the lock held ------------------------------------

Ref point_summary(const DiskPoint& p) {
    return Ref::steal(Py_BuildValue("{s:d,s:d,s:d,s:d}", "Mdot", p.step.step0, "T_c", std::exp(p.result.ln_T_c),
                                    "H_over_R", aspect_ratio(p.derived, p.result), "M_D", p.state.M_D));
}

Ref transition_record(const Transition& tr) {
    Ref before = point_summary(tr.before), after = point_summary(tr.after);
    if (!before || !after) return {};
    return Ref::steal(Py_BuildValue(
        "{s:d,s:s,s:s,s:d,s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "t", tr.t, "from_branch", thermal::label_name(tr.from),
        "to_branch", thermal::label_name(tr.to), "Mdot_before", tr.before.step.step0, "Mdot_after",
        tr.after.step.step0, "T_c_before", std::exp(tr.before.result.ln_T_c), "T_c_after",
        std::exp(tr.after.result.ln_T_c), "H_over_R_before", aspect_ratio(tr.before.derived, tr.before.result),
        "H_over_R_after", aspect_ratio(tr.after.derived, tr.after.result), "M_D", tr.before.state.M_D, "R_D",
        tr.before.derived.R_D));
}

// The run's record: its transitions and statistics.
Ref run_info(const Run& run, const ThermalMode& mode, const EvolveOutcome& outcome) {
    Ref transitions = Ref::steal(PyList_New(0));
    if (!transitions) return {};
    for (const Transition& tr : run.transitions()) {
        Ref item = transition_record(tr);
        if (!item || PyList_Append(transitions.get(), item.get()) < 0) return {};
    }
    const DiskSystem& sys = run.system();
    const Peak& peak = run.peak();
    return Ref::steal(Py_BuildValue(
        "{s:s,s:s,s:O,s:l,s:l,s:l,s:l,s:l,s:d,s:d,s:i,s:d}", "branch", mode.name, "start_branch",
        mode.follow ? thermal::label_name(sys.start_label()) : "closure", "transitions", transitions.get(), "steps",
        run.counts().accepted, "rejected_steps", run.counts().rejected, "evaluations", sys.evaluations(),
        "residual_evaluations", sys.residual_evaluations(), "scans", sys.scans(), "peak_Mdot",
        peak.Mdot > 0.0 ? peak.Mdot : std::nan(""), "t_peak", peak.Mdot > 0.0 ? peak.t : std::nan(""), "rows",
        outcome.rows, "t_reached", outcome.kind == EvolveOutcome::done ? outcome.t_target : outcome.t));
}

void set_runtime_error(const char* fmt, PyObject* args) {
    if (Ref text = rt::percent_format(fmt, args)) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

// The pending exception for a run that stopped (the lock is held again),
// with the completed rows attached as `rows`, the run's record as `info`,
// and a note saying so.
void report_evolution(const EvolveOutcome& r, PyObject* result, PyObject* info, int n_out, const char* branch,
                      const ParameterSnapshot& run) {
    const DiskState& s = r.at.state;
    switch (r.kind) {
        case EvolveOutcome::kernel:
            if (r.failure.kind == KernelFailure::exception) {
                rt::add_note([&] {
                    return rt::percent_format(msg::evolve_note,
                                              Ref::steal(Py_BuildValue("(ddd)", s.state0, s.M_D, s.state2)).get());
                });
            } else if (r.failure.kind == KernelFailure::no_solution) {
                set_runtime_error(msg::evolve_status,
                                  Ref::steal(Py_BuildValue("(dddis)", s.state0, s.M_D, r.at.derived.R_D,
                                                           r.failure.status, run.status_name(r.failure.status)))
                                      .get());
            } else {
                set_runtime_error(
                    msg::evolve_kernel_status,
                    Ref::steal(Py_BuildValue("(sid)", r.failure.function, r.failure.status, s.state0)).get());
            }
            break;
        case EvolveOutcome::step_too_small:
            set_runtime_error(msg::evolve_step_too_small, Ref::steal(Py_BuildValue("(dd)", r.h, r.t)).get());
            break;
        case EvolveOutcome::too_many_steps:
            set_runtime_error(msg::evolve_too_many_steps,
                              Ref::steal(Py_BuildValue("(ldd)", r.max_steps, r.t_target, r.t)).get());
            break;
        case EvolveOutcome::stalled:
            set_runtime_error(msg::evolve_stalled,
                              Ref::steal(Py_BuildValue("(id)", ode::DormandPrince5<2>::max_failures_in_a_row, r.t))
                                  .get());
            break;
        case EvolveOutcome::missing_branch:
            set_runtime_error(msg::evolve_no_branch,
                              Ref::steal(Py_BuildValue("(sdd)", branch, s.M_D, r.at.derived.R_D)).get());
            break;
        case EvolveOutcome::no_landing:
            set_runtime_error(msg::evolve_no_landing,
                              Ref::steal(Py_BuildValue("(ddd)", r.t, s.M_D, r.at.derived.R_D)).get());
            break;
        case EvolveOutcome::restless:
            set_runtime_error(msg::evolve_restless, Ref::steal(Py_BuildValue("(id)", max_quick_transitions, r.t)).get());
            break;
        case EvolveOutcome::empty:
            set_runtime_error(msg::evolve_empty, Ref::steal(Py_BuildValue("(d)", r.t)).get());
            break;
        case EvolveOutcome::callback:     // the callback's exception, or the rebinding one, is pending
        case EvolveOutcome::interrupted:  // the signal handler's
        case EvolveOutcome::done: break;
    }
    rt::attach_to_exception("rows", [&] {
        Ref done = Ref::steal(PySequence_GetSlice(result, 0, r.rows));
        return done ? Ref::steal(PyObject_CallMethod(done.get(), "copy", nullptr)) : done;
    });
    if (info) rt::attach_to_exception("info", [&] { return Ref::borrow(info); });
    rt::add_note([&] {
        return rt::percent_format(msg::evolve_rows_note, Ref::steal(Py_BuildValue("(ii)", r.rows, n_out)).get());
    });
}

bool read_mode(PyObject* value, const ParameterSnapshot& run, PyObject* obj, ThermalMode& mode) {
    BranchArg kind;
    if (!read_branch(value, "evolve", kind, mode.start, mode.name)) return false;
    if (kind == BranchArg::unset && run.thermal) {
        // The default: the hottest stable branch, where the model offers its
        // balance; a fresh disruption disk is thick wherever it can be.
        mode = {true, thermal::Choice::hottest, "hottest"};
        return true;
    }
    if (kind != BranchArg::named) {
        mode.name = "closure";
        return true;
    }
    if (!run.thermal) {
        PyErr_Format(PyExc_ValueError, msg::no_thermal_model, "evolve", Py_TYPE(obj)->tp_name);
        return false;
    }
    mode.follow = true;
    return true;
}

constexpr auto evolve_decl =
    rt::declare<&EvolveInput::closure, &EvolveInput::M_D0, &EvolveInput::R_D0, &EvolveInput::t_end,
                &EvolveInput::n_out, &EvolveInput::rtol, &EvolveInput::progress, &EvolveInput::t_start,
                &EvolveInput::max_steps, &EvolveInput::branch, &EvolveInput::full_output>(
        "evolve",
        {"closure", "M_D0", "R_D0", "t_end", "n_out", "rtol", "progress", "t_start", "max_steps", "branch",
         "full_output"},
        {nullptr, nullptr, nullptr, nullptr, "200", "1e-08", "None", "None", "100000", "None", "False"});

// Checks the values; the first output time defaults to 1e-4 t_end.
bool check_evolve_input(EvolveInput& in) {
    if (!rt::require("evolve", msg::req_positive_finite, rt::positive_finite,
                     {{"M_D0", in.M_D0}, {"R_D0", in.R_D0}, {"t_end", in.t_end}}))
        return false;
    if (!rt::require("evolve", msg::req_unit_fraction, [](double x) { return x > 0.0 && x < 1.0; },
                     {{"rtol", in.rtol}}))
        return false;
    if (in.n_out < 1 || in.max_steps < 1) {
        const bool rows = in.n_out < 1;
        PyErr_Format(PyExc_ValueError, msg::evolve_at_least_1, rows ? "n_out" : "max_steps",
                     rows ? in.n_out : in.max_steps);
        return false;
    }
    if (!in.t_start.given) {
        in.t_start.value = 1e-4 * in.t_end;
    } else {
        if (!rt::require("evolve", msg::req_positive_finite, rt::positive_finite, {{"t_start", in.t_start.value}}))
            return false;
        if (in.t_start.value > in.t_end) {
            Ref t_end = rt::new_float(in.t_end), t_start = rt::new_float(in.t_start.value);
            if (t_end && t_start) PyErr_Format(PyExc_ValueError, msg::evolve_t_start, t_end.get(), t_start.get());
            return false;
        }
    }
    if (in.progress == Py_None) in.progress = nullptr;
    if (in.progress && !PyCallable_Check(in.progress)) {
        PyErr_Format(PyExc_TypeError, msg::evolve_progress, Py_TYPE(in.progress)->tp_name);
        return false;
    }
    return true;
}

Ref evolve_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EvolveInput in;
    if (!parse_driver(evolve_decl, args, nargs, kwnames, in) || !check_evolve_input(in)) return {};
    PyObject* obj = in.closure;
    if (!closure_ready(obj, "evolve", true)) return {};

    // The caller's reference keeps the closure object, and the progress
    // callback, alive; the run works from the parameters held at its start.
    const ParameterSnapshot run(obj);
    ThermalMode mode;
    if (!read_mode(in.branch, run, obj, mode)) return {};
    // The ring's angular momentum follows from the hole's mass.
    if (!rt::require("evolve", msg::req_positive_finite, rt::positive_finite,
                     {{"J_D0", ring_angular_momentum(in.M_D0, in.R_D0, run.params().M_BH)}}))
        return {};

    rt::Table table;
    Ref result = new_rows(in.n_out, run.n_result_fields, table);
    if (!result) return {};
    const std::vector<double> times = output_times(in);

    Run evolution(obj, run, in, mode, times, table.data());
    EvolveOutcome outcome;
    {
        rt::AllowThreads unlocked;
        outcome = evolution.go();
    }
    table.release();
    if (outcome.kind == EvolveOutcome::done) outcome.t_target = in.t_end;
    // The record is built with whatever exception the run left set aside.
    Ref info;
    {
        rt::ErrorScope held;
        info = run_info(evolution, mode, outcome);
    }
    if (outcome.kind != EvolveOutcome::done) {
        report_evolution(outcome, result.get(), info.get(), in.n_out, mode.name, run);
        return {};
    }
    if (!in.full_output) return result;
    if (!info) return {};
    return Ref::steal(PyTuple_Pack(2, result.get(), info.get()));
}

constexpr char evolve_doc[] =
    "Time evolution of the one-zone disk.\n\n"
    "Integrates the disk's mass and angular momentum, y = (M_D, J_D), from t = 0\n"
    "to t_end with an adaptive Dormand-Prince 5(4) Runge-Kutta pair, the\n"
    "interpreter lock released while it steps. Every evaluation of the rates\n"
    "derives the ring (compute_derived), finds its central temperature, and sums\n"
    "the derivative and (with a source installed) source steps into dM_D/dt and\n"
    "dJ_D/dt. The step is chosen so that the estimated local error of M_D and of\n"
    "J_D stays within rtol of their size (root mean square of the two).\n\n"
    "Thermal branches. Where the energy balance has several stable roots (a\n"
    "thin, gas-pressure branch and a thick, advective one, with an unstable root\n"
    "between them), the disk stays on its branch: each evaluation brackets the\n"
    "root between the extrema of the balance that bound that branch, so that no\n"
    "point of the run lies on the unstable root and the search cannot slip onto\n"
    "another branch. A branch ends where its root and the unstable one merge\n"
    "(the bounding extremum of the balance reaches zero). That end is an event,\n"
    "located in time to rtol times the time on which the state changes; there\n"
    "the disk falls onto the next stable root on that side, the transition is\n"
    "recorded, and the integration restarts from it. Transition times converge\n"
    "with rtol and do not depend on the output times.\n\n"
    "Output rows lie at n_out times log-spaced from t_start to t_end; each is\n"
    "the installed writer's row for the state there, taken from the step's\n"
    "continuous extension (fourth order) and solved on the branch of that time.\n\n"
    "Parameters\n----------\n"
    "closure : OneZoneClosure\n"
    "    A disk model with its closure, derivative and writer installed and its\n"
    "    run-time parameters bound. The run works from the parameters it holds at\n"
    "    the start; rebinding it, or giving it another opacity law, from progress\n"
    "    stops the run (RuntimeError).\n"
    "M_D0, R_D0 : float\n"
    "    Initial disk mass [g] and ring radius [cm], positive and finite; the\n"
    "    ring starts with J_D = M_D0 sqrt(G M_BH R_D0).\n"
    "t_end : float\n    End time [s], positive and finite.\n"
    "n_out : int, optional\n    Number of output rows, at least 1.\n"
    "rtol : float, optional\n    Relative tolerance of each step, between 0 and 1.\n"
    "progress : callable, optional\n"
    "    Called as progress(fraction) after each output row, fraction = rows done\n"
    "    / n_out, with the lock held. An exception it raises stops the run.\n"
    "t_start : float, optional\n"
    "    First output time [s], positive and at most t_end; by default\n"
    "    1e-4 t_end. With n_out = 1 the only row is at t_end.\n"
    "max_steps : int, optional\n"
    "    Most steps (accepted and rejected) the run may take, at least 1.\n"
    "branch : {None, \"hottest\", \"thick\", \"thin\", \"coolest\", \"closure\"}, optional\n"
    "    The branch the disk starts on. None (the default): the hottest stable\n"
    "    branch that exists at the start, where the model offers its energy\n"
    "    balance to the framework (AdvectiveClosure does), else \"closure\".\n"
    "    \"thick\" / \"thin\": that branch, an error where it does not exist at the\n"
    "    start. \"closure\": no branches; the installed closure searches from the\n"
    "    solution at the last accepted point and keeps whichever root it meets.\n"
    "full_output : bool, optional\n"
    "    Also return the run's record (see Returns).\n\n"
    "Returns\n-------\n"
    "rows : ndarray of float64, shape (n_out, closure.n_result_fields)\n"
    "    The writer's row for each output time.\n"
    "info : dict\n"
    "    With full_output only: ``transitions``, a list of dicts (``t``,\n"
    "    ``from_branch``, ``to_branch`` among \"thin\", \"middle\", \"thick\" and\n"
    "    \"single\", ``Mdot_before``/``Mdot_after`` [g s^-1], ``T_c_before``/\n"
    "    ``T_c_after`` [K], ``H_over_R_before``/``H_over_R_after``, ``M_D`` [g],\n"
    "    ``R_D`` [cm] at the transition); ``branch`` (the mode) and\n"
    "    ``start_branch``; ``peak_Mdot`` [g s^-1] and ``t_peak`` [s], the largest\n"
    "    accretion rate onto the hole along the integration (not only at the\n"
    "    rows); the counts ``steps``, ``rejected_steps``, ``evaluations`` (of\n"
    "    the rates), ``residual_evaluations`` (of the energy balance), ``scans``\n"
    "    (of whole balances, at the start and at transitions); ``rows`` and\n"
    "    ``t_reached``.\n\n"
    "Raises\n------\n"
    "TypeError\n    closure is not a OneZoneClosure, or progress is not callable.\n"
    "ValueError\n"
    "    An invalid argument, refused before any kernel runs; a named branch\n"
    "    for a model that offers no energy balance.\n"
    "RuntimeError\n"
    "    An unbound closure object (refused before any kernel runs); the asked-\n"
    "    for branch missing at the start; a disk that reaches a state without a\n"
    "    central temperature (naming the time, the state and the status); a\n"
    "    branch that ends with no stable root beyond it; a step size driven\n"
    "    below the resolution of t; max_steps spent.\n"
    "KeyboardInterrupt\n"
    "    Signals are looked at about every 0.1 s of run time.\n"
    "Exception\n"
    "    Whatever a kernel raises propagates with a note naming the time and\n"
    "    state, and whatever progress raises propagates.\n\n"
    "Every error raised once the run has started carries the rows completed\n"
    "so far as its attribute ``rows`` (shape (k, n_result_fields)), the run's\n"
    "record so far as ``info``, and a note saying how many rows.\n\n"
    "Examples\n--------\n"
    VELMORA_EXAMPLE_DISK
    ">>> from velmora.dynamics.accretion.one_zone.closure import evolve\n"
    ">>> rows, info = evolve(disk, 2e31, 1.4e13, 1e7, n_out=3, full_output=True)\n"
    ">>> info[\"start_branch\"], [(tr[\"from_branch\"], tr[\"to_branch\"]) for tr in info[\"transitions\"]]\n"
    "('thick', [('thick', 'thin')])\n"
    ">>> rows[:, 19].round(3).tolist()\n"
    "[0.864, 0.82, 0.001]";

}  // namespace

PyMethodDef evolve_def = {"evolve", VELMORA_METH((rt::traced<&evolve_body, q_evolve>)), METH_FASTCALL | METH_KEYWORDS,
                          rt::signed_doc<evolve_decl.params, evolve_doc>};

}  // namespace velmora::disk

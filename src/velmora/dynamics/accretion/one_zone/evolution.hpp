// The run of evolve: the stepper driven to t_end across the ends of thermal
// branches, the output rows from the steps' continuous extension, the peak
// accretion rate, and how the run ended. Runs without the interpreter lock,
// taking it briefly at output rows (progress, signals) and every 0.1 s.
#pragma once

#include "dynamics/accretion/one_zone/disk_system.hpp"

#include "_runtime/signals.hpp"
#include "math_utils/scalar_search.hpp"

#include <vector>

namespace velmora::disk::evolution {

namespace msg = rt::msg;
using rt::Ref;

// The output times: n_out points log-spaced from t_start to t_end, the first
// exactly t_start (unless n_out is 1) and the last exactly t_end, never
// beyond it and never decreasing, however close the two are.
inline std::vector<double> output_times(const EvolveInput& in) {
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
inline bool report_progress(PyObject* obj, const ParameterSnapshot& run, PyObject* progress, int rows, int n_out,
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

}  // namespace velmora::disk::evolution

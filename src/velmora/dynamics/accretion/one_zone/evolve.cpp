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
#include "dynamics/accretion/one_zone/evolution.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/format.hpp"
#include "_runtime/notes.hpp"
#include "_runtime/signature.hpp"
#include "_runtime/threads.hpp"
#include "_runtime/units.hpp"

#include <cmath>
#include <vector>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;
using namespace evolution;

constexpr char q_evolve[] = OZ_PREFIX "evolve";

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
    const bool failed = outcome.kind != EvolveOutcome::done;
    if (!failed && !in.full_output) return result;
    // The record is built with whatever exception the run left set aside.
    Ref info;
    {
        rt::ErrorScope held;
        info = run_info(evolution, mode, outcome);
    }
    if (failed) {
        report_evolution(outcome, result.get(), info.get(), in.n_out, mode.name, run);
        return {};
    }
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
    "Arguments are in cgs units; astropy Quantities are converted to them.\n\n"
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
    "    ``R_D`` [cm] at the transition; \"before\" is the old branch at its end,\n"
    "    the fold where its root meets the unstable one); ``branch`` (the mode) and\n"
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

PyMethodDef evolve_def = {"evolve", VELMORA_METH((rt::traced<&rt::converting_units<&evolve_body, q_evolve>, q_evolve>)), METH_FASTCALL | METH_KEYWORDS,
                          rt::signed_doc<evolve_decl.params, evolve_doc>};

}  // namespace velmora::disk

// solve_profile: the framework's part for one time slice. Each row is a ring
// (R_D, Sigma, Omega) around the closure's hole; its thermal structure comes
// from the installed closure (warm-started along the rows) or from the
// model's balance on a named branch, then the derivative, source and writer
// run for it, with the interpreter lock released, on one or more threads.
#include "dynamics/accretion/one_zone/branches.hpp"
#include "dynamics/accretion/one_zone/drivers.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/format.hpp"
#include "_runtime/notes.hpp"
#include "_runtime/signals.hpp"
#include "_runtime/signature.hpp"
#include "_runtime/threads.hpp"
#include "_runtime/units.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;

constexpr char q_solve_profile[] = OZ_PREFIX "solve_profile";

// How each row's central temperature is chosen.
struct RowMode {
    bool named = false;  // a named branch of the model's balance; else the closure, warm-started
    thermal::Choice choice = thermal::Choice::hottest;
    const char* name = "closure";
};

// solve_profile's arguments (declared with solve_profile_decl below);
// objects borrowed.
struct ProfileArgs {
    PyObject* closure;
    PyObject *R_D, *Sigma, *Omega;
    PyObject* M_D;  // None or null: the ring's own mass
    double previous_ln_T_c;
    PyObject* on_failure;  // null: "raise"
    int threads;
    PyObject* branch;  // None or null: "closure"
};

constexpr auto solve_profile_decl =
    rt::declare<&ProfileArgs::closure, &ProfileArgs::R_D, &ProfileArgs::Sigma, &ProfileArgs::Omega,
                &ProfileArgs::M_D, &ProfileArgs::previous_ln_T_c, &ProfileArgs::on_failure, &ProfileArgs::threads,
                &ProfileArgs::branch>(
        "solve_profile",
        {"closure", "R_D", "Sigma", "Omega", "M_D", "previous_ln_T_c", "on_failure", "threads", "branch"},
        {nullptr, nullptr, nullptr, nullptr, "None", "0.0", "'raise'", "1", "'closure'"});

struct ProfileInput {
    rt::Vec R_D, Sigma, Omega, M_D;  // M_D held only when given
    double previous_ln_T_c = 0.0;
    bool nan_on_failure = false;
    RowMode mode;
};

// A private float64 copy of an array-like, so that nothing another thread
// does to the caller's array can reach the loop while the lock is released.
bool copy_array(PyObject* np, PyObject* dtype, PyObject* obj, rt::Vec& view) {
    Ref array_fn = Ref::steal(PyObject_GetAttrString(np, "array"));
    if (!array_fn) return false;
    Ref args = Ref::steal(PyTuple_Pack(1, obj));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", dtype));
    if (!args || !kwargs) return false;
    Ref copy = Ref::steal(PyObject_Call(array_fn.get(), args.get(), kwargs.get()));
    return copy && view.acquire(copy.get());
}

bool all_positive_finite(const rt::Vec& v, const char* name) {
    for (Py_ssize_t i = 0; i < v.size(); ++i) {
        if (rt::positive_finite(v[i])) continue;
        char element[64];
        std::snprintf(element, sizeof element, "%s[%zd]", name, i);
        rt::raise_invalid_value("solve_profile", element, msg::req_positive_finite, v[i]);
        return false;
    }
    return true;
}

bool same_length(const rt::Vec& a, const char* a_name, const rt::Vec& b, const char* b_name) {
    if (a.size() == b.size()) return true;
    PyErr_Format(PyExc_ValueError, msg::profile_lengths, a_name, b_name, a.size(), b.size());
    return false;
}

// "closure" (the default), or a branch name.
bool read_row_mode(PyObject* value, RowMode& mode) {
    BranchArg kind;
    if (!read_branch(value, "solve_profile", kind, mode.choice, mode.name)) return false;
    mode.named = kind == BranchArg::named;
    return true;
}

bool read_profile_input(const ProfileArgs& a, ProfileInput& in) {
    PyObject* on_failure = a.on_failure;
    if (on_failure) {
        const bool known = PyUnicode_Check(on_failure) && (PyUnicode_CompareWithASCIIString(on_failure, "raise") == 0 ||
                                                           PyUnicode_CompareWithASCIIString(on_failure, "nan") == 0);
        if (!known) {
            PyErr_Format(PyExc_ValueError, msg::profile_on_failure, on_failure);
            return false;
        }
        in.nan_on_failure = PyUnicode_CompareWithASCIIString(on_failure, "nan") == 0;
    }
    in.previous_ln_T_c = a.previous_ln_T_c;
    if (!rt::require("solve_profile", msg::req_finite, [](double x) { return static_cast<bool>(std::isfinite(x)); },
                     {{"previous_ln_T_c", in.previous_ln_T_c}}))
        return false;
    if (!read_row_mode(a.branch, in.mode)) return false;

    Ref np = rt::import_module("numpy");
    if (!np) return false;
    Ref dtype = Ref::steal(PyObject_GetAttrString(np.get(), "float64"));
    if (!dtype) return false;
    const bool has_M_D = a.M_D && a.M_D != Py_None;
    if (!copy_array(np.get(), dtype.get(), a.R_D, in.R_D) || !copy_array(np.get(), dtype.get(), a.Sigma, in.Sigma) ||
        !copy_array(np.get(), dtype.get(), a.Omega, in.Omega) ||
        (has_M_D && !copy_array(np.get(), dtype.get(), a.M_D, in.M_D)))
        return false;
    if (!same_length(in.R_D, "R_D", in.Sigma, "Sigma") || !same_length(in.R_D, "R_D", in.Omega, "Omega") ||
        (has_M_D && !same_length(in.R_D, "R_D", in.M_D, "M_D")))
        return false;
    if (in.R_D.size() > INT_MAX) {
        PyErr_Format(PyExc_ValueError, msg::array_too_long, "solve_profile", "R_D", in.R_D.size());
        return false;
    }
    return all_positive_finite(in.R_D, "R_D") && all_positive_finite(in.Sigma, "Sigma") &&
           all_positive_finite(in.Omega, "Omega") && (!has_M_D || all_positive_finite(in.M_D, "M_D"));
}

// Why a row on a named branch has no solution: the branch does not exist
// there, or the balance has no stable root at all.
enum class Missing { none, branch, equilibrium };

// How the loop over a block of rows ended. An interrupt (a signal handler
// raised on the calling thread) stops every block.
struct RowOutcome {
    KernelFailure failure;
    Py_ssize_t row = 0;
    Missing missing = Missing::none;
    bool interrupted = false;

    bool failed() const { return failure.failed(); }
};

// What the threads of one solve share: a flag that stops them all, and the
// count of workers still running, which the calling thread waits for.
struct Crew {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;
};

// The row's thermal structure on the named branch: the scan of the model's
// balance, the chosen stable root, and the result the model fills there.
KernelFailure solve_on_branch(const ParameterSnapshot& run, const RowMode& mode, const DiskDerived& derived,
                              ClosureResult& result, Missing& missing) {
    missing = Missing::none;
    ThermalContext ctx;
    thermal::Structure s;
    if (KernelFailure f = scan_ring(run, derived, ctx, s); f.failed()) return f;
    const int k = s.pick(mode.choice);
    if (k < 0) {
        missing = s.n_stable() == 0 ? Missing::equilibrium : Missing::branch;
        return {KernelFailure::no_solution, math_utils::EXPAND_FAIL, "closure"};
    }
    return checked(run.thermal->fill(&derived, &run.params(), &ctx, s.roots[k].x, &result), "closure");
}

// The loop over rows [begin, end); runs without the interpreter lock. With
// the closure, the block's first row starts from previous_ln_T_c and each
// later one from the last row solved.
// On the calling thread `signals` looks for interrupts; every thread stops
// when the crew is told to.
RowOutcome solve_rows(const ParameterSnapshot& run, const ProfileInput& in, double* out, Py_ssize_t begin,
                      Py_ssize_t end, Crew& crew, rt::SignalCheck* signals) {
    using namespace constants;
    const DiskParameters& params = run.params();
    const int n_fields = run.n_result_fields;
    ClosureResult previous{};
    previous.ln_T_c = in.previous_ln_T_c;  // 0.0 asks for the closure's own guess
    for (Py_ssize_t i = begin; i < end; ++i) {
        if (crew.stop.load(std::memory_order_relaxed)) return {};
        if (signals && (*signals)()) {
            crew.stop = true;
            return {{KernelFailure::exception, -1, "signal handler"}, i, Missing::none, true};
        }
        const double R_D = in.R_D[i];
        const double Sigma = in.Sigma[i];
        // Without a given mass, the ring's own: M_D = pi R_D^2 Sigma.
        const double M_D = in.M_D.held() ? in.M_D[i] : PI * R_D * R_D * Sigma;
        const DiskState state{0.0, M_D, ring_angular_momentum(M_D, R_D, params.M_BH)};
        const DiskDerived derived{R_D, Sigma, in.Omega[i]};

        ClosureResult result{};
        Missing missing = Missing::none;
        KernelFailure f = in.mode.named
                              ? solve_on_branch(run, in.mode, derived, result, missing)
                              : checked_closure(run.closure_func(&state, &derived, &params, &previous, &result));
        if (f.kind == KernelFailure::no_solution && in.nan_on_failure) {
            for (int k = 0; k < n_fields; ++k) out[i * n_fields + k] = std::nan("");
            continue;
        }
        if (f.failed()) return {f, i, missing};
        previous = result;

        DiskStep step;
        if (f = disk_rates(run, state, derived, result, step); f.failed()) return {f, i};
        if (f = write_row(run, static_cast<int>(i), state, derived, result, step, out); f.failed()) return {f, i};
    }
    return {};
}

// One contiguous block of rows and how it ended. `raised` is the exception a
// worker thread carried back (an owned reference), or null.
struct RowBlock {
    Py_ssize_t begin = 0, end = 0;
    RowOutcome outcome;
    bool on_caller = false;
    PyObject* raised = nullptr;
};

// Solves all rows in contiguous blocks, block 0 on the calling thread and
// each other on a native thread of its own, all without the interpreter
// lock. A block whose thread cannot be started runs on the calling thread
// after block 0, unless a failure there already decides the outcome. The
// calling thread then waits for the workers, looking for interrupts every
// 0.1 s; an interrupt stops every block. On return the lock is held again,
// and the blocks say how each ended.
std::vector<RowBlock> solve_blocks(const ParameterSnapshot& run, const ProfileInput& in, double* out,
                                   Py_ssize_t n_blocks, bool& interrupted, std::exception_ptr& thrown) {
    const Py_ssize_t n = in.R_D.size();
    std::vector<RowBlock> blocks(static_cast<std::size_t>(n_blocks));
    for (Py_ssize_t b = 0; b < n_blocks; ++b) {
        blocks[b].begin = n * b / n_blocks;
        blocks[b].end = n * (b + 1) / n_blocks;
    }
    std::vector<std::thread> workers;
    workers.reserve(blocks.size());
    Crew crew;
    rt::SignalCheck signals(16);  // a row takes a microsecond or more
    rt::AllowThreads unlocked;
    blocks[0].on_caller = true;
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        RowBlock& block = blocks[b];
        try {
            workers.emplace_back([&block, &run, &in, out, &crew] {
                block.raised = rt::run_with_own_thread_state(
                    [&] { block.outcome = solve_rows(run, in, out, block.begin, block.end, crew, nullptr); });
                std::lock_guard<std::mutex> lock(crew.mutex);
                --crew.running;
                crew.finished.notify_one();
            });
            std::lock_guard<std::mutex> lock(crew.mutex);
            ++crew.running;
        } catch (const std::system_error&) {
            block.on_caller = true;
        }
    }
    // The calling thread's blocks, in row order: after a failure there the
    // rest cannot win, and must not run with its exception pending.
    // A C++ exception there (out of memory) stops the crew and is passed on
    // by report_blocks, once every worker has been joined.
    for (RowBlock& block : blocks) {
        if (!block.on_caller) continue;
        try {
            block.outcome = solve_rows(run, in, out, block.begin, block.end, crew, &signals);
        } catch (...) {
            thrown = std::current_exception();
            crew.stop = true;
            break;
        }
        interrupted = interrupted || block.outcome.interrupted;
        if (block.outcome.failed()) break;
    }
    {
        std::unique_lock<std::mutex> lock(crew.mutex);
        while (!crew.finished.wait_for(lock, rt::SignalCheck::interval, [&] { return crew.running == 0; })) {
            if (interrupted) continue;
            lock.unlock();
            if (signals.check_now()) {
                interrupted = true;
                crew.stop = true;
            }
            lock.lock();
        }
    }
    for (std::thread& w : workers) w.join();
    return blocks;
}

// Turns a failed row into the pending exception (the lock is held again).
void report_row(const RowOutcome& r, const ProfileInput& in, const ParameterSnapshot& run) {
    const double R_D = in.R_D[r.row];
    const KernelFailure& f = r.failure;
    if (f.kind == KernelFailure::exception) {
        rt::add_note([&] {
            return rt::percent_format(msg::profile_note, Ref::steal(Py_BuildValue("(nd)", r.row, R_D)).get());
        });
        return;
    }
    Ref text;
    if (r.missing == Missing::branch)
        text = rt::percent_format(msg::profile_no_branch,
                                  Ref::steal(Py_BuildValue("(snd)", in.mode.name, r.row, R_D)).get());
    else if (r.missing == Missing::equilibrium)
        text = rt::percent_format(msg::profile_no_equilibrium,
                                  Ref::steal(Py_BuildValue("(ddnd)", std::exp(run.thermal->ln_T_min),
                                                           std::exp(run.thermal->ln_T_max), r.row, R_D))
                                      .get());
    else if (f.kind == KernelFailure::no_solution)
        text = rt::percent_format(
            msg::profile_status,
            Ref::steal(Py_BuildValue("(ndis)", r.row, R_D, f.status, run.status_name(f.status))).get());
    else
        text = rt::percent_format(msg::profile_kernel_status,
                                  Ref::steal(Py_BuildValue("(sind)", f.function, f.status, r.row, R_D)).get());
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

// The first failing block in row order decides; an exception that a worker
// carried back replaces whatever the calling thread has pending, and the
// other blocks' exceptions are dropped. A worker that carried an exception
// without a failed row met a C++ exception (out of memory), and one that the
// calling thread met is thrown again here, with the lock held. False with
// the exception set when a row failed.
bool report_blocks(std::vector<RowBlock>& blocks, const ProfileInput& in, const ParameterSnapshot& run,
                   bool interrupted, std::exception_ptr thrown) {
    std::vector<Ref> carried;
    for (RowBlock& b : blocks) carried.push_back(Ref::steal(std::exchange(b.raised, nullptr)));
    if (thrown) std::rethrow_exception(thrown);
    if (interrupted) return false;  // the handler's exception is pending on this thread
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        const RowBlock& b = blocks[k];
        if (!b.outcome.failed()) {
            if (!carried[k]) continue;
            PyErr_Clear();
            PyErr_SetRaisedException(carried[k].release());
            return false;
        }
        if (!b.on_caller || b.outcome.failure.kind != KernelFailure::exception) {
            PyErr_Clear();
            if (carried[k]) PyErr_SetRaisedException(carried[k].release());
        }
        report_row(b.outcome, in, run);
        return false;
    }
    return true;
}

// Native threads beyond a few per core only queue for the cores.
Py_ssize_t usable_threads(int asked, Py_ssize_t rows) {
    const Py_ssize_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::max<Py_ssize_t>(1, std::min<Py_ssize_t>({asked, rows, 4 * cores}));
}

Ref solve_profile_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ProfileArgs a;
    if (!parse_driver(solve_profile_decl, args, nargs, kwnames, a)) return {};
    PyObject* obj = a.closure;
    if (!closure_ready(obj, "solve_profile", false)) return {};
    const int threads = a.threads;
    if (threads < 1) {
        PyErr_Format(PyExc_ValueError, msg::profile_threads, threads);
        return {};
    }
    ProfileInput in;
    if (!read_profile_input(a, in)) return {};
    // Warm starts chain the rows: the answer of a row depends on the one
    // before it, so only a named branch may be split between threads.
    if (threads > 1 && !in.mode.named) {
        PyErr_SetString(PyExc_ValueError, msg::profile_threads_need_branch);
        return {};
    }

    // The closure object stays alive through the caller's reference, and the
    // rows are solved with the parameters it held at the start.
    const ParameterSnapshot run(obj);
    if (in.mode.named && !run.thermal) {
        PyErr_Format(PyExc_ValueError, msg::no_thermal_model, "solve_profile", Py_TYPE(obj)->tp_name);
        return {};
    }
    rt::Table table;
    Ref result = new_rows(in.R_D.size(), run.n_result_fields, table);
    if (!result) return {};
    bool interrupted = false;
    std::exception_ptr thrown;
    std::vector<RowBlock> blocks =
        solve_blocks(run, in, table.data(), usable_threads(threads, in.R_D.size()), interrupted, thrown);
    if (!report_blocks(blocks, in, run, interrupted, thrown)) return {};
    table.release();
    return result;
}

constexpr char solve_profile_doc[] =
    "Thermal structure of a disk profile: the closure solved ring by ring.\n\n"
    "Plays the integrator's part for one time slice. For each row it finds the\n"
    "ring's central temperature, calls the derivative and source functions, and\n"
    "the writer, which fills that row of the result. The interpreter lock is\n"
    "released for the whole loop.\n\n"
    "Where the energy balance has more than one stable root (a thin,\n"
    "gas-pressure branch and a thick, advective one), ``branch`` says which:\n"
    "\"closure\" lets the installed closure search from a first guess, each row\n"
    "from the last one solved, so that its choice follows the rows; a branch\n"
    "name takes that branch's root in every row, whatever the order of the rows\n"
    "or their split between threads (see thermal_equilibria for the branches).\n\n"
    "Arguments are in cgs units; astropy Quantities are converted to them.\n\n"
    "Parameters\n----------\n"
    "closure : OneZoneClosure\n"
    "    A disk model with its functions installed and its run-time parameters\n"
    "    bound (for AdvectiveClosure: after ``bind_runtime_parameters``). The rows\n"
    "    are solved with the parameters it holds when the call starts.\n"
    "R_D, Sigma, Omega : array_like of float, shape (n,)\n"
    "    Ring radius [cm], surface density [g cm^-2] and angular velocity [s^-1];\n"
    "    positive and finite. They are copied as float64.\n"
    "M_D : array_like of float, shape (n,), optional\n"
    "    Disk mass [g], positive and finite; by default the ring's own,\n"
    "    pi R_D^2 Sigma.\n"
    "previous_ln_T_c : float, optional\n"
    "    With branch=\"closure\": ln of the central temperature [K] that starts the\n"
    "    first row's search; 0.0 (the default) asks for the closure's own first\n"
    "    guess. Each later row starts from the last row solved.\n"
    "on_failure : {\"raise\", \"nan\"}, optional\n"
    "    What a row without a solution (the closure's non-zero status, such as\n"
    "    EXPAND_FAIL or MAX_ITER, or a named branch that does not exist at that\n"
    "    ring) does: raise RuntimeError, or fill that row with NaN and go on.\n"
    "threads : int, optional\n"
    "    Number of native threads, at least 1; more than 1 needs a named branch.\n"
    "    The rows are split into contiguous blocks, each solved on its own\n"
    "    thread (no more threads than rows, nor than four per core); the results\n"
    "    equal those of threads=1 bit for bit. A failure reports the first\n"
    "    failing row in row order.\n"
    "branch : {\"closure\", \"hottest\", \"thick\", \"thin\", \"coolest\"}, optional\n"
    "    \"hottest\" and \"coolest\": the hottest or coolest stable root of each\n"
    "    ring; \"thick\" and \"thin\": the root on that branch, missing where the\n"
    "    branch has ended. Named branches need a model that offers its energy\n"
    "    balance to the framework (AdvectiveClosure does).\n\n"
    "Returns\n-------\n"
    "ndarray of float64, shape (n, closure.n_result_fields)\n"
    "    One row of the writer's columns per ring. Each ring's state is time 0,\n"
    "    mass M_D and angular momentum J_D = M_D sqrt(G M_BH R_D).\n\n"
    "Raises\n------\n"
    "TypeError\n    closure is not a OneZoneClosure.\n"
    "ValueError\n"
    "    Arrays of different lengths, a value that is not positive and finite,\n"
    "    a non-finite previous_ln_T_c, an unknown on_failure or branch,\n"
    "    threads < 1, or threads > 1 with branch=\"closure\".\n"
    "RuntimeError\n"
    "    An unbound closure object (refused before any kernel runs), or a row\n"
    "    without a solution when on_failure is \"raise\".\n"
    "MemoryError\n    The output does not fit in memory.\n"
    "Exception\n"
    "    Whatever a kernel raises (an opacity law outside its table, say)\n"
    "    propagates with a note naming the row and its radius.\n\n"
    "Examples\n--------\n"
    VELMORA_EXAMPLE_DISK
    ">>> import numpy as np\n"
    ">>> from velmora.dynamics.accretion.one_zone.closure import solve_profile\n"
    ">>> R = np.geomspace(1e12, 1e14, 4)\n"
    ">>> Omega = np.sqrt(6.6743e-8 * 2e39 / R**3)\n"
    ">>> rows = solve_profile(disk, R, 1e4 * (R / 1e13) ** -0.75, Omega, branch=\"thick\", threads=2)\n"
    ">>> rows.shape\n"
    "(4, 21)\n"
    ">>> rows[:, 19].round(2).tolist()  # H / R_D on the thick branch\n"
    "[0.87, 0.86, 0.85, 0.78]";

}  // namespace

PyMethodDef solve_profile_def = {"solve_profile", VELMORA_METH((rt::traced<&rt::converting_units<&solve_profile_body, q_solve_profile>, q_solve_profile>)),
                                 METH_FASTCALL | METH_KEYWORDS, rt::signed_doc<solve_profile_decl.params, solve_profile_doc>};

}  // namespace velmora::disk

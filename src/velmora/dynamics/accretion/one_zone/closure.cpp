// Module velmora.dynamics.accretion.one_zone.closure: the framework's closure
// object OneZoneClosure (the base every disk model derives from), the
// constants of the one-zone disk under `__c_api__`, solve_profile, which
// runs an installed closure over a profile of rings, and evolve, which
// integrates the disk in time.
#include "dynamics/accretion/one_zone/closure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/fields.hpp"
#include "_runtime/format.hpp"
#include "_runtime/notes.hpp"
#include "_runtime/runtime.hpp"
#include "_runtime/threads.hpp"
#include "dynamics/accretion/one_zone/dopri5.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;

#define OZ_PREFIX "velmora.dynamics.accretion.one_zone.closure."

constexpr char q_compute_derived[] = OZ_PREFIX "OneZoneClosure.compute_derived";
constexpr char q_opacity_set[] = OZ_PREFIX "OneZoneClosure.opacity.__set__";

struct ClosureNames {
    static constexpr const char* qualname = OZ_PREFIX "OneZoneClosure";
};

opacity::KappaCoreBinding kappa;

// ---------------------------------------------------------------------------
// Ring physics: all of the disk's mass M_D on one circular orbit around the
// hole, J_D = DISK_A M_D sqrt(G M_BH R_D) (DISK_A = 1 for a ring), spread
// over the area pi R_D^2.

DiskDerived ring_of(double M_D, double J_D, double M_BH) {
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

// Slot 0. A ring needs positive, finite mass, angular momentum and hole mass.
int compute_derived(PyObject*, const DiskState* state, const DiskParameters* params, DiskDerived* out) {
    if (!rt::require("OneZoneClosure.compute_derived", msg::req_positive_finite, rt::positive_finite,
                     {{"M_D", state->M_D}, {"J_D", state->state2}, {"M_BH", params->M_BH}})) {
        rt::add_traceback(q_compute_derived);
        return -1;
    }
    *out = ring_of(state->M_D, state->state2, params->M_BH);
    return 0;
}

// Slot 1. The base knows only the opacity law (borrowed into the record);
// disk models write the rest.
void fill_parameters(PyObject* self, DiskParameters* out) {
    out->opacity = reinterpret_cast<OneZoneClosure*>(self)->opacity;
}

OneZoneClosureOps closure_ops;

// ---------------------------------------------------------------------------
// The type.

// Arguments are accepted and ignored, so that derived types may take their
// own.
PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    auto* self = reinterpret_cast<OneZoneClosure*>(o);
    self->vtab = &closure_ops;
    self->closure_func = nullptr;
    self->derivative_func = nullptr;
    self->writer_func = nullptr;
    self->source_func = nullptr;
    self->opacity = nullptr;
    rt::set_field(self->opacity, Py_None);
    self->n_result_fields = 0;
    return o;
}

int tp_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<OneZoneClosure*>(o)->opacity);
    return 0;
}

int tp_clear(PyObject* o) {
    rt::set_field(reinterpret_cast<OneZoneClosure*>(o)->opacity, Py_None);
    return 0;
}

void tp_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    rt::clear_field(reinterpret_cast<OneZoneClosure*>(o)->opacity);
    Py_TYPE(o)->tp_free(o);
}

PyObject* get_opacity(PyObject* o, void*) {
    return Ref::borrow(reinterpret_cast<OneZoneClosure*>(o)->opacity).release();
}

int set_opacity(PyObject* o, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, msg::opacity_delete);
    } else if (!PyObject_TypeCheck(value, kappa.grey_type)) {
        PyErr_Format(PyExc_TypeError, msg::opacity_type, Py_TYPE(value)->tp_name);
    } else {
        rt::set_field(reinterpret_cast<OneZoneClosure*>(o)->opacity, value);
        return 0;
    }
    rt::add_traceback(q_opacity_set);
    return -1;
}

PyObject* get_n_result_fields(PyObject* o, void*) {
    return PyLong_FromLong(reinterpret_cast<OneZoneClosure*>(o)->n_result_fields);
}

PyGetSetDef closure_getset[] = {
    {"opacity", &get_opacity, &set_opacity,
     "The grey opacity law of the disk (a C_GreyKappaCore instance); None until one is installed.", nullptr},
    {"n_result_fields", &get_n_result_fields, nullptr,
     "Number of columns the installed writer fills per output row (0 without a writer).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr const char* closure_doc =
    "Base of one-zone disk closures.\n\n"
    "A disk model derives from this type and installs its C-level functions: the\n"
    "thermal closure, the writer of output rows, the derivative (accretion) step\n"
    "and, optionally, a mass source. The integrator reaches them, and the two\n"
    "operations of the type's table, without the interpreter:\n\n"
    "``compute_derived(state, params, derived)``\n"
    "    Radius, surface density and angular velocity of the disk. The base treats\n"
    "    the disk as one ring of mass M_D and angular momentum J_D around a hole of\n"
    "    mass M_BH: R_D = (J_D / M_D)^2 / (G M_BH), Omega = sqrt(G M_BH / R_D^3),\n"
    "    Sigma = M_D / (pi R_D^2).\n"
    "``fill_parameters(params)``\n"
    "    Writes the disk parameters the object holds; the base writes the opacity\n"
    "    law only.\n\n"
    "Attributes\n----------\n"
    "opacity : C_GreyKappaCore\n    The grey opacity law handed to the closure.\n"
    "n_result_fields : int\n    Columns per output row.";

PyTypeObject closure_type = rt::static_type(OZ_PREFIX "OneZoneClosure", sizeof(OneZoneClosure));

bool prepare_closure_type(PyObject* module) {
    closure_ops.compute_derived = &compute_derived;
    closure_ops.fill_parameters = &fill_parameters;
    closure_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    closure_type.tp_doc = closure_doc;
    closure_type.tp_new = &tp_new;
    closure_type.tp_dealloc = &tp_dealloc;
    closure_type.tp_traverse = &tp_traverse;
    closure_type.tp_clear = &tp_clear;
    closure_type.tp_getset = closure_getset;
    if (PyType_Ready(&closure_type) < 0) return false;
    if (!rt::set_vtable(&closure_type, &closure_ops)) return false;
    if (!rt::PickleRefusal<ClosureNames>::install(&closure_type)) return false;
    return PyModule_AddObjectRef(module, "OneZoneClosure", reinterpret_cast<PyObject*>(&closure_type)) == 0;
}

// ---------------------------------------------------------------------------
// Exported constants. Importers keep these addresses for the process.

struct Exported {
    const char* name;
    double value;
};

using namespace constants;
Exported exported_constants[] = {
    {"DISK_A", DISK_A},
    {"DISK_B", DISK_B},
    {"DISK_F0", DISK_F0},
    {"DISK_XI", DISK_XI},
    {"G_CGS", G_CGS},
    {"KAPPA_ES", KAPPA_ES},
    {"K_B_CGS", K_B_CGS},
    {"LOG_DISK_A", std::log(DISK_A)},
    {"LOG_DISK_F0", std::log(DISK_F0)},
    {"LOG_DISK_XI", std::log(DISK_XI)},
    {"LOG_G_CGS", std::log(G_CGS)},
    {"LOG_KAPPA_ES", std::log(KAPPA_ES)},
    {"LOG_K_B_CGS", std::log(K_B_CGS)},
    {"LOG_M_P_CGS", std::log(M_P_CGS)},
    {"LOG_PI", std::log(PI)},
    {"LOG_RAD_A_CGS", std::log(RAD_A_CGS)},
    {"LOG_SIGMA_SB_CGS", std::log(SIGMA_SB_CGS)},
    {"M_P_CGS", M_P_CGS},
    {"RAD_A_CGS", RAD_A_CGS},
    {"SIGMA_SB_CGS", SIGMA_SB_CGS},
};
static_assert(std::size(exported_constants) == DiskConstantsBinding::entries.size());

// ---------------------------------------------------------------------------
// The profile driver: the integrator's part for one time slice. Each row is a
// ring (R_D, Sigma, Omega) around the closure's hole; the closure, derivative,
// source and writer run for it in turn with the interpreter lock released.

constexpr char q_solve_profile[] = OZ_PREFIX "solve_profile";

struct ProfileInput {
    rt::Vec R_D, Sigma, Omega, M_D;  // M_D held only when given
    double previous_ln_T_c = 0.0;
    bool nan_on_failure = false;
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

// The closure object must have its functions installed and its parameters
// bound: refused here, before any kernel runs. `func` names the refusing
// driver; evolve also needs the derivative function.
bool closure_ready(PyObject* obj, const char* func, bool needs_derivative) {
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    const char* type_name = Py_TYPE(obj)->tp_name;
    const char* missing = nullptr;
    if (!c->closure_func)
        missing = "closure";
    else if (!c->writer_func)
        missing = "writer";
    else if (needs_derivative && !c->derivative_func)
        missing = "derivative";
    if (missing) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_function, func, type_name, missing);
        return false;
    }
    if (c->n_result_fields <= 0) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_fields, func, type_name, c->n_result_fields);
        return false;
    }
    DiskParameters probe{};
    c->vtab->fill_parameters(obj, &probe);
    if (!probe.advection) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_unbound, func, type_name);
        return false;
    }
    if (!probe.opacity || probe.opacity == Py_None) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_opacity, func, type_name);
        return false;
    }
    return true;
}

bool read_profile_input(PyObject* const* values, ProfileInput& in) {
    PyObject* on_failure = values[6];
    if (on_failure) {
        const bool known = PyUnicode_Check(on_failure) && (PyUnicode_CompareWithASCIIString(on_failure, "raise") == 0 ||
                                                           PyUnicode_CompareWithASCIIString(on_failure, "nan") == 0);
        if (!known) {
            PyErr_Format(PyExc_ValueError, msg::profile_on_failure, on_failure);
            return false;
        }
        in.nan_on_failure = PyUnicode_CompareWithASCIIString(on_failure, "nan") == 0;
    }
    if (values[5] && !rt::to_double(values[5], in.previous_ln_T_c)) return false;
    if (!rt::require("solve_profile", msg::req_finite, [](double x) { return static_cast<bool>(std::isfinite(x)); },
                     {{"previous_ln_T_c", in.previous_ln_T_c}}))
        return false;

    Ref np = rt::import_module("numpy");
    if (!np) return false;
    Ref dtype = Ref::steal(PyObject_GetAttrString(np.get(), "float64"));
    if (!dtype) return false;
    const bool has_M_D = values[4] && values[4] != Py_None;
    if (!copy_array(np.get(), dtype.get(), values[1], in.R_D) ||
        !copy_array(np.get(), dtype.get(), values[2], in.Sigma) ||
        !copy_array(np.get(), dtype.get(), values[3], in.Omega) ||
        (has_M_D && !copy_array(np.get(), dtype.get(), values[4], in.M_D)))
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

// A module function of the drivers: its body, and the traceback entry on
// every failure path.
template <Ref (*Body)(PyObject* const*, Py_ssize_t, PyObject*), const char* Qualname>
PyObject* traced(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref r = Body(args, nargs, kwnames);
    if (!r) rt::add_traceback(Qualname);
    return r.release();
}

// The arguments of a driver; the first must be a closure object.
template <std::size_t N>
bool bind_driver(const rt::Params<N>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::array<PyObject*, N>& values) {
    if (!rt::bind(params, args, nargs, kwnames, values)) return false;
    if (PyObject_TypeCheck(values[0], &closure_type)) return true;
    rt::raise_argument_type("closure", &closure_type, values[0]);
    return false;
}

// A new (n, n_fields) float64 array for output rows, and a view on it.
Ref new_rows(Py_ssize_t n, int n_fields, rt::Table& table) {
    Ref np = rt::import_module("numpy");
    if (!np) return {};
    Ref rows = Ref::steal(PyObject_CallMethod(np.get(), "empty", "((ni)s)", n, n_fields, "float64"));
    if (!rows || !table.acquire(rows.get())) return {};
    return rows;
}

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
KernelFailure checked(int rc, const char* function) {
    if (rt::exception_pending()) return {KernelFailure::exception, rc, function};
    if (rc != 0) return {KernelFailure::kernel_status, rc, function};
    return {};
}

KernelFailure checked_closure(int rc) {
    KernelFailure f = checked(rc, "closure");
    if (f.kind == KernelFailure::kernel_status) f.kind = KernelFailure::no_solution;
    return f;
}

// The disk's rates for a solved closure: the derivative step, plus the
// source step field by field when a source is installed.
KernelFailure disk_rates(const OneZoneClosure* c, const DiskState& state, const DiskDerived& derived,
                         const DiskParameters& params, const ClosureResult& result, DiskStep& step) {
    step = DiskStep{0.0, 0.0, 0.0};
    if (c->derivative_func) {
        KernelFailure f = checked(c->derivative_func(&state, &derived, &params, &result, &step), "derivative");
        if (f.failed()) return f;
    }
    if (c->source_func) {
        DiskStep source{0.0, 0.0, 0.0};
        KernelFailure f = checked(c->source_func(&state, &derived, &params, &result, &source), "source");
        if (f.failed()) return f;
        step.step0 += source.step0;
        step.step1 += source.step1;
        step.step2 += source.step2;
    }
    return {};
}

// Row i of an (n, n_fields) row-major output starts at out + i * n_fields, and
// the writer puts column k of row i at its base + i + k (stride 1), so its
// base for row i is out + i * (n_fields - 1).
KernelFailure write_row(const OneZoneClosure* c, int row, const DiskState& state, const DiskDerived& derived,
                        const DiskParameters& params, const ClosureResult& result, const DiskStep& step,
                        double* out, int n_fields) {
    double* base = out + static_cast<Py_ssize_t>(row) * (n_fields - 1);
    return checked(c->writer_func(row, &state, &derived, &params, &result, &step, base, 1), "writer");
}

// How the loop over a block of rows ended.
struct RowOutcome {
    KernelFailure failure;
    Py_ssize_t row = 0;

    bool failed() const { return failure.failed(); }
};

// The parameter record a long run works from, taken once under the lock.
// The record the object fills borrows its law and points into the object's
// wrapper objects, so another thread that installs a new law or binds new
// parameters while the lock is released would free what the run reads. The
// snapshot holds its own reference on the law and its own copies of the
// advection and fallback records; a rebinding in mid-run does not reach it.
class ParameterSnapshot {
public:
    explicit ParameterSnapshot(PyObject* obj) {
        reinterpret_cast<OneZoneClosure*>(obj)->vtab->fill_parameters(obj, &filled_);
        params_ = filled_;
        law_ = Ref::borrow(filled_.opacity);
        if (filled_.advection) {
            advection_ = *filled_.advection;
            params_.advection = &advection_;
        }
        if (filled_.fallback) {
            fallback_ = *filled_.fallback;
            params_.fallback = &fallback_;
        }
    }
    ParameterSnapshot(const ParameterSnapshot&) = delete;
    ParameterSnapshot& operator=(const ParameterSnapshot&) = delete;

    const DiskParameters& params() const { return params_; }
    // The record as the object filled it, to tell whether it was rebound.
    const DiskParameters& filled() const { return filled_; }

private:
    DiskParameters filled_{};
    DiskParameters params_{};
    AdvectionParams advection_{};
    FallbackParams fallback_{};
    Ref law_;
};

// The loop over rows [begin, end); runs without the interpreter lock. The
// block's first row starts from previous_ln_T_c, each later one from the
// last row solved.
RowOutcome solve_rows(PyObject* obj, const DiskParameters& params, const ProfileInput& in, double* out,
                      int n_fields, Py_ssize_t begin, Py_ssize_t end) {
    using namespace constants;
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    ClosureResult previous{};
    previous.ln_T_c = in.previous_ln_T_c;  // 0.0 asks for the closure's own guess
    for (Py_ssize_t i = begin; i < end; ++i) {
        const double R_D = in.R_D[i];
        const double Sigma = in.Sigma[i];
        // Without a given mass, the ring's own: M_D = pi R_D^2 Sigma.
        const double M_D = in.M_D.held() ? in.M_D[i] : PI * R_D * R_D * Sigma;
        const DiskState state{0.0, M_D, DISK_A * M_D * std::sqrt(G_CGS * params.M_BH * R_D)};
        const DiskDerived derived{R_D, Sigma, in.Omega[i]};

        ClosureResult result{};
        KernelFailure f = checked_closure(c->closure_func(&state, &derived, &params, &previous, &result));
        if (f.kind == KernelFailure::no_solution && in.nan_on_failure) {
            for (int k = 0; k < n_fields; ++k) out[i * n_fields + k] = std::nan("");
            continue;
        }
        if (f.failed()) return {f, i};
        previous = result;

        DiskStep step;
        if (f = disk_rates(c, state, derived, params, result, step); f.failed()) return {f, i};
        if (f = write_row(c, static_cast<int>(i), state, derived, params, result, step, out, n_fields); f.failed())
            return {f, i};
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

// Solves all rows in `threads` contiguous blocks, block 0 on the calling
// thread and each other on a native thread of its own, all without the
// interpreter lock. A block whose thread cannot be started runs on the
// calling thread after block 0, unless a failure there already decides the
// outcome. On return the lock is held again, and the blocks say how each
// ended.
std::vector<RowBlock> solve_blocks(PyObject* obj, const DiskParameters& params, const ProfileInput& in,
                                   double* out, int n_fields, Py_ssize_t threads) {
    const Py_ssize_t n = in.R_D.size();
    std::vector<RowBlock> blocks(static_cast<std::size_t>(threads));
    for (Py_ssize_t b = 0; b < threads; ++b) {
        blocks[b].begin = n * b / threads;
        blocks[b].end = n * (b + 1) / threads;
    }
    rt::AllowThreads unlocked;
    std::vector<std::thread> workers;
    workers.reserve(blocks.size());
    blocks[0].on_caller = true;
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        RowBlock& block = blocks[b];
        try {
            workers.emplace_back([&block, obj, &params, &in, out, n_fields] {
                block.raised = rt::run_with_own_thread_state([&] {
                    block.outcome = solve_rows(obj, params, in, out, n_fields, block.begin, block.end);
                });
            });
        } catch (const std::system_error&) {
            block.on_caller = true;
        }
    }
    // The calling thread's blocks, in row order: after a failure there the
    // rest cannot win, and must not run with its exception pending.
    for (RowBlock& block : blocks) {
        if (!block.on_caller) continue;
        block.outcome = solve_rows(obj, params, in, out, n_fields, block.begin, block.end);
        if (block.outcome.failed()) break;
    }
    for (std::thread& w : workers) w.join();
    return blocks;
}

// Turns a failed row into the pending exception (the lock is held again).
void report_row(const RowOutcome& r, const ProfileInput& in) {
    const double R_D = in.R_D[r.row];
    const KernelFailure& f = r.failure;
    if (f.kind == KernelFailure::exception) {
        rt::add_note([&] {
            return rt::percent_format(msg::profile_note, Ref::steal(Py_BuildValue("(nd)", r.row, R_D)).get());
        });
        return;
    }
    Ref text = f.kind == KernelFailure::no_solution
                   ? rt::percent_format(msg::profile_status,
                                        Ref::steal(Py_BuildValue("(ndis)", r.row, R_D, f.status,
                                                                 msg::solver_status_name(f.status)))
                                            .get())
                   : rt::percent_format(msg::profile_kernel_status,
                                        Ref::steal(Py_BuildValue("(sind)", f.function, f.status, r.row, R_D)).get());
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

// The first failing block in row order decides; an exception that a worker
// carried back replaces whatever the calling thread has pending, and the
// other blocks' exceptions are dropped. False with the exception set when a
// row failed.
bool report_blocks(std::vector<RowBlock>& blocks, const ProfileInput& in) {
    std::vector<Ref> carried;
    for (RowBlock& b : blocks) carried.push_back(Ref::steal(std::exchange(b.raised, nullptr)));
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        const RowBlock& b = blocks[k];
        if (!b.outcome.failed()) continue;
        if (!b.on_caller || b.outcome.failure.kind != KernelFailure::exception) {
            PyErr_Clear();
            if (carried[k]) PyErr_SetRaisedException(carried[k].release());
        }
        report_row(b.outcome, in);
        return false;
    }
    return true;
}

Ref solve_profile_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const rt::Params<8> params{
        "solve_profile",
        {"closure", "R_D", "Sigma", "Omega", "M_D", "previous_ln_T_c", "on_failure", "threads"},
        4};
    std::array<PyObject*, 8> values;
    if (!bind_driver(params, args, nargs, kwnames, values)) return {};
    PyObject* obj = values[0];
    if (!closure_ready(obj, "solve_profile", false)) return {};
    int threads = 1;
    if (values[7] && !rt::to_int(values[7], threads)) return {};
    if (threads < 1) {
        PyErr_Format(PyExc_ValueError, msg::profile_threads, threads);
        return {};
    }
    ProfileInput in;
    if (!read_profile_input(values.data(), in)) return {};

    const int n_fields = reinterpret_cast<OneZoneClosure*>(obj)->n_result_fields;
    rt::Table table;
    Ref result = new_rows(in.R_D.size(), n_fields, table);
    if (!result) return {};

    // The closure object stays alive through the caller's reference, and the
    // rows are solved with the parameters it held at the start. More threads
    // than rows leave none idle: each gets at least one row.
    const ParameterSnapshot snapshot(obj);
    const Py_ssize_t n_blocks = std::max<Py_ssize_t>(1, std::min<Py_ssize_t>(threads, in.R_D.size()));
    std::vector<RowBlock> blocks = solve_blocks(obj, snapshot.params(), in, table.data(), n_fields, n_blocks);
    if (!report_blocks(blocks, in)) return {};
    table.release();
    return result;
}

constexpr const char* solve_profile_doc =
    "solve_profile(closure, R_D, Sigma, Omega, M_D=None, previous_ln_T_c=0.0, on_failure=\"raise\",\n"
    "              threads=1)\n\n"
    "Thermal structure of a disk profile: the closure solved ring by ring.\n\n"
    "Plays the integrator's part for one time slice. For each row it fills the\n"
    "disk parameters from the closure object, calls the installed closure, the\n"
    "derivative and source functions, and the writer, which fills that row of\n"
    "the result. The interpreter lock is released for the whole loop.\n\n"
    "Parameters\n----------\n"
    "closure : OneZoneClosure\n"
    "    A disk model with its functions installed and its run-time parameters\n"
    "    bound (for AdvectiveClosure: after ``bind_runtime_parameters``). It must\n"
    "    not be rebound, nor given another opacity law, while this runs.\n"
    "R_D, Sigma, Omega : array_like of float, shape (n,)\n"
    "    Ring radius [cm], surface density [g cm^-2] and angular velocity [s^-1];\n"
    "    positive and finite. They are copied as float64.\n"
    "M_D : array_like of float, shape (n,), optional\n"
    "    Disk mass [g], positive and finite; by default the ring's own,\n"
    "    pi R_D^2 Sigma.\n"
    "previous_ln_T_c : float, optional\n"
    "    ln of the central temperature [K] that starts the first row's search;\n"
    "    0.0 (the default) asks for the closure's own first guess. Each later row\n"
    "    starts from the last row solved.\n"
    "on_failure : {\"raise\", \"nan\"}, optional\n"
    "    What a row without a solution (a non-zero status such as EXPAND_FAIL\n"
    "    or MAX_ITER) does: raise RuntimeError, or fill that row with NaN and go\n"
    "    on.\n"
    "threads : int, optional\n"
    "    Number of native threads, at least 1 (more than there are rows act as\n"
    "    one per row). The rows are split into that many contiguous blocks, each\n"
    "    solved on its own thread; each block's first row starts from\n"
    "    previous_ln_T_c, so the results equal those of threads=1 except for the\n"
    "    warm start of those rows (a difference within the closure's tolerance\n"
    "    where the first guess reaches the same solution). A failure reports the\n"
    "    first failing row in row order.\n\n"
    "Returns\n-------\n"
    "ndarray of float64, shape (n, closure.n_result_fields)\n"
    "    One row of the writer's columns per ring. Each ring's state is time 0,\n"
    "    mass M_D and angular momentum J_D = M_D sqrt(G M_BH R_D).\n\n"
    "Raises\n------\n"
    "TypeError\n    closure is not a OneZoneClosure.\n"
    "ValueError\n"
    "    Arrays of different lengths, a value that is not positive and finite,\n"
    "    a non-finite previous_ln_T_c, an unknown on_failure, or threads < 1.\n"
    "RuntimeError\n"
    "    An unbound closure object (refused before any kernel runs), or a row\n"
    "    without a solution when on_failure is \"raise\".\n"
    "Exception\n"
    "    Whatever a kernel raises (an opacity law outside its table, say)\n"
    "    propagates with a note naming the row and its radius.";

// ---------------------------------------------------------------------------
// Time evolution: the disk's mass and angular momentum, y = (M_D, J_D) at
// t = state0, integrated by the Dormand-Prince pair with the closure solved
// at every evaluation of the rates.

constexpr char q_evolve[] = OZ_PREFIX "evolve";

// One evaluation of the disk: state, ring, thermal structure and rates.
struct DiskPoint {
    DiskState state{};
    DiskDerived derived{};
    ClosureResult result{};
    DiskStep step{};
};

// The right-hand side for the stepper; runs without the interpreter lock.
// Each evaluation derives the ring through the object's table, solves the
// closure, and sums the derivative and source steps into (dM_D/dt, dJ_D/dt).
// The point of the last evaluation is kept, and copied as the accepted point
// when the stepper accepts a step (its last evaluation is at the step's end).
//
// Every search starts from the closure result of the last accepted point
// (the first from the closure's own guess). Where the energy balance has
// more than one root (the thin, gas-pressure branch and the thick, advective
// one), the start decides the branch, so taking it from accepted points only
// keeps the disk's thermal history free of the trial states of rejected
// steps: the branch follows the accepted solution, and jumps only where that
// branch ends.
class DiskSystem {
public:
    // The snapshot is taken (and released) under the lock by the caller.
    DiskSystem(PyObject* obj, const ParameterSnapshot& snapshot)
        : obj_(obj), c_(reinterpret_cast<OneZoneClosure*>(obj)), snapshot_(snapshot), params_(snapshot.params()) {}

    ode::Eval derivative(double t, const ode::State<2>& y, ode::State<2>& dydt) {
        // A trial step long enough to empty the disk is the stepper's to shorten.
        if (!rt::positive_finite(y[0]) || !rt::positive_finite(y[1])) return ode::Eval::outside;
        DiskPoint& p = latest_;
        p.state = DiskState{t, y[0], y[1]};
        failure_ = checked(c_->vtab->compute_derived(obj_, &p.state, &params_, &p.derived), "compute_derived");
        if (!failure_.failed())
            failure_ = checked_closure(c_->closure_func(&p.state, &p.derived, &params_, &previous_, &p.result));
        if (failure_.kind == KernelFailure::no_solution) {
            // No thermal equilibrium here: a trial step too long, or the disk
            // has reached such a state. The stepper shortens the step; if that
            // comes to nothing, this is the failure to report.
            unsolved_ = p;
            unsolved_failure_ = failure_;
            has_unsolved_ = true;
            return ode::Eval::outside;
        }
        if (failure_.failed()) return ode::Eval::stop;
        failure_ = disk_rates(c_, p.state, p.derived, params_, p.result, p.step);
        if (failure_.failed()) return ode::Eval::stop;
        dydt = {p.step.step1, p.step.step2};
        return ode::Eval::ok;
    }

    void accept() {
        accepted_ = latest_;
        previous_ = accepted_.result;
        has_unsolved_ = false;
    }

    const DiskPoint& accepted() const { return accepted_; }
    // After Eval::stop: what failed, at the point being evaluated.
    const KernelFailure& failure() const { return failure_; }
    const DiskPoint& latest() const { return latest_; }
    // The last state without a closure solution since the last accepted
    // step, if any.
    bool has_unsolved() const { return has_unsolved_; }
    const DiskPoint& unsolved() const { return unsolved_; }
    const KernelFailure& unsolved_failure() const { return unsolved_failure_; }
    const DiskParameters& params() const { return params_; }
    const DiskParameters& filled() const { return snapshot_.filled(); }

private:
    PyObject* obj_;
    const OneZoneClosure* c_;
    const ParameterSnapshot& snapshot_;
    const DiskParameters& params_;
    ClosureResult previous_{};  // start of every search; ln_T_c 0.0: the closure's own guess
    DiskPoint latest_, accepted_, unsolved_;
    KernelFailure failure_, unsolved_failure_;
    bool has_unsolved_ = false;
};

struct EvolveInput {
    double M_D0 = 0.0, R_D0 = 0.0, t_end = 0.0, t_start = 0.0, rtol = 1e-6;
    int n_out = 200;
    int max_steps = 100000;
    PyObject* progress = nullptr;  // borrowed; null for none
};

// The output times: n_out points log-spaced from t_start to t_end, the first
// exactly t_start (unless n_out is 1) and the last exactly t_end.
std::vector<double> output_times(const EvolveInput& in) {
    std::vector<double> times(static_cast<std::size_t>(in.n_out));
    const double a = std::log(in.t_start), b = std::log(in.t_end);
    for (int k = 0; k + 1 < in.n_out; ++k) times[k] = std::exp(a + (b - a) * k / (in.n_out - 1));
    times.front() = in.t_start;  // both ends exactly, not through exp(log(t))
    times.back() = in.t_end;
    return times;
}

// How a run ended.
struct EvolveOutcome {
    enum Kind { done, kernel, callback, step_too_small, too_many_steps } kind = done;
    int rows = 0;           // output rows completed
    KernelFailure failure;  // kind kernel
    DiskPoint at;           // kind kernel: the point being evaluated
    double t = 0.0, h = 0.0, t_target = 0.0;
    long max_steps = 0;
};

// Whether the object still fills the parameter record the run started with.
// The run works from its own snapshot, but a binding or a new law in mid-run
// (from the progress callback) would make its rows disagree with the object,
// so it is refused.
bool same_parameters(PyObject* obj, const DiskParameters& p) {
    DiskParameters now = p;
    reinterpret_cast<OneZoneClosure*>(obj)->vtab->fill_parameters(obj, &now);
    return now.M_BH == p.M_BH && now.R_in == p.R_in && now.alpha == p.alpha && now.mu == p.mu &&
           now.fallback == p.fallback && now.advection == p.advection && now.opacity == p.opacity;
}

// At each output row, with the lock taken briefly: pending signals (so that
// an interrupt stops a long run), then the progress callback with the
// fraction done. False with the exception pending on this thread.
bool report_progress(PyObject* obj, const DiskParameters& params, PyObject* progress, int rows, int n_out) {
    rt::GilGuard gil;
    if (PyErr_CheckSignals() < 0) return false;
    if (!progress) return true;
    Ref fraction = rt::new_float(static_cast<double>(rows) / n_out);
    if (!fraction || !Ref::steal(PyObject_CallOneArg(progress, fraction.get()))) return false;
    if (same_parameters(obj, params)) return true;
    PyErr_Format(PyExc_RuntimeError, msg::evolve_rebound, Py_TYPE(obj)->tp_name);
    return false;
}

// The run; without the interpreter lock except inside report_progress.
EvolveOutcome run_evolution(PyObject* obj, const ParameterSnapshot& snapshot, const EvolveInput& in,
                            const std::vector<double>& times, double* out, int n_fields) {
    using namespace constants;
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    DiskSystem sys(obj, snapshot);
    ode::DormandPrince5<2> stepper(in.rtol, in.max_steps);
    EvolveOutcome r;
    r.max_steps = in.max_steps;
    auto stopped = [&](ode::Outcome o, double t_target) {
        r.t = stepper.t();
        r.h = stepper.step();
        r.t_target = t_target;
        switch (o) {
            case ode::Outcome::stopped:
                r.kind = EvolveOutcome::kernel;
                r.failure = sys.failure();
                r.at = sys.latest();
                break;
            case ode::Outcome::start_outside:
            case ode::Outcome::step_too_small: r.kind = EvolveOutcome::step_too_small; break;
            case ode::Outcome::too_many_steps: r.kind = EvolveOutcome::too_many_steps; break;
            case ode::Outcome::reached: break;
        }
        // The step shrank to nothing against a state without a solution.
        if (r.kind == EvolveOutcome::step_too_small && sys.has_unsolved()) {
            r.kind = EvolveOutcome::kernel;
            r.failure = sys.unsolved_failure();
            r.at = sys.unsolved();
        }
        return r;
    };

    const double J_D0 = DISK_A * in.M_D0 * std::sqrt(G_CGS * sys.params().M_BH * in.R_D0);
    ode::Outcome o = stepper.start(sys, 0.0, {in.M_D0, J_D0}, in.t_end);
    if (o != ode::Outcome::reached) return stopped(o, 0.0);
    for (int i = 0; i < in.n_out; ++i) {
        o = stepper.advance_to(sys, times[i]);
        if (o != ode::Outcome::reached) return stopped(o, times[i]);
        const DiskPoint& p = sys.accepted();
        const KernelFailure f = write_row(c, i, p.state, p.derived, sys.params(), p.result, p.step, out, n_fields);
        if (f.failed()) {
            r.kind = EvolveOutcome::kernel;
            r.failure = f;
            r.at = p;
            r.t = p.state.state0;
            return r;
        }
        r.rows = i + 1;
        if (!report_progress(obj, sys.filled(), in.progress, r.rows, in.n_out)) {
            r.kind = EvolveOutcome::callback;
            r.t = p.state.state0;
            return r;
        }
    }
    return r;
}

// The pending exception for a run that stopped (the lock is held again),
// with the completed rows attached as `rows` and a note saying so.
void report_evolution(const EvolveOutcome& r, PyObject* result, int n_out) {
    const DiskState& s = r.at.state;
    switch (r.kind) {
        case EvolveOutcome::kernel:
            if (r.failure.kind == KernelFailure::exception) {
                rt::add_note([&] {
                    return rt::percent_format(msg::evolve_note,
                                              Ref::steal(Py_BuildValue("(ddd)", s.state0, s.M_D, s.state2)).get());
                });
            } else if (r.failure.kind == KernelFailure::no_solution) {
                Ref args = Ref::steal(Py_BuildValue("(dddis)", s.state0, s.M_D, r.at.derived.R_D, r.failure.status,
                                                    msg::solver_status_name(r.failure.status)));
                if (Ref text = rt::percent_format(msg::evolve_status, args.get()))
                    PyErr_SetObject(PyExc_RuntimeError, text.get());
            } else {
                Ref args = Ref::steal(Py_BuildValue("(sid)", r.failure.function, r.failure.status, s.state0));
                if (Ref text = rt::percent_format(msg::evolve_kernel_status, args.get()))
                    PyErr_SetObject(PyExc_RuntimeError, text.get());
            }
            break;
        case EvolveOutcome::step_too_small:
            if (Ref text = rt::percent_format(msg::evolve_step_too_small,
                                              Ref::steal(Py_BuildValue("(dd)", r.h, r.t)).get()))
                PyErr_SetObject(PyExc_RuntimeError, text.get());
            break;
        case EvolveOutcome::too_many_steps:
            if (Ref text = rt::percent_format(msg::evolve_too_many_steps,
                                              Ref::steal(Py_BuildValue("(ldd)", r.max_steps, r.t_target, r.t)).get()))
                PyErr_SetObject(PyExc_RuntimeError, text.get());
            break;
        case EvolveOutcome::callback:  // the callback's exception, or the rebinding one, is pending
        case EvolveOutcome::done: break;
    }
    rt::attach_to_exception("rows", [&] {
        Ref done = Ref::steal(PySequence_GetSlice(result, 0, r.rows));
        return done ? Ref::steal(PyObject_CallMethod(done.get(), "copy", nullptr)) : done;
    });
    rt::add_note([&] {
        return rt::percent_format(msg::evolve_rows_note, Ref::steal(Py_BuildValue("(ii)", r.rows, n_out)).get());
    });
}

bool read_evolve_input(PyObject* const* values, EvolveInput& in) {
    if (!rt::to_double(values[1], in.M_D0) || !rt::to_double(values[2], in.R_D0) ||
        !rt::to_double(values[3], in.t_end))
        return false;
    if (values[4] && !rt::to_int(values[4], in.n_out)) return false;
    if (values[5] && !rt::to_double(values[5], in.rtol)) return false;
    const bool has_t_start = values[7] && values[7] != Py_None;
    if (has_t_start && !rt::to_double(values[7], in.t_start)) return false;
    if (!rt::require("evolve", msg::req_positive_finite, rt::positive_finite,
                     {{"M_D0", in.M_D0}, {"R_D0", in.R_D0}, {"t_end", in.t_end}}))
        return false;
    if (!rt::require("evolve", msg::req_unit_fraction,
                     [](double x) { return x > 0.0 && x < 1.0; }, {{"rtol", in.rtol}}))
        return false;
    if (values[8] && !rt::to_int(values[8], in.max_steps)) return false;
    if (in.n_out < 1 || in.max_steps < 1) {
        const bool rows = in.n_out < 1;
        PyErr_Format(PyExc_ValueError, msg::evolve_at_least_1, rows ? "n_out" : "max_steps",
                     rows ? in.n_out : in.max_steps);
        return false;
    }
    if (!has_t_start) {
        in.t_start = 1e-4 * in.t_end;
    } else {
        if (!rt::require("evolve", msg::req_positive_finite, rt::positive_finite, {{"t_start", in.t_start}}))
            return false;
        if (in.t_start > in.t_end) {
            PyErr_Format(PyExc_ValueError, msg::evolve_t_start, values[3], values[7]);
            return false;
        }
    }
    PyObject* progress = values[6];
    if (progress && progress != Py_None) {
        if (!PyCallable_Check(progress)) {
            PyErr_Format(PyExc_TypeError, msg::evolve_progress, Py_TYPE(progress)->tp_name);
            return false;
        }
        in.progress = progress;
    }
    return true;
}

Ref evolve_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using namespace constants;
    static const rt::Params<9> params{
        "evolve", {"closure", "M_D0", "R_D0", "t_end", "n_out", "rtol", "progress", "t_start", "max_steps"}, 4};
    std::array<PyObject*, 9> values;
    if (!bind_driver(params, args, nargs, kwnames, values)) return {};
    PyObject* obj = values[0];
    EvolveInput in;
    if (!read_evolve_input(values.data(), in)) return {};
    if (!closure_ready(obj, "evolve", true)) return {};
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    DiskParameters probe{};
    c->vtab->fill_parameters(obj, &probe);
    // The ring's angular momentum follows from the hole's mass.
    if (!rt::require("evolve", msg::req_positive_finite, rt::positive_finite,
                     {{"J_D0", DISK_A * in.M_D0 * std::sqrt(G_CGS * probe.M_BH * in.R_D0)}}))
        return {};

    const int n_fields = c->n_result_fields;
    rt::Table table;
    Ref result = new_rows(in.n_out, n_fields, table);
    if (!result) return {};
    const std::vector<double> times = output_times(in);

    // The caller's reference keeps the closure object, and the progress
    // callback, alive; the run works from the parameters held at its start.
    const ParameterSnapshot snapshot(obj);
    EvolveOutcome outcome;
    {
        rt::AllowThreads unlocked;
        outcome = run_evolution(obj, snapshot, in, times, table.data(), n_fields);
    }
    table.release();
    if (outcome.kind != EvolveOutcome::done) {
        report_evolution(outcome, result.get(), in.n_out);
        return {};
    }
    return result;
}

constexpr const char* evolve_doc =
    "evolve(closure, M_D0, R_D0, t_end, n_out=200, rtol=1e-6, progress=None, t_start=None,\n"
    "       max_steps=100000)\n\n"
    "Time evolution of the one-zone disk.\n\n"
    "Integrates the disk's mass and angular momentum, y = (M_D, J_D), from t = 0\n"
    "to t_end with an adaptive Dormand-Prince 5(4) Runge-Kutta pair, the\n"
    "interpreter lock released while it steps. Every evaluation of the rates\n"
    "derives the ring (compute_derived), solves the installed closure starting\n"
    "from the result at the last accepted point, and sums the derivative and\n"
    "(with a source installed) source steps into dM_D/dt and dJ_D/dt. The step\n"
    "is chosen so that the estimated local error of M_D and of J_D stays within\n"
    "rtol of their size (root mean square of the two).\n\n"
    "The run lands exactly on each of n_out output times, log-spaced from\n"
    "t_start to t_end, and the installed writer fills that row from the state,\n"
    "closure result and step at that time.\n\n"
    "Where the energy balance has more than one root (a thin, gas-pressure\n"
    "branch and a thick, advective one), the disk stays on the branch of its\n"
    "last accepted point and jumps where that branch ends; the time of such a\n"
    "jump is found to within the tolerance, so runs with other output times or\n"
    "tolerances agree to about rtol, and converge as it shrinks.\n\n"
    "Parameters\n----------\n"
    "closure : OneZoneClosure\n"
    "    A disk model with its closure, derivative and writer installed and its\n"
    "    run-time parameters bound. It must not be rebound, nor given another\n"
    "    opacity law, while this runs (from progress: RuntimeError).\n"
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
    "    Most steps (accepted and rejected) the run may take, at least 1.\n\n"
    "Returns\n-------\n"
    "ndarray of float64, shape (n_out, closure.n_result_fields)\n"
    "    The writer's row for each output time.\n\n"
    "Raises\n------\n"
    "TypeError\n    closure is not a OneZoneClosure, or progress is not callable.\n"
    "ValueError\n    An invalid argument, refused before any kernel runs.\n"
    "RuntimeError\n"
    "    An unbound closure object (refused before any kernel runs); a disk\n"
    "    that reaches a state without a central temperature (naming the time,\n"
    "    the state and the closure's status; a trial step that lands on such a\n"
    "    state is only shortened); a step size driven below the resolution of t;\n"
    "    max_steps spent.\n"
    "Exception\n"
    "    Whatever a kernel raises propagates with a note naming the time and\n"
    "    state, and whatever progress raises propagates.\n\n"
    "Every error raised once the run has started carries the rows completed\n"
    "so far as its attribute ``rows`` (shape (k, n_result_fields)), and a note\n"
    "saying how many.";

PyMethodDef module_functions[] = {
    {"solve_profile", VELMORA_METH((&traced<solve_profile_body, q_solve_profile>)), METH_FASTCALL | METH_KEYWORDS,
     solve_profile_doc},
    {"evolve", VELMORA_METH((&traced<evolve_body, q_evolve>)), METH_FASTCALL | METH_KEYWORDS, evolve_doc},
    {nullptr, nullptr, 0, nullptr}};

int exec_closure(PyObject* module) {
    for (Exported& c : exported_constants)
        if (!rt::export_c_api(module, c.name, &c.value, constant_signature)) return -1;
    if (!kappa.bind()) return -1;
    if (!prepare_closure_type(module)) return -1;
    return PyModule_AddFunctions(module, module_functions);
}

constexpr const char* module_doc =
    "The one-zone disk framework's closure object and constants.\n\n"
    "OneZoneClosure\n"
    "    Base type of disk closures: holds the C-level closure, derivative, writer\n"
    "    and source functions, the grey opacity law and the number of output\n"
    "    columns, and a two-slot operation table (compute_derived,\n"
    "    fill_parameters) published under __c_vtable__.\n"
    "solve_profile(closure, R_D, Sigma, Omega, ...)\n"
    "    The thermal structure of a disk profile: an installed closure and its\n"
    "    writer run ring by ring, without the interpreter lock, on one or more\n"
    "    threads.\n"
    "evolve(closure, M_D0, R_D0, t_end, ...)\n"
    "    The disk's time evolution: mass and angular momentum integrated by an\n"
    "    adaptive Runge-Kutta pair, the closure solved at every evaluation, the\n"
    "    writer filling one row per output time.\n\n"
    "__c_api__ holds the constants as capsules named \"double\" (cgs): G_CGS,\n"
    "K_B_CGS, M_P_CGS, SIGMA_SB_CGS, RAD_A_CGS (CODATA 2018; a = 4 sigma / c),\n"
    "KAPPA_ES = 0.34 cm^2 g^-1, the dimensionless disk-model constants DISK_A = 1\n"
    "(J_D = DISK_A M_D sqrt(G M_BH R_D)), DISK_B = 1 (Mdot = DISK_B M_D / t_visc),\n"
    "DISK_F0 = 1 (form factor of the advective cooling rate of output rows) and\n"
    "DISK_XI = 0.5 (reference advection parameter), and the natural logarithms\n"
    "LOG_* of several of them (LOG_PI of pi).";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(closure, velmora::disk::module_doc, "velmora/dynamics/accretion/one_zone/closure.cpp",
               velmora::disk::exec_closure)

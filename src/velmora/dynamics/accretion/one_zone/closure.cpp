// Module velmora.dynamics.accretion.one_zone.closure: the framework's closure
// object OneZoneClosure (the base every disk model derives from), the
// constants of the one-zone disk under `__c_api__`, and solve_profile, which
// runs an installed closure over a profile of rings.
#include "dynamics/accretion/one_zone/closure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/fields.hpp"
#include "_runtime/format.hpp"
#include "_runtime/notes.hpp"
#include "_runtime/runtime.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include <climits>
#include <cmath>
#include <cstdio>

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
// bound: refused here, before any kernel runs.
bool closure_ready(PyObject* obj) {
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    const char* type_name = Py_TYPE(obj)->tp_name;
    if (!c->closure_func || !c->writer_func) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_function, type_name, c->closure_func ? "writer" : "closure");
        return false;
    }
    if (c->n_result_fields <= 0) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_fields, type_name, c->n_result_fields);
        return false;
    }
    DiskParameters probe{};
    c->vtab->fill_parameters(obj, &probe);
    if (!probe.advection) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_unbound, type_name);
        return false;
    }
    if (!probe.opacity || probe.opacity == Py_None) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_opacity, type_name);
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

// How the loop ended.
struct RowOutcome {
    enum Kind { done, exception, no_solution, kernel_status } kind = done;
    Py_ssize_t row = 0;
    int status = 0;
    const char* function = "";
};

// The loop over the rows; runs without the interpreter lock. Row i of the
// (n, n_fields) output starts at out + i * n_fields, and the writer puts
// column k of row i at its base + i + k (stride 1), so its base for row i is
// out + i * (n_fields - 1).
RowOutcome solve_rows(PyObject* obj, const ProfileInput& in, double* out, int n_fields) {
    using namespace constants;
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    ClosureResult previous{};
    previous.ln_T_c = in.previous_ln_T_c;  // 0.0 asks for the closure's own guess
    const Py_ssize_t n = in.R_D.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int row = static_cast<int>(i);
        DiskParameters params{};
        c->vtab->fill_parameters(obj, &params);
        const double R_D = in.R_D[i];
        const double Sigma = in.Sigma[i];
        // Without a given mass, the ring's own: M_D = pi R_D^2 Sigma.
        const double M_D = in.M_D.held() ? in.M_D[i] : PI * R_D * R_D * Sigma;
        const DiskState state{0.0, M_D, DISK_A * M_D * std::sqrt(G_CGS * params.M_BH * R_D)};
        const DiskDerived derived{R_D, Sigma, in.Omega[i]};

        ClosureResult result{};
        int rc = c->closure_func(&state, &derived, &params, &previous, &result);
        if (rt::exception_pending()) return {RowOutcome::exception, i};
        if (rc != 0) {
            if (!in.nan_on_failure) return {RowOutcome::no_solution, i, rc};
            for (int k = 0; k < n_fields; ++k) out[i * n_fields + k] = std::nan("");
            continue;
        }
        previous = result;

        DiskStep step{0.0, 0.0, 0.0};
        if (c->derivative_func) {
            rc = c->derivative_func(&state, &derived, &params, &result, &step);
            if (rt::exception_pending()) return {RowOutcome::exception, i};
            if (rc != 0) return {RowOutcome::kernel_status, i, rc, "derivative"};
        }
        if (c->source_func) {
            DiskStep source{0.0, 0.0, 0.0};
            rc = c->source_func(&state, &derived, &params, &result, &source);
            if (rt::exception_pending()) return {RowOutcome::exception, i};
            if (rc != 0) return {RowOutcome::kernel_status, i, rc, "source"};
            step.step0 += source.step0;
            step.step1 += source.step1;
            step.step2 += source.step2;
        }
        rc = c->writer_func(row, &state, &derived, &params, &result, &step, out + i * (n_fields - 1), 1);
        if (rt::exception_pending()) return {RowOutcome::exception, i};
        if (rc != 0) return {RowOutcome::kernel_status, i, rc, "writer"};
    }
    return {};
}

// Turns a failed row into the pending exception (the lock is held again).
void report_row(const RowOutcome& r, const ProfileInput& in) {
    const double R_D = in.R_D[r.row];
    if (r.kind == RowOutcome::exception) {
        rt::add_note([&] {
            return rt::percent_format(msg::profile_note, Ref::steal(Py_BuildValue("(nd)", r.row, R_D)).get());
        });
        return;
    }
    Ref text = r.kind == RowOutcome::no_solution
                   ? rt::percent_format(msg::profile_status,
                                        Ref::steal(Py_BuildValue("(ndis)", r.row, R_D, r.status,
                                                                 msg::solver_status_name(r.status)))
                                            .get())
                   : rt::percent_format(msg::profile_kernel_status,
                                        Ref::steal(Py_BuildValue("(sind)", r.function, r.status, r.row, R_D)).get());
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

Ref solve_profile_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const rt::Params<7> params{
        "solve_profile", {"closure", "R_D", "Sigma", "Omega", "M_D", "previous_ln_T_c", "on_failure"}, 4};
    std::array<PyObject*, 7> values;
    if (!rt::bind(params, args, nargs, kwnames, values)) return {};
    PyObject* obj = values[0];
    if (!PyObject_TypeCheck(obj, &closure_type)) {
        rt::raise_argument_type("closure", &closure_type, obj);
        return {};
    }
    if (!closure_ready(obj)) return {};
    ProfileInput in;
    if (!read_profile_input(values.data(), in)) return {};

    const int n_fields = reinterpret_cast<OneZoneClosure*>(obj)->n_result_fields;
    Ref np = rt::import_module("numpy");
    if (!np) return {};
    Ref result = Ref::steal(PyObject_CallMethod(np.get(), "empty", "((ni)s)", in.R_D.size(), n_fields, "float64"));
    if (!result) return {};
    rt::Table table;
    if (!table.acquire(result.get())) return {};

    // The closure object stays alive through the caller's reference; it must
    // not be rebound or given another law while the rows are solved.
    RowOutcome outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = solve_rows(obj, in, table.data(), n_fields);
    Py_END_ALLOW_THREADS
    if (outcome.kind != RowOutcome::done) {
        report_row(outcome, in);
        return {};
    }
    table.release();
    return result;
}

PyObject* solve_profile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref r = solve_profile_body(args, nargs, kwnames);
    if (!r) rt::add_traceback(q_solve_profile);
    return r.release();
}

constexpr const char* solve_profile_doc =
    "solve_profile(closure, R_D, Sigma, Omega, M_D=None, previous_ln_T_c=0.0, on_failure=\"raise\")\n\n"
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
    "    on.\n\n"
    "Returns\n-------\n"
    "ndarray of float64, shape (n, closure.n_result_fields)\n"
    "    One row of the writer's columns per ring. Each ring's state is time 0,\n"
    "    mass M_D and angular momentum J_D = M_D sqrt(G M_BH R_D).\n\n"
    "Raises\n------\n"
    "TypeError\n    closure is not a OneZoneClosure.\n"
    "ValueError\n"
    "    Arrays of different lengths, a value that is not positive and finite,\n"
    "    a non-finite previous_ln_T_c, or an unknown on_failure.\n"
    "RuntimeError\n"
    "    An unbound closure object (refused before any kernel runs), or a row\n"
    "    without a solution when on_failure is \"raise\".\n"
    "Exception\n"
    "    Whatever a kernel raises (an opacity law outside its table, say)\n"
    "    propagates with a note naming the row and its radius.";

PyMethodDef module_functions[] = {
    {"solve_profile", VELMORA_METH(&solve_profile), METH_FASTCALL | METH_KEYWORDS, solve_profile_doc},
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
    "    writer run ring by ring, without the interpreter lock.\n\n"
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

// The pieces the framework's drivers share: the parameter snapshot, the
// rates and the writer's row of a solved ring, the refusal of a closure
// object that is not ready, the output array, and the registry of the
// models' energy balances.
#include "dynamics/accretion/one_zone/drivers.hpp"

namespace velmora::disk {

namespace msg = rt::msg;
using rt::Ref;

ParameterSnapshot::ParameterSnapshot(PyObject* obj) {
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    c->vtab->fill_parameters(obj, &params_);
    compute_derived = c->vtab->compute_derived;
    closure_func = c->closure_func;
    derivative_func = c->derivative_func;
    source_func = c->source_func;
    writer_func = c->writer_func;
    n_result_fields = c->n_result_fields;
    model = disk_model_of(closure_func);
    thermal = model ? model->thermal : nullptr;
    generation_ = c->generation;
    law_ = Ref::borrow(params_.opacity);
    if (params_.advection) {
        advection_ = *params_.advection;
        params_.advection = &advection_;
    }
    if (params_.fallback) {
        fallback_ = *params_.fallback;
        params_.fallback = &fallback_;
    }
}

const char* ParameterSnapshot::status_name(int status) const {
    return model && model->status_name ? model->status_name(status) : "unnamed";
}

bool ParameterSnapshot::current(PyObject* obj) const {
    auto* c = reinterpret_cast<OneZoneClosure*>(obj);
    DiskParameters now = params_;
    c->vtab->fill_parameters(obj, &now);
    return c->generation == generation_ && c->closure_func == closure_func && c->source_func == source_func &&
           c->derivative_func == derivative_func && c->writer_func == writer_func && now.M_BH == params_.M_BH &&
           now.R_in == params_.R_in && now.alpha == params_.alpha && now.mu == params_.mu &&
           now.opacity == params_.opacity;
}

KernelFailure disk_rates(const ParameterSnapshot& run, const DiskState& state, const DiskDerived& derived,
                         const ClosureResult& result, DiskStep& step) {
    const DiskParameters& params = run.params();
    step = DiskStep{0.0, 0.0, 0.0};
    if (run.derivative_func) {
        KernelFailure f = checked(run.derivative_func(&state, &derived, &params, &result, &step), "derivative");
        if (f.failed()) return f;
    }
    if (run.source_func) {
        DiskStep source{0.0, 0.0, 0.0};
        KernelFailure f = checked(run.source_func(&state, &derived, &params, &result, &source), "source");
        if (f.failed()) return f;
        step.step0 += source.step0;
        step.step1 += source.step1;
        step.step2 += source.step2;
    }
    return {};
}

KernelFailure scan_ring(const ParameterSnapshot& run, const DiskDerived& derived, ThermalContext& ctx,
                        thermal::Structure& s, long* evaluations) {
    KernelFailure f = checked(run.thermal->prepare(&derived, &run.params(), &ctx), "closure");
    if (f.failed()) return f;
    thermal::Balance balance(*run.thermal, ctx);
    const bool ok = thermal::scan(balance, s);
    if (evaluations) *evaluations += balance.evaluations();
    return ok ? KernelFailure{} : checked(balance.status() ? balance.status() : -1, "closure");
}

// Row i of an (n, n_fields) row-major output starts at out + i * n_fields, and
// the writer puts column k of row i at its base + i + k (stride 1), so its
// base for row i is out + i * (n_fields - 1).
KernelFailure write_row(const ParameterSnapshot& run, int row, const DiskState& state, const DiskDerived& derived,
                        const ClosureResult& result, const DiskStep& step, double* out) {
    double* base = out + static_cast<Py_ssize_t>(row) * (run.n_result_fields - 1);
    return checked(run.writer_func(row, &state, &derived, &run.params(), &result, &step, base, 1), "writer");
}

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
    const DiskModel* model = disk_model_of(c->closure_func);
    if (model && model->check_ready) return model->check_ready(obj, &probe, func) == 0;
    if (!probe.opacity || probe.opacity == Py_None) {
        PyErr_Format(PyExc_RuntimeError, msg::profile_no_opacity, func, type_name);
        return false;
    }
    return true;
}

bool read_branch(PyObject* value, const char* func, BranchArg& kind, thermal::Choice& choice, const char*& name) {
    static constexpr struct {
        const char* name;
        thermal::Choice choice;
    } names[] = {{"hottest", thermal::Choice::hottest},
                 {"thick", thermal::Choice::thick},
                 {"thin", thermal::Choice::thin},
                 {"coolest", thermal::Choice::coolest}};
    kind = BranchArg::unset;
    if (!value || value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "closure") == 0) {
            kind = BranchArg::closure;
            return true;
        }
        for (const auto& n : names) {
            if (PyUnicode_CompareWithASCIIString(value, n.name) != 0) continue;
            kind = BranchArg::named;
            choice = n.choice;
            name = n.name;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, msg::branch_name, func, value);
    return false;
}

Ref new_rows(Py_ssize_t n, int n_fields, rt::Table& table) {
    Ref np = rt::import_module("numpy");
    if (!np) return {};
    Ref rows = Ref::steal(PyObject_CallMethod(np.get(), "empty", "((ni)s)", n, n_fields, "float64"));
    if (!rows || !table.acquire(rows.get())) return {};
    return rows;
}

// --- the registry of disk models ----------------------------------------------
// Filled by models at their initialisation (under the interpreter lock) and
// read when a driver takes its snapshot (under the lock too); entries are
// never removed, the records are the models' static ones.

namespace {

struct Registration {
    closure_func_t closure;
    const DiskModel* model;
};

constexpr int max_models = 32;
Registration registry[max_models];
int n_registered = 0;

}  // namespace

const DiskModel* disk_model_of(closure_func_t closure) {
    for (int i = 0; i < n_registered; ++i)
        if (registry[i].closure == closure) return registry[i].model;
    return nullptr;
}

int register_disk_model(closure_func_t closure, const DiskModel* model) {
    if (!closure || !model) {
        PyErr_SetString(PyExc_ValueError, msg::registry_null);
        return -1;
    }
    for (int i = 0; i < n_registered; ++i) {
        if (registry[i].closure != closure) continue;
        registry[i].model = model;
        return 0;
    }
    if (n_registered == max_models) {
        PyErr_SetString(PyExc_RuntimeError, msg::registry_full);
        return -1;
    }
    registry[n_registered++] = {closure, model};
    return 0;
}

}  // namespace velmora::disk

// Module velmora.dynamics.accretion.one_zone.closure: the framework's closure
// object OneZoneClosure (the base every disk model derives from), the
// constants of the one-zone disk under `__c_api__` (and as a dict of floats),
// the registration of models' energy balances under `__c_framework__`, and
// the drivers (profile.cpp, evolve.cpp, equilibria.cpp).
#include "dynamics/accretion/one_zone/drivers.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/fields.hpp"
#include "_runtime/signature.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include <cmath>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;

constexpr char q_compute_derived[] = OZ_PREFIX "OneZoneClosure.compute_derived";
constexpr char q_opacity_set[] = OZ_PREFIX "OneZoneClosure.opacity.__set__";

struct ClosureNames {
    static constexpr const char* qualname = OZ_PREFIX "OneZoneClosure";
};

opacity::KappaCoreBinding kappa;

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
        auto* self = reinterpret_cast<OneZoneClosure*>(o);
        rt::set_field(self->opacity, value);
        ++self->generation;
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

// Arguments are accepted and ignored (derived types take their own).
constexpr rt::Params<0> closure_new{"OneZoneClosure", {}};
constexpr char closure_doc[] =
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
    "n_result_fields : int\n    Columns per output row.\n\n"
    "Examples\n--------\n"
    ">>> from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure\n"
    ">>> from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure\n"
    ">>> OneZoneClosure().opacity is None\n"
    "True\n"
    ">>> disk = AdvectiveClosure()\n"
    ">>> isinstance(disk, OneZoneClosure), type(disk.opacity).__name__, disk.n_result_fields\n"
    "(True, 'ElectronScatteringOpacity', 21)";


bool prepare_closure_type(PyObject* module) {
    closure_ops.compute_derived = &compute_derived;
    closure_ops.fill_parameters = &fill_parameters;
    closure_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    closure_type.tp_doc = rt::signed_doc<closure_new, closure_doc>;
    closure_type.tp_new = rt::entry<&tp_new>;
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

// The constants again as a dict of floats, for interpreter code.
bool add_constants_dict(PyObject* module) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return false;
    for (const Exported& c : exported_constants) {
        Ref value = rt::new_float(c.value);
        if (!value || PyDict_SetItemString(dict.get(), c.name, value.get()) < 0) return false;
    }
    Ref c_value = rt::new_float(constants::C_CGS);
    if (!c_value || PyDict_SetItemString(dict.get(), "C_CGS", c_value.get()) < 0) return false;
    return PyModule_AddObjectRef(module, "CONSTANTS", dict.get()) == 0;
}

// --- model_info -------------------------------------------------------------------

constexpr char q_model_info[] = OZ_PREFIX "model_info";

Ref columns_tuple(const DiskModel& m) {
    Ref columns = Ref::steal(PyTuple_New(m.n_columns));
    if (!columns) return {};
    for (int k = 0; k < m.n_columns; ++k) {
        const Column& c = m.columns[k];
        PyObject* item = Py_BuildValue("(sss)", c.name, c.unit, c.meaning);
        if (!item) return {};
        PyTuple_SET_ITEM(columns.get(), k, item);
    }
    return columns;
}

struct ModelInfoArgs {
    PyObject* closure;
};

constexpr auto model_info_decl = rt::declare<&ModelInfoArgs::closure>("model_info", {"closure"});

Ref model_info_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModelInfoArgs a;
    if (!parse_driver(model_info_decl, args, nargs, kwnames, a)) return {};
    const DiskModel* m = disk_model_of(reinterpret_cast<OneZoneClosure*>(a.closure)->closure_func);
    if (!m) return Ref::borrow(Py_None);
    Ref columns = columns_tuple(*m);
    if (!columns) return {};
    return Ref::steal(Py_BuildValue("{s:s,s:O,s:O}", "name", m->name, "columns", columns.get(), "branches",
                                    m->thermal ? Py_True : Py_False));
}

constexpr char model_info_doc[] =
    "What the closure's disk model told the framework about itself.\n\n"
    "Parameters\n----------\n"
    "closure : OneZoneClosure\n    A closure object (bound or not).\n\n"
    "Returns\n-------\n"
    "dict or None\n"
    "    ``name`` (the model's short name), ``columns`` (a tuple of (name, unit,\n"
    "    meaning) for each column of the rows its writer fills; units cgs, \"-\"\n"
    "    for a pure number) and ``branches`` (whether it offers its energy\n"
    "    balance, so that the drivers can follow named thermal branches); None\n"
    "    for a closure function no model registered.\n\n"
    "Examples\n--------\n"
    ">>> from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure, model_info\n"
    ">>> from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure\n"
    ">>> info = model_info(AdvectiveClosure())\n"
    ">>> info[\"name\"], info[\"branches\"], info[\"columns\"][8]\n"
    "('gasrad_adv', True, ('T_c', 'K', 'central temperature'))\n"
    ">>> model_info(OneZoneClosure()) is None\n"
    "True";

// Filled at initialisation: the drivers' entries live in their own sources.
PyMethodDef module_functions[5];

int exec_closure(PyObject* module) {
    for (Exported& c : exported_constants)
        if (!rt::export_c_api(module, c.name, &c.value, constant_signature)) return -1;
    if (!rt::export_function(module, "register_disk_model", &register_disk_model, register_disk_model_signature,
                             framework_api_name))
        return -1;
    if (!add_constants_dict(module)) return -1;
    if (!kappa.bind()) return -1;
    if (!prepare_closure_type(module)) return -1;
    module_functions[0] = solve_profile_def;
    module_functions[1] = evolve_def;
    module_functions[2] = thermal_equilibria_def;
    module_functions[3] = {"model_info", VELMORA_METH((rt::traced<&model_info_body, q_model_info>)),
                           METH_FASTCALL | METH_KEYWORDS, rt::signed_doc<model_info_decl.params, model_info_doc>};
    module_functions[4] = {nullptr, nullptr, 0, nullptr};
    return PyModule_AddFunctions(module, module_functions);
}

constexpr const char* module_doc =
    "The one-zone disk framework's closure object, constants and drivers.\n\n"
    "OneZoneClosure\n"
    "    Base type of disk closures: holds the C-level closure, derivative, writer\n"
    "    and source functions, the grey opacity law and the number of output\n"
    "    columns, and a two-slot operation table (compute_derived,\n"
    "    fill_parameters) published under __c_vtable__.\n"
    "solve_profile(closure, R_D, Sigma, Omega, ...)\n"
    "    The thermal structure of a disk profile: an installed closure (or a\n"
    "    named thermal branch) and its writer run ring by ring, without the\n"
    "    interpreter lock, on one or more threads.\n"
    "evolve(closure, M_D0, R_D0, t_end, ...)\n"
    "    The disk's time evolution: mass and angular momentum integrated by an\n"
    "    adaptive Runge-Kutta pair, the disk kept on its thermal branch, the ends\n"
    "    of branches located as events, the writer filling one row per output\n"
    "    time.\n"
    "thermal_equilibria(closure, R_D, Sigma, Omega)\n"
    "    Every root of the model's energy balance at one ring, stable or not,\n"
    "    with its branch.\n\n"
    "__c_api__ holds the constants as capsules named \"double\" (cgs): G_CGS,\n"
    "K_B_CGS, M_P_CGS, SIGMA_SB_CGS, RAD_A_CGS (CODATA 2018; a = 4 sigma / c),\n"
    "KAPPA_ES = 0.34 cm^2 g^-1, the dimensionless disk-model constants DISK_A = 1\n"
    "(J_D = DISK_A M_D sqrt(G M_BH R_D)), DISK_B = 1 (Mdot = DISK_B M_D / t_visc),\n"
    "DISK_F0 = 1 (form factor of the advective cooling rate of output rows) and\n"
    "DISK_XI = 0.5 (reference advection parameter), and the natural logarithms\n"
    "LOG_* of several of them (LOG_PI of pi). CONSTANTS is the same as a dict of\n"
    "floats, with the speed of light C_CGS. __c_framework__ holds\n"
    "register_disk_model, through which a disk model tells the drivers its\n"
    "energy balance, the columns of its rows, what its parameters need and the\n"
    "names of its closure's statuses; model_info(closure) reads that back.\n\n"
    "Examples\n--------\n"
    ">>> from velmora.dynamics.accretion.one_zone import closure\n"
    ">>> closure.CONSTANTS[\"G_CGS\"], closure.CONSTANTS[\"KAPPA_ES\"]\n"
    "(6.6743e-08, 0.34)\n"
    ">>> sorted(closure.__c_api__)[:3]\n"
    "['DISK_A', 'DISK_B', 'DISK_F0']";

}  // namespace

PyTypeObject closure_type = rt::static_type(OZ_PREFIX "OneZoneClosure", sizeof(OneZoneClosure));

}  // namespace velmora::disk

VELMORA_MODULE(closure, velmora::disk::module_doc, "velmora/dynamics/accretion/one_zone/closure.cpp",
               velmora::disk::exec_closure)

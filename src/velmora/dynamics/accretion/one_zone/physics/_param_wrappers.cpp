// Module velmora.dynamics.accretion.one_zone.physics._param_wrappers: the
// interpreter objects CAdvection and CFallback, each owning one parameter
// record of the disk inline. Slot 0 of their operation table returns the
// record's address, which stays valid while the object lives; the objects are
// immutable, so the record never changes under a running integration.
#include "dynamics/accretion/one_zone/closure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/reduce.hpp"
#include "_runtime/repr.hpp"
#include "_runtime/runtime.hpp"

#include <structmember.h>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;

#define PW_PREFIX "velmora.dynamics.accretion.one_zone.physics._param_wrappers."

// A wrapper is described by traits: its object, record and table types, its
// names, and per field the record member, its parameter name and the
// requirement checked at construction.
struct Field {
    const char* name;
    bool (*ok)(double) noexcept;
    const char* requirement;
};

struct AdvectionWrapper {
    using Obj = CAdvection;
    using Record = AdvectionParams;
    using Ops = CAdvectionOps;
    static constexpr const char* name = "CAdvection";
    static constexpr const char* qualname = PW_PREFIX "CAdvection";
    static constexpr const char* q_new = PW_PREFIX "CAdvection.__new__";
    static constexpr const char* q_reduce = PW_PREFIX "CAdvection.__reduce__";
    static constexpr std::array members{&AdvectionParams::xi};
    // xi = 0 is a disk without advective cooling.
    static constexpr std::array<Field, 1> fields{{{"xi", rt::non_negative_finite, msg::req_non_negative_finite}}};
};

struct FallbackWrapper {
    using Obj = CFallback;
    using Record = FallbackParams;
    using Ops = CFallbackOps;
    static constexpr const char* name = "CFallback";
    static constexpr const char* qualname = PW_PREFIX "CFallback";
    static constexpr const char* q_new = PW_PREFIX "CFallback.__new__";
    static constexpr const char* q_reduce = PW_PREFIX "CFallback.__reduce__";
    static constexpr std::array members{&FallbackParams::M_fb_0, &FallbackParams::R_c, &FallbackParams::t_fb,
                                        &FallbackParams::beta_fb};
    // The power-law index may take either sign (a rising or a decaying rate).
    static constexpr std::array<Field, 4> fields{{
        {"M_fb_0", rt::positive_finite, msg::req_positive_finite},
        {"R_c", rt::positive_finite, msg::req_positive_finite},
        {"t_fb", rt::positive_finite, msg::req_positive_finite},
        {"beta_fb", [](double x) noexcept { return static_cast<bool>(std::isfinite(x)); }, msg::req_finite},
    }};
};

template <typename W>
constexpr std::size_t n_fields = W::fields.size();

template <typename W>
typename W::Record* get_params(typename W::Obj* self) {
    return &self->params;
}

template <typename W>
typename W::Ops wrapper_ops;

// The constructor's parameters, one per field, all required.
template <typename W>
constexpr rt::Params<n_fields<W>> params_v = [] {
    rt::Params<n_fields<W>> p{W::name, {}};
    for (std::size_t i = 0; i < n_fields<W>; ++i) p.names[i] = W::fields[i].name;
    return p;
}();

// Binds and converts the arguments left to right, then checks them in order.
template <typename W>
bool read_record(PyObject* args, PyObject* kwds, typename W::Record& record) {
    constexpr std::size_t N = n_fields<W>;
    std::array<PyObject*, N> values;
    if (!rt::bind(params_v<W>, args, kwds, values)) return false;
    double x[N];
    for (std::size_t i = 0; i < N; ++i)
        if (!rt::to_double(values[i], x[i])) return false;
    for (std::size_t i = 0; i < N; ++i) {
        const Field& f = W::fields[i];
        if (!rt::require(W::name, f.requirement, f.ok, {{f.name, x[i]}})) return false;
        record.*W::members[i] = x[i];
    }
    return true;
}

template <typename W>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    typename W::Record record;
    if (!read_record<W>(args, kwds, record)) {
        rt::add_traceback(W::q_new);
        return nullptr;
    }
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) {
        rt::add_traceback(W::q_new);
        return nullptr;
    }
    auto* self = reinterpret_cast<typename W::Obj*>(o);
    self->vtab = &wrapper_ops<W>;
    self->params = record;
    return o;
}

void tp_dealloc(PyObject* o) { Py_TYPE(o)->tp_free(o); }

template <typename W>
std::array<double, n_fields<W>> record_values(PyObject* o) {
    const auto& record = reinterpret_cast<typename W::Obj*>(o)->params;
    std::array<double, n_fields<W>> values;
    for (std::size_t i = 0; i < n_fields<W>; ++i) values[i] = record.*W::members[i];
    return values;
}

template <typename W>
Ref field_values(PyObject* o) {
    const auto values = record_values<W>(o);
    Ref t = Ref::steal(PyTuple_New(n_fields<W>));
    if (!t) return {};
    for (std::size_t i = 0; i < n_fields<W>; ++i) {
        PyObject* v = PyFloat_FromDouble(values[i]);
        if (!v) return {};
        PyTuple_SET_ITEM(t.get(), i, v);
    }
    return t;
}

// "CFallback(M_fb_0=..., R_c=..., t_fb=..., beta_fb=...)"
template <typename W>
PyObject* tp_repr(PyObject* o) {
    return rt::keyword_repr(o, params_v<W>.names, record_values<W>(o));
}

template <typename W>
Ref reduce_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 0> values;
    if (!rt::bind(rt::reduce_params, args, nargs, kwnames, values)) return {};
    return rt::reduce_by_constructor(self, field_values<W>(self));
}

template <typename W>
inline constexpr auto reduce_method = rt::traced<&reduce_body<W>, W::q_reduce>;

constexpr char reduce_doc[] = "Pickle support: the class and the constructor arguments.";

template <typename W>
PyMethodDef wrapper_methods[] = {
    {"__reduce__", VELMORA_METH(reduce_method<W>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<rt::reduce_params, reduce_doc>},
    {nullptr, nullptr, 0, nullptr}};

#define PW_MEMBER(OBJ, FIELD, DOC) \
    {#FIELD, Py_T_DOUBLE, offsetof(OBJ, params) + offsetof(decltype(OBJ::params), FIELD), Py_READONLY, DOC}

PyMemberDef advection_members[] = {
    PW_MEMBER(CAdvection, xi, "Entropy-gradient (advection) parameter xi."),
    {nullptr, 0, 0, 0, nullptr}};

PyMemberDef fallback_members[] = {
    PW_MEMBER(CFallback, M_fb_0, "Total fallback mass M_fb_0 [g]."),
    PW_MEMBER(CFallback, R_c, "Circularisation radius R_c [cm]."),
    PW_MEMBER(CFallback, t_fb, "Fallback time scale t_fb [s]."),
    PW_MEMBER(CFallback, beta_fb, "Power-law index beta_fb of the fallback rate."),
    {nullptr, 0, 0, 0, nullptr}};

// The signature lines come from the constructors' parameter lists.
constexpr char advection_doc[] =
    "Advection parameters of a one-zone disk, held as a C-level record.\n\n"
    "Parameters\n----------\n"
    "xi : float\n    Entropy-gradient parameter of the advective cooling, finite and >= 0\n"
    "    (0 turns advection off).\n\n"
    "Slot 0 of the type's operation table (``__c_vtable__``) returns the address of\n"
    "the record (struct AdvectionParams), valid while the object lives."
    "\n\nExamples\n--------\n"
    ">>> from velmora.dynamics.accretion.one_zone.physics._param_wrappers import CAdvection\n"
    ">>> CAdvection(1.0)\n"
    "CAdvection(xi=1.0)\n"
    ">>> CAdvection(xi=-0.5)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: CAdvection(): xi must be non-negative and finite, got -0.5\n";

constexpr char fallback_doc[] =
    "Fallback parameters of a one-zone disk, held as a C-level record: matter\n"
    "falls back at Mdot_fb = (M_fb_0 / t_fb) (1 + t / t_fb)^(-beta_fb) and lands\n"
    "on the disk at R_c.\n\n"
    "Parameters\n----------\n"
    "M_fb_0 : float\n    Total fallback mass [g], positive and finite.\n"
    "R_c : float\n    Circularisation radius [cm], positive and finite.\n"
    "t_fb : float\n    Fallback time scale [s], positive and finite.\n"
    "beta_fb : float\n    Power-law index, finite (any sign).\n\n"
    "Slot 0 of the type's operation table (``__c_vtable__``) returns the address of\n"
    "the record (struct FallbackParams), valid while the object lives."
    "\n\nExamples\n--------\n"
    "A third of a solar mass falling back over 41 days onto a ring at 1.4e13 cm:\n\n"
    ">>> from velmora.dynamics.accretion.one_zone.physics._param_wrappers import CFallback\n"
    ">>> fb = CFallback(M_fb_0=6.6e32, R_c=1.4e13, t_fb=3.5e6, beta_fb=5 / 3)\n"
    ">>> fb\n"
    "CFallback(M_fb_0=6.6e+32, R_c=14000000000000.0, t_fb=3500000.0, beta_fb=1.6666666666666667)\n"
    ">>> print(f\"{fb.M_fb_0 / fb.t_fb:.3g} g/s\")  # the early rate\n"
    "1.89e+26 g/s\n";

PyTypeObject advection_type = rt::static_type(PW_PREFIX "CAdvection", sizeof(CAdvection));
PyTypeObject fallback_type = rt::static_type(PW_PREFIX "CFallback", sizeof(CFallback));

template <typename W, const auto& Doc>
bool prepare_type(PyObject* module, PyTypeObject* type, PyMemberDef* members) {
    wrapper_ops<W>.get_params = &get_params<W>;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type->tp_doc = rt::signed_doc<params_v<W>, Doc>;
    type->tp_new = &tp_new<W>;
    type->tp_dealloc = &tp_dealloc;
    type->tp_repr = &tp_repr<W>;
    type->tp_members = members;
    type->tp_methods = wrapper_methods<W>;
    if (PyType_Ready(type) < 0) return false;
    if (!rt::set_vtable(type, &wrapper_ops<W>)) return false;
    return PyModule_AddObjectRef(module, W::name, reinterpret_cast<PyObject*>(type)) == 0;
}

int exec_param_wrappers(PyObject* module) {
    if (!prepare_type<AdvectionWrapper, advection_doc>(module, &advection_type, advection_members)) return -1;
    return prepare_type<FallbackWrapper, fallback_doc>(module, &fallback_type, fallback_members) ? 0 : -1;
}

constexpr const char* module_doc =
    "Parameter records of the one-zone disk as interpreter objects.\n\n"
    "CAdvection(xi) and CFallback(M_fb_0, R_c, t_fb, beta_fb) each own one\n"
    "record inline; slot 0 of their operation table (``__c_vtable__``) returns\n"
    "its address, which disk models hand to the integrator in DiskParameters.\n"
    "The objects are immutable; invalid values raise ValueError naming the\n"
    "parameter."
    "\n\nExamples\n--------\n"
    ">>> import pickle\n"
    ">>> from velmora.dynamics.accretion.one_zone.physics import _param_wrappers\n"
    ">>> adv = _param_wrappers.CAdvection(xi=0.5)\n"
    ">>> pickle.loads(pickle.dumps(adv)).xi\n"
    "0.5\n";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(_param_wrappers, velmora::disk::module_doc,
               "velmora/dynamics/accretion/one_zone/physics/_param_wrappers.cpp",
               velmora::disk::exec_param_wrappers)

// Module velmora.radiation.opacity._electron_scattering: the grey opacity
// law of Thomson scattering on free electrons, ElectronScatteringOpacity.
#include "radiation/opacity/kappa_core.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/reduce.hpp"
#include "_runtime/repr.hpp"
#include "_runtime/declare.hpp"
#include "_runtime/runtime.hpp"

#include <structmember.h>

#include <cmath>
#include <cstddef>

namespace velmora::opacity {
namespace {

namespace msg = rt::msg;
using rt::Ref;

#define ES_PREFIX "velmora.radiation.opacity._electron_scattering."

constexpr char q_new[] = ES_PREFIX "ElectronScatteringOpacity.__new__";
constexpr char q_reduce[] = ES_PREFIX "ElectronScatteringOpacity.__reduce__";

struct ElectronScattering {
    GreyKappaCore base;
    double X;          // hydrogen mass fraction
    double log_kappa;  // ln kappa, fixed at construction
};

// Fully ionised matter has (1 + X) / 2 electrons per proton mass, so
// kappa = sigma_T (1 + X) / (2 m_p) = 0.2 (1 + X) cm^2 g^-1, independent of
// density and temperature.
double electron_scattering_kappa(double X) { return 0.2 * (1.0 + X); }

double es_log_opacity(GreyKappaCore* self, double, double) {
    return reinterpret_cast<ElectronScattering*>(self)->log_kappa;
}

double es_derivative(GreyKappaCore*, double, double) { return 0.0; }

// The base's slots, with 1 to 3 replaced; slot 0 stays the base's
// exp(slot 1).
GreyKappaOps es_ops;

KappaCoreBinding kappa;

// X = 0.7, about the solar hydrogen mass fraction, unless given.
struct EsArgs {
    double X;
};
constexpr auto es_decl = rt::declare<&EsArgs::X>("ElectronScatteringOpacity", {"X"}, {"0.7"});
constexpr const auto& es_new = es_decl.params;

bool read_X(PyObject* args, PyObject* kwds, double& X) {
    EsArgs a;
    if (!rt::parse(es_decl, args, kwds, a)) return false;
    X = a.X;
    return rt::require("ElectronScatteringOpacity", msg::req_unit_fraction,
                       [](double x) { return x >= 0.0 && x <= 1.0; }, {{"X", X}});
}

// The base's creation routine first (it ignores arguments), then this law's
// table and composition.
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    double X;
    if (!read_X(args, kwds, X)) {
        rt::add_traceback(q_new);
        return nullptr;
    }
    Ref o = Ref::steal(kappa.grey_type->tp_new(type, args, kwds));
    if (!o) {
        rt::add_traceback(q_new);
        return nullptr;
    }
    auto* self = reinterpret_cast<ElectronScattering*>(o.get());
    self->base.vtab = &es_ops;
    self->X = X;
    self->log_kappa = std::log(electron_scattering_kappa(X));
    return o.release();
}

Ref reduce_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 0> values;
    if (!rt::bind(rt::reduce_params, args, nargs, kwnames, values)) return {};
    Ref ctor_args = Ref::steal(Py_BuildValue("(d)", reinterpret_cast<ElectronScattering*>(self)->X));
    return rt::reduce_by_constructor(self, ctor_args, rt::DictState::in_tuple);
}

constexpr auto reduce_method = rt::traced<&reduce_body, q_reduce>;

// "ElectronScatteringOpacity(X=0.7)"
PyObject* tp_repr(PyObject* self) {
    return rt::keyword_repr<1>(self, es_new.names, {reinterpret_cast<ElectronScattering*>(self)->X});
}

constexpr char reduce_doc[] = "Pickle support: the class and the hydrogen mass fraction.";

PyMethodDef es_methods[] = {
    {"__reduce__", VELMORA_METH(reduce_method), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<rt::reduce_params, reduce_doc>},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef es_members[] = {
    {"X", Py_T_DOUBLE, offsetof(ElectronScattering, X), Py_READONLY, "Hydrogen mass fraction X."},
    {nullptr, 0, 0, 0, nullptr}};

// The signature line comes from es_new.
constexpr char es_doc[] =
    "Grey opacity of Thomson scattering on free electrons in fully ionised\n"
    "matter: kappa = 0.2 (1 + X) cm^2 g^-1, independent of density and\n"
    "temperature, so both logarithmic derivatives are 0.\n\n"
    "Parameters\n----------\n"
    "X : float\n    Hydrogen mass fraction, finite, 0 <= X <= 1."
    "\n\nExamples\n--------\n"
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"
    ">>> law = ElectronScatteringOpacity()\n"
    ">>> law, law.X\n"
    "(ElectronScatteringOpacity(X=0.7), 0.7)\n"
    ">>> ElectronScatteringOpacity(X=0.0).opacity(1e-9, 1e4)  # 0.2 cm^2 g^-1 without hydrogen\n"
    "0.2\n";

PyTypeObject es_type = rt::static_type(ES_PREFIX "ElectronScatteringOpacity", sizeof(ElectronScattering));

int exec_electron_scattering(PyObject* module) {
    if (!kappa.bind()) return -1;
    es_ops = *kappa.grey_ops;
    es_ops._log_opacity = &es_log_opacity;
    es_ops._dlogkappa_dlogrho = &es_derivative;
    es_ops._dlogkappa_dlogT = &es_derivative;

    es_type.tp_base = kappa.grey_type;
    es_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    es_type.tp_doc = rt::signed_doc<es_new, es_doc>;
    es_type.tp_repr = &tp_repr;
    es_type.tp_new = &tp_new;
    es_type.tp_dealloc = kappa.grey_type->tp_dealloc;
    es_type.tp_members = es_members;
    es_type.tp_methods = es_methods;
    if (PyType_Ready(&es_type) < 0) return -1;
    if (!rt::set_vtable(&es_type, &es_ops)) return -1;
    return PyModule_AddObjectRef(module, "ElectronScatteringOpacity", reinterpret_cast<PyObject*>(&es_type));
}

constexpr const char* module_doc =
    "Electron-scattering opacity, a grey opacity law.\n\n"
    "ElectronScatteringOpacity(X=0.7) derives from C_GreyKappaCore and fills its\n"
    "operation table: ln kappa = ln(0.2 (1 + X)) with kappa in cm^2 g^-1, both\n"
    "logarithmic derivatives 0; kappa(rho, T) is the base's exp of ln kappa."
    "\n\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"
    ">>> law = ElectronScatteringOpacity(X=1.0)  # pure hydrogen\n"
    ">>> law.opacity(1e-9, 1e4), law.dlogkappa_dlogT(math.log(1e4), math.log(1e-9))\n"
    "(0.4, 0.0)\n";

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(_electron_scattering, velmora::opacity::module_doc,
               "velmora/radiation/opacity/_electron_scattering.cpp", velmora::opacity::exec_electron_scattering)

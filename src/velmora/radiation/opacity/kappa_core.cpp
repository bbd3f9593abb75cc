// Module velmora.radiation.opacity.kappa_core: the abstract opacity-law base
// types C_GreyKappaCore and C_KappaCore, their operation tables, the scalar
// and vectorised wrappers every law inherits, and their pickling.
#include "radiation/opacity/kappa_core.hpp"

#include "_runtime/format.hpp"
#include "_runtime/runtime.hpp"
#include "_runtime/units.hpp"

#include <climits>
#include <cmath>
#include <utility>

namespace velmora::opacity {
namespace {

namespace msg = rt::msg;
using rt::Ref;

#define KC_PREFIX "velmora.radiation.opacity.kappa_core."

}  // namespace
}  // namespace velmora::opacity

#include "radiation/opacity/kappa_core_slots.hpp"
#include "radiation/opacity/kappa_core_methods.hpp"
#include "radiation/opacity/kappa_core_pickle.hpp"

namespace velmora::opacity {
namespace {

// ---------------------------------------------------------------------------
// Types.

template <typename Obj>
typename OpsOf<Obj>::type* table_of();
template <>
GreyKappaOps* table_of<GreyKappaCore>() {
    return &grey_ops;
}
template <>
KappaOps* table_of<KappaCore>() {
    return &freq_ops;
}

// Creation routine: allocates the instance and points it at the base table;
// arguments are accepted and ignored. Subclass modules call it through the
// base type and then store their own table.
template <typename Obj>
PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    reinterpret_cast<Obj*>(o)->vtab = table_of<Obj>();
    return o;
}

void tp_dealloc(PyObject* o) { Py_TYPE(o)->tp_free(o); }

#define KC_WRAPPER(M, FN) \
    {M::name, VELMORA_METH(FN<M>), METH_FASTCALL | METH_KEYWORDS, rt::signed_method_doc<params_v<M>, M::doc>}
#define KC_SCALAR(M) KC_WRAPPER(M, scalar_method)
#define KC_ARRAY(M) KC_WRAPPER(M, array_method)

PyMethodDef grey_methods[] = {KC_SCALAR(GOpacity),   KC_SCALAR(GLogOpacity),  KC_SCALAR(GDlogrho),
                              KC_SCALAR(GDlogT),     KC_ARRAY(GOpacityA),     KC_ARRAY(GLogOpacityA),
                              KC_ARRAY(GDlogrhoA),   KC_ARRAY(GDlogTA),       {nullptr, nullptr, 0, nullptr}};

PyMethodDef freq_methods[] = {KC_SCALAR(FOpacity),   KC_SCALAR(FLogOpacity), KC_SCALAR(FDlogrho),
                              KC_SCALAR(FDlogT),     KC_SCALAR(FDlognu),     KC_ARRAY(FLogOpacityA),
                              KC_ARRAY(FDlogrhoA),   KC_ARRAY(FDlogTA),      KC_ARRAY(FDlognuA),
                              {nullptr, nullptr, 0, nullptr}};

constexpr char reduce_doc[] = "Pickle support: the reconstructor, the class, a layout checksum and the instance dict.";
constexpr char setstate_doc[] = "Pickle support: restore the instance dict from a state tuple.";

template <typename Obj>
PyMethodDef pickle_methods[2] = {
    {"__reduce__", VELMORA_METH(reduce_method<Obj>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<rt::reduce_params, reduce_doc>},
    {"__setstate__", VELMORA_METH(setstate_method<Obj>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<rt::setstate_params, setstate_doc>},
};

PyTypeObject grey_type = rt::static_type(KC_PREFIX "C_GreyKappaCore", sizeof(GreyKappaCore));
PyTypeObject freq_type = rt::static_type(KC_PREFIX "C_KappaCore", sizeof(KappaCore));

// The constructors take no parameters of their own; whatever is passed is
// accepted and ignored, for subclasses that parse their own.
constexpr rt::Params<0> grey_new{"C_GreyKappaCore", {}};
constexpr rt::Params<0> freq_new{"C_KappaCore", {}};

constexpr char grey_doc[] =
    "Abstract base of grey (frequency-independent) opacity laws.\n\n"
    "Concrete laws are compiled subclasses that override the C-level operations\n"
    "``_log_opacity(log_T, log_rho)``, ``_dlogkappa_dlogrho`` and ``_dlogkappa_dlogT``\n"
    "(natural logs, temperature first); ``_opacity(rho, T)`` is derived from\n"
    "``_log_opacity``. The scalar and ``_array`` methods defined here dispatch through\n"
    "the object's operation table, so every subclass inherits them unchanged.\n"
    "Units: kappa in cm^2 g^-1, rho in g cm^-3, T in K."
    "\n\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.radiation.opacity.kappa_core import C_GreyKappaCore\n"
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"
    ">>> law = ElectronScatteringOpacity(X=1.0)  # a compiled subclass: kappa = 0.4 cm^2 g^-1\n"
    ">>> isinstance(law, C_GreyKappaCore)\n"
    "True\n"
    ">>> law.opacity(1e-9, 1e4)  # rho in g cm^-3 first, then T in K\n"
    "0.4\n"
    ">>> ln_T, ln_rho = math.log(1e4), math.log(1e-9)\n"
    ">>> round(law.log_opacity(ln_T, ln_rho), 6)  # natural logs, temperature first\n"
    "-0.916291\n"
    ">>> law.dlogkappa_dlogrho(ln_T, ln_rho), law.dlogkappa_dlogT(log_T=ln_T, log_rho=ln_rho)\n"
    "(0.0, 0.0)\n"
    ">>> C_GreyKappaCore().opacity(1e-9, 1e4)  # the base implements no law\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "NotImplementedError: C_GreyKappaCore must implement _log_opacity(log_T, log_rho).\n";

constexpr char freq_doc[] =
    "Abstract base of frequency-dependent opacity laws.\n\n"
    "Concrete laws are compiled subclasses that override the C-level operations\n"
    "``_log_opacity(log_nu, log_T, log_rho)`` and the three logarithmic derivatives\n"
    "(natural logs, frequency first); ``_opacity(nu, rho, T)`` is derived from\n"
    "``_log_opacity``. Units: nu in Hz, kappa in cm^2 g^-1, rho in g cm^-3, T in K."
    "\n\nExamples\n--------\n"
    "The package has no concrete frequency-dependent law; a base instance shows\n"
    "the calling convention and names the operation a subclass must fill:\n\n"
    ">>> from velmora.radiation.opacity.kappa_core import C_KappaCore\n"
    ">>> base = C_KappaCore()\n"
    ">>> base.opacity(1e15, 1e-9, 1e4)  # nu in Hz, rho in g cm^-3, T in K\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "NotImplementedError: C_KappaCore must implement _log_opacity(log_nu, log_T, log_rho).\n"
    ">>> for method in (base.log_opacity, base.dlogkappa_dlogrho, base.dlogkappa_dlogT, base.dlogkappa_dlognu):\n"
    "...     try:\n"
    "...         method(34.5, 9.2, -20.7)  # ln nu, ln T, ln rho\n"
    "...     except NotImplementedError as e:\n"
    "...         print(e)\n"
    "C_KappaCore must implement _log_opacity(log_nu, log_T, log_rho).\n"
    "C_KappaCore must implement _dlogkappa_dlogrho(log_nu, log_T, log_rho).\n"
    "C_KappaCore must implement _dlogkappa_dlogT(log_nu, log_T, log_rho).\n"
    "C_KappaCore must implement _dlogkappa_dlognu(log_nu, log_T, log_rho).\n";

template <typename Obj>
bool prepare_type(PyObject* module, PyTypeObject* type, PyMethodDef* methods, const char* doc,
                  const char* attr) {
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type->tp_doc = doc;
    type->tp_new = rt::entry<&tp_new<Obj>>;
    type->tp_dealloc = &tp_dealloc;
    type->tp_methods = methods;
    if (PyType_Ready(type) < 0) return false;
    if (!rt::set_vtable(type, table_of<Obj>())) return false;
    if (PyModule_AddObjectRef(module, attr, reinterpret_cast<PyObject*>(type)) < 0) return false;
    PickleNames<Obj>::type = type;
    return rt::setup_reduce(type, &pickle_methods<Obj>[0], &pickle_methods<Obj>[1]);
}

constexpr char unpickle_grey_doc[] = "Reconstruct a pickled C_GreyKappaCore (or subclass) instance.";
constexpr char unpickle_freq_doc[] = "Reconstruct a pickled C_KappaCore (or subclass) instance.";

PyMethodDef module_functions[] = {
    {"__c_unpickle_C_GreyKappaCore", VELMORA_METH(unpickle_function<GreyKappaCore>),
     METH_FASTCALL | METH_KEYWORDS, rt::signed_doc<unpickle_params<GreyKappaCore>, unpickle_grey_doc>},
    {"__c_unpickle_C_KappaCore", VELMORA_METH(unpickle_function<KappaCore>), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_doc<unpickle_params<KappaCore>, unpickle_freq_doc>},
    {nullptr, nullptr, 0, nullptr}};

bool intern_names() {
    str_np = PyUnicode_InternFromString("np");
    str_empty = PyUnicode_InternFromString("empty");
    str_float64 = PyUnicode_InternFromString("float64");
    str_asarray = PyUnicode_InternFromString("asarray");
    str_dtype = PyUnicode_InternFromString("dtype");
    return str_np && str_empty && str_float64 && str_asarray && str_dtype;
}

int exec_kappa_core(PyObject* module) {
    if (!intern_names()) return -1;
    Ref np = rt::import_module("numpy");
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;

    grey_ops._opacity = &grey_opacity;
    grey_ops._log_opacity = &grey_log_opacity;
    grey_ops._dlogkappa_dlogrho = &grey_dlogrho;
    grey_ops._dlogkappa_dlogT = &grey_dlogT;
    if (!prepare_type<GreyKappaCore>(module, &grey_type, grey_methods, rt::signed_doc<grey_new, grey_doc>,
                                     "C_GreyKappaCore"))
        return -1;

    freq_ops._opacity = &freq_opacity;
    freq_ops._log_opacity = &freq_log_opacity;
    freq_ops._dlogkappa_dlogrho = &freq_dlogrho;
    freq_ops._dlogkappa_dlogT = &freq_dlogT;
    freq_ops._dlogkappa_dlognu = &freq_dlognu;
    if (!prepare_type<KappaCore>(module, &freq_type, freq_methods, rt::signed_doc<freq_new, freq_doc>,
                                 "C_KappaCore"))
        return -1;

    return PyModule_AddFunctions(module, module_functions);
}

constexpr const char* module_doc =
    "Abstract base classes of the package's opacity laws.\n\n"
    "C_GreyKappaCore\n    Grey (frequency-independent) laws: kappa(rho, T).\n"
    "C_KappaCore\n    Frequency-dependent laws: kappa(nu, rho, T).\n\n"
    "The interface has two tiers.\n\n"
    "Tier 1, C-level operations: underscore-prefixed functions held in a per-type\n"
    "operation table (``_opacity``, ``_log_opacity`` and the logarithmic derivatives).\n"
    "Concrete laws live in other compiled modules, derive from these types and\n"
    "override the slots; compiled loops call the slots directly through the table,\n"
    "with plain doubles and without interpreter objects. A failing operation leaves\n"
    "an exception pending and returns 0.0; callers test for a pending exception\n"
    "after every call.\n\n"
    "Tier 2, interpreter-level wrappers: ``opacity``, ``log_opacity``,\n"
    "``dlogkappa_dlogrho``, ... and their ``_array`` forms over float64 arrays,\n"
    "defined once here and inherited by every law; they always dispatch through\n"
    "the calling object's table.\n\n"
    "Log-space operations take natural logarithms, temperature before density\n"
    "(frequency first for C_KappaCore). Units: kappa in cm^2 g^-1, rho in g cm^-3,\n"
    "T in K, nu in Hz."
    "\n\nExamples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.radiation.opacity.kappa_core import C_GreyKappaCore\n"
    ">>> from velmora.radiation.opacity import ElectronScatteringOpacity\n"
    ">>> law = ElectronScatteringOpacity(X=1.0)  # a compiled subclass of C_GreyKappaCore\n"
    ">>> law.opacity(1e-9, 1e4) == math.exp(law.log_opacity(math.log(1e4), math.log(1e-9)))\n"
    "True\n";

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(kappa_core, velmora::opacity::module_doc, "velmora/radiation/opacity/kappa_core.cpp",
               velmora::opacity::exec_kappa_core)

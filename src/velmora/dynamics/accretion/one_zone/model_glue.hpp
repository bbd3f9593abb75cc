// The interpreter glue of a disk model's closure object, written once for
// every model. A model module supplies its physics (closure, writer, the
// record its DiskModel registers) and a small traits struct; ModelClosure
// turns them into a OneZoneClosure subclass:
//
// - allocation constructs the object: the base's allocation, then the
//   model's table and empty wrapper slots, then the constructor's arguments
//   (with_fallback, mu, then the model's own; one declaration), the
//   electron-scattering law imported at every construction and installed
//   through the opacity attribute, the model's functions, and the fallback
//   source when asked for; __init__ takes the same arguments and changes
//   nothing;
// - bind_runtime_parameters(run_params): the framework's common parameters
//   ("log_M_BH", "log_R_in", "alpha"), each stored as it is read, then the
//   model's own parameter records, then, with fallback, the CFallback record
//   ("log_M_fb_0", "log_R_c", "log_t_fb" exponentiated, "beta_fb" as given);
// - fill_parameters (slot 1 of the table): the common parameters, the
//   records, the law; the fifth field of the record is not the object's;
// - cyclic GC over the wrapper objects (the base's references, then the
//   fallback wrapper, then the model's), the records unbound with them;
// - pickling refused, the table published under __c_vtable__.
#pragma once

#include "dynamics/accretion/one_zone/closure.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include "_runtime/declare.hpp"
#include "_runtime/fields.hpp"
#include "_runtime/import_from.hpp"
#include "_runtime/runtime.hpp"
#include "_runtime/signature.hpp"

#include <array>
#include <cmath>
#include <cstddef>

namespace velmora::disk {

// What a model module binds at its initialisation and its glue uses.
struct ModelBindings {
    OneZoneClosureBinding framework;
    opacity::KappaCoreBinding kappa;
    ParamWrappersBinding wrappers;
    DiskKernelsBinding kernels;
};

// The object: the framework's base, the mean molecular weight and NF values
// of the model's own fixed at construction, the common run-time parameters,
// the fallback choice, then the wrapper objects (fallback first, then NR of
// the model's own) and the records they hold, in the same order.
template <std::size_t NF, std::size_t NR>
struct ModelObject {
    OneZoneClosure base;
    double mu;                               // mean molecular weight
    std::array<double, NF> fixed;            // the model's constructor values
    double M_BH;                             // black-hole mass [g]
    double R_in;                             // inner radius [cm]
    double alpha;                            // viscosity parameter
    int with_fallback;                       // 0 or 1
    PyObject* fallback_obj;                  // CFallback, or None until bound
    std::array<PyObject*, NR> record_obj;    // the model's wrappers, or None until bound
    FallbackParams* fallback_params;         // record of fallback_obj; null before binding and without fallback
    std::array<void*, NR> record_params;     // records of record_obj; null before binding
};

// The names of a model's closure type inside its traits: the qualified name
// and __name__, and the traceback entries of allocation, construction and
// binding.
#define VELMORA_MODEL_NAMES(PREFIX, NAME)                                      \
    struct Names {                                                             \
        static constexpr const char* qualname = PREFIX NAME;                   \
    };                                                                         \
    static constexpr char name[] = NAME;                                       \
    static constexpr char q_cinit[] = PREFIX NAME ".__cinit__";                \
    static constexpr char q_init[] = PREFIX NAME ".__init__";                  \
    static constexpr char q_bind[] = PREFIX NAME ".bind_runtime_parameters"

// The traits a model gives (see _gasrad_adv.cpp and _thin.cpp):
//   using Object = ModelObject<NF, NR>;
//   struct Init { bool with_fallback; double mu; ... };  static constexpr auto init = rt::declare<...>("__init__", ...);
//   static constexpr const char *name, *doc, *bind_doc;  static const char q_cinit[], q_init[], q_bind[];
//   static ModelBindings bindings;
//   static void construct(Object*, const Init&);   // the model's fixed values and functions
//   static rt::Ref make_record(Object*, std::size_t k);   // wrapper k at binding
//   static void fill_records(const Object*, DiskParameters*);
//   struct Names { static constexpr const char* qualname; };   // for the pickling refusal
template <typename Model>
struct ModelClosure {
    using Object = typename Model::Object;
    static constexpr std::size_t n_records = std::tuple_size_v<decltype(Object::record_obj)>;

    static inline PyTypeObject type = rt::static_type(Model::Names::qualname, sizeof(Object));
    static inline OneZoneClosureOps ops;

    static Object* as_model(PyObject* o) { return reinterpret_cast<Object*>(o); }

    static void fill_parameters(PyObject* o, DiskParameters* out) {
        const Object* self = as_model(o);
        out->M_BH = self->M_BH;
        out->R_in = self->R_in;
        out->alpha = self->alpha;
        out->mu = self->mu;
        out->fallback = self->fallback_params;
        Model::fill_records(self, out);
        out->opacity = self->base.opacity;
    }

    static bool construct(Object* self, PyObject* args, PyObject* kwds) {
        typename Model::Init a;
        if (!rt::parse(Model::init, args, kwds, a)) return false;
        // Imported at every construction, so that the law is the one the
        // package currently offers.
        rt::Ref law_type = rt::import_from("velmora.radiation.opacity", "ElectronScatteringOpacity");
        if (!law_type) return false;
        self->base.derivative_func = Model::bindings.kernels.viscous_derivative_func;
        Model::construct(self, a);
        self->mu = a.mu;
        self->with_fallback = a.with_fallback;
        rt::Ref law = rt::Ref::steal(PyObject_CallNoArgs(law_type.get()));
        if (!law) return false;
        // Through the attribute protocol, so that the framework's setter
        // checks and installs the law.
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(self), "opacity", law.get()) < 0) return false;
        self->base.source_func = a.with_fallback ? Model::bindings.kernels.fallback_source_func : nullptr;
        return true;
    }

    static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwds) {
        rt::Ref o = rt::Ref::steal(Model::bindings.framework.type->tp_new(t, args, kwds));
        if (!o) {
            rt::add_traceback(Model::q_cinit);
            return nullptr;
        }
        Object* self = as_model(o.get());
        self->base.vtab = &ops;
        self->fallback_obj = nullptr;
        self->record_obj.fill(nullptr);
        rt::set_field(self->fallback_obj, Py_None);
        for (PyObject*& r : self->record_obj) rt::set_field(r, Py_None);
        self->fallback_params = nullptr;
        self->record_params.fill(nullptr);
        if (!construct(self, args, kwds)) {
            rt::add_traceback(Model::q_init);
            return nullptr;
        }
        return o.release();
    }

    static int tp_init(PyObject*, PyObject*, PyObject*) { return 0; }

    static int tp_traverse(PyObject* o, visitproc visit, void* arg) {
        if (int r = Model::bindings.framework.type->tp_traverse(o, visit, arg)) return r;
        Object* self = as_model(o);
        Py_VISIT(self->fallback_obj);
        for (PyObject* r : self->record_obj) Py_VISIT(r);
        return 0;
    }

    // The records live in the wrapper objects: they go unbound with them, so
    // that nothing reached after a collection cleared the object points into
    // a released wrapper.
    static int tp_clear(PyObject* o) {
        Model::bindings.framework.type->tp_clear(o);
        Object* self = as_model(o);
        self->fallback_params = nullptr;
        self->record_params.fill(nullptr);
        rt::set_field(self->fallback_obj, Py_None);
        for (PyObject*& r : self->record_obj) rt::set_field(r, Py_None);
        return 0;
    }

    static void tp_dealloc(PyObject* o) {
        PyObject_GC_UnTrack(o);
        Object* self = as_model(o);
        rt::clear_field(self->fallback_obj);
        for (PyObject*& r : self->record_obj) rt::clear_field(r);
        Model::bindings.framework.type->tp_dealloc(o);
    }

    // --- bind_runtime_parameters ---------------------------------------------

    // run_params[key] as a new reference; KeyError with the key when absent.
    static rt::Ref lookup(PyObject* run_params, const char* key) {
        PyObject* value = nullptr;
        const int found = PyDict_GetItemStringRef(run_params, key, &value);
        if (found < 0) return {};
        if (found == 0) {
            rt::Ref key_obj = rt::Ref::steal(PyUnicode_FromString(key));
            if (key_obj) PyErr_SetObject(PyExc_KeyError, key_obj.get());
            return {};
        }
        return rt::Ref::steal(value);
    }

    static bool lookup_double(PyObject* run_params, const char* key, double& out) {
        rt::Ref value = lookup(run_params, key);
        return value && rt::to_double(value.get(), out);
    }

    // exp(float(run_params[key])) as a new float object.
    static rt::Ref lookup_exp(PyObject* run_params, const char* key) {
        double x;
        if (!lookup_double(run_params, key, x)) return {};
        return rt::new_float(std::exp(x));
    }

    // The wrapper's record, through slot 0 of its table.
    template <typename Wrapper>
    static auto record_of(PyObject* w) {
        auto* wrapper = reinterpret_cast<Wrapper*>(w);
        return wrapper->vtab->get_params(wrapper);
    }

    // Values are stored as they are read, so a failure keeps the earlier ones.
    static bool bind_parameters(Object* self, PyObject* run_params) {
        ++self->base.generation;  // drivers running from a snapshot of the old binding can tell
        if (run_params != Py_None && !PyDict_CheckExact(run_params)) {
            rt::raise_argument_type("run_params", &PyDict_Type, run_params);
            return false;
        }
        if (run_params == Py_None) {
            PyErr_Format(PyExc_TypeError, rt::msg::not_subscriptable, "NoneType");
            return false;
        }
        double x;
        if (!lookup_double(run_params, "log_M_BH", x)) return false;
        self->M_BH = std::exp(x);
        if (!lookup_double(run_params, "log_R_in", x)) return false;
        self->R_in = std::exp(x);
        if (!lookup_double(run_params, "alpha", x)) return false;
        self->alpha = x;

        for (std::size_t k = 0; k < n_records; ++k) {
            rt::Ref record = Model::make_record(self, k);
            if (!record) return false;
            rt::set_field(self->record_obj[k], record.get());
            self->record_params[k] = Model::record_pointer(record.get(), k);
            if (PyErr_Occurred()) return false;
        }

        if (!self->with_fallback) {
            self->fallback_params = nullptr;
            return true;
        }
        rt::Ref M_fb_0 = lookup_exp(run_params, "log_M_fb_0");
        if (!M_fb_0) return false;
        rt::Ref R_c = lookup_exp(run_params, "log_R_c");
        if (!R_c) return false;
        rt::Ref t_fb = lookup_exp(run_params, "log_t_fb");
        if (!t_fb) return false;
        rt::Ref beta_fb = lookup(run_params, "beta_fb");
        if (!beta_fb) return false;
        rt::Ref fallback = rt::Ref::steal(
            PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Model::bindings.wrappers.fallback_type),
                                         M_fb_0.get(), R_c.get(), t_fb.get(), beta_fb.get(), nullptr));
        if (!fallback) return false;
        rt::set_field(self->fallback_obj, fallback.get());
        self->fallback_params = record_of<CFallback>(fallback.get());
        return !PyErr_Occurred();
    }

    struct BindArgs {
        PyObject* run_params;
    };
    static constexpr auto bind_decl = rt::declare<&BindArgs::run_params>("bind_runtime_parameters", {"run_params"});

    static rt::Ref bind_body(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        BindArgs a;
        if (!rt::parse(bind_decl, args, nargs, kwnames, a) || !bind_parameters(as_model(o), a.run_params)) return {};
        return rt::Ref::borrow(Py_None);
    }

    static inline PyMethodDef bind_def = {"bind_runtime_parameters",
                                          VELMORA_METH((rt::traced<&bind_body, Model::q_bind>)),
                                          METH_FASTCALL | METH_KEYWORDS,
                                          rt::signed_method_doc<bind_decl.params, Model::bind_doc>};

    // --- the type ----------------------------------------------------------------

    // Binds the framework's closure type, readies this one on it and adds it
    // to the module under its name.
    static bool prepare_type(PyObject* module) {
        if (!Model::bindings.framework.bind()) return false;
        ops = *Model::bindings.framework.ops;
        ops.fill_parameters = &fill_parameters;
        type.tp_base = Model::bindings.framework.type;
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        type.tp_doc = rt::signed_doc<Model::init.params, Model::doc, Model::name>;
        type.tp_new = rt::entry<&tp_new>;
        type.tp_init = rt::entry<&tp_init>;
        type.tp_dealloc = &tp_dealloc;
        type.tp_traverse = &tp_traverse;
        type.tp_clear = &tp_clear;
        if (PyType_Ready(&type) < 0) return false;
        if (!rt::set_vtable(&type, &ops)) return false;
        if (!rt::PickleRefusal<typename Model::Names>::install(&type)) return false;
        return PyModule_AddObjectRef(module, Model::name, reinterpret_cast<PyObject*>(&type)) == 0;
    }

    // Attaches bind_runtime_parameters to the readied type.
    static bool attach_bind() {
        rt::Ref descr = rt::Ref::steal(PyDescr_NewMethod(&type, &bind_def));
        if (!descr || PyDict_SetItemString(type.tp_dict, bind_def.ml_name, descr.get()) < 0) return false;
        PyType_Modified(&type);
        return true;
    }
};

}  // namespace velmora::disk

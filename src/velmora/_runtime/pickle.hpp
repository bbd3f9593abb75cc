// Pickling support installed on a type after it is made ready: either the
// type's own `__reduce__`/`__setstate__` pair or the refusal pair for types
// whose construction cannot be replayed from their fields.
#pragma once

#include "args.hpp"
#include "declare.hpp"
#include "errors.hpp"
#include "signature.hpp"

#include <string>

namespace velmora::rt {

// The parameter lists of the pickling methods, shared by every type that
// defines them.
inline constexpr Params<0> reduce_params{"__reduce__", {}};
struct StateArg {
    PyObject* state;
};
inline constexpr auto setstate_decl = declare<&StateArg::state>("__setstate__", {"__c_state"});
inline constexpr const auto& setstate_params = setstate_decl.params;

namespace detail {
// Only the type's own dictionary counts: pickling support inherited from a
// base type (the opacity-law bases install their own) is replaced on the
// subclass, not mistaken for the subclass's own definition.
inline bool type_defines_own(PyTypeObject* type, const char* name) {
    return type->tp_dict && PyDict_GetItemString(type->tp_dict, name) != nullptr;
}
}  // namespace detail

// Stores `reduce` and `setstate` as `__reduce__` and `__setstate__` in the
// type's dictionary, unless the type defines its own `__getstate__`,
// `__reduce_ex__` or `__reduce__`. The interpreter's default `__reduce_ex__`
// then delegates to this `__reduce__` for every protocol.
inline bool setup_reduce(PyTypeObject* type, PyMethodDef* reduce, PyMethodDef* setstate) {
    bool ok = true;
    if (!detail::type_defines_own(type, "__getstate__") && !detail::type_defines_own(type, "__reduce_ex__") &&
        !detail::type_defines_own(type, "__reduce__")) {
        for (PyMethodDef* def : {reduce, setstate}) {
            Ref descr = Ref::steal(PyDescr_NewMethod(type, def));
            if (!descr || PyDict_SetItemString(type->tp_dict, def->ml_name, descr.get()) < 0) {
                ok = false;
                break;
            }
        }
        PyType_Modified(type);
    }
    if (!ok) {
        // Report the set-up failure under the package's own text.
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, msg::pickling_setup, type->tp_name);
    }
    return ok;
}

// The refusal pair, for a type whose traceback entries are prefixed by
// `Q::qualname` (module path and class). Both raise TypeError whatever the
// arguments' values; the arity is checked first, as for every method.
template <typename Q>
struct PickleRefusal {
    static inline const std::string reduce_qual = std::string(Q::qualname) + ".__reduce__";
    static inline const std::string setstate_qual = std::string(Q::qualname) + ".__setstate__";

    static PyObject* reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        std::array<PyObject*, 0> values;
        if (bind(reduce_params, args, nargs, kwnames, values))
            PyErr_SetString(PyExc_TypeError, msg::no_default_reduce);
        add_traceback(reduce_qual.c_str());
        return nullptr;
    }

    static PyObject* setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        std::array<PyObject*, 1> values;
        if (bind(setstate_params, args, nargs, kwnames, values))
            PyErr_SetString(PyExc_TypeError, msg::no_default_reduce);
        add_traceback(setstate_qual.c_str());
        return nullptr;
    }

    // No docstring beyond the text signature: __doc__ stays None.
    static constexpr char no_doc[] = "";

    static inline PyMethodDef methods[2] = {
        {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reduce)),
         METH_FASTCALL | METH_KEYWORDS, signed_method_doc<reduce_params, no_doc>},
        {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&setstate)),
         METH_FASTCALL | METH_KEYWORDS, signed_method_doc<setstate_params, no_doc>},
    };

    static bool install(PyTypeObject* type) { return setup_reduce(type, &methods[0], &methods[1]); }
};

}  // namespace velmora::rt

// `from MODULE import NAME` as the import statement performs it: the module is
// imported with NAME in its from-list and the attribute taken; when the module
// has no such attribute, an already loaded submodule MODULE.NAME serves;
// failing both, ImportError "cannot import name NAME".
#pragma once

#include "messages.hpp"

namespace velmora::rt {

// A new reference to the object, or an empty Ref with an exception set.
inline Ref import_from(const char* module_name, const char* name) {
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    if (!name_obj) return {};
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name_obj.get()));
    if (!fromlist) return {};
    Ref module = Ref::steal(PyImport_ImportModuleLevel(module_name, nullptr, nullptr, fromlist.get(), 0));
    if (!module) return {};
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), name_obj.get(), &value) < 0) return {};
    if (value) return Ref::steal(value);
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%U", module_name, name_obj.get()));
    if (!full_name) return {};
    Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
    if (submodule) return submodule;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, msg::cannot_import_name, name_obj.get());
    return {};
}

}  // namespace velmora::rt

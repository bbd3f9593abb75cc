// C-level exports and imports between the package's compiled modules.
//
// - `__c_api__`: a module attribute, a dict from an exported name to a capsule
//   holding the address of a function or variable; the capsule's name is the
//   entry's signature text, and an importer accepts the entry only when that
//   text equals the one it expects, character for character.
// - `__c_vtable__`: an entry of a type's dictionary, an unnamed capsule holding
//   the address of the type's operation table.
// - Type import: the attribute must be a type whose instances are at least as
//   large as the layout the importer was compiled against.
#pragma once

#include "messages.hpp"

#include <cstdio>

namespace velmora::rt {

inline constexpr const char* c_api_name = "__c_api__";
inline constexpr const char* c_vtable_name = "__c_vtable__";

// Stores `ptr` under `name` in the module's `__c_api__` dict (or the export
// dict named `table`), creating the dict when the module has none yet.
inline bool export_c_api(PyObject* module, const char* name, void* ptr, const char* signature,
                         const char* table = c_api_name) {
    PyObject* dict = PyDict_GetItemString(PyModule_GetDict(module), table);  // borrowed
    Ref created;
    if (!dict) {
        created = Ref::steal(PyDict_New());
        if (!created) return false;
        if (PyObject_SetAttrString(module, table, created.get()) < 0) return false;
        dict = created.get();
    }
    Ref capsule = Ref::steal(PyCapsule_New(ptr, signature, nullptr));
    if (!capsule) return false;
    return PyDict_SetItemString(dict, name, capsule.get()) == 0;
}

template <typename F>
bool export_function(PyObject* module, const char* name, F* fn, const char* signature,
                     const char* table = c_api_name) {
    return export_c_api(module, name, reinterpret_cast<void*>(fn), signature, table);
}

// Reads the address exported under `name`; `kind` is "function" or "variable".
// `table` names the export dict (`__c_api__` unless a module keeps another).
inline void* import_c_api(PyObject* module, const char* name, const char* signature, const char* kind,
                          const char* table = c_api_name) {
    Ref dict = Ref::steal(PyObject_GetAttrString(module, table));
    if (!dict) return nullptr;
    PyObject* capsule = PyDict_Check(dict.get()) ? PyDict_GetItemString(dict.get(), name) : nullptr;
    if (!capsule) {
        const char* modname = PyModule_GetName(module);
        if (!modname) return nullptr;
        PyErr_Format(PyExc_ImportError, msg::capi_missing, modname, kind, name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* modname = PyModule_GetName(module);
        if (!modname) return nullptr;
        const char* got = PyCapsule_GetName(capsule);
        if (!got && PyErr_Occurred()) return nullptr;
        PyErr_Format(PyExc_TypeError, msg::capi_signature, kind, modname, name, signature,
                     got ? got : "NULL");
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

template <typename F>
bool import_function(PyObject* module, const char* name, const char* signature, F*& out,
                     const char* table = c_api_name) {
    void* p = import_c_api(module, name, signature, "function", table);
    if (!p) return false;
    out = reinterpret_cast<F*>(p);
    return true;
}

template <typename T>
bool import_variable(PyObject* module, const char* name, const char* signature, T*& out) {
    void* p = import_c_api(module, name, signature, "variable");
    if (!p) return false;
    out = static_cast<T*>(p);
    return true;
}

// Publishes a type's operation table under `__c_vtable__` in its dictionary.
inline bool set_vtable(PyTypeObject* type, void* table) {
    Ref capsule = Ref::steal(PyCapsule_New(table, nullptr, nullptr));
    if (!capsule) return false;
    if (PyDict_SetItemString(type->tp_dict, c_vtable_name, capsule.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

// Reads a type's operation table from its `__c_vtable__`.
inline void* get_vtable(PyTypeObject* type) {
    Ref capsule = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), c_vtable_name));
    if (!capsule) return nullptr;
    void* p = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!p && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, msg::invalid_vtable);
    return p;
}

inline Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// Takes `class_name` from `module` and checks it against the compiled-in
// instance size: smaller instances are an error, larger ones a warning.
// Returns a new reference to the type, or nullptr with an exception set.
inline PyTypeObject* import_type(PyObject* module, const char* module_name, const char* class_name,
                                 std::size_t size) {
    Ref obj = Ref::steal(PyObject_GetAttrString(module, class_name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, msg::not_a_type, module_name, class_name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    Py_ssize_t basicsize = type->tp_basicsize;
    Py_ssize_t itemsize = type->tp_itemsize;
    if (itemsize) {
        Py_ssize_t alignment = static_cast<Py_ssize_t>(alignof(void*));
        if (itemsize < alignment) itemsize = alignment;
    }
    if (static_cast<std::size_t>(basicsize + itemsize) < size) {
        PyErr_Format(PyExc_ValueError, msg::size_changed, module_name, class_name,
                     static_cast<Py_ssize_t>(size), basicsize + itemsize);
        return nullptr;
    }
    if (static_cast<std::size_t>(basicsize) > size) {
        char warning[1024];
        std::snprintf(warning, sizeof warning, msg::size_changed, module_name, class_name, static_cast<Py_ssize_t>(size), basicsize);
        if (PyErr_WarnEx(nullptr, warning, 0) < 0) return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// Imports `module_name` and the type `class_name` from it, with its table.
template <typename Ops>
bool import_type_with_vtable(const char* module_name, const char* class_name, std::size_t size,
                             PyTypeObject*& type, Ops*& ops) {
    Ref mod = import_module(module_name);
    if (!mod) return false;
    type = import_type(mod.get(), module_name, class_name, size);
    if (!type) return false;
    ops = static_cast<Ops*>(get_vtable(type));
    return ops != nullptr;
}

}  // namespace velmora::rt

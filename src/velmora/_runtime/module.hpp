// The module guard: multi-phase initialisation whose create step refuses a
// second interpreter and whose exec step refuses a re-initialisation with
// another module object. Each module is initialised once per process, in one
// interpreter; its types and tables are static.
#pragma once

#include "entry.hpp"
#include "errors.hpp"

#include <cstdint>

namespace velmora::rt {

inline std::int64_t g_main_interpreter_id = -1;

inline bool check_single_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_main_interpreter_id == -1) {
        g_main_interpreter_id = current;
        return current != -1;
    }
    if (g_main_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, msg::interpreter_change);
        return false;
    }
    return true;
}

namespace detail {
inline bool copy_spec_attr(PyObject* spec, PyObject* moddict, const char* from, const char* to,
                           bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (value) {
        if (allow_none || value.get() != Py_None)
            return PyDict_SetItemString(moddict, to, value.get()) == 0;
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}
// Keeps the main thread's ident for shut_out (shutdown.hpp).
inline bool note_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident) return false;
    g_main_thread = PyLong_AsUnsignedLong(ident.get());
    return !PyErr_Occurred();
}
}  // namespace detail

// Py_mod_create: the same module object for every import in this interpreter.
inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!check_single_interpreter()) return nullptr;
    if (g_module.module) return Py_NewRef(g_module.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* moddict = PyModule_GetDict(module.get());
    if (!detail::copy_spec_attr(spec, moddict, "loader", "__loader__", true) ||
        !detail::copy_spec_attr(spec, moddict, "origin", "__file__", true) ||
        !detail::copy_spec_attr(spec, moddict, "parent", "__package__", true) ||
        !detail::copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// Py_mod_exec around the module's own initialisation `Body`.
template <int (*Body)(PyObject*)>
int module_exec(PyObject* module) {
    if (g_module.module) {
        if (g_module.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, msg::reinitialisation, g_module.name);
        return -1;
    }
    g_module.module = Py_NewRef(module);
    g_module.dict = PyModule_GetDict(module);
    if (!detail::note_main_thread() || call_guarded([module] { return Body(module); }) < 0) {
        Py_CLEAR(g_module.module);
        g_module.dict = nullptr;
        return -1;
    }
    return 0;
}

// Looks up a module global as the interpreter would (module dict, then
// builtins); NameError when neither has it. Returns a new reference.
inline Ref module_global(PyObject* name) {
    PyObject* v = g_module.dict ? PyDict_GetItemWithError(g_module.dict, name) : nullptr;
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::name_not_defined, name);
    return {};
}

}  // namespace velmora::rt

// Defines the module's PyModuleDef and its PyInit_ entry point. NAME is the
// module's last name component, DOC its docstring, SOURCE the file name shown
// in its traceback entries, EXEC its initialisation (int (PyObject*)).
#define VELMORA_MODULE(NAME, DOC, SOURCE, EXEC)                                             \
    static PyModuleDef_Slot NAME##_slots[] = {                                             \
        {Py_mod_create, reinterpret_cast<void*>(&::velmora::rt::module_create)},          \
        {Py_mod_exec, reinterpret_cast<void*>(&::velmora::rt::module_exec<EXEC>)},        \
        {0, nullptr}};                                                                     \
    static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME, DOC, 0, nullptr,       \
                                     NAME##_slots, nullptr, nullptr, nullptr};             \
    PyMODINIT_FUNC PyInit_##NAME(void) {                                                   \
        ::velmora::rt::g_module.source = SOURCE;                                           \
        ::velmora::rt::g_module.name = #NAME;                                              \
        return PyModuleDef_Init(&NAME##_def);                                              \
    }

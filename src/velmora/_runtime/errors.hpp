// The failure convention: a pending interpreter exception is the only error
// channel. Kernels that may run without the interpreter lock test for it after
// every call into another kernel or callback, and every function that passes a
// failure on appends a traceback entry bearing its qualified name.
#pragma once

#include "ref.hpp"

#include <frameobject.h>

#include <unordered_map>

namespace velmora::rt {

// Per-extension module state. The header is compiled into each extension
// module separately (hidden visibility), so every module has its own copy.
struct ModuleContext {
    PyObject* module = nullptr;   // strong, kept for the process once set
    PyObject* dict = nullptr;     // borrowed from module
    const char* source = "";      // file name shown in traceback entries
    const char* name = "";        // the module's last name component
};
inline ModuleContext g_module;

// Pending-exception test that is correct on a thread that does not hold the
// interpreter lock: the lock is taken for the test only.
inline bool exception_pending() noexcept {
    GilGuard gil;
    return PyErr_Occurred() != nullptr;
}

namespace detail {
// Code objects of traceback entries, one per qualified name; created under the
// lock and kept for the process (the names are static strings).
inline std::unordered_map<const char*, PyObject*>& traceback_codes() {
    static std::unordered_map<const char*, PyObject*> codes;
    return codes;
}
}  // namespace detail

// Appends a traceback entry whose function name is `qualname` to the pending
// exception. Takes the interpreter lock itself.
inline void add_traceback(const char* qualname) noexcept {
    GilGuard gil;
    // Building the code and frame objects must not see the pending exception.
    PyObject* exc = PyErr_GetRaisedException();
    auto& codes = detail::traceback_codes();
    PyCodeObject* code = nullptr;
    if (auto it = codes.find(qualname); it != codes.end()) {
        code = reinterpret_cast<PyCodeObject*>(it->second);
    } else {
        code = PyCode_NewEmpty(g_module.source, qualname, 0);
        if (code) codes.emplace(qualname, reinterpret_cast<PyObject*>(code));
    }
    PyObject* globals = g_module.dict;
    Ref empty_globals;
    if (!globals) {
        empty_globals = Ref::steal(PyDict_New());
        globals = empty_globals.get();
    }
    Ref frame;
    if (code && globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
    }
    if (!frame) {
        // Out of memory while decorating an error: keep the original error.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Sets an exception under the lock (for kernels running without it).
inline void raise_locked(PyObject* type, const char* text) noexcept {
    GilGuard gil;
    PyErr_SetString(type, text);
}

}  // namespace velmora::rt

// The failure convention: a pending interpreter exception is the only error
// channel. Kernels that may run without the interpreter lock test for it after
// every call into another kernel or callback, and every function that passes a
// failure on appends a traceback entry bearing its qualified name.
#pragma once

#include "entry.hpp"
#include "ref.hpp"

#include <frameobject.h>

#include <new>
#include <type_traits>
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

// Pending-exception test for kernels, with or without the interpreter lock.
//
// The pending exception is a field of the calling thread's own thread state,
// and only that thread ever sets or clears it (asynchronous exceptions from
// other threads go to a separate field, moved over by this thread's own
// evaluation loop). Reading it therefore needs no lock, and the answer is the
// one PyErr_Occurred would give under PyGILState_Ensure: that pair reuses this
// same thread state (the one the thread holds, or the one it detached from
// when it released the lock). A thread without any thread state cannot have
// an exception pending. Skipping the lock keeps threads that evaluate kernels
// concurrently from serialising on every test. While the interpreter is
// being finalised a detached thread's state may already be freed: the thread
// parks instead of reading it (shutdown.hpp).
inline bool exception_pending() noexcept {
    PyThreadState* ts = PyThreadState_GetUnchecked();  // attached: holds the lock
    if (!ts) {                                         // detached, or never seen
        if (finalised_elsewhere()) park_thread();
        ts = PyGILState_GetThisThreadState();
    }
    return ts != nullptr && ts->current_exception != nullptr;
}

// The same test in a loop that holds the interpreter lock from start to end:
// the thread's state cannot change under it (a callee that takes the lock
// again, or releases and retakes it, gets the same state back), so it is read
// once and each test is one load.
class PendingTest {
public:
    PendingTest() noexcept : ts_(PyThreadState_GetUnchecked()) {}
    bool operator()() const noexcept { return ts_ != nullptr && ts_->current_exception != nullptr; }

private:
    PyThreadState* ts_;
};

namespace detail {
// Code objects of traceback entries, one per qualified name; created under the
// lock and kept for the process (the names are static strings).
inline std::unordered_map<const char*, PyObject*>& traceback_codes() {
    static std::unordered_map<const char*, PyObject*> codes;
    return codes;
}
}  // namespace detail

// Appends a traceback entry whose function name is `qualname` to the pending
// exception. Takes the interpreter lock itself. Only failure paths call it:
// kept out of line, so that the kernels' normal paths stay compact.
[[gnu::cold, gnu::noinline]] inline void add_traceback(const char* qualname) noexcept {
    GilGuard gil;
    // Building the code and frame objects must not see the pending exception.
    ErrorScope held;
    auto& codes = detail::traceback_codes();
    PyCodeObject* code = nullptr;
    Ref uncached;  // a code object the full cache could not take
    if (auto it = codes.find(qualname); it != codes.end()) {
        code = reinterpret_cast<PyCodeObject*>(it->second);
    } else {
        code = PyCode_NewEmpty(g_module.source, qualname, 0);
        try {
            if (code) codes.emplace(qualname, reinterpret_cast<PyObject*>(code));
        } catch (const std::bad_alloc&) {
            uncached = Ref::steal(reinterpret_cast<PyObject*>(code));
        }
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
    // Out of memory while decorating an error: the original error alone.
    held.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// A function of the interpreter's calling conventions whose failures pass on
// with a traceback entry: Body runs (a C++ exception leaving it becomes the
// interpreter's, as at every entry point), and a null result (a Ref or a
// PyObject*) gets the entry `Qualname` (a static string, or a static const
// char*).
template <auto Body, const auto& Qualname>
struct Traced;

template <typename R, typename... A, R (*Body)(A...), const auto& Qualname>
struct Traced<Body, Qualname> {
    static PyObject* call(A... a) {
        PyObject* r = call_guarded([&]() -> PyObject* {
            if constexpr (std::is_same_v<R, Ref>)
                return Body(a...).release();
            else
                return Body(a...);
        });
        if (!r) add_traceback(Qualname);
        return r;
    }
};

template <auto Body, const auto& Qualname>
inline constexpr auto traced = &Traced<Body, Qualname>::call;

// Sets an exception under the lock (for kernels running without it).
inline void raise_locked(PyObject* type, const char* text) noexcept {
    GilGuard gil;
    PyErr_SetString(type, text);
}

}  // namespace velmora::rt

// Owned references and the interpreter-lock guard.
#pragma once

#include "shutdown.hpp"

#include <utility>

namespace velmora::rt {

// An owned (strong) reference; released when the Ref goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() {
        if (p_) {
            park_if_shut_out();
            Py_DECREF(p_);
        }
    }

    // Takes over a new reference (the result of most C-API calls).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference on a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Scoped PyGILState_Ensure / PyGILState_Release. The pair nests, so a kernel may
// take the lock whether or not its caller holds it. At shutdown a thread
// that would take it parks instead (shutdown.hpp).
class GilGuard {
public:
    GilGuard() noexcept : state_(retake([] { return PyGILState_Ensure(); })) {}
    ~GilGuard() {
        park_if_shut_out();
        PyGILState_Release(state_);
    }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

// The pending exception set aside for a scope, so that interpreter calls made
// while decorating an error (notes, attributes, traceback frames) do not see
// it; on leaving the scope, or at restore(), it is pending again, whatever
// those calls left behind. The caller holds the interpreter lock.
class ErrorScope {
public:
    ErrorScope() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~ErrorScope() { restore(); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

    // The exception set aside (borrowed), or null when none was pending.
    PyObject* exception() const noexcept { return exc_; }
    // Makes it pending again now; the scope's end then does nothing.
    void restore() noexcept {
        if (restored_) return;
        restored_ = true;
        PyErr_Clear();
        PyErr_SetRaisedException(exc_);
    }

private:
    PyObject* exc_;
    bool restored_ = false;
};

}  // namespace velmora::rt

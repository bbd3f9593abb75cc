// Entry points: no C++ exception crosses into the interpreter. The
// interpreter calls our functions through C frames that a C++ exception must
// never unwind (it would skip the interpreter's own cleanup, or end the
// process when nothing catches it), so every entry point runs its body under
// `call_guarded`: std::bad_alloc becomes MemoryError, any other C++ exception
// an interpreter exception carrying its text. The forced unwind by which a
// thread is ended passes on untouched.
//
// Method tables register their functions through VELMORA_METH (runtime.hpp),
// which wraps them as `entry<fn>`; slots set by hand use the same wrapper
// (`type.tp_new = rt::entry<&tp_new>`), and module initialisation is guarded
// in module_exec.
#pragma once

#include "messages.hpp"

#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace velmora::rt {

// Turns the C++ exception being handled into the pending interpreter
// exception. Call it from a catch (...) handler, with the lock held (an
// AllowThreads scope that the exception left has taken it back). The forced
// unwind that ends a thread is rethrown, so that it goes on. (Its handler
// binds a reference to no object, which is how the ABI presents that unwind;
// the sanitizer's null check is off here for that reason.)
[[gnu::cold, gnu::noinline]] __attribute__((no_sanitize("null"))) inline void raise_cxx_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can address
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, msg::cxx_unknown_exception);
    }
}

// What an entry point returns with an exception set.
template <typename R>
constexpr R entry_failure() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_same_v<R, int>, "entry points return an object pointer or an int status");
        return -1;
    }
}

// Runs `body()`, returning its result, or `entry_failure` with the exception
// set when a C++ exception left it.
template <typename Body>
auto call_guarded(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_cxx_exception();
        return entry_failure<decltype(body())>();
    }
}

// The guarded form of the function F, with F's own signature.
template <auto F>
struct Entry;

template <typename R, typename... A, R (*F)(A...)>
struct Entry<F> {
    static R call(A... a) {
        return call_guarded([&] { return F(a...); });
    }
};

// A noexcept function cannot let an exception out: it needs no guard.
template <typename R, typename... A, R (*F)(A...) noexcept>
struct Entry<F> {
    static R call(A... a) noexcept { return F(a...); }
};

template <auto F>
inline constexpr auto entry = &Entry<F>::call;

}  // namespace velmora::rt

// Threads that meet the interpreter's shutdown.
//
// When the main thread finalises the interpreter while another thread (a
// daemon thread inside a long call, or a native worker of ours) runs without
// the interpreter lock, CPython 3.13 ends that thread with pthread_exit from
// inside the lock acquisition once it tries to take the lock back. The forced
// unwind that follows runs through our C++ frames: a noexcept frame (any
// destructor) ends the process with std::terminate, and the cleanups of the
// other frames would release references and buffers without the lock, while
// the finalising thread tears the interpreter down. So a thread of ours that
// meets the shutdown stops where it stands instead, holding nothing, until
// the process exits (CPython itself does this from 3.14 on).
//
// Every place that takes the lock back goes through `retake`, and every
// destructor that hands something back to the interpreter calls
// `park_if_shut_out` first: the latter covers a thread that CPython ends
// inside interpreter code we called (a callback that sleeps or yields the
// lock), whose forced unwind reaches our frames from below.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace velmora::rt {

// The ident of the process's main thread, which is the thread that
// finalises the interpreter; set at each module's initialisation.
inline unsigned long g_main_thread = 0;

// Stops the calling thread for good: every signal blocked, asleep until the
// process exits.
[[noreturn, gnu::cold, gnu::noinline]] inline void park_thread() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) pause();
}

// Whether the main thread finalises the interpreter and the calling thread
// is another one. Finalisation frees the other threads' states at once, and
// at its end the machinery of PyGILState_Ensure: such a thread, detached from
// the interpreter, must keep out of it, its own thread state included.
inline bool finalised_elsewhere() noexcept {
    return Py_IsFinalizing() && PyThread_get_thread_ident() != g_main_thread;
}

// Whether the calling thread is detached and must keep out. Costs a
// thread-local read while the thread holds the lock.
inline bool shut_out() noexcept { return PyThreadState_GetUnchecked() == nullptr && finalised_elsewhere(); }

inline void park_if_shut_out() noexcept {
    if (shut_out()) park_thread();
}

// Runs `take`, a C-API call that may take the interpreter lock (and so may
// end the thread at shutdown), and returns what it returns. The thread parks
// instead of being unwound. The C API throws nothing else, so the handler
// catches everything (a handler for abi::__forced_unwind binds a reference to
// an object that does not exist, which the undefined-behaviour sanitizer
// reports).
template <typename Take>
decltype(auto) retake(Take&& take) noexcept {
    park_if_shut_out();
    try {
        return take();
    } catch (...) {
        park_thread();
    }
}

}  // namespace velmora::rt

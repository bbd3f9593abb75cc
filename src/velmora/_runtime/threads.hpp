// The interpreter lock around long compiled loops: a scope that gives the
// lock up, and the thread state a native worker thread needs so that the
// kernels it runs can raise, test for and pass on exceptions.
#pragma once

#include "entry.hpp"
#include "ref.hpp"

namespace velmora::rt {

// Releases the interpreter lock for a scope: PyEval_SaveThread on entry,
// PyEval_RestoreThread on exit. The calling thread holds the lock on entry.
// Its thread state stays its own while detached, so kernels on this thread
// still find the exceptions they leave pending (exception_pending) and take
// the lock back through PyGILState_Ensure when they need it. A thread that
// would take the lock back while the interpreter is being finalised parks
// (shutdown.hpp).
class AllowThreads {
public:
    AllowThreads() noexcept : saved_(PyEval_SaveThread()) {}
    ~AllowThreads() {
        retake([this] { PyEval_RestoreThread(saved_); });
    }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* saved_;
};

// Runs `work()` on a native thread that the interpreter has never seen, with
// a thread state of its own for the whole call, and the lock released while
// `work` runs. Without one, each PyGILState_Ensure/Release pair of a kernel
// would create and destroy a thread state, and an exception raised inside
// such a pair would be lost with it. Returns the exception left pending by
// `work` (moved out of the thread state before that is destroyed), or
// nullptr; a C++ exception from `work` (std::bad_alloc, say) comes back as
// the interpreter exception it stands for. The reference belongs to the
// caller, who takes it over into a Ref once it holds the lock again. At
// shutdown the thread parks (shutdown.hpp).
template <typename Work>
PyObject* run_with_own_thread_state(Work&& work) {
    GilGuard own_state;
    call_guarded([&] {
        AllowThreads unlocked;
        work();
        return 0;
    });
    return PyErr_GetRaisedException();
}

}  // namespace velmora::rt

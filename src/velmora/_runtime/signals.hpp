// Pending signals in long compiled loops. The interpreter runs signal
// handlers (KeyboardInterrupt for Ctrl-C) only between bytecodes, so a loop
// of ours that runs for seconds would see an interrupt only at its end. A
// SignalCheck in the loop looks at the clock every `stride` iterations and,
// once 0.1 s has passed since the last check, takes the lock and runs
// PyErr_CheckSignals. Between looks it costs a decrement and a branch.
//
//     rt::SignalCheck interrupted(1024);
//     for (...) {
//         ...
//         if (interrupted()) return failure;  // the handler's exception is pending
//     }
//
// Choose `stride` so that that many iterations take well under 0.1 s but
// many clock reads' worth of time (a clock read costs about 20 ns): 1024 for
// loops of 10-100 ns an iteration, 16 for about 1 us, 1 for 0.1 ms or more.
// Works with or without the lock held. Signals are handled on the main
// thread only; elsewhere a check only runs a collection the interpreter has
// scheduled.
#pragma once

#include "ref.hpp"

#include <chrono>

namespace velmora::rt {

class SignalCheck {
public:
    using clock = std::chrono::steady_clock;
    static constexpr clock::duration interval = std::chrono::milliseconds(100);

    explicit SignalCheck(unsigned stride) noexcept
        : stride_(stride ? stride : 1), countdown_(stride_), last_(clock::now()) {}

    // True when a signal handler raised: the exception is pending on this
    // thread, and the loop must stop and pass it on.
    bool operator()() {
        if (--countdown_ != 0) [[likely]]
            return false;
        return check_now();
    }

    // The same, without the stride: for a thread that waits rather than
    // loops, and wakes up now and then.
    bool check_now() {
        countdown_ = stride_;
        const Look look = look_at(last_);
        last_ = look.last;
        return look.raised;
    }

private:
    // The slow path, out of line, takes and returns the time by value. Between
    // looks a check is one decrement and one branch, of a counter the compiler
    // keeps in a register or on the stack as it sees fit (GCC 12 keeps it on
    // the stack in kappa_core's array loop).
    struct Look {
        clock::time_point last;
        bool raised;
    };
    [[gnu::noinline, gnu::cold]] static Look look_at(clock::time_point last) {
        const clock::time_point now = clock::now();
        if (now - last < interval) return {last, false};
        GilGuard gil;
        return {now, PyErr_CheckSignals() < 0};
    }

    unsigned stride_;
    unsigned countdown_;
    clock::time_point last_;
};

}  // namespace velmora::rt

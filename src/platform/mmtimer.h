#pragma once

// The multimedia timer and the auto-reset kernel event, on std::thread. Waits
// are on the monotonic clock, so a change of the wall clock moves no tick.

#include <condition_variable>
#include <cstdint>
#include <mutex>

// An auto-reset event: Set wakes one waiter (or the next one to wait), and the
// event is unsignalled again once a wait has taken it. Signals that come while
// it is already set collapse into one.
class AutoResetEvent final {
public:
    void Set();
    void Wait();
    // false when timeoutMs passed without a signal.
    bool WaitFor(unsigned timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

using LPTIMECALLBACK = void (*)(unsigned id, unsigned msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2);
constexpr unsigned TIME_ONESHOT = 0;
constexpr unsigned TIME_PERIODIC = 1;
constexpr unsigned TIMERR_NOERROR = 0;
constexpr unsigned MMSYSERR_INVALPARAM = 11;
// The periods the timer accepts, in milliseconds.
constexpr unsigned TimerMinPeriod = 1;
constexpr unsigned TimerMaxPeriod = 1000000;

// Calls callback every delayMs (once with TIME_ONESHOT) on a thread of the
// timer's own; returns the timer's id, or 0 when the delay is out of range or
// no thread could be started. The resolution is accepted and not needed: the
// kernel's timers are already precise to well under a millisecond.
unsigned timeSetEvent(unsigned delayMs, unsigned resolutionMs, LPTIMECALLBACK callback, uintptr_t user,
                      unsigned flags);
// Stops the timer and waits for a callback under way (unless called from it);
// no callback follows. MMSYSERR_INVALPARAM for an unknown id.
unsigned timeKillEvent(unsigned id);

#pragma once

#include <chrono>
#include <functional>

// How long one wait for a server (a connect, a reply, room to send, more
// data) may last, for every client.
constexpr int ReplyTimeoutMs = 30000;

// The one way this program waits for a peer: until a condition holds, a
// deadline passes or the user stops it. On the GUI thread the window's events
// go through at least every PumpIntervalMs, whether or not data is waiting,
// so the window paints and Stop is heard during a long fast answer too.
class Wait final {
public:
    using Clock = std::chrono::steady_clock;
    enum Outcome { Ready, Stopped, TimedOut };

    static constexpr int PumpIntervalMs = 15;

    // Lets the GUI thread's events through when the last time was
    // PumpIntervalMs ago or more; does nothing elsewhere. Cheap enough to call
    // for every block of data moved.
    static void PumpIfDue();
    // Lets the GUI thread's events through now.
    static void Pump();
    static bool OnGuiThread();

    // The wait is over when this holds; checked before each slice.
    std::function<bool()> Condition;
    // Sleeps at most ms for the condition to come about (a select on the
    // socket, say). Without it the wait sleeps on the event queue on the GUI
    // thread, plainly elsewhere.
    std::function<void(int ms)> Block;
    // The user (or another thread) wants the wait ended.
    std::function<bool()> Stop;
    int TimeoutMs = ReplyTimeoutMs;
    // The time-out counts from the later of the start and this, when set:
    // progress on a transfer the caller does not wait on directly.
    std::function<Clock::time_point()> LastProgress;

    Outcome Run() const;
};

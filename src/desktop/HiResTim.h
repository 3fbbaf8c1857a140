#pragma once

#include "framework/Component.h"
#include "framework/Exception.h"
#include "platform/mmtimer.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class EHiResTimer final : public Exception {
public:
    EHiResTimer() : Exception("Unable to create a timer") {}
};

class THiResTimer;

// The worker that waits for the ticks and runs the handler. What the loop
// reads after a handler returns lives in State, so a timer switched off from
// its own handler lets the thread end without touching the timer again.
class TTimerThread final {
public:
    struct State {
        std::atomic<bool> terminated{false};
        std::shared_ptr<AutoResetEvent> tick;
    };

    TTimerThread(THiResTimer* timer, std::shared_ptr<AutoResetEvent> tick);
    void Start();
    // Asks the loop to end and wakes it; Join waits for a handler under way.
    void Terminate();
    void Join();
    void Detach();
    bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

    THiResTimer* Timer;

private:
    static void Execute(THiResTimer* timer, std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

// A periodic timer whose handler runs on a worker thread of its own, not on the
// GUI thread. Ticks that fall due while the handler runs collapse into one.
// OnTimer, Interval and Resolution are set while the timer is off.
class THiResTimer final : public TComponent {
public:
    THiResTimer();
    ~THiResTimer() override;
    THiResTimer(const THiResTimer&) = delete;
    THiResTimer& operator=(const THiResTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    // Whether the caller runs on this timer's worker thread.
    bool OnWorkerThread() const;

    int Interval = 100;
    int Resolution = 100;
    std::function<void(TObject* Sender)> OnTimer;

    unsigned TimerID = 0;
    std::shared_ptr<AutoResetEvent> TickEvent;

private:
    void StartTimer();
    static void TickCallback(unsigned id, unsigned msg, uintptr_t user, uintptr_t, uintptr_t);

    std::atomic<bool> enabled_{false};
    std::unique_ptr<TTimerThread> Thread;
};

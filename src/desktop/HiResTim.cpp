#include "desktop/HiResTim.h"

TTimerThread::TTimerThread(THiResTimer* timer, std::shared_ptr<AutoResetEvent> tick)
    : Timer(timer), state_(std::make_shared<State>())
{
    state_->tick = std::move(tick);
}

void TTimerThread::Start()
{
    thread_ = std::thread(Execute, Timer, state_);
}

void TTimerThread::Execute(THiResTimer* timer, std::shared_ptr<State> state)
{
    while (!state->terminated && timer) {
        state->tick->Wait();
        if (state->terminated)
            break;
        // What the handler raises ends its tick, not the thread (nor, as an
        // exception leaving a thread would, the process): the next tick still
        // comes. A caller that must hear of failures catches them itself.
        try {
            if (timer->OnTimer)
                timer->OnTimer(timer);
        } catch (...) {
        }
    }
}

void TTimerThread::Terminate()
{
    state_->terminated = true;
    state_->tick->Set();
}

void TTimerThread::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void TTimerThread::Detach()
{
    if (thread_.joinable())
        thread_.detach();
}

THiResTimer::THiResTimer() : TickEvent(std::make_shared<AutoResetEvent>()) {}

THiResTimer::~THiResTimer()
{
    SetEnabled(false);
}

bool THiResTimer::OnWorkerThread() const
{
    return Thread && Thread->IsCurrent();
}

void THiResTimer::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    if (value) {
        Thread = std::make_unique<TTimerThread>(this, TickEvent);
        Thread->Start();
        StartTimer();
    } else {
        timeKillEvent(TimerID);
        TimerID = 0;
        Thread->Terminate();
        // From its own handler the worker cannot wait for itself: it ends
        // once the handler returns.
        if (Thread->IsCurrent())
            Thread->Detach();
        else
            Thread->Join();
        Thread.reset();
    }
    enabled_ = value;
}

void THiResTimer::StartTimer()
{
    TimerID = timeSetEvent(unsigned(Interval), unsigned(Resolution), TickCallback, uintptr_t(TickEvent.get()),
                           TIME_PERIODIC);
    if (TimerID == 0) {
        // No worker is left waiting for ticks that will never come.
        Thread->Terminate();
        Thread->Join();
        Thread.reset();
        enabled_ = false;
        throw EHiResTimer();
    }
}

// On the timer's own thread: only signals.
void THiResTimer::TickCallback(unsigned, unsigned, uintptr_t user, uintptr_t, uintptr_t)
{
    if (user)
        reinterpret_cast<AutoResetEvent*>(user)->Set();
}

#include "framework/Wait.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

// When the GUI thread last let its events through; shared by nested waits.
std::atomic<Wait::Clock::rep> lastPump{0};

void NotePump()
{
    lastPump = Wait::Clock::now().time_since_epoch().count();
}

Wait::Clock::time_point LastPump()
{
    return Wait::Clock::time_point(Wait::Clock::duration(lastPump.load()));
}

} // namespace

bool Wait::OnGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void Wait::Pump()
{
    if (!OnGuiThread())
        return;
    // Bounded, so a stream of events cannot hold up the transfer for long.
    QCoreApplication::processEvents(QEventLoop::AllEvents, PumpIntervalMs);
    NotePump();
}

void Wait::PumpIfDue()
{
    if (Clock::now() - LastPump() >= std::chrono::milliseconds(PumpIntervalMs))
        Pump();
}

Wait::Outcome Wait::Run() const
{
    const Clock::time_point started = Clock::now();
    const bool gui = OnGuiThread();
    for (;;) {
        PumpIfDue();
        if (Stop && Stop())
            return Stopped;
        if (Condition && Condition())
            return Ready;
        const Clock::time_point now = Clock::now();
        const Clock::time_point from = LastProgress ? std::max(started, LastProgress()) : started;
        const Clock::time_point deadline = from + std::chrono::milliseconds(TimeoutMs);
        if (now >= deadline)
            return TimedOut;
        // Sleep no later than the deadline, and on the GUI thread no later
        // than the next pump is due.
        Clock::duration slice = deadline - now;
        if (gui)
            slice = std::min(slice, LastPump() + std::chrono::milliseconds(PumpIntervalMs) - now);
        else
            slice = std::min<Clock::duration>(slice, std::chrono::milliseconds(20));
        const int ms = std::max(1, int(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
        if (Block) {
            Block(ms);
        } else if (gui) {
            // No sleeping on the event queue: inside a timer's handler GLib
            // does not dispatch timers again, so a wake-up timer would never
            // come. A short sleep keeps the slice bounded either way.
            QCoreApplication::processEvents(QEventLoop::AllEvents, PumpIntervalMs);
            NotePump();
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 2)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
        }
    }
}

#include "platform/mmtimer.h"

#include <atomic>
#include <chrono>
#include <map>
#include <system_error>
#include <memory>
#include <thread>

void AutoResetEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_one();
}

void AutoResetEvent::Wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
}

bool AutoResetEvent::WaitFor(unsigned timeoutMs)
{
    // One wait on the steady clock: woken by the signal or the deadline, not
    // by slices in between, and a change of the wall clock does not move it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [this] { return signalled_; }))
        return false;
    signalled_ = false;
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

struct PeriodicTimer {
    std::mutex mutex;
    std::condition_variable stop;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

std::mutex timersMutex;
unsigned lastId = 0;
std::map<unsigned, std::shared_ptr<PeriodicTimer>>& Timers()
{
    static std::map<unsigned, std::shared_ptr<PeriodicTimer>> timers;
    return timers;
}

// Waits until due (steady time) or until the timer is stopping; true when
// stopping. The thread sleeps through the whole period: only the due time or
// the stop wakes it.
bool WaitUntilDue(PeriodicTimer& timer, std::unique_lock<std::mutex>& lock, Clock::time_point due)
{
    return timer.stop.wait_until(lock, due, [&timer] { return timer.stopping.load(); });
}

// Due times are kept on an absolute schedule, so lateness does not add up
// from tick to tick. The thread holds its own reference: a timer killed from
// its callback ends after the callback without its state going first.
void Run(std::shared_ptr<PeriodicTimer> timer, unsigned id, unsigned delayMs, LPTIMECALLBACK callback, uintptr_t user,
         bool periodic)
{
    const auto period = std::chrono::milliseconds(delayMs);
    Clock::time_point due = Clock::now() + period;
    std::unique_lock<std::mutex> lock(timer->mutex);
    for (;;) {
        if (WaitUntilDue(*timer, lock, due))
            return;
        lock.unlock();
        callback(id, 0, user, 0, 0);
        lock.lock();
        if (!periodic)
            return;
        due += period;
        const Clock::time_point now = Clock::now();
        if (due < now) // fell a whole period behind (a stopped machine): no burst of ticks
            due = now + period;
    }
}

} // namespace

unsigned timeSetEvent(unsigned delayMs, unsigned, LPTIMECALLBACK callback, uintptr_t user, unsigned flags)
{
    if (!callback || delayMs < TimerMinPeriod || delayMs > TimerMaxPeriod)
        return 0;
    auto timer = std::make_shared<PeriodicTimer>();
    std::lock_guard<std::mutex> lock(timersMutex);
    const unsigned id = ++lastId ? lastId : ++lastId; // 0 means failure
    try {
        timer->thread = std::thread(Run, timer, id, delayMs, callback, user, (flags & TIME_PERIODIC) != 0);
    } catch (const std::system_error&) {
        return 0;
    }
    Timers()[id] = timer;
    return id;
}

unsigned timeKillEvent(unsigned id)
{
    std::shared_ptr<PeriodicTimer> timer;
    {
        std::lock_guard<std::mutex> lock(timersMutex);
        auto it = Timers().find(id);
        if (it == Timers().end())
            return MMSYSERR_INVALPARAM;
        timer = std::move(it->second);
        Timers().erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(timer->mutex);
        timer->stopping = true;
    }
    timer->stop.notify_all();
    if (timer->thread.get_id() == std::this_thread::get_id()) {
        // Killed from its own callback: the thread ends when the callback
        // returns and finds it stopping.
        timer->thread.detach();
    } else {
        timer->thread.join();
    }
    return TIMERR_NOERROR;
}

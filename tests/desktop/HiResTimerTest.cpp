#include "desktop/HiResTim.h"
#include "platform/mmtimer.h"
#include "support/Raised.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A gate a handler waits at until the test opens it.
class Gate {
public:
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Waits (bounded, for a broken build) until pred holds.
template <typename Pred>
bool WaitUntil(Pred pred, int seconds = 20)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The process's threads, by id.
std::set<QString> Threads()
{
    const QStringList ids = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return {ids.begin(), ids.end()};
}

// How often these threads went to sleep: each wake-up ends in one more.
long long Sleeps(const std::set<QString>& threads)
{
    long long total = 0;
    for (const QString& id : threads) {
        QFile status("/proc/self/task/" + id + "/status");
        if (!status.open(QIODevice::ReadOnly))
            continue; // ended meanwhile
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                total += line.mid(24).trimmed().toLongLong();
    }
    return total;
}

// Whether a thread of this process sleeps, waiting for something.
bool Blocked(pid_t thread)
{
    QFile stat("/proc/self/task/" + QString::number(thread) + "/stat");
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')'); // after the name, which may hold anything
    return end > 0 && line.mid(end + 2, 1) == "S";
}

} // namespace

TEST(AutoResetEvent, SignalsCollapseIntoOneAndAWaitTakesIt)
{
    AutoResetEvent event;
    EXPECT_FALSE(event.WaitFor(0));
    for (int i = 0; i < 5; ++i)
        event.Set();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_FALSE(event.WaitFor(0)) << "five signals while nobody waited are one";
    std::thread setter([&] { event.Set(); });
    event.Wait();
    setter.join();
}

TEST(MultimediaTimer, RefusesPeriodsOutOfRangeAndUnknownIds)
{
    auto tick = [](unsigned, unsigned, uintptr_t, uintptr_t, uintptr_t) {};
    EXPECT_EQ(timeSetEvent(0, 1, tick, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(TimerMaxPeriod + 1, 1, tick, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeKillEvent(987654), MMSYSERR_INVALPARAM);
    const unsigned id = timeSetEvent(TimerMaxPeriod, 1, tick, 0, TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
    EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM) << "a timer is killed once";
}

TEST(HiResTimer, TicksRunOnAWorkerThreadAndASecondEnableChangesNothing)
{
    THiResTimer timer;
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(timer.Interval, 100);
    EXPECT_EQ(timer.Resolution, 100);
    std::mutex m;
    std::set<std::thread::id> threads;
    std::atomic<int> calls{0};
    timer.OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        EXPECT_TRUE(timer.OnWorkerThread());
        std::lock_guard<std::mutex> lock(m);
        threads.insert(std::this_thread::get_id());
        ++calls;
    };
    timer.Interval = 5;
    timer.SetEnabled(true);
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return calls >= 5; }));
    timer.SetEnabled(false);
    const int after = calls;
    {
        std::lock_guard<std::mutex> lock(m);
        EXPECT_EQ(threads.size(), 1u) << "one worker, however often it is switched on";
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    }
    EXPECT_FALSE(timer.OnWorkerThread());

    // On again: a new worker and a new timer tick once more.
    timer.SetEnabled(true);
    EXPECT_NE(timer.TimerID, 0u);
    ASSERT_TRUE(WaitUntil([&] { return calls >= after + 2; }));
    timer.SetEnabled(false);
    EXPECT_EQ(timer.TimerID, 0u);
}

TEST(HiResTimer, TicksDueDuringASlowHandlerCollapseIntoOneFurtherCall)
{
    THiResTimer timer;
    timer.Interval = int(TimerMaxPeriod); // the test gives the ticks itself
    Gate first;
    std::atomic<int> calls{0};
    timer.OnTimer = [&](TObject*) {
        if (++calls == 1)
            first.Wait();
    };
    timer.SetEnabled(true);
    timer.TickEvent->Set();
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    for (int i = 0; i < 10; ++i)
        timer.TickEvent->Set(); // ten periods pass while the handler works
    first.Open();
    ASSERT_TRUE(WaitUntil([&] { return calls == 2; }));
    EXPECT_FALSE(timer.TickEvent->WaitFor(0)) << "the ten ticks were one";
}

TEST(HiResTimer, SwitchedOffOrDestroyedFromEveryThreadWithoutAHang)
{
    // From its own handler.
    auto timer = std::make_unique<THiResTimer>();
    std::atomic<int> calls{0};
    timer->Interval = 2;
    timer->OnTimer = [&](TObject*) {
        ++calls;
        timer->SetEnabled(false);
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return !timer->Enabled(); }));
    EXPECT_EQ(calls, 1);
    timer->SetEnabled(true); // and on again afterwards
    ASSERT_TRUE(WaitUntil([&] { return calls == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return !timer->Enabled(); }));

    // Destroyed while a handler runs: destruction (switching off) waits for it.
    Gate gate;
    std::atomic<bool> inside{false}, finished{false}, gone{false};
    std::atomic<pid_t> destroyer{0};
    timer->OnTimer = [&](TObject*) {
        inside = true;
        gate.Wait();
        finished = true;
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return bool(inside); }));
    std::thread destroy([&] {
        destroyer = ::gettid();
        timer.reset();
        gone = true;
    });
    // The handler is let go once the destroying thread blocks (or, wrongly, is done).
    ASSERT_TRUE(WaitUntil([&] { return gone || (destroyer && Blocked(destroyer)); }));
    EXPECT_FALSE(gone) << "the timer went while its handler ran";
    gate.Open();
    destroy.join();
    EXPECT_TRUE(finished);
}

TEST(HiResTimer, ARefusedTimerRaisesAndStaysOff)
{
    THiResTimer timer;
    timer.Interval = 0;
    EXPECT_EQ(testsupport::Raised<EHiResTimer>([&] { timer.SetEnabled(true); }), "Unable to create a timer");
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(timer.TimerID, 0u);
    timer.Interval = 5;
    std::atomic<int> calls{0};
    timer.OnTimer = [&](TObject*) { ++calls; };
    timer.SetEnabled(true); // the refusal left nothing behind that stops a later start
    ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
}

TEST(HiResTimer, ALongIntervalSleepsThroughAndStillStopsAtOnce)
{
    THiResTimer timer;
    timer.Interval = 180000; // the keep-alive's three minutes
    timer.OnTimer = [](TObject*) {};
    const std::set<QString> before = Threads();
    timer.SetEnabled(true);
    std::set<QString> started;
    for (const QString& id : Threads())
        if (!before.count(id))
            started.insert(id);
    ASSERT_FALSE(started.empty());
    // Watching is the measurement here: over this span a thread that polled
    // in slices would wake dozens of times; one that waits for its tick, never.
    const auto from = std::chrono::steady_clock::now();
    const long long first = Sleeps(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long long wakeUps = Sleeps(started) - first;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - from);
    EXPECT_LE(wakeUps, 1 + seconds.count()) << "at most one wake-up a second while the interval runs";
    // Off at once: were the stop not to wake the waits, this would last the
    // whole interval, longer than the test may run.
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Enabled());
}

TEST(HiResTimer, AHandlerThatRaisesEndsOnlyItsTick)
{
    THiResTimer timer;
    timer.Interval = 2;
    std::atomic<int> calls{0};
    timer.OnTimer = [&](TObject*) {
        if (++calls % 2)
            throw std::runtime_error("tick failed");
        throw 42; // not even a std::exception
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return calls >= 4; })) << "ticks went on after the handler raised";
    timer.SetEnabled(false);
}

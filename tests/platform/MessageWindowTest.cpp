#include "support/Loopback.h"

#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using testsupport::MessageLog;
using testsupport::PumpFor;
using testsupport::PumpUntil;

TEST(MessageWindow, PostedMessagesArriveInOrderOnTheWindowsThreadAndSentOnesAtOnce)
{
    MessageLog log;
    log.window().Post(WM_USER + 1, 7, MAKELONG(1, 10061));
    std::thread other([&] { log.window().Post(WM_USER + 2, 8, 9); });
    other.join();
    EXPECT_TRUE(log.messages().empty()) << "posting must be queued, not immediate";

    ASSERT_TRUE(PumpUntil([&] { return log.messages().size() == 2; }));
    const Message& first = log.messages()[0];
    EXPECT_EQ(first.Msg, WM_USER + 1);
    EXPECT_EQ(first.WParam, 7u);
    EXPECT_EQ(LOWORD(first.LParam), 1u);
    EXPECT_EQ(HIWORD(first.LParam), 10061u);
    EXPECT_EQ(log.messages()[1].Msg, WM_USER + 2);

    // Send delivers at once and returns the result.
    MessageWindow w([](Message& m) { m.Result = m.Msg == WM_QUERYENDSESSION ? 1 : 0; });
    EXPECT_EQ(w.Send(WM_QUERYENDSESSION), 1);
    EXPECT_EQ(w.Send(WM_USER), 0);
}

TEST(MessageWindow, TimersTickWithTheirIdUntilKilled)
{
    MessageLog log;
    EXPECT_EQ(SetTimer(&log.window(), 1, 20), 1u);
    ASSERT_TRUE(PumpUntil([&] { return log.messages().size() >= 2; }));
    for (const Message& m : log.messages()) {
        EXPECT_EQ(m.Msg, WM_TIMER);
        EXPECT_EQ(m.WParam, 1u);
    }
    EXPECT_TRUE(KillTimer(&log.window(), 1));
    EXPECT_FALSE(KillTimer(&log.window(), 1));
    PumpFor(20); // a tick already queued may still land
    log.Clear();
    PumpFor(100);
    EXPECT_TRUE(log.messages().empty());
}

TEST(MessageWindow, MessagesForADestroyedWindowAreDropped)
{
    int delivered = 0;
    {
        MessageWindow w([&](Message&) { ++delivered; });
        w.Post(WM_USER);
    }
    MessageLog log;
    PumpFor(50);
    EXPECT_EQ(delivered, 0);
}

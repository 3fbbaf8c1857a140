#include "platform/winsock.h"
#include "support/Loopback.h"

#include <QSemaphore>
#include <QThreadPool>

#include <arpa/inet.h>
#include <cstring>

#include <gtest/gtest.h>

using testsupport::MessageLog;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

constexpr unsigned LookupMsg = WM_USER;

class AsyncLookup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(winsock::WSAStartup(0x0101, &data), 0); }
    void TearDown() override { winsock::WSACleanup(); }
    WSADATA data;
    MessageLog log;
    alignas(8) char entry[MAXGETHOSTSTRUCT];
};

} // namespace

TEST_F(AsyncLookup, AResultIsPostedWithNoErrorAndTheAddress)
{
    const HANDLE_TASK task =
        winsock::WSAAsyncGetHostByName(&log.window(), LookupMsg, "localhost", entry, sizeof entry);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(PumpUntil([&] { return !log.messages().empty(); }));
    const Message& m = log.messages()[0];
    EXPECT_EQ(m.Msg, LookupMsg);
    EXPECT_EQ(m.WParam, task);
    EXPECT_EQ(HIWORD(m.LParam), 0u);
    EXPECT_EQ(winsock::HostEntryFirstAddress(entry), htonl(INADDR_LOOPBACK));
}

TEST_F(AsyncLookup, AnUnknownNamePostsHostNotFound)
{
    // Too long a label for a query: the resolver answers without any server.
    const std::string unknown = std::string(70, 'q') + ".invalid";
    ASSERT_NE(winsock::WSAAsyncGetHostByName(&log.window(), LookupMsg, unknown.c_str(), entry,
                                             sizeof entry),
              0u);
    ASSERT_TRUE(PumpUntil([&] { return !log.messages().empty(); }));
    EXPECT_EQ(HIWORD(log.messages()[0].LParam), unsigned(WSAHOST_NOT_FOUND));
}

TEST_F(AsyncLookup, ACancelledLookupPostsNothingAndLeavesTheBufferAlone)
{
    // Hold every worker so the lookup cannot finish before it is cancelled.
    QThreadPool* pool = QThreadPool::globalInstance();
    const int workers = pool->maxThreadCount();
    QSemaphore release;
    for (int i = 0; i < workers; ++i)
        pool->start([&release] { release.acquire(); });

    std::memset(entry, 0x5A, sizeof entry);
    const HANDLE_TASK task =
        winsock::WSAAsyncGetHostByName(&log.window(), LookupMsg, "localhost", entry, sizeof entry);
    ASSERT_NE(task, 0u);
    EXPECT_EQ(winsock::WSACancelAsyncRequest(task), 0);
    release.release(workers);
    pool->waitForDone(5000);
    PumpFor(100);

    EXPECT_TRUE(log.messages().empty());
    for (char c : entry)
        ASSERT_EQ(c, 0x5A);
    EXPECT_EQ(winsock::WSACancelAsyncRequest(task), SOCKET_ERROR) << "nothing left to cancel";
}

TEST_F(AsyncLookup, AShortBufferGetsNoBuffersInsteadOfAnOverrun)
{
    char small[24];
    std::memset(small, 0x5A, sizeof small);
    ASSERT_NE(winsock::WSAAsyncGetHostByName(&log.window(), LookupMsg, "localhost", small, 8), 0u);
    ASSERT_TRUE(PumpUntil([&] { return !log.messages().empty(); }));
    EXPECT_EQ(HIWORD(log.messages()[0].LParam), unsigned(WSAENOBUFS));
    EXPECT_GT(LOWORD(log.messages()[0].LParam), 8u) << "the size it needs";
    for (char c : small)
        ASSERT_EQ(c, 0x5A);
}

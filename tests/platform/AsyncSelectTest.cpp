#include "platform/winsock.h"
#include "support/Loopback.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::Listener;
using testsupport::LoopbackAddress;
using testsupport::MessageLog;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

constexpr unsigned SockMsg = WM_USER + 75;
constexpr long StreamMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

class AsyncSelect : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(winsock::WSAStartup(0x0101, &data), 0); }
    void TearDown() override
    {
        for (SOCKET s : sockets)
            winsock::closesocket(s);
        for (int fd : peers)
            ::close(fd);
        winsock::WSACleanup();
    }

    SOCKET NewSocket(int type = SOCK_STREAM)
    {
        const SOCKET s = winsock::socket(AF_INET, type, 0);
        sockets.push_back(s);
        return s;
    }

    // A registered client connected to the listener; returns the server's end.
    int ConnectedPair(SOCKET& client, long mask = StreamMask)
    {
        client = NewSocket();
        EXPECT_EQ(winsock::WSAAsyncSelect(client, &log.window(), SockMsg, mask), 0);
        LoopbackAddress to(listener.port);
        const int rc = winsock::connect(client, to.get(), 16);
        EXPECT_TRUE(rc == 0 || winsock::WSAGetLastError() == WSAEWOULDBLOCK);
        const int server = listener.AcceptOne();
        peers.push_back(server);
        EXPECT_TRUE(PumpUntil([&] { return Count(FD_WRITE) == 1; }));
        log.Clear();
        return server;
    }

    size_t Count(unsigned event) const
    {
        size_t n = 0;
        for (unsigned e : log.Events(SockMsg))
            n += e == event;
        return n;
    }

    unsigned ErrorOf(unsigned event) const
    {
        for (const Message& m : log.messages())
            if (m.Msg == SockMsg && LOWORD(m.LParam) == event)
                return HIWORD(m.LParam);
        return 0xFFFF;
    }

    WSADATA data;
    MessageLog log;
    Listener listener;
    std::vector<SOCKET> sockets;
    std::vector<int> peers;
};

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST_F(AsyncSelect, AConnectGivesConnectThenOneWriteOrConnectWithTheRefusal)
{
    const SOCKET s = NewSocket();
    ASSERT_EQ(winsock::WSAAsyncSelect(s, &log.window(), SockMsg, StreamMask), 0);
    LoopbackAddress to(listener.port);
    const int rc = winsock::connect(s, to.get(), 16);
    ASSERT_TRUE(rc == 0 || winsock::WSAGetLastError() == WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_WRITE) == 1; }));
    PumpFor(200);
    EXPECT_EQ(log.Events(SockMsg), (std::vector<unsigned>{FD_CONNECT, FD_WRITE}));
    EXPECT_EQ(ErrorOf(FD_CONNECT), 0u);
    EXPECT_EQ(log.messages()[0].WParam, WPARAM(s));

    log.Clear();
    const SOCKET refused = NewSocket();
    ASSERT_EQ(winsock::WSAAsyncSelect(refused, &log.window(), SockMsg, StreamMask), 0);
    LoopbackAddress closed(testsupport::ClosedPort());
    EXPECT_EQ(winsock::connect(refused, closed.get(), 16), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_CONNECT) == 1; }));
    PumpFor(200);
    EXPECT_EQ(log.Events(SockMsg), std::vector<unsigned>{FD_CONNECT});
    EXPECT_EQ(ErrorOf(FD_CONNECT), unsigned(WSAECONNREFUSED));
}

TEST_F(AsyncSelect, ReadIsPostedOncePerReceiveCall)
{
    SOCKET s;
    const int server = ConnectedPair(s);
    ASSERT_EQ(::write(server, "0123456789", 10), 10);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));
    PumpFor(200);
    EXPECT_EQ(Count(FD_READ), 1u) << "no recv, no second FD_READ";

    char buf[16];
    EXPECT_EQ(winsock::recv(s, buf, 4, 0), 4);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 2; })) << "data is left";
    EXPECT_EQ(winsock::recv(s, buf, 16, 0), 6);
    PumpFor(200);
    EXPECT_EQ(Count(FD_READ), 2u);
    EXPECT_EQ(Count(FD_CLOSE), 0u);
}

TEST_F(AsyncSelect, APeerCloseGivesOneCloseAfterTheDataWasTaken)
{
    SOCKET s;
    const int server = ConnectedPair(s);
    ASSERT_EQ(::write(server, "abc", 3), 3);
    ::shutdown(server, SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));
    PumpFor(150);
    EXPECT_EQ(Count(FD_CLOSE), 0u) << "the data has not been taken yet";

    char buf[8];
    EXPECT_EQ(winsock::recv(s, buf, 8, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_CLOSE) == 1; }));
    PumpFor(150);
    EXPECT_EQ(Count(FD_CLOSE), 1u);
    EXPECT_EQ(ErrorOf(FD_CLOSE), 0u);
    EXPECT_EQ(log.Events(SockMsg).back(), unsigned(FD_CLOSE));
}

TEST_F(AsyncSelect, AResetGivesCloseWithConnResetAndMaskZeroSilences)
{
    SOCKET s;
    const int server = ConnectedPair(s);
    linger hard{1, 0}; // closing with a zero linger sends a reset
    ::setsockopt(server, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(server);
    peers.clear();
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_CLOSE) == 1; }));
    EXPECT_EQ(ErrorOf(FD_CLOSE), unsigned(WSAECONNRESET));

    // Mask zero silences a socket.
    SOCKET quiet;
    const int peer = ConnectedPair(quiet);
    ASSERT_EQ(winsock::WSAAsyncSelect(quiet, &log.window(), SockMsg, 0), 0);
    ASSERT_EQ(::write(peer, "data", 4), 4);
    ::close(peer);
    peers.clear();
    PumpFor(300);
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(AsyncSelect, AcceptIsPostedOnAListenerAndReArmedByAccept)
{
    const SOCKET l = NewSocket();
    // Registered before listening, as a listening component does it.
    ASSERT_EQ(winsock::WSAAsyncSelect(l, &log.window(), SockMsg, FD_ACCEPT), 0);
    LoopbackAddress any(0);
    ASSERT_EQ(winsock::bind(l, any.get(), 16), 0);
    ASSERT_EQ(winsock::listen(l, 5), 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&me), &len);
    LoopbackAddress to(ntohs(me.sin_port));

    const int c1 = ::socket(AF_INET, SOCK_STREAM, 0);
    const int c2 = ::socket(AF_INET, SOCK_STREAM, 0);
    peers.push_back(c1);
    peers.push_back(c2);
    ASSERT_EQ(::connect(c1, reinterpret_cast<const sockaddr*>(to.get()), 16), 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_ACCEPT) == 1; }));
    ASSERT_EQ(::connect(c2, reinterpret_cast<const sockaddr*>(to.get()), 16), 0);
    PumpFor(150);
    EXPECT_EQ(Count(FD_ACCEPT), 1u) << "not re-armed before accept";

    const SOCKET a1 = winsock::accept(l, nullptr, nullptr);
    ASSERT_NE(a1, INVALID_SOCKET);
    sockets.push_back(a1);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_ACCEPT) == 2; })) << "one more is waiting";
}

TEST_F(AsyncSelect, WriteComesBackAfterASendThatWouldBlock)
{
    SOCKET s;
    const int server = ConnectedPair(s);
    std::vector<char> chunk(65536, 'x');
    int sent = 0;
    while (winsock::send(s, chunk.data(), int(chunk.size()), 0) != SOCKET_ERROR)
        ASSERT_LT(++sent, 10000) << "the send buffer never filled";
    ASSERT_EQ(winsock::WSAGetLastError(), WSAEWOULDBLOCK);
    PumpFor(100);
    EXPECT_EQ(Count(FD_WRITE), 0u);

    std::vector<char> sink(1 << 20);
    while (::recv(server, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_WRITE) == 1; }));
}

TEST_F(AsyncSelect, DatagramReadsAreReArmedByRecvfrom)
{
    const SOCKET s = NewSocket(SOCK_DGRAM);
    LoopbackAddress any(0);
    ASSERT_EQ(winsock::bind(s, any.get(), 16), 0);
    ASSERT_EQ(winsock::WSAAsyncSelect(s, &log.window(), SockMsg, FD_READ), 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&me), &len);
    const int out = ::socket(AF_INET, SOCK_DGRAM, 0);
    peers.push_back(out);
    ::sendto(out, "one", 3, 0, reinterpret_cast<sockaddr*>(&me), sizeof me);
    ::sendto(out, "two", 3, 0, reinterpret_cast<sockaddr*>(&me), sizeof me);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));
    PumpFor(100);
    EXPECT_EQ(Count(FD_READ), 1u);

    char buf[8];
    sockaddr_in from{};
    int fromlen = 16;
    EXPECT_EQ(winsock::recvfrom(s, buf, 8, 0, &from, &fromlen), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 2; }));
}

TEST_F(AsyncSelect, AnIdleRegisteredSocketCostsNoCpu)
{
    SOCKET quiet, unread;
    ConnectedPair(quiet);
    const int server = ConnectedPair(unread);
    // Data that has been announced but not taken must not spin the loop either.
    ASSERT_EQ(::write(server, "pending", 7), 7);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));

    const double before = CpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    const double used = CpuSeconds() - before;
    EXPECT_LT(used, 0.2) << "CPU seconds spent waiting: " << used;
    EXPECT_EQ(Count(FD_READ), 1u);
}

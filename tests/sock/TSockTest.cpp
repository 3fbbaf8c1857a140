#include "sock/ESockException.h"
#include "sock/SocketModule.h"
#include "sock/TSock.h"
#include "support/Loopback.h"
#include "support/NetworkTopology.h"
#include "support/Raised.h"
#include "support/SilentPort.h"

#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

using testsupport::Listener;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

using Report = std::pair<TSocketInfo, std::string>;

class Sock : public ::testing::Test {
protected:
    void SetUp() override { StartSocketModule(); }
    void TearDown() override
    {
        for (int fd : fds)
            ::close(fd);
        EndSocketModule();
    }
    // Records the object's reports and events.
    void Watch(TSock& s)
    {
        s.OnInfo = [this](TObject*, TSocketInfo kind, const std::string& msg) { reports.emplace_back(kind, msg); };
        s.OnConnect = [this](TObject*) { ++connects; };
        s.OnDisconnect = [this](TObject*) { ++disconnects; };
        s.OnRead = [this](TObject*, int count) { lastCount = count; ++reads; };
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const auto& r : reports)
            texts.push_back(r.second);
        return texts;
    }
    bool Reported(const std::string& text) const
    {
        for (const auto& r : reports)
            if (r.second == text)
                return true;
        return false;
    }
    int Track(int fd)
    {
        fds.push_back(fd);
        return fd;
    }
    static std::string RaisedBy(const std::function<void()>& f) { return testsupport::Raised<ESockException>(f); }
    // A blocking client connected to the listener; returns the server's end.
    int OpenBlockingClient(TSock& s)
    {
        s.SetBlocking(true);
        s.SetHostName("127.0.0.1");
        s.SetPortName(std::to_string(listener.port));
        EXPECT_TRUE(s.Open());
        return Track(listener.AcceptOne());
    }

    std::vector<Report> reports;
    int connects = 0, disconnects = 0, reads = 0, lastCount = -1;
    std::vector<int> fds;
    Listener listener;
};

} // namespace

TEST_F(Sock, ABlockingClientConnectsSendsReceivesAndSeesThePeerClose)
{
    TSock s;
    Watch(s);
    const int server = OpenBlockingClient(s);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Lookup Of Port " + std::to_string(listener.port),
                                                 "Lookup Of Host 127.0.0.1", "Blocking Socket Connected"}));
    EXPECT_EQ(reports[2].first, siConnect);
    EXPECT_EQ(connects, 1);

    EXPECT_TRUE(s.Send("hello"));
    char buf[16] = {};
    ASSERT_EQ(::read(server, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_TRUE(Reported("Blocking Outgoing Data"));

    ASSERT_EQ(::write(server, "world", 5), 5);
    std::string got;
    ASSERT_TRUE(PumpUntil([&] { return (got += s.Receive()) == "world"; }));
    EXPECT_TRUE(Reported("Blocking Incoming Data"));

    ::shutdown(server, SHUT_WR);
    reports.clear();
    ASSERT_TRUE(PumpUntil([&] { s.Receive(); return disconnects == 1; }));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Blocking Incoming Data", "Socket Disconnected On Receive",
                                                 "Socket Closed"}));
    EXPECT_FALSE(s.Connected());
}

TEST_F(Sock, ANonBlockingClientIsDrivenByNotificationsAndKeepsDataAfterTheClose)
{
    TSock s;
    Watch(s);
    s.SetHostName("localhost");
    s.SetPortName(std::to_string(listener.port));
    EXPECT_FALSE(s.Open()) << "connected only when the notification comes";
    ASSERT_TRUE(PumpUntil([&] { return connects == 1; }));
    EXPECT_TRUE(Reported("Non-Blocking Socket Connected"));
    const int server = Track(listener.AcceptOne());

    EXPECT_TRUE(s.Send("ping"));
    char buf[8] = {};
    ASSERT_EQ(::read(server, buf, sizeof buf), 4);
    ASSERT_EQ(::write(server, "pong", 4), 4);
    ::close(server);
    fds.clear();
    ASSERT_TRUE(PumpUntil([&] { return disconnects == 1; }));
    EXPECT_EQ(lastCount, 4);
    EXPECT_TRUE(Reported("Non-Blocking Incoming Data"));
    EXPECT_EQ(Texts().back(), "Socket Closed");
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(s.Receive(), "pong") << "received text survives the close";
    EXPECT_EQ(RaisedBy([&] { s.Receive(); }), "Receive - Socket Not Connected");
}

TEST_F(Sock, ARefusedConnectIsReportedAndTheSocketKeptUntilClose)
{
    TSock s;
    Watch(s);
    s.SetHostName("127.0.0.1");
    s.SetPortName(std::to_string(testsupport::ClosedPort()));
    s.Open();
    ASSERT_TRUE(PumpUntil([&] { return !reports.empty() && reports.back().first == siError; }));
    EXPECT_EQ(reports.back().second, "Error #10061 (WSAECONNREFUSED)");
    EXPECT_NE(s.Handle(), INVALID_SOCKET);
    reports.clear();
    EXPECT_FALSE(s.Open());
    EXPECT_TRUE(reports.empty()) << "an allocated socket makes Open do nothing";
    EXPECT_TRUE(s.Close());
    EXPECT_EQ(Texts(), std::vector<std::string>{"Socket Closed"});
    s.SetPortName(std::to_string(listener.port));
    s.Open();
    ASSERT_TRUE(PumpUntil([&] { return connects == 1; }));
    Track(listener.AcceptOne());

    TSock blocking;
    Watch(blocking);
    reports.clear();
    blocking.SetBlocking(true);
    blocking.SetHostName("127.0.0.1");
    blocking.SetPortName(std::to_string(testsupport::ClosedPort()));
    EXPECT_FALSE(blocking.Open());
    EXPECT_EQ(Texts().back(), "Socket Closed");
    EXPECT_EQ(reports[reports.size() - 2], Report(siClose, "Blocking Socket Can't Connect"));
}

TEST_F(Sock, WritesWhileConnectedHaveNoEffectUntilTheNextOpen)
{
    TSock s;
    Watch(s);
    OpenBlockingClient(s);
    ASSERT_TRUE(s.Connected());
    reports.clear();
    s.SetPortName("79");
    s.SetHostName("localhost");
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Setting PortName While Connected Has No Effect",
                                                 "Setting HostName While Connected Has No Effect"}));
    EXPECT_EQ(s.PortName(), "79");
    EXPECT_EQ(s.HostName(), "localhost");
    EXPECT_EQ(RaisedBy([&] { s.SetSocketType(stDatagram); }), "SocketType - Can't Assign Socket Type While Connected");
    EXPECT_EQ(RaisedBy([&] { s.SetListen(true); }), "Listen - Socket Already In Use");
    EXPECT_EQ(RaisedBy([&] { s.SetListen(false); }), "Listen - Socket Already In Use");
    EXPECT_FALSE(s.Listen());
}

TEST_F(Sock, ErrorsOfUseRaiseTheirTexts)
{
    TSock s;
    Watch(s);
    EXPECT_EQ(RaisedBy([&] { s.Send("x"); }), "Send - Socket Not Connected");
    EXPECT_EQ(RaisedBy([&] { s.Receive(); }), "Receive - Socket Not Connected");
    EXPECT_EQ(RaisedBy([&] { s.SendDatagram("x", "h"); }), "SendDatagram - Socket Not Connected");
    std::string host, data;
    EXPECT_EQ(RaisedBy([&] { s.ReceiveDatagram(host, data); }), "ReceiveDatagram - Socket Not Connected");
    EXPECT_EQ(RaisedBy([&] { s.PortLookup(""); }), "Port Lookup - Could Not Find Service Entry");
    EXPECT_EQ(RaisedBy([&] { s.PortLookup("no-such-service"); }), "Port Lookup - Could Not Find Service Entry");
    EXPECT_EQ(RaisedBy([&] { s.HostLookup(std::string(70, 'h') + ".invalid"); }),
              "Host Lookup - Could Not Find Host Entry");
    EXPECT_FALSE(s.Close()) << "no socket to close";
    EXPECT_EQ(Texts().back(), "Socket Closed");

    s.SetHostName(std::string(70, 'h') + ".invalid");
    s.SetPortName("7");
    EXPECT_EQ(RaisedBy([&] { s.Open(); }), "Host Lookup - Could Not Find Host Entry");
    EXPECT_NE(s.Handle(), INVALID_SOCKET) << "the socket was made before the lookup failed";
    EXPECT_EQ(RaisedBy([&] { s.SendDatagram("x", "h"); }), "SendDatagram - Datagram Send Not Supported On Stream Sockets");
    EXPECT_EQ(RaisedBy([&] { s.ReceiveDatagram(host, data); }),
              "ReceiveDatagram - Datagram Receive Not Supported On Stream Sockets");
    s.Close();

    TSock d;
    d.SetSocketType(stDatagram);
    EXPECT_EQ(RaisedBy([&] { d.SetListen(true); }), "Listen - Cannot Listen On A Datagram Socket");
    EXPECT_FALSE(d.Listen());
}

TEST_F(Sock, HostLookupsUseTheCacheInAnyCaseAndNeverLookUpDigits)
{
    TSock s;
    Watch(s);
    // Not resolvable by the platform: only the cache can answer.
    HostCache().Add("Cached.Example", htonl(0x7F000009));
    EXPECT_EQ(s.HostLookup("cached.EXAMPLE"), htonl(0x7F000009));
    EXPECT_EQ(Texts().back(), "Lookup Of Host cached.EXAMPLE");
    EXPECT_EQ(s.HostLookup("localhost"), htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(HostCache().Find("LOCALHOST"));

    const size_t cached = HostCache().Count();
    EXPECT_EQ(s.HostLookup("10.1.2.3"), htonl(0x0A010203));
    EXPECT_EQ(s.HostLookup("1nvalid.host"), 0xFFFFFFFFu) << "a leading digit means an address";
    EXPECT_EQ(HostCache().Count(), cached);
    EXPECT_EQ(s.HostLookup(""), 0u);
    EXPECT_EQ(s.PortLookup("79"), htons(79));
}

TEST_F(Sock, AListenerAutoAcceptsIntoNewObjectsWithTheHandlersCopiedOrOnlyAnnounces)
{
    TSock l;
    Watch(l);
    l.SetPortName("0"); // the kernel chooses: a port asked for beforehand could be taken meanwhile
    l.AutoAccept = true;
    TSock* accepted = nullptr;
    l.OnAutoAccept = [&](TObject* sender, TSock* sock) {
        EXPECT_EQ(sender, &l);
        accepted = sock;
    };
    l.SetListen(true);
    const uint16_t port = testsupport::LocalPort(l.Handle());
    EXPECT_EQ(Texts().back(), "Listening Started");
    l.SetListen(true);
    EXPECT_EQ(Texts().back(), "Listening Already Running");
    EXPECT_EQ(RaisedBy([&] { l.Send("x"); }), "Send - Cannot Send On A Listener Socket");
    EXPECT_EQ(RaisedBy([&] { l.Receive(); }), "Receive - Cannot Receive On A Listener Socket");
    EXPECT_EQ(RaisedBy([&] { l.SetSocketType(stDatagram); }), "SocketType - Can't Assign Socket Type While Listening");

    const int client = Track(::socket(AF_INET, SOCK_STREAM, 0));
    testsupport::LoopbackAddress to(port);
    ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(to.get()), 16), 0);
    ASSERT_TRUE(PumpUntil([&] { return accepted != nullptr; }));
    EXPECT_TRUE(accepted->Connected());
    EXPECT_EQ(accepted->HostName(), "127.0.0.1");
    EXPECT_EQ(accepted->PortName(), l.PortName());
    EXPECT_TRUE(Reported("Setting HostName While Connected Has No Effect"));

    ASSERT_EQ(::write(client, "x", 1), 1);
    ASSERT_TRUE(PumpUntil([&] { return reads >= 1; })) << "the copied OnRead fires";
    EXPECT_EQ(accepted->Receive(), "x");

    reports.clear();
    l.SetListen(false);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Socket Closed", "Listening Stopped"}));

    // Without AutoAccept the listener only announces the connection.
    TSock plain;
    plain.SetPortName("0");
    int announced = 0;
    plain.OnAccept = [&](TObject*) { ++announced; };
    plain.SetListen(true);
    testsupport::LoopbackAddress plainTo(testsupport::LocalPort(plain.Handle()));
    ASSERT_EQ(::connect(Track(::socket(AF_INET, SOCK_STREAM, 0)), reinterpret_cast<const sockaddr*>(plainTo.get()), 16), 0);
    ASSERT_TRUE(PumpUntil([&] { return announced == 1; }));
}

TEST_F(Sock, ABlockingListenerHandsEachConnectionToAThreadOfItsOwn)
{
    TSock l;
    l.SetPortName("0");
    l.SetBlocking(true);
    l.AutoAccept = true;
    std::atomic<bool> done{false};
    std::atomic<bool> otherThread{false};
    const std::thread::id gui = std::this_thread::get_id();
    l.OnAutoAccept = [&](TObject*, TSock* sock) {
        otherThread = std::this_thread::get_id() != gui;
        sock->Send("welcome");
        done = true;
    };
    l.SetListen(true);
    const uint16_t port = testsupport::LocalPort(l.Handle());
    const int client = Track(::socket(AF_INET, SOCK_STREAM, 0));
    testsupport::LoopbackAddress to(port);
    ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(to.get()), 16), 0);
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    EXPECT_TRUE(otherThread);
    char buf[16] = {};
    ASSERT_EQ(::read(client, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "welcome");
}

TEST_F(Sock, ABlockingSendIsReportedOncePerAcceptedPart)
{
    TSock s;
    Watch(s);
    const int server = OpenBlockingClient(s);
    ASSERT_TRUE(s.Connected());
    // A send timeout makes the kernel hand back a partial count: the reader
    // below starts only after the first send has timed out with the buffers
    // full, then drains at once, so no later send waits a whole timeout.
    const int small = 16384;
    ::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    timeval limit{1, 0};
    ::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        char buf[16384];
        ssize_t n;
        while ((n = ::read(server, buf, sizeof buf)) > 0)
            received.append(buf, size_t(n));
    });
    const std::string text(1 << 20, 'q');
    reports.clear();
    EXPECT_TRUE(s.Send(text));
    s.Close();
    reader.join();
    int parts = 0;
    for (const auto& r : reports)
        parts += r.second == "Blocking Outgoing Data";
    EXPECT_GE(parts, 2);
    EXPECT_EQ(received, text);
}

TEST_F(Sock, ADatagramObjectSendsToItsPortOnTheHostAndTakesTheSender)
{
    TSock d;
    Watch(d);
    d.SetSocketType(stDatagram);
    d.SetPortName(std::to_string(testsupport::ClosedPort()));
    EXPECT_TRUE(d.Open());
    EXPECT_TRUE(Reported("Datagram Socket Connected"));
    EXPECT_TRUE(d.SendDatagram("to myself", "127.0.0.1"));
    ASSERT_TRUE(PumpUntil([&] { return reads >= 1; }));
    std::string host, data;
    d.ReceiveDatagram(host, data);
    EXPECT_EQ(data, "to myself");
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(d.RemoteHost(), "127.0.0.1");
    d.ReceiveDatagram(host, data);
    EXPECT_EQ(data, "") << "nothing more waiting";
}

TEST_F(Sock, DatagramsTravelBetweenTwoObjectsOnTwoHosts)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to build two network namespaces";
    testsupport::NetNamespace a("da"), b("db");
    const std::string veth = "vd" + std::to_string(::getpid() % 100000);
    ASSERT_EQ(testsupport::Sh("ip link add " + veth + "a netns " + a.name() + " type veth peer name " + veth +
                              "b netns " + b.name()),
              0);
    ASSERT_EQ(a.Exec("ip addr add 10.203.0.1/24 dev " + veth + "a"), 0);
    ASSERT_EQ(b.Exec("ip addr add 10.203.0.2/24 dev " + veth + "b"), 0);
    a.Exec("ip link set " + veth + "a up");
    b.Exec("ip link set " + veth + "b up");

    const std::string port = "5353";
    TSock first, second;
    for (auto [sock, ns] : {std::make_pair(&first, &a), std::make_pair(&second, &b)}) {
        testsupport::EnterNamespace inside(*ns);
        ASSERT_TRUE(inside.ok());
        sock->SetSocketType(stDatagram);
        sock->SetPortName(port);
        ASSERT_TRUE(sock->Open());
    }
    int arrived = 0;
    second.OnRead = [&](TObject*, int) { ++arrived; };
    first.SendDatagram("across", "10.203.0.2");
    ASSERT_TRUE(PumpUntil([&] { return arrived >= 1; }));
    std::string host, data;
    second.ReceiveDatagram(host, data);
    EXPECT_EQ(data, "across");
    EXPECT_EQ(host, "10.203.0.1");
    second.SendDatagram("back", host);
    ASSERT_TRUE(PumpUntil([&] {
        first.ReceiveDatagram(host, data);
        return !data.empty();
    }));
    EXPECT_EQ(data, "back");
}

// Linux often takes part of a large buffer without EAGAIN; the rest must still
// go out at the following FD_WRITEs, in order, to a peer that reads slowly.
TEST_F(Sock, ALargeNonBlockingSendDeliversEveryByteToASlowReader)
{
    for (const size_t size : {size_t(8) << 20, size_t(64) << 20}) {
        TSock s;
        Watch(s);
        s.SetHostName("127.0.0.1");
        s.SetPortName(std::to_string(listener.port));
        s.Open();
        ASSERT_TRUE(PumpUntil([&] { return connects == 1; }));
        connects = 0;
        const int server = Track(listener.AcceptOne());

        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = char((i * 7 + i / 65536) & 0xff);
        std::atomic<size_t> got{0};
        std::atomic<bool> intact{true};
        std::thread reader([&] {
            std::vector<char> buf(16384);
            size_t at = 0;
            for (int chunk = 0; at < size; ++chunk) {
                if (chunk % 64 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const ssize_t n = ::read(server, buf.data(), buf.size());
                if (n <= 0)
                    break;
                if (std::memcmp(buf.data(), data.data() + at, size_t(n)) != 0)
                    intact = false;
                at += size_t(n);
                got = at;
            }
        });
        s.Send(data);
        const bool all = PumpUntil([&] { return got.load() == size; }, 60000);
        s.Close();
        reader.join();
        EXPECT_TRUE(all) << got.load() << " of " << size << " bytes arrived";
        EXPECT_TRUE(intact.load()) << "bytes arrived out of order";
    }
}

namespace {

TEST_F(Sock, AClientReachesIPv6AndABoundedConnectReportsTheTimeOut)
{
    testsupport::LoopbackListener v6("::1");
    TSock s;
    Watch(s);
    s.SetHostName("::1");
    s.SetPortName(std::to_string(v6.port()));
    EXPECT_FALSE(s.Open());
    ASSERT_TRUE(PumpUntil([&] { return connects == 1; }));
    EXPECT_TRUE(Reported("Non-Blocking Socket Connected"));
    const int server = Track(::accept(v6.fd(), nullptr, nullptr));
    EXPECT_TRUE(s.Send("alice\r\n"));
    char buf[16] = {};
    ASSERT_EQ(::read(server, buf, sizeof buf), 7);

    testsupport::SilentPort silent("::1");
    ASSERT_EQ(silent.Problem(), "");
    TSock dead;
    Watch(dead);
    reports.clear();
    dead.ConnectTimeoutMs = 300;
    dead.SetHostName("[::1]");
    dead.SetPortName(std::to_string(silent.port()));
    dead.Open();
    ASSERT_TRUE(PumpUntil([&] { return !reports.empty() && reports.back().first == siError; }, 10000));
    EXPECT_EQ(reports.back().second, "Error #10060 (WSAETIMEDOUT)");
    EXPECT_TRUE(dead.Close());
}

} // namespace

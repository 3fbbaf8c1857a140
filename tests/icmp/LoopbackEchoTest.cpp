#include "IcmpFixture.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "platform/InternetChecksum.h"
#include "support/Loopback.h"
#include "support/NetworkTopology.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>
#include <vector>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

struct PingResult {
    int status;
    uint32_t ip;
    int roundtime;
    uint32_t us = 0; // the component's RoundTripMicroseconds during the event
};

class LoopbackEcho : public IcmpFixture {
protected:
    void Watch(TPing& ping)
    {
        ping.OnPing = [this, &ping](TObject*, int s, uint32_t ip, int rt) {
            results.push_back({s, ip, rt, ping.RoundTripMicroseconds()});
        };
    }
    // Reloads the library restricted to one facility.
    void ReloadLibraryWith(IcmpFacility facility)
    {
        EndIcmpModule();
        icmplib::testing::UseOnly(facility);
        ProbeIcmp();
    }
    // Pings 127.0.0.1 through the library over a raw socket, inside a fresh
    // namespace whose firewall drops ICMP messages of a type at a hook.
    void PingThroughFirewall(const char* role, const char* hook, const char* type, uint32_t timeoutMs)
    {
        testsupport::NetNamespace ns(role);
        ASSERT_EQ(ns.Exec("ip link set lo up"), 0);
        ASSERT_TRUE(ns.DropIcmp(hook, type)) << "nftables is needed";
        testsupport::EnterNamespace inside(ns);
        ASSERT_TRUE(inside.ok());
        ReloadLibraryWith(IcmpFacility::Raw);
        ForceIcmpMode(imLibrary);
        TPing ping;
        Watch(ping);
        ping.Hostname = "127.0.0.1";
        ping.Timeout = timeoutMs;
        ping.Execute();
    }
    std::vector<PingResult> results;
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
};

class LibraryEcho : public LoopbackEcho, public ::testing::WithParamInterface<IcmpFacility> {};

// Sends an echo reply to 127.0.0.1 as if a host answered the given identifier.
void InjectEchoReply(uint16_t identifier, uint16_t seq)
{
    std::vector<uint8_t> reply(12 + 8, 0xA7);
    reply[0] = 0;
    reply[1] = 0;
    reply[2] = reply[3] = 0;
    std::memcpy(reply.data() + 4, &identifier, 2);
    std::memcpy(reply.data() + 6, &seq, 2);
    const uint32_t stamp = IcmpClock();
    std::memcpy(reply.data() + 8, &stamp, 4);
    const uint16_t sum = InternetChecksum(reply.data(), reply.size());
    std::memcpy(reply.data() + 2, &sum, 2);
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
}

} // namespace

TEST_F(LoopbackEcho, RawPingIsAnsweredOncePerEchoWhateverTheBlocksizeAndOnlyByItsOwnReply)
{
    REQUIRE_ROOT("a raw ICMP socket");
    ForceIcmpMode(imRawPingLibraryTrace);
    TPing ping;
    Watch(ping);
    ping.Hostname = "127.0.0.1";
    for (int size : {64, 33, 0, 255}) {
        results.clear();
        ping.Blocksize = uint8_t(size);
        ping.Execute();
        EXPECT_TRUE(results.empty()) << "raw replies arrive later, as messages";
        ASSERT_TRUE(PumpUntil([&] { return !results.empty(); })) << "blocksize " << size;
        PumpFor(150);
        ASSERT_EQ(results.size(), 1u) << "our own request on loopback is no reply";
        EXPECT_EQ(results[0].status, 0);
        EXPECT_EQ(results[0].ip, loopback);
        EXPECT_GE(results[0].roundtime, 0);
        EXPECT_LT(results[0].roundtime, 1000);
    }

    // Only the first reply to one of our own echoes counts.
    const uint16_t answered = uint16_t(NextRawSequence() - 1);

    InjectEchoReply(uint16_t(ping.Identifier() ^ 0x5A5A), answered); // someone else's
    InjectEchoReply(ping.Identifier(), answered);                     // a duplicate
    InjectEchoReply(ping.Identifier(), uint16_t(answered + 7));       // never sent
    // A marker echo of our own: once its reply is in, the three came before it.
    ping.Execute();
    ASSERT_TRUE(PumpUntil([&] { return results.size() >= 2; }));
    PumpFor(50);
    EXPECT_EQ(results.size(), 2u) << "only our own echoes count, each once";
}

TEST_F(LoopbackEcho, TwoProcessesPingingAtOnceEachCountOnlyTheirOwnReplies)
{
    REQUIRE_ROOT("raw ICMP sockets");
    ForceIcmpMode(imRawPingLibraryTrace);
    constexpr int Echoes = 20;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    // Made before the fork: both processes have their component at one address.
    TPing ping;
    Watch(ping);
    ping.Hostname = "127.0.0.1";
    const pid_t child = ::fork();
    if (child == 0) {
        const uint16_t id = ping.Identifier();
        if (::write(pipeFds[1], &id, sizeof id) != sizeof id)
            ::_exit(2);
    }
    for (int i = 0; i < Echoes; ++i) {
        ping.Execute();
        PumpUntil([&] { return int(results.size()) > i; }, 2000);
    }
    PumpFor(100); // the other process's late replies would arrive meanwhile
    if (child == 0)
        ::_exit(int(results.size()) == Echoes ? 0 : 1);
    uint16_t childId = 0;
    ASSERT_EQ(::read(pipeFds[0], &childId, sizeof childId), ssize_t(sizeof childId));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_NE(childId, ping.Identifier()) << "the process id is part of the identifier";
    EXPECT_EQ(results.size(), size_t(Echoes));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process counted foreign replies";
}

// The library over each facility, in a namespace whose ping_group_range lets
// a datagram socket send ICMP.
TEST_P(LibraryEcho, PingsAndTracesLoopback)
{
    REQUIRE_ROOT("a network namespace");
    testsupport::NetNamespace ns("lib");
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    if (GetParam() == IcmpFacility::Datagram) {
        ReloadLibraryWith(IcmpFacility::Datagram);
        EXPECT_EQ(IcmpMode(), imRawPingNoTrace) << "the range closed (the default): no datagram socket, no library";
    }
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"), 0);
    ReloadLibraryWith(GetParam());
    ASSERT_EQ(LoadedIcmpFacility(), GetParam());
    ForceIcmpMode(imLibrary);

    TPing ping;
    Watch(ping);
    ping.Hostname = "localhost";
    for (uint8_t size : {0, 33, 200}) {
        ping.Blocksize = size;
        ping.Execute();
    }
    ASSERT_EQ(results.size(), 3u) << "the library reports before Execute returns";
    for (const PingResult& r : results) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.ip, loopback);
    }

    TTraceRoute trace;
    trace.Hostname = "127.0.0.1";
    trace.ResolveHostname = true;
    std::vector<std::tuple<int, uint32_t>> hops;
    trace.OnRoute = [&](TObject*, uint8_t hop, uint32_t ip, int) { hops.emplace_back(hop, ip); };
    trace.Execute();
    EXPECT_EQ(hops, (std::vector<std::tuple<int, uint32_t>>{{1, loopback}}));
    EXPECT_EQ(trace.HopList, std::vector<std::string>{"localhost"});
}

// Round trips come from the kernel's receive stamps in microseconds on every
// path: the raw ping and the library over either socket. Ten loopback echoes
// that all took a whole number of milliseconds would mean no microseconds.
TEST_F(LoopbackEcho, EveryPathMeasuresRoundTripsInMicroseconds)
{
    REQUIRE_ROOT("raw ICMP sockets and a network namespace");
    testsupport::NetNamespace ns("us");
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"), 0);
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    for (const char* path : {"raw ping", "library, raw", "library, datagram"}) {
        const std::string which = path;
        if (which == "raw ping") {
            ForceIcmpMode(imRawPingLibraryTrace);
        } else {
            ReloadLibraryWith(which == "library, raw" ? IcmpFacility::Raw : IcmpFacility::Datagram);
            ForceIcmpMode(imLibrary);
        }
        TPing ping;
        Watch(ping);
        ping.Hostname = "127.0.0.1";
        results.clear();
        for (int i = 0; i < 10; ++i)
            ping.Execute();
        ASSERT_TRUE(PumpUntil([&] { return results.size() == 10; })) << path;
        bool finerThanMs = false;
        for (const PingResult& r : results) {
            EXPECT_EQ(r.status, 0) << path;
            finerThanMs = finerThanMs || r.us % 1000 != 0;
            // The line's milliseconds and the summary's microseconds agree.
            EXPECT_EQ(uint32_t(r.roundtime), r.us / 1000) << path;
        }
        EXPECT_TRUE(finerThanMs) << path << ": every round trip a whole number of milliseconds";
    }
}

INSTANTIATE_TEST_SUITE_P(Facilities, LibraryEcho, ::testing::Values(IcmpFacility::Raw, IcmpFacility::Datagram),
                         [](const ::testing::TestParamInfo<IcmpFacility>& info) {
                             return info.param == IcmpFacility::Raw ? "Raw" : "Datagram";
                         });

TEST_F(LoopbackEcho, SilenceIsATimeOutWithTheTargetAndALocalSendFailureIsAGeneralFailure)
{
    REQUIRE_ROOT("a network namespace");
    // The request goes out, but its reply is dropped: a truly silent target.
    const auto start = std::chrono::steady_clock::now();
    PingThroughFirewall("to", "input", "echo-reply", 300);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300)) << "the whole timeout elapsed";
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, 11010);
    EXPECT_EQ(results[0].ip, loopback);
    EXPECT_EQ(results[0].roundtime, 0);

    // The firewall refuses the request on its way out: sendto fails at once.
    results.clear();
    PingThroughFirewall("sf", "output", "echo-request", 5000);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, int(IP_GENERAL_FAILURE));
}

// What desktop users get: no raw sockets, ICMP through a datagram socket that
// net.ipv4.ping_group_range allows. A forked child drops root inside a
// namespace whose range is open and pings and traces from there.
TEST_F(LoopbackEcho, AnUnprivilegedUserPingsAndTracesThroughADatagramSocket)
{
    REQUIRE_ROOT("a network namespace and a change of user");
    testsupport::NetNamespace ns("up");
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        testsupport::EnterNamespace inside(ns);
        if (!inside.ok() || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        if (::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0)
            ::_exit(11); // still privileged: the test would prove nothing
        EndIcmpModule();
        ProbeIcmp();
        if (IcmpMode() != imLibrary || LoadedIcmpFacility() != IcmpFacility::Datagram)
            ::_exit(12);
        TPing ping;
        ping.Hostname = "127.0.0.1";
        int status = -1;
        ping.OnPing = [&](TObject*, int s, uint32_t, int) { status = s; };
        ping.Execute();
        if (status != 0)
            ::_exit(13);
        TTraceRoute trace;
        trace.Hostname = "127.0.0.1";
        int hops = 0;
        trace.OnRoute = [&](TObject*, uint8_t, uint32_t, int) { ++hops; };
        trace.Execute();
        ::_exit(hops == 1 && trace.LastStatus == IP_SUCCESS ? 0 : 14);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setup, 11 still privileged, 12 probe, 13 ping, 14 trace";
}

// The raw ping and the library answer alike: the target's reply, a router's
// "time exceeded" or "unreachable", a time-out, and a refused time-to-live of 0.
TEST_F(LoopbackEcho, EveryPathReportsWhatTheRouteAnswers)
{
    REQUIRE_ROOT("raw ICMP sockets and network namespaces");
    using testsupport::RouteTopology;
    RouteTopology topology;
    ASSERT_TRUE(topology.ok());
    ASSERT_TRUE(topology.RejectAndSilenceRouter1()) << "nftables is needed";
    testsupport::EnterNamespace inside(topology.client);
    ASSERT_TRUE(inside.ok());

    struct Case {
        const char* host;
        uint8_t ttl;
        uint32_t status;
        const char* from;
    };
    const Case cases[] = {
        {RouteTopology::TargetAddress, 64, IP_SUCCESS, RouteTopology::TargetAddress},
        {RouteTopology::TargetAddress, 2, IP_TTL_EXPIRED_TRANSIT, RouteTopology::Router2},
        {RouteTopology::UnreachableAddress, 64, IP_DEST_HOST_UNREACHABLE, RouteTopology::Router1},
        {RouteTopology::TargetAddress, 1, IP_REQ_TIMED_OUT, RouteTopology::TargetAddress}, // the first router is silent
        {RouteTopology::TargetAddress, 0, IP_BAD_OPTION, RouteTopology::TargetAddress},
    };
    for (const bool raw : {true, false}) {
        if (raw) {
            ForceIcmpMode(imRawPingLibraryTrace);
        } else {
            ReloadLibraryWith(IcmpFacility::Raw);
            ForceIcmpMode(imLibrary);
        }
        TPing ping;
        Watch(ping);
        ping.Timeout = 300;
        for (const Case& c : cases) {
            results.clear();
            ping.Hostname = c.host;
            ping.TimeToLive = c.ttl;
            ping.Execute();
            ASSERT_TRUE(PumpUntil([&] { return !results.empty() && ping.Awaiting() == 0; }))
                << (raw ? "raw" : "library") << " ttl " << int(c.ttl) << " to " << c.host;
            EXPECT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0].status, int(c.status)) << (raw ? "raw" : "library") << " ttl " << int(c.ttl);
            EXPECT_EQ(results[0].ip, ::inet_addr(c.from)) << (raw ? "raw" : "library") << " ttl " << int(c.ttl);
        }
    }
}

#include "IcmpFixture.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "platform/InternetChecksum.h"
#include "support/Loopback.h"
#include "support/NetworkTopology.h"

#include <arpa/inet.h>
#include <cstring>
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
};

class LoopbackEcho : public IcmpFixture {
protected:
    void Watch(TPing& ping)
    {
        ping.OnPing = [this](TObject*, int s, uint32_t ip, int rt) { results.push_back({s, ip, rt}); };
    }
    // Reloads the library restricted to one facility.
    void ReloadLibraryWith(IcmpFacility facility)
    {
        EndIcmpModule();
        icmplib::testing::UseOnly(facility);
        ProbeIcmp();
    }
    std::vector<PingResult> results;
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
};

// Sends an echo reply to 127.0.0.1 as if a host answered the given identifier.
void InjectEchoReply(uint16_t identifier)
{
    std::vector<uint8_t> reply(12 + 8, 0xA7);
    reply[0] = 0;
    reply[1] = 0;
    reply[2] = reply[3] = 0;
    std::memcpy(reply.data() + 4, &identifier, 2);
    const uint16_t seq = 0;
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

TEST_F(LoopbackEcho, RawPingIsAnsweredOncePerEchoWhateverTheBlocksize)
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
}

TEST_F(LoopbackEcho, ARawReplyForAnotherIdentifierIsIgnored)
{
    REQUIRE_ROOT("raw ICMP sockets");
    ForceIcmpMode(imRawPingLibraryTrace);
    TPing ping;
    Watch(ping);
    ping.Hostname = "127.0.0.1";
    ping.Execute(); // opens the raw socket
    ASSERT_TRUE(PumpUntil([&] { return results.size() == 1; }));

    InjectEchoReply(uint16_t(ping.Identifier() ^ 0x5A5A));
    PumpFor(200);
    EXPECT_EQ(results.size(), 1u);

    InjectEchoReply(ping.Identifier());
    ASSERT_TRUE(PumpUntil([&] { return results.size() == 2; })) << "a reply with our identifier counts";
    EXPECT_EQ(results[1].ip, loopback);
}

TEST_F(LoopbackEcho, TheLibraryOverARawSocketPingsAndTraces)
{
    REQUIRE_ROOT("a raw ICMP socket");
    ReloadLibraryWith(IcmpFacility::Raw);
    ASSERT_EQ(LoadedIcmpFacility(), IcmpFacility::Raw);
    ForceIcmpMode(imLibrary);

    TPing ping;
    Watch(ping);
    ping.Hostname = "localhost";
    ping.Blocksize = 33;
    ping.Execute();
    ASSERT_EQ(results.size(), 1u) << "the library reports before Execute returns";
    EXPECT_EQ(results[0].status, 0);
    EXPECT_EQ(results[0].ip, loopback);

    TTraceRoute trace;
    trace.Hostname = "127.0.0.1";
    trace.ResolveHostname = true;
    std::vector<std::tuple<int, uint32_t>> hops;
    trace.OnRoute = [&](TObject*, uint8_t hop, uint32_t ip, int) { hops.emplace_back(hop, ip); };
    trace.Execute();
    EXPECT_EQ(hops, (std::vector<std::tuple<int, uint32_t>>{{1, loopback}}));
    EXPECT_EQ(trace.HopList, std::vector<std::string>{"localhost"});
}

TEST_F(LoopbackEcho, TheLibraryUsesADatagramSocketWherePingGroupRangeAllows)
{
    REQUIRE_ROOT("a network namespace");
    testsupport::NetNamespace ns("dg");
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());

    // Closed range (the default): no datagram facility, so no library.
    ReloadLibraryWith(IcmpFacility::Datagram);
    EXPECT_EQ(IcmpMode(), imRawPingNoTrace);

    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"), 0);
    ReloadLibraryWith(IcmpFacility::Datagram);
    ASSERT_EQ(LoadedIcmpFacility(), IcmpFacility::Datagram);
    ForceIcmpMode(imLibrary);

    TPing ping;
    Watch(ping);
    ping.Hostname = "127.0.0.1";
    ping.Blocksize = 0;
    ping.Execute();
    ping.Blocksize = 200;
    ping.Execute();
    ASSERT_EQ(results.size(), 2u);
    for (const PingResult& r : results) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.ip, loopback);
    }

    TTraceRoute trace;
    trace.Hostname = "127.0.0.1";
    int hops = 0;
    trace.OnRoute = [&](TObject*, uint8_t hop, uint32_t ip, int) {
        ++hops;
        EXPECT_EQ(hop, 1);
        EXPECT_EQ(ip, loopback);
    };
    trace.Execute();
    EXPECT_EQ(hops, 1);
}

TEST_F(LoopbackEcho, NoAnswerWithinTheTimeoutReportsTimedOutWithTheTarget)
{
    REQUIRE_ROOT("a network namespace");
    testsupport::NetNamespace ns("to");
    // Echo requests leaving this namespace's stack are dropped: nobody answers.
    ASSERT_EQ(ns.Exec("nft add table ip mute"), 0) << "nftables is needed";
    ASSERT_EQ(ns.Exec("nft add chain ip mute out '{ type filter hook output priority 0; }'"), 0);
    ASSERT_EQ(ns.Exec("nft add rule ip mute out icmp type echo-request drop"), 0);
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    ReloadLibraryWith(IcmpFacility::Raw);
    ForceIcmpMode(imLibrary);

    TPing ping;
    Watch(ping);
    ping.Hostname = "127.0.0.1";
    ping.Timeout = 300;
    ping.Execute();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, 11010);
    EXPECT_EQ(results[0].ip, loopback);
    EXPECT_EQ(results[0].roundtime, 0);
}

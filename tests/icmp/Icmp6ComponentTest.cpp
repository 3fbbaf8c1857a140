#include "IcmpFixture.h"
#include "icmp/EICMPError.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "support/NetworkTopology.h"
#include "support/PrivateHosts.h"

#include <string>
#include <tuple>
#include <vector>

namespace {

using Hop = std::tuple<int, std::string>;

class Icmp6Components : public IcmpFixture {
protected:
    void TearDown() override
    {
        icmp6::testing::UseOnly(IcmpFacility::None);
        IcmpFixture::TearDown();
    }
    // Pings once; the status and address OnPing6 reported. OnPing must stay quiet.
    std::tuple<int, std::string> Ping(const std::string& host, uint8_t hopLimit = 64)
    {
        TPing ping;
        ping.Hostname = host;
        ping.TimeToLive = hopLimit;
        ping.Timeout = 1000;
        std::tuple<int, std::string> got{-1, ""};
        int events = 0;
        ping.OnPing = [&](TObject*, int, uint32_t, int) { ADD_FAILURE() << "an IPv4 event for " << host; };
        ping.OnPing6 = [&](TObject*, int status, const std::string& address, int roundtime) {
            got = {status, address};
            ++events;
            EXPECT_EQ(uint32_t(roundtime), ping.RoundTripMicroseconds() / 1000) << "one measurement, two units";
        };
        ping.Execute();
        EXPECT_EQ(events, 1) << host;
        EXPECT_TRUE(ping.TargetIsIpv6()) << host;
        return got;
    }
    std::vector<Hop> Trace(const std::string& host, TTraceRoute& trace)
    {
        std::vector<Hop> hops;
        trace.Hostname = host;
        trace.Timeout = 300;
        trace.OnRoute = [&](TObject*, uint8_t, uint32_t, int) { ADD_FAILURE() << "an IPv4 event for " << host; };
        trace.OnRoute6 = [&](TObject*, uint8_t hop, const std::string& address, int) { hops.emplace_back(hop, address); };
        trace.OnSilentHop = [&](TObject*, uint8_t hop) { hops.emplace_back(hop, "*"); };
        trace.Execute();
        return hops;
    }
};

} // namespace

TEST_F(Icmp6Components, PingAndTraceReachLoopbackTypedAsAnIpv6Literal)
{
    if (LoadedIcmp6Facility() == IcmpFacility::None) {
        TPing ping;
        ping.Hostname = "::1";
        EXPECT_THROW(ping.Execute(), EICMPError) << "no ICMPv6 socket here: the user is told how to allow one";
        return;
    }
    for (const char* host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"})
        EXPECT_EQ(Ping(host), std::make_tuple(0, std::string("::1")));
    EXPECT_EQ(Ping("::1", 0), std::make_tuple(int(IP_BAD_OPTION), std::string("::1")));

    TTraceRoute trace;
    EXPECT_EQ(Trace("[::1]", trace), std::vector<Hop>{Hop(1, "::1")});
    EXPECT_EQ(trace.LastStatus, IP_SUCCESS);
    EXPECT_EQ(trace.HopList, std::vector<std::string>{"::1"});

    // IPv4 keeps its own path.
    TPing ping;
    ping.Hostname = "127.0.0.1";
    ping.Timeout = 1000;
    ForceIcmpMode(imNone);
    EXPECT_THROW(ping.Execute(), EICMPError);
    EXPECT_FALSE(ping.TargetIsIpv6());
}

TEST_F(Icmp6Components, TraceWalksTheIpv6RoutePastASilentRouterAndStopsAtARejection)
{
    REQUIRE_ROOT("network namespaces");
    using testsupport::RouteTopology6;
    RouteTopology6 topology;
    ASSERT_TRUE(topology.ok());
    ASSERT_TRUE(topology.RejectAtRouter1AndSilenceRouter2()) << "nftables is needed";
    testsupport::EnterNamespace inside(topology.client);
    ASSERT_TRUE(inside.ok());

    EXPECT_EQ(Ping(RouteTopology6::TargetAddress), std::make_tuple(0, std::string(RouteTopology6::TargetAddress)));
    EXPECT_EQ(Ping(RouteTopology6::TargetAddress, 1),
              std::make_tuple(int(IP_TTL_EXPIRED_TRANSIT), std::string(RouteTopology6::Router1)));
    EXPECT_EQ(Ping(RouteTopology6::TargetAddress, 2),
              std::make_tuple(int(IP_REQ_TIMED_OUT), std::string(RouteTopology6::TargetAddress)));

    TTraceRoute trace;
    EXPECT_EQ(Trace(RouteTopology6::TargetAddress, trace),
              (std::vector<Hop>{{1, RouteTopology6::Router1}, {2, "*"}, {3, RouteTopology6::TargetAddress}}))
        << "the silent second router gets its silent-hop event only";
    EXPECT_EQ(trace.LastStatus, IP_SUCCESS);
    TTraceRoute rejected;
    EXPECT_EQ(Trace(RouteTopology6::RejectedAddress, rejected),
              (std::vector<Hop>{{1, RouteTopology6::Router1}, {2, RouteTopology6::Router1}}));
    EXPECT_EQ(rejected.LastStatus, IP_DEST_HOST_UNREACHABLE);
}

TEST_F(Icmp6Components, AMultiHomedTargetAnswersFromTheAddressPinged)
{
    REQUIRE_ROOT("network namespaces");
    using testsupport::RouteTopology6;
    RouteTopology6 topology;
    ASSERT_TRUE(topology.ok());
    testsupport::EnterNamespace inside(topology.client);
    ASSERT_TRUE(inside.ok());

    for (const char* address : {RouteTopology6::TargetAddress, RouteTopology6::TargetSecondAddress})
        EXPECT_EQ(Ping(address), std::make_tuple(0, std::string(address)));

    TTraceRoute trace;
    trace.ResolveHostname = false;
    EXPECT_EQ(Trace(RouteTopology6::TargetSecondAddress, trace),
              (std::vector<Hop>{{1, RouteTopology6::Router1},
                                {2, RouteTopology6::Router2},
                                {3, RouteTopology6::TargetSecondAddress}}));
    EXPECT_EQ(trace.LastStatus, IP_SUCCESS);
    EXPECT_EQ(trace.HopList, (std::vector<std::string>{RouteTopology6::Router1, RouteTopology6::Router2,
                                                         RouteTopology6::TargetSecondAddress}));
}

TEST_F(Icmp6Components, ANameIsReachedByTheFamilyTheOrderPutsFirst)
{
    REQUIRE_ROOT("a network namespace and a private hosts file");
    // The names' IPv6 address lives on this namespace's own loopback: every
    // echo stays inside. (The resolver turns a name's ::1 into 127.0.0.1 for
    // IPv4 look-ups, so ::1 cannot stand for an IPv6-only name.)
    testsupport::NetNamespace ns("o6");
    ASSERT_EQ(ns.Exec("ip -6 addr add fd00:201:42::1/128 dev lo nodad"), 0);
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    testsupport::PrivateHosts names("127.0.0.1 both.vexmor.test\nfd00:201:42::1 both.vexmor.test\n"
                                    "fd00:201:42::1 v6only.vexmor.test\n");
    if (!names.Failure().empty())
        GTEST_SKIP() << names.Failure();
    const auto family = [&](const std::string& host, AddressOrder order) {
        TPing ping;
        ping.Hostname = host;
        ping.Order = order;
        ping.Timeout = 1000;
        std::string answered;
        ping.OnPing = [&](TObject*, int, uint32_t ip, int) { answered = "IPv4 " + DottedAddress(ip); };
        ping.OnPing6 = [&](TObject*, int, const std::string& address, int) { answered = "IPv6 " + address; };
        ping.Execute();
        return answered;
    };
    ForceIcmpMode(imLibrary);
    ASSERT_EQ(LoadedIcmp6Facility(), IcmpFacility::Raw);
    EXPECT_EQ(family("both.vexmor.test", AddressOrder::IPv4First), "IPv4 127.0.0.1");
    EXPECT_EQ(family("both.vexmor.test", AddressOrder::IPv6First), "IPv6 fd00:201:42::1");
    EXPECT_EQ(family("v6only.vexmor.test", AddressOrder::IPv4First), "IPv6 fd00:201:42::1") << "its only family";
    EXPECT_EQ(family("v6only.vexmor.test", AddressOrder::System), "IPv6 fd00:201:42::1");
    EXPECT_EQ(family("127.0.0.1", AddressOrder::IPv6First), "IPv4 127.0.0.1") << "a literal is what it says";
}

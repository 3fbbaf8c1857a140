#include "IcmpFixture.h"
#include "icmp/EICMPError.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "support/NetworkTopology.h"

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

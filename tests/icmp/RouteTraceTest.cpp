#include "IcmpFixture.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"
#include "support/NetworkTopology.h"

#include <memory>
#include <string>
#include <tuple>
#include <vector>

using testsupport::EnterNamespace;
using testsupport::RouteTopology;

namespace {

using Hop = std::tuple<int, std::string>;

// Traces across client -> r1 -> r2 -> target, from inside the client namespace,
// with the library on each facility in turn.
class RouteTrace : public IcmpFixture, public ::testing::WithParamInterface<IcmpFacility> {
protected:
    void SetUp() override
    {
        IcmpFixture::SetUp();
        if (!IsRoot())
            GTEST_SKIP() << "needs root to build network namespaces";
        topology = std::make_unique<RouteTopology>();
        ASSERT_TRUE(topology->ok()) << "could not build the namespace topology";
        topology->client.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'");
        inside = std::make_unique<EnterNamespace>(topology->client);
        ASSERT_TRUE(inside->ok());
        EndIcmpModule();
        icmplib::testing::UseOnly(GetParam());
        ProbeIcmp();
        ASSERT_EQ(LoadedIcmpFacility(), GetParam());
        ForceIcmpMode(imLibrary);
    }
    void TearDown() override
    {
        inside.reset();
        topology.reset();
        IcmpFixture::TearDown();
    }

    std::vector<Hop> Trace(uint8_t timeToLive = 255, const char* host = RouteTopology::TargetAddress)
    {
        TTraceRoute trace;
        trace.Hostname = host;
        trace.TimeToLive = timeToLive;
        trace.Timeout = 400;
        std::vector<Hop> hops;
        trace.OnRoute = [&](TObject*, uint8_t hop, uint32_t ip, int) {
            hops.emplace_back(hop, DottedAddress(ip));
            statuses.push_back(trace.LastStatus);
        };
        trace.Execute();
        hopList = trace.HopList;
        return hops;
    }

    std::unique_ptr<RouteTopology> topology;
    std::unique_ptr<EnterNamespace> inside;
    std::vector<std::string> hopList;
    std::vector<uint32_t> statuses;
};

} // namespace

TEST_P(RouteTrace, ReportsEachRouterAndTheTargetLastOrStopsAtTheTimeToLive)
{
    const std::vector<Hop> expected = {
        {1, RouteTopology::Router1}, {2, RouteTopology::Router2}, {3, RouteTopology::TargetAddress}};
    EXPECT_EQ(Trace(), expected);
    EXPECT_EQ(hopList, (std::vector<std::string>{RouteTopology::Router1, RouteTopology::Router2,
                                                 RouteTopology::TargetAddress}));
    EXPECT_EQ(Trace(2), (std::vector<Hop>{{1, RouteTopology::Router1}, {2, RouteTopology::Router2}}));
    EXPECT_EQ(Trace(1), (std::vector<Hop>{{1, RouteTopology::Router1}}));
}

TEST_P(RouteTrace, ASilentRouterIsSkippedAndTheTraceGoesOn)
{
    ASSERT_TRUE(topology->r2.DropIcmp("output", "time-exceeded")) << "nftables is needed";
    EXPECT_EQ(Trace(), (std::vector<Hop>{{1, RouteTopology::Router1},
                                         {3, RouteTopology::TargetAddress}}));
}

TEST_P(RouteTrace, AnUnreachableRouteIsReportedByThatRouterAndEndsTheTraceThere)
{
    ASSERT_EQ(topology->r1.Exec("ip route replace unreachable 10.201.3.0/24"), 0);
    TPing ping;
    ping.Hostname = RouteTopology::TargetAddress;
    ping.Timeout = 1000;
    std::vector<std::tuple<int, std::string>> got;
    ping.OnPing = [&](TObject*, int status, uint32_t ip, int) { got.emplace_back(status, DottedAddress(ip)); };
    ping.Execute();
    EXPECT_EQ(got, (std::vector<std::tuple<int, std::string>>{{11003, RouteTopology::Router1}}));
    EXPECT_EQ(Trace(), (std::vector<Hop>{{1, RouteTopology::Router1}})) << "no probing on to the hop limit";
    EXPECT_EQ(statuses, std::vector<uint32_t>{IP_DEST_HOST_UNREACHABLE});
}

TEST_P(RouteTrace, AnEchoReplyFromAnotherAddressEndsTheTrace)
{
    // The local stack answers 0.0.0.0 from 127.0.0.1.
    ASSERT_EQ(topology->client.Exec("ip link set lo up"), 0);
    EXPECT_EQ(Trace(255, "0.0.0.0"), (std::vector<Hop>{{1, "127.0.0.1"}}));
    EXPECT_EQ(statuses, std::vector<uint32_t>{IP_SUCCESS});
}

INSTANTIATE_TEST_SUITE_P(Facilities, RouteTrace,
                         ::testing::Values(IcmpFacility::Raw, IcmpFacility::Datagram),
                         [](const ::testing::TestParamInfo<IcmpFacility>& info) {
                             return info.param == IcmpFacility::Raw ? std::string("Raw")
                                                                    : std::string("Datagram");
                         });

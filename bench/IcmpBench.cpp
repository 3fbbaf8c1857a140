// Measures, on loopback, one library echo against iputils ping, and the wall
// time of a three-hop trace across network namespaces. Run as root.

#include "icmp/IcmpModule.h"
#include "icmp/TTraceRoute.h"
#include "platform/icmplib.h"
#include "sock/AddressHelpers.h"
#include "support/NetworkTopology.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double EchoWallMs(HANDLE h, uint32_t target, uint8_t ttl)
{
    std::vector<uint8_t> reply(64 + 44);
    const std::string data(64, char(0xA7));
    IP_OPTION_INFORMATION options;
    options.Ttl = ttl;
    const auto start = Clock::now();
    IcmpSendEcho(h, target, data.data(), 64, &options, reply.data(), uint32_t(reply.size()), 1000);
    return Ms(Clock::now() - start);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double PingAverageMs()
{
    FILE* p = ::popen("ping -q -c 1000 -i 0.002 127.0.0.1 2>&1", "r");
    if (!p)
        return -1;
    char line[512];
    double min = 0, avg = -1, max = 0;
    while (std::fgets(line, sizeof line, p))
        std::sscanf(line, "rtt min/avg/max/mdev = %lf/%lf/%lf", &min, &avg, &max);
    ::pclose(p);
    return avg;
}

void LoopbackEcho()
{
    LoadIcmpLibrary();
    const HANDLE h = IcmpCreateFile();
    std::vector<double> walls;
    for (int i = 0; i < 1000; ++i)
        walls.push_back(EchoWallMs(h, htonl(INADDR_LOOPBACK), 64));
    IcmpCloseHandle(h);
    const double ours = Median(walls);
    const double ping = PingAverageMs();
    std::printf("loopback: median IcmpSendEcho wall %.3f ms, ping average rtt %.3f ms, "
                "difference %.3f ms\n", ours, ping, ours - ping);
}

void NamespaceTrace()
{
    testsupport::RouteTopology topology;
    if (!topology.ok()) {
        std::printf("trace: could not build the namespace topology (root needed)\n");
        return;
    }
    testsupport::EnterNamespace inside(topology.client);
    LoadIcmpLibrary();
    ForceIcmpMode(imLibrary);
    ProbeIcmp();
    ForceIcmpMode(imLibrary);
    const uint32_t target = ResolveAddress(testsupport::RouteTopology::TargetAddress);

    const HANDLE h = IcmpCreateFile();
    std::vector<double> hopWalls(3, 0);
    for (uint8_t ttl = 1; ttl <= 3; ++ttl)
        EchoWallMs(h, target, ttl); // warm the neighbour caches
    for (int round = 0; round < 50; ++round)
        for (uint8_t ttl = 1; ttl <= 3; ++ttl)
            hopWalls[ttl - 1] += EchoWallMs(h, target, ttl) / 50;
    IcmpCloseHandle(h);
    const double hopSum = hopWalls[0] + hopWalls[1] + hopWalls[2];

    std::vector<double> traces;
    for (int i = 0; i < 50; ++i) {
        TTraceRoute trace;
        trace.Hostname = testsupport::RouteTopology::TargetAddress;
        int hops = 0;
        trace.OnRoute = [&hops](TObject*, uint8_t, uint32_t, int) { ++hops; };
        const auto start = Clock::now();
        trace.Execute();
        traces.push_back(Ms(Clock::now() - start));
        if (hops != 3)
            std::printf("trace %d reported %d hops\n", i, hops);
    }
    const double traceMs = Median(traces);
    std::printf("trace: 3-hop trace median %.3f ms, sum of hop round trips %.3f ms, ratio %.2f\n",
                traceMs, hopSum, traceMs / hopSum);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    StartAddressHelpers();
    LoopbackEcho();
    NamespaceTrace();
    EndIcmpModule();
    EndAddressHelpers();
    return 0;
}

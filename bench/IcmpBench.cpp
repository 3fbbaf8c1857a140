// Measures, on loopback, one library echo against iputils ping, and the wall
// time of a three-hop trace across network namespaces against the round trips
// of its three hops. Run as root. Exits non-zero, saying why, when an echo goes
// unanswered throughout or the figures cannot both be true.

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

struct Echo {
    double wallMs = 0;
    bool answered = false; // a reply came (not a time-out)
    uint32_t status = 0;
    uint32_t from = 0;
};

Echo TimedEcho(HANDLE h, uint32_t target, uint8_t ttl)
{
    std::vector<uint8_t> reply(64 + 44);
    const std::string data(64, char(0xA7));
    IP_OPTION_INFORMATION options;
    options.Ttl = ttl;
    Echo e;
    const auto start = Clock::now();
    e.answered = IcmpSendEcho(h, target, data.data(), 64, &options, reply.data(), uint32_t(reply.size()), 1000) == 1;
    e.wallMs = Ms(Clock::now() - start);
    if (e.answered) {
        const auto* head = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
        e.status = head->Status;
        e.from = head->Address;
    }
    return e;
}

int Refuse(const std::string& why)
{
    std::fprintf(stderr, "icmp_bench: %s\n", why.c_str());
    return 1;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1;
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

int LoopbackEcho()
{
    LoadIcmpLibrary();
    const HANDLE h = IcmpCreateFile();
    if (h == INVALID_HANDLE_VALUE)
        return Refuse("no ICMP socket (run as root)");
    std::vector<double> walls;
    for (int i = 0; i < 1000; ++i) {
        const Echo e = TimedEcho(h, htonl(INADDR_LOOPBACK), 64);
        if (e.answered && e.status == IP_SUCCESS)
            walls.push_back(e.wallMs);
    }
    IcmpCloseHandle(h);
    if (walls.size() < 900)
        return Refuse(std::to_string(1000 - walls.size()) + " of 1000 loopback echoes went unanswered");
    const double ours = Median(walls);
    const double ping = PingAverageMs();
    std::printf("loopback: median IcmpSendEcho wall %.3f ms, ping average rtt %.3f ms, "
                "difference %.3f ms\n", ours, ping, ours - ping);
    return 0;
}

int NamespaceTrace()
{
    testsupport::RouteTopology topology;
    if (!topology.ok())
        return Refuse("could not build the namespace topology (root needed)");
    testsupport::EnterNamespace inside(topology.client);
    EndIcmpModule();
    ProbeIcmp();
    ForceIcmpMode(imLibrary);
    using testsupport::RouteTopology;
    const uint32_t target = ResolveAddress(RouteTopology::TargetAddress);
    // What each hop must answer: "time exceeded" from each router, then the echo reply.
    const uint32_t expectedFrom[3] = {ResolveAddress(RouteTopology::Router1), ResolveAddress(RouteTopology::Router2),
                                      target};
    const uint32_t expectedStatus[3] = {IP_TTL_EXPIRED_TRANSIT, IP_TTL_EXPIRED_TRANSIT, IP_SUCCESS};

    // Each hop's round trip is the median of its answered echoes. An echo the
    // kernel's ICMP rate limit leaves unanswered waits out the whole time-out:
    // averaged in, one such echo in fifty added 20 ms to a hop of 20 us.
    constexpr int Rounds = 50;
    const HANDLE h = IcmpCreateFile();
    std::vector<std::vector<double>> hopWalls(3);
    int unanswered = 0;
    for (uint8_t ttl = 1; ttl <= 3; ++ttl)
        TimedEcho(h, target, ttl); // warm the neighbour caches
    for (int round = 0; round < Rounds; ++round)
        for (int hop = 0; hop < 3; ++hop) {
            const Echo e = TimedEcho(h, target, uint8_t(hop + 1));
            if (!e.answered) {
                ++unanswered;
                continue;
            }
            if (e.status != expectedStatus[hop] || e.from != expectedFrom[hop])
                return Refuse("hop " + std::to_string(hop + 1) + " answered status " + std::to_string(e.status) +
                              " from " + DottedAddress(e.from) + ", not the route's own answer");
            hopWalls[size_t(hop)].push_back(e.wallMs);
        }
    IcmpCloseHandle(h);
    double hopSum = 0;
    for (int hop = 0; hop < 3; ++hop) {
        if (hopWalls[size_t(hop)].size() < Rounds / 2)
            return Refuse("hop " + std::to_string(hop + 1) + " went unanswered in most rounds");
        hopSum += Median(hopWalls[size_t(hop)]);
    }

    std::vector<double> traces;
    for (int i = 0; i < Rounds; ++i) {
        TTraceRoute trace;
        trace.Hostname = RouteTopology::TargetAddress;
        trace.Timeout = 1000;
        int hops = 0;
        trace.OnRoute = [&hops](TObject*, uint8_t, uint32_t, int) { ++hops; };
        const auto start = Clock::now();
        trace.Execute();
        const double wall = Ms(Clock::now() - start);
        // A trace that lost a probe waited out a time-out: not a trace's time.
        if (hops == 3 && trace.LastStatus == IP_SUCCESS && wall < 1000)
            traces.push_back(wall);
    }
    if (traces.size() < Rounds / 2)
        return Refuse("most traces did not reach the target in three hops");
    const double traceMs = Median(traces);
    std::printf("trace: 3-hop trace median %.3f ms, sum of the hops' median round trips %.3f ms, ratio %.2f "
                "(%d of %d hop echoes and %d of %d traces lost an answer and are left out)\n",
                traceMs, hopSum, traceMs / hopSum, unanswered, 3 * Rounds, Rounds - int(traces.size()), Rounds);
    // A trace sends one probe per hop and waits for each answer in turn: it
    // cannot take less than the three round trips (half of them, allowing for
    // the noise of two separate medians).
    if (traceMs < hopSum / 2)
        return Refuse("impossible result: a three-hop trace measured faster than its hops' round trips");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    StartAddressHelpers();
    const int failed = LoopbackEcho() != 0 || NamespaceTrace() != 0;
    EndIcmpModule();
    EndAddressHelpers();
    return failed;
}

// ICMPv6 echo on ::1, ours against iputils `ping -6`, side by side in one run:
// rounds of N echoes each, alternating, so both see the same machine load.
// Prints each side's average round trip and their difference. Then, as root,
// a three-hop IPv6 trace across network namespaces, ours against
// `traceroute -6 -I`, median wall times. Run by hand (root lets ping send
// every 2 ms; without it both sides pace at 200 ms and the trace is skipped).
// Usage: icmp6_bench [echoes per round, default 200] [rounds, default 5]

#include "BenchTiming.h"
#include "icmp/TTraceRoute.h"
#include "platform/icmp6.h"
#include "sock/AddressHelpers.h"
#include "support/NetworkTopology.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Sum {
    double totalMs = 0;
    int count = 0;
    double Average() const { return count ? totalMs / count : -1; }
};

// Our echoes, paced like ping's so neither side runs on a warmer cache.
bool OurRound(HANDLE h, int echoes, std::chrono::microseconds interval, Sum& sum)
{
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const std::string data(56, char(0xA7)); // ping's default payload
    std::vector<uint8_t> reply(sizeof(ICMPV6_ECHO_REPLY) + data.size() + 8);
    for (int i = 0; i < echoes; ++i) {
        const uint32_t n = Icmp6SendEcho2(h, 0, nullptr, nullptr, nullptr, &loopback, data.data(),
                                          uint16_t(data.size()), nullptr, reply.data(), uint32_t(reply.size()), 1000);
        const auto* head = reinterpret_cast<const ICMPV6_ECHO_REPLY*>(reply.data());
        uint32_t us = 0;
        if (n == 1 && head->Status == IP_SUCCESS && IcmpGetRoundTripMicroseconds(h, &us)) {
            sum.totalMs += us / 1000.0;
            ++sum.count;
        }
        std::this_thread::sleep_for(interval);
    }
    return sum.count > 0;
}

// ping's own summary line: rtt min/avg/max/mdev.
bool PingRound(int echoes, const std::string& interval, Sum& sum)
{
    const std::string command = "ping -6 -q -n -c " + std::to_string(echoes) + " -i " + interval + " ::1 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return false;
    char line[512];
    double min = 0, avg = -1, max = 0;
    int received = 0;
    while (std::fgets(line, sizeof line, p)) {
        int sent = 0;
        std::sscanf(line, "%d packets transmitted, %d received", &sent, &received);
        std::sscanf(line, "rtt min/avg/max/mdev = %lf/%lf/%lf", &min, &avg, &max);
    }
    ::pclose(p);
    if (avg < 0 || received <= 0)
        return false;
    sum.totalMs += avg * received;
    sum.count += received;
    return true;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// Three hops: two routers answering "time exceeded", then the target.
int NamespaceTrace(int rounds)
{
    using testsupport::RouteTopology6;
    RouteTopology6 topology;
    if (!topology.ok()) {
        std::fprintf(stderr, "icmp6_bench: could not build the IPv6 namespaces\n");
        return 1;
    }
    std::vector<double> ours, theirs;
    const std::string command = "ip netns exec " + topology.client.name() + " traceroute -6 -I -n -q 1 -w 1 " +
                                RouteTopology6::TargetAddress + " >/dev/null 2>&1";
    for (int i = 0; i < rounds; ++i) {
        {
            testsupport::EnterNamespace inside(topology.client);
            TTraceRoute trace;
            trace.Hostname = RouteTopology6::TargetAddress;
            trace.Timeout = 1000;
            int hops = 0;
            trace.OnRoute6 = [&hops](TObject*, uint8_t, const std::string&, int) { ++hops; };
            const auto start = std::chrono::steady_clock::now();
            trace.Execute();
            if (hops == 3 && trace.LastStatus == IP_SUCCESS)
                ours.push_back(MsSince(start));
        }
        const auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) == 0)
            theirs.push_back(MsSince(start));
    }
    if (ours.size() < size_t(rounds) / 2 || theirs.size() < size_t(rounds) / 2) {
        std::fprintf(stderr, "icmp6_bench: most traces failed (is traceroute installed?)\n");
        return 1;
    }
    std::printf("three-hop IPv6 trace, %d rounds: ours median %.3f ms, traceroute -6 -I median %.3f ms "
                "(a whole process, start-up included)\n",
                rounds, Median(ours), Median(theirs));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    StartAddressHelpers();
    const int echoes = argc > 1 ? std::atoi(argv[1]) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (echoes <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: icmp6_bench [echoes per round] [rounds]\n");
        return 2;
    }
    const bool root = ::geteuid() == 0;
    const auto interval = std::chrono::microseconds(root ? 2000 : 200000);
    const std::string pingInterval = root ? "0.002" : "0.2";

    const HANDLE h = Icmp6CreateFile();
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "icmp6_bench: no ICMPv6 socket: run as root, or open net.ipv4.ping_group_range "
                             "to your group\n");
        return 1;
    }
    const char* path = icmp6::testing::FacilityOf(h) == IcmpFacility::Raw ? "raw" : "datagram";
    Sum ours, ping;
    for (int round = 0; round < rounds; ++round) {
        if (!OurRound(h, echoes, interval, ours) || !PingRound(echoes, pingInterval, ping)) {
            std::fprintf(stderr, "icmp6_bench: round %d: an echo on ::1 went unanswered throughout "
                                 "(is ping installed and IPv6 enabled on lo?)\n",
                         round + 1);
            IcmpCloseHandle(h);
            return 1;
        }
    }
    IcmpCloseHandle(h);
    std::printf("ICMPv6 echo on ::1, %d rounds of %d: ours (%s socket) average %.4f ms over %d replies, "
                "ping -6 average %.4f ms over %d replies, difference %+.4f ms\n",
                rounds, echoes, path, ours.Average(), ours.count, ping.Average(), ping.count,
                ours.Average() - ping.Average());
    const int failed = root ? NamespaceTrace(20) : 0;
    EndAddressHelpers();
    return failed;
}

// ICMPv6 echo on ::1, ours against iputils `ping -6`, side by side in one run:
// rounds of N echoes each, alternating, so both see the same machine load.
// Prints each side's average round trip and their difference. Run by hand
// (root lets ping send every 2 ms; without it both sides pace at 200 ms).
// Usage: icmp6_bench [echoes per round, default 200] [rounds, default 5]

#include "platform/icmp6.h"

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
        if (n == 1 && head->Status == IP_SUCCESS) {
            sum.totalMs += head->RoundTripMicroseconds / 1000.0;
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

} // namespace

int main(int argc, char** argv)
{
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
    return 0;
}

// Loopback round trips measured by our echo paths beside iputils ping's, in one
// run: rounds of K echoes of ours, then K of ping's, at the same pace and
// payload, so both see the same machine. Prints each side's average and the
// difference. Paths: the library in this namespace (a raw socket as root, a
// datagram socket where ping_group_range allows), the component's raw ping
// (root), and, as root, the library's datagram socket in a namespace whose
// ping_group_range is open.
//
//   rtt_bench [echoes, default 200] [pace in ms, default 10]

#include "icmp/IcmpModule.h"
#include "icmp/TPing.h"
#include "platform/icmplib.h"
#include "sock/AddressHelpers.h"
#include "support/Loopback.h"
#include "support/NetworkTopology.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Rounds = 10;
constexpr uint16_t Payload = 56; // ping's default: 64 bytes of ICMP

struct Side {
    double sumMs = 0;
    int count = 0;
    void Add(double ms)
    {
        sumMs += ms;
        ++count;
    }
    double Average() const { return count ? sumMs / count : -1; }
};

// K echoes of iputils ping, each reply's "time=" collected; inside a
// namespace when one is named.
void PingRound(const std::string& ns, int echoes, int paceMs, Side& side)
{
    char command[256];
    std::snprintf(command, sizeof command, "%sping -n -c %d -i %.3f -s %u 127.0.0.1 2>&1",
                  ns.empty() ? "" : ("ip netns exec " + ns + " ").c_str(), echoes, paceMs / 1000.0, Payload);
    FILE* p = ::popen(command, "r");
    if (!p)
        return;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        const char* time = std::strstr(line, "time=");
        double ms = 0;
        if (time && std::sscanf(time, "time=%lf", &ms) == 1)
            side.Add(ms);
    }
    ::pclose(p);
}

// One echo of ours; the round trip in ms, or a negative value when unanswered.
using OurEcho = std::function<double()>;

double LibraryEcho(HANDLE h)
{
    std::vector<uint8_t> reply(sizeof(ICMP_ECHO_REPLY) + Payload + 8);
    const std::string data(Payload, char(0xA7));
    IP_OPTION_INFORMATION options;
    options.Ttl = 64;
    if (IcmpSendEcho(h, htonl(INADDR_LOOPBACK), data.data(), Payload, &options, reply.data(),
                     uint32_t(reply.size()), 1000) != 1)
        return -1;
    uint32_t us = 0;
    if (reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data())->Status != IP_SUCCESS ||
        !IcmpGetRoundTripMicroseconds(h, &us))
        return -1;
    return us / 1000.0;
}

void Compare(const char* path, const std::string& ns, int echoes, int paceMs, const OurEcho& ours)
{
    Side us, ping;
    const int perRound = std::max(1, echoes / Rounds);
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < perRound; ++i) {
            const double ms = ours();
            if (ms >= 0)
                us.Add(ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(paceMs));
        }
        PingRound(ns, perRound, paceMs, ping);
    }
    std::printf("%-34s ours %.4f ms (%d answers), ping %.4f ms (%d answers), difference %+.4f ms\n", path,
                us.Average(), us.count, ping.Average(), ping.count, us.Average() - ping.Average());
}

void CompareLibrary(const char* path, const std::string& ns, int echoes, int paceMs)
{
    const HANDLE h = IcmpCreateFile();
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("%-34s skipped: no ICMP socket for this user\n", path);
        return;
    }
    Compare(path, ns, echoes, paceMs, [h] { return LibraryEcho(h); });
    IcmpCloseHandle(h);
}

void CompareComponentRaw(int echoes, int paceMs)
{
    ForceIcmpMode(imRaw);
    TPing ping;
    ping.Hostname = "127.0.0.1";
    ping.Blocksize = Payload - 4; // its echo carries a 4-byte stamp before the data
    ping.Timeout = 1000;
    double last = -1;
    bool reported = false;
    ping.OnPing = [&](TObject*, int status, uint32_t, int) {
        reported = true;
        last = status == 0 ? ping.RoundTripMicroseconds() / 1000.0 : -1;
    };
    Compare("component raw ping", "", echoes, paceMs, [&] {
        reported = false;
        ping.Execute();
        testsupport::PumpUntil([&] { return reported; }, 2000);
        return reported ? last : -1;
    });
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int echoes = argc > 1 ? std::max(Rounds, std::atoi(argv[1])) : 200;
    const int paceMs = argc > 2 ? std::max(2, std::atoi(argv[2])) : 10;
    std::printf("%d echoes a side to 127.0.0.1, %d ms apart, in %d alternating rounds\n", echoes, paceMs, Rounds);
    StartAddressHelpers();
    ProbeIcmp();
    LoadIcmpLibrary();
    const char* facility = LoadedIcmpFacility() == IcmpFacility::Raw ? "library, raw socket" : "library, datagram socket";
    CompareLibrary(facility, "", echoes, paceMs);
    if (::geteuid() == 0) {
        CompareComponentRaw(echoes, paceMs);
        testsupport::NetNamespace ns("rtt");
        ns.Exec("ip link set lo up");
        ns.Exec("sysctl -q -w net.ipv4.ping_group_range='0 2147483647'");
        testsupport::EnterNamespace inside(ns);
        icmplib::testing::UseOnly(IcmpFacility::Datagram);
        LoadIcmpLibrary();
        CompareLibrary("library, datagram socket (netns)", ns.name(), echoes, paceMs);
        icmplib::testing::UseOnly(IcmpFacility::None);
    }
    EndIcmpModule();
    EndAddressHelpers();
    return 0;
}

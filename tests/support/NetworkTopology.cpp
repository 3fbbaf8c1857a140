#include "support/NetworkTopology.h"

#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testsupport {

int Sh(const std::string& command)
{
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

namespace {
int serial = 0;
}

NetNamespace::NetNamespace(const std::string& role)
    : name_("vxp" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + role)
{
    Sh("ip netns add " + name_);
    Exec("ip link set lo up");
}

NetNamespace::~NetNamespace()
{
    Sh("ip netns del " + name_);
}

bool NetNamespace::DropIcmp(const std::string& hook, const std::string& type) const
{
    return Exec("nft add table ip vexmor") == 0 &&
           Exec("nft add chain ip vexmor " + hook + " '{ type filter hook " + hook + " priority 0; }'") == 0 &&
           Exec("nft add rule ip vexmor " + hook + " icmp type " + type + " drop") == 0;
}

int NetNamespace::Exec(const std::string& command) const
{
    return Sh("ip netns exec " + name_ + " " + command);
}

EnterNamespace::EnterNamespace(const NetNamespace& ns)
{
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/var/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

EnterNamespace::~EnterNamespace()
{
    if (home_ >= 0) {
        ::setns(home_, CLONE_NEWNET);
        ::close(home_);
    }
}

namespace {

// A veth pair from a to b with an address at each end.
bool Link(const NetNamespace& a, const std::string& addrA, const NetNamespace& b, const std::string& addrB,
          const std::string& tag)
{
    const bool ipv6 = addrA.find(':') != std::string::npos;
    // Interface names are limited to 15 characters.
    const std::string base = (ipv6 ? "w" : "v") + std::to_string(::getpid() % 100000) + std::to_string(serial++) + tag;
    const std::string ia = base + "x", ib = base + "y";
    const std::string add = ipv6 ? "ip -6 addr add " : "ip addr add ", options = ipv6 ? " nodad" : "";
    return Sh("ip link add " + ia + " netns " + a.name() + " type veth peer name " + ib + " netns " + b.name()) == 0 &&
           a.Exec(add + addrA + " dev " + ia + options) == 0 && b.Exec(add + addrB + " dev " + ib + options) == 0 &&
           a.Exec("ip link set " + ia + " up") == 0 && b.Exec("ip link set " + ib + " up") == 0;
}

// Every namespace of the chain, with addresses that skip duplicate address
// detection and routers that forward and answer every probe.
bool PrepareIpv6(const NetNamespace& ns, bool router)
{
    bool ok = ns.Exec("sysctl -w net.ipv6.conf.all.accept_dad=0") == 0 &&
              ns.Exec("sysctl -w net.ipv6.conf.default.accept_dad=0") == 0;
    ns.Exec("sysctl -w net.ipv6.icmp.ratelimit=0");
    if (router)
        ok = ok && ns.Exec("sysctl -w net.ipv6.conf.all.forwarding=1") == 0;
    return ok;
}

} // namespace

RouteChain::RouteChain(const std::string& suffix)
    : client("c" + suffix), r1("r1" + suffix), r2("r2" + suffix), target("t" + suffix)
{
}

RouteTopology::RouteTopology()
    : RouteChain("")
{
    ok_ = Link(client, "10.201.1.2/24", r1, "10.201.1.1/24", "a") &&
          Link(r1, "10.201.2.1/24", r2, "10.201.2.2/24", "b") &&
          Link(r2, "10.201.3.1/24", target, "10.201.3.2/24", "c") &&
          client.Exec("ip route add default via 10.201.1.1") == 0 &&
          target.Exec("ip route add default via 10.201.3.1") == 0 &&
          r1.Exec("ip route add 10.201.3.0/24 via 10.201.2.2") == 0 &&
          r2.Exec("ip route add 10.201.1.0/24 via 10.201.2.1") == 0;
    for (const NetNamespace* router : {&r1, &r2}) {
        ok_ = ok_ && router->Exec("sysctl -w net.ipv4.ip_forward=1") == 0;
        // Tests send many probes in a row; the kernel must not ration its answers.
        router->Exec("sysctl -w net.ipv4.icmp_ratelimit=0");
    }
    target.Exec("sysctl -w net.ipv4.icmp_ratelimit=0");
    // A veth link carries nothing until the kernel has noticed its carrier,
    // which a loaded machine may take a while to do: wait until the whole
    // path answers, so no test's first probes fall into that gap.
    for (int attempt = 0; ok_ && attempt < 60; ++attempt)
        if (client.Exec(std::string("ping -q -n -c 1 -W 1 ") + TargetAddress + " >/dev/null 2>&1") == 0)
            return;
    ok_ = false;
}

bool RouteTopology::RejectAndSilenceRouter1() const
{
    return r1.Exec("ip route add 10.201.9.0/24 via 10.201.2.2") == 0 && r1.Exec("nft add table ip vexmorrj") == 0 &&
           r1.Exec("nft add chain ip vexmorrj relay '{ type filter hook forward priority 0; }'") == 0 &&
           r1.Exec(std::string("nft add rule ip vexmorrj relay ip daddr ") + UnreachableAddress +
                   " reject with icmp type host-unreachable") == 0 &&
           r1.DropIcmp("output", "time-exceeded");
}

RouteTopology6::RouteTopology6()
    : RouteChain("6")
{
    ok_ = PrepareIpv6(client, false) && PrepareIpv6(r1, true) && PrepareIpv6(r2, true) &&
          PrepareIpv6(target, false) && Link(client, "fd00:201:1::2/64", r1, "fd00:201:1::1/64", "a") &&
          Link(r1, "fd00:201:2::1/64", r2, "fd00:201:2::2/64", "b") &&
          Link(r2, "fd00:201:3::1/64", target, "fd00:201:3::2/64", "c") &&
          Link(r2, "fd00:201:4::1/64", target, "fd00:201:4::2/64", "d") &&
          client.Exec("ip -6 route add default via fd00:201:1::1") == 0 &&
          target.Exec("ip -6 route add default via fd00:201:3::1") == 0 &&
          r1.Exec("ip -6 route add fd00:201:3::/64 via fd00:201:2::2") == 0 &&
          r1.Exec("ip -6 route add fd00:201:4::/64 via fd00:201:2::2") == 0 &&
          r2.Exec("ip -6 route add fd00:201:1::/64 via fd00:201:2::1") == 0;
    // Until the carrier is up and neighbours are found nothing passes: wait
    // until the whole path answers, to each of the target's addresses (each
    // attempt bounded by its own time-out).
    const auto answers = [this](const char* address) {
        for (int attempt = 0; attempt < 60; ++attempt)
            if (client.Exec(std::string("ping -6 -q -n -c 1 -W 1 ") + address) == 0)
                return true;
        return false;
    };
    ok_ = ok_ && answers(TargetAddress) && answers(TargetSecondAddress);
}

bool RouteTopology6::RejectAtRouter1AndSilenceRouter2() const
{
    return r1.Exec("ip -6 route add fd00:201:9::/64 via fd00:201:2::2") == 0 &&
           r1.Exec("nft add table ip6 vexmorrj") == 0 &&
           r1.Exec("nft add chain ip6 vexmorrj relay '{ type filter hook forward priority 0; }'") == 0 &&
           r1.Exec(std::string("nft add rule ip6 vexmorrj relay ip6 daddr ") + RejectedAddress +
                   " reject with icmpv6 type addr-unreachable") == 0 &&
           r2.Exec("nft add table ip6 vexmorsl") == 0 &&
           r2.Exec("nft add chain ip6 vexmorsl out '{ type filter hook output priority 0; }'") == 0 &&
           r2.Exec("nft add rule ip6 vexmorsl out icmpv6 type time-exceeded drop") == 0;
}

} // namespace testsupport

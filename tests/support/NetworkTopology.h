#pragma once

// Network namespaces for tests that need several hosts (root only). Names carry
// the test process's id, and every namespace is deleted with its object.

#include <string>
#include <vector>

namespace testsupport {

// Runs a shell command; returns its exit status.
int Sh(const std::string& command);

class NetNamespace {
public:
    explicit NetNamespace(const std::string& role);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    const std::string& name() const { return name_; }
    // Runs a command inside the namespace; returns its exit status.
    int Exec(const std::string& command) const;
    // Drops ICMP messages of a type ("echo-reply", "time-exceeded" ...) at a
    // hook ("input" or "output") of this namespace's firewall; false when
    // nftables is missing.
    bool DropIcmp(const std::string& hook, const std::string& type) const;

private:
    std::string name_;
};

// Moves the calling thread into a namespace for its lifetime. Sockets opened
// meanwhile belong to that namespace (the kernel binds a socket to the network
// namespace of the thread that creates it).
class EnterNamespace {
public:
    explicit EnterNamespace(const NetNamespace& ns);
    ~EnterNamespace();
    bool ok() const { return ok_; }

private:
    int home_ = -1;
    bool ok_ = false;
};

// client -- r1 -- r2 -- target, the routers forwarding; each family's chain
// names its namespaces with its own suffix.
class RouteChain {
public:
    bool ok() const { return ok_; }

    NetNamespace client, r1, r2, target;

protected:
    explicit RouteChain(const std::string& suffix);
    bool ok_ = false;
};

// The chain over IPv4:
//   client 10.201.1.2, r1 10.201.1.1 / 10.201.2.1, r2 10.201.2.2 / 10.201.3.1, target 10.201.3.2.
class RouteTopology : public RouteChain {
public:
    RouteTopology();
    // r1 rejects UnreachableAddress as unreachable and says nothing of expired
    // echoes; false where nftables is missing. A firewall's rejection, not an
    // unreachable route: the kernel answers those at most once a second per sender.
    bool RejectAndSilenceRouter1() const;

    static constexpr const char* ClientAddress = "10.201.1.2";
    static constexpr const char* Router1 = "10.201.1.1";
    static constexpr const char* Router2 = "10.201.2.2";
    static constexpr const char* TargetAddress = "10.201.3.2";
    static constexpr const char* UnreachableAddress = "10.201.9.9";
};

// The same chain over IPv6, addresses usable at once (no duplicate address
// detection): client fd00:201:1::2, r1 fd00:201:1::1 / fd00:201:2::1,
// r2 fd00:201:2::2 / fd00:201:3::1 / fd00:201:4::1, target fd00:201:3::2 and
// fd00:201:4::2 (two links to r2).
class RouteTopology6 : public RouteChain {
public:
    RouteTopology6();
    // r1 rejects RejectedAddress as address-unreachable and has no route to
    // UnroutedAddress; r2 says nothing of expired echoes. False where nftables
    // is missing.
    bool RejectAtRouter1AndSilenceRouter2() const;

    static constexpr const char* ClientAddress = "fd00:201:1::2";
    static constexpr const char* Router1 = "fd00:201:1::1";
    static constexpr const char* Router2 = "fd00:201:2::2";
    static constexpr const char* TargetAddress = "fd00:201:3::2";
    // The target's second link, also to r2: a multi-homed target.
    static constexpr const char* TargetSecondAddress = "fd00:201:4::2";
    static constexpr const char* RejectedAddress = "fd00:201:9::9";
    static constexpr const char* UnroutedAddress = "fd00:201:8::8";
};

} // namespace testsupport

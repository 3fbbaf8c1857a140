#include "platform/icmp6.h"
#include "support/NetworkTopology.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/icmp6.h>
#include <poll.h>
#include <cstring>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::NetNamespace;
using testsupport::RouteTopology6;

sockaddr_in6 Addr6(const char* text)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}

std::string Text(const IPV6_ADDRESS_EX& a)
{
    char out[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, a.sin6_addr, out, sizeof out);
    return out;
}

struct Echo6 {
    uint32_t replies = 0;
    ICMPV6_ECHO_REPLY head{};
    std::string data;
};

Echo6 Send(HANDLE h, const char* to, uint8_t hops, const std::string& payload, uint32_t timeoutMs = 2000,
           const sockaddr_in6* source = nullptr)
{
    std::vector<uint8_t> buffer(sizeof(ICMPV6_ECHO_REPLY) + payload.size() + 8);
    IP_OPTION_INFORMATION options;
    options.Ttl = hops;
    const sockaddr_in6 destination = Addr6(to);
    Echo6 e;
    e.replies = Icmp6SendEcho2(h, 0, nullptr, nullptr, source, &destination, payload.data(),
                               uint16_t(payload.size()), &options, buffer.data(), uint32_t(buffer.size()),
                               timeoutMs);
    std::memcpy(&e.head, buffer.data(), sizeof e.head);
    e.data.assign(reinterpret_cast<const char*>(buffer.data()) + sizeof e.head, e.head.DataSize);
    return e;
}

// Each check gives an empty text when it holds, else what went wrong; the same
// checks run in this process and in an unprivileged child.
using Check = std::function<std::string()>;

std::string Describe(const char* what, const Echo6& e)
{
    return std::string(what) + ": " + std::to_string(e.replies) + " replies, status " +
           std::to_string(e.head.Status) + " from " + Text(e.head.Address);
}

// The echo on ::1: its data, both round-trip figures, the buffer's limits, the
// refused options, a source address of our own and one that is not.
std::string LoopbackChecks(IcmpFacility expected, bool isolated)
{
    const HANDLE h = Icmp6CreateFile();
    if (h == INVALID_HANDLE_VALUE || icmp6::testing::FacilityOf(h) != expected)
        return "no handle of the expected facility";
    const std::string payload = "vexmor ICMPv6 echo data 0123456789abcdefghijklmnopqrstu";
    const Echo6 e = Send(h, "::1", 64, payload);
    if (e.replies != 1 || e.head.Status != IP_SUCCESS || Text(e.head.Address) != "::1" || e.data != payload)
        return Describe("echo to ::1", e);
    uint32_t us = 0;
    if (!IcmpGetRoundTripMicroseconds(h, &us) || e.head.RoundTripTime != us / 1000)
        return "whole milliseconds disagree with the microseconds";

    // A buffer with room for 10 data bytes gets 10, and not one more.
    std::vector<uint8_t> buffer(sizeof(ICMPV6_ECHO_REPLY) + 10 + 16, 0xEE);
    const sockaddr_in6 loopback = Addr6("::1");
    if (Icmp6SendEcho2(h, 0, nullptr, nullptr, nullptr, &loopback, payload.data(), uint16_t(payload.size()),
                       nullptr, buffer.data(), uint32_t(sizeof(ICMPV6_ECHO_REPLY) + 10), 2000) != 1 ||
        Icmp6ParseReplies(buffer.data(), uint32_t(buffer.size())) != 1)
        return "echo into a small buffer";
    ICMPV6_ECHO_REPLY head;
    std::memcpy(&head, buffer.data(), sizeof head);
    if (head.DataSize != 10 || std::memcmp(buffer.data() + sizeof head, payload.data(), 10) != 0 ||
        buffer[sizeof head + 10] != 0xEE)
        return "a small buffer was not filled exactly to its size";
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    if (Icmp6SendEcho2(h, 0, nullptr, nullptr, nullptr, &loopback, "x", 1, nullptr, buffer.data(),
                       uint32_t(sizeof(ICMPV6_ECHO_REPLY) - 1), 2000) != 0 ||
        buffer[0] != 0xEE)
        return "a buffer smaller than the head was written";
    const HANDLE event = 1;
    if (Icmp6SendEcho2(h, event, nullptr, nullptr, nullptr, &loopback, "x", 1, nullptr,
                       buffer.data(), uint32_t(buffer.size()), 2000) != 0)
        return "an event was accepted: only the synchronous form is offered";

    const Echo6 zero = Send(h, "::1", 0, payload);
    if (zero.replies != 1 || zero.head.Status != IP_BAD_OPTION || !IcmpGetRoundTripMicroseconds(h, &us) || us)
        return Describe("hop limit 0, the latest answer, with no round trip", zero);
    const Echo6 own = Send(h, "::1", 64, payload, 2000, &loopback);
    if (own.replies != 1 || own.head.Status != IP_SUCCESS)
        return Describe("from ::1", own);
    // Binding to an address this host does not have fails before anything is sent.
    const sockaddr_in6 foreign = Addr6("fd00:201:77::1");
    const Echo6 notOurs = Send(h, "::1", 64, payload, 2000, &foreign);
    if (notOurs.replies != 1 || notOurs.head.Status != IP_GENERAL_FAILURE)
        return Describe("from an address not ours", notOurs);
    if (isolated) {
        // Only inside a namespace of our own, where nothing can leave.
        const Echo6 unrouted = Send(h, RouteTopology6::UnroutedAddress, 64, payload);
        if (unrouted.replies != 1 || unrouted.head.Status != IP_DEST_NET_UNREACHABLE)
            return Describe("no route", unrouted);
    }
    if (!IcmpCloseHandle(h) || IcmpCloseHandle(h))
        return "IcmpCloseHandle does not close an ICMPv6 handle exactly once";
    return {};
}

// A forked child running a check; its text comes back through a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;
};

// Forks from the calling thread only: a child forked while another thread
// holds the allocator's lock (as under the sanitizers) would wait forever.
Child StartChild(const Check& fn)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const std::string result = fn();
        const bool written = ::write(fds[1], result.data(), result.size()) == ssize_t(result.size());
        ::_exit(written ? 0 : 2);
    }
    ::close(fds[1]);
    return {child, fds[0]};
}

std::string Collect(const Child& c)
{
    if (c.pid < 0)
        return "no child";
    std::string result;
    char chunk[256];
    for (ssize_t n; (n = ::read(c.out, chunk, sizeof chunk)) > 0;)
        result.append(chunk, size_t(n));
    ::close(c.out);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the child failed";
    return result;
}

std::string InChild(const Check& fn)
{
    return Collect(StartChild(fn));
}

// One stream of echoes on ::1 with data of its own; counts the replies it took.
std::string Stream(int which)
{
    constexpr int Echoes = 100;
    const HANDLE h = Icmp6CreateFile();
    const std::string payload = "stream " + std::to_string(which) + std::string(24, char('a' + which));
    int own = 0;
    std::string failure;
    for (int i = 0; i < Echoes; ++i) {
        const Echo6 e = Send(h, "::1", 64, payload);
        if (e.replies == 1 && e.head.Status == IP_SUCCESS && e.data == payload)
            ++own;
        else if (e.replies == 1)
            failure = "stream " + std::to_string(which) + " took a reply not its own; ";
    }
    IcmpCloseHandle(h);
    if (failure.empty() && own != Echoes)
        failure = "stream " + std::to_string(which) + " counted " + std::to_string(own) + "; ";
    return failure;
}

// Two processes at once on ::1, their sequence numbers alike, started
// together: each counts exactly its own replies.
std::string TwoStreamsChecks()
{
    int go[2];
    if (::pipe(go) != 0)
        return "no pipe";
    const Child other = StartChild([&] {
        char byte;
        return ::read(go[0], &byte, 1) == 1 ? Stream(1) : std::string("no start");
    });
    const bool started = ::write(go[1], "g", 1) == 1;
    const std::string mine = started ? Stream(0) : "no start; ";
    const std::string theirs = Collect(other);
    ::close(go[0]);
    ::close(go[1]);
    return mine + theirs;
}

// Stands in for the kernel's echo service on ::1 (switched off in the
// namespace): answers each request first as if for another program (same
// sequence, another identifier, other data), then twice genuinely.
class Responder {
public:
    // The socket is open before the first echo can be sent.
    Responder() : fd_(::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6)), thread_([this] { Run(); }) {}
    ~Responder()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

private:
    void Run()
    {
        const int fd = fd_;
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
        const sockaddr_in6 loopback = Addr6("::1");
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            uint8_t request[2048];
            const ssize_t n = ::recv(fd, request, sizeof request, 0);
            if (n < 8 || request[0] != ICMP6_ECHO_REQUEST)
                continue;
            std::vector<uint8_t> foreign(request, request + n);
            foreign[0] = ICMP6_ECHO_REPLY;
            foreign[4] ^= 0x5A;
            std::fill(foreign.begin() + 8, foreign.end(), uint8_t('F'));
            std::vector<uint8_t> genuine(request, request + n);
            genuine[0] = ICMP6_ECHO_REPLY;
            for (const auto* reply : {&foreign, &genuine, &genuine})
                ::sendto(fd, reply->data(), reply->size(), 0, reinterpret_cast<const sockaddr*>(&loopback),
                         sizeof loopback);
        }
    }
    const int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Echoes answered by the Responder: each takes only its own reply, once.
std::string ForeignRepliesChecks()
{
    const HANDLE h = Icmp6CreateFile();
    std::string failures;
    for (int i = 0; i < 5; ++i) {
        const std::string payload = "own data " + std::to_string(i);
        const Echo6 e = Send(h, "::1", 64, payload);
        if (e.replies != 1 || e.head.Status != IP_SUCCESS || e.data != payload)
            failures += Describe(("echo " + std::to_string(i) + " with data '" + e.data + "'").c_str(), e) + "; ";
    }
    IcmpCloseHandle(h);
    return failures;
}

// Runs a check in a forked child that enters the namespace and gives up root,
// so only the datagram socket the open ping_group_range allows is left.
std::string RunUnprivileged(const NetNamespace& ns, const Check& check)
{
    if (ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'") != 0)
        return "ping_group_range could not be opened";
    return InChild([&]() -> std::string {
        testsupport::EnterNamespace inside(ns);
        if (!inside.ok() || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            return "could not enter the namespace as nobody";
        if (::socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6) >= 0)
            return "still privileged";
        return check();
    });
}

bool IsRoot()
{
    return ::geteuid() == 0;
}

class Icmp6Echo : public ::testing::Test {
protected:
    void TearDown() override { icmp6::testing::UseOnly(IcmpFacility::None); }
};

} // namespace

TEST_F(Icmp6Echo, LoopbackIsAnsweredOnEveryPathWithinTheBufferItWasGiven)
{
    if (!IsRoot()) {
        const IcmpFacility facility = LoadedIcmp6Facility();
        if (facility == IcmpFacility::None)
            GTEST_SKIP() << "no ICMPv6 socket: open net.ipv4.ping_group_range to this user's group, or run as root";
        EXPECT_EQ(LoopbackChecks(facility, false), "");
        EXPECT_EQ(TwoStreamsChecks(), "");
        return;
    }
    NetNamespace ns("e6");
    ASSERT_EQ(ns.Exec("ip link set lo up"), 0);
    {
        testsupport::EnterNamespace inside(ns);
        ASSERT_TRUE(inside.ok());
        EXPECT_EQ(LoadedIcmp6Facility(), IcmpFacility::Raw) << "the range is closed in a new namespace";
        EXPECT_EQ(LoopbackChecks(IcmpFacility::Raw, true), "") << "raw";
        EXPECT_EQ(TwoStreamsChecks(), "") << "raw";
    }
    EXPECT_EQ(RunUnprivileged(ns, [] { return LoopbackChecks(IcmpFacility::Datagram, true); }), "") << "datagram";
    EXPECT_EQ(RunUnprivileged(ns, TwoStreamsChecks), "") << "datagram";

    NetNamespace answered("f6");
    ASSERT_EQ(answered.Exec("ip link set lo up"), 0);
    ASSERT_EQ(answered.Exec("sysctl -w net.ipv6.icmp.echo_ignore_all=1"), 0);
    testsupport::EnterNamespace inside(answered);
    ASSERT_TRUE(inside.ok());
    Responder responder;
    EXPECT_EQ(ForeignRepliesChecks(), "") << "raw";
    EXPECT_EQ(RunUnprivileged(answered, ForeignRepliesChecks), "") << "datagram";
}

TEST(Icmp6ErrorStatus, AnswersMapToTheStatusesOfIpv4)
{
    EXPECT_EQ(Icmp6ErrorStatus(3, 0), IP_TTL_EXPIRED_TRANSIT);
    EXPECT_EQ(Icmp6ErrorStatus(3, 1), IP_TTL_EXPIRED_REASSEM);
    EXPECT_EQ(Icmp6ErrorStatus(1, 0), IP_DEST_NET_UNREACHABLE);
    EXPECT_EQ(Icmp6ErrorStatus(1, 1), IP_DEST_HOST_UNREACHABLE) << "administratively prohibited";
    EXPECT_EQ(Icmp6ErrorStatus(1, 3), IP_DEST_HOST_UNREACHABLE);
    EXPECT_EQ(Icmp6ErrorStatus(1, 4), IP_DEST_PORT_UNREACHABLE);
    EXPECT_EQ(Icmp6ErrorStatus(1, 6), IP_DEST_NET_UNREACHABLE) << "reject route";
    EXPECT_EQ(Icmp6ErrorStatus(2, 0), IP_PACKET_TOO_BIG);
    EXPECT_EQ(Icmp6ErrorStatus(4, 1), IP_PARAM_PROBLEM);
    EXPECT_EQ(Icmp6ErrorStatus(129, 0), 0u) << "a reply is no error";
    EXPECT_EQ(Icmp6ErrorStatus(135, 0), 0u) << "neighbour discovery is no error";
}

// The target's reply, the first router's "time exceeded", the second router's
// silence, a rejection and a missing route, on both paths.
TEST(Icmp6Route, EveryPathReportsWhatTheRouteAnswers)
{
    if (!IsRoot())
        GTEST_SKIP() << "needs root for network namespaces";
    RouteTopology6 topology;
    ASSERT_TRUE(topology.ok());
    ASSERT_TRUE(topology.RejectAtRouter1AndSilenceRouter2()) << "nftables is needed";
    const Check route = [] {
        struct Case {
            const char* to;
            uint8_t hops;
            uint32_t replies;
            uint32_t status;
            const char* from;
        };
        const Case cases[] = {
            {RouteTopology6::TargetAddress, 64, 1, IP_SUCCESS, RouteTopology6::TargetAddress},
            {RouteTopology6::TargetAddress, 1, 1, IP_TTL_EXPIRED_TRANSIT, RouteTopology6::Router1},
            {RouteTopology6::TargetAddress, 2, 0, IP_REQ_TIMED_OUT, RouteTopology6::TargetAddress},
            {RouteTopology6::RejectedAddress, 64, 1, IP_DEST_HOST_UNREACHABLE, RouteTopology6::Router1},
            {RouteTopology6::UnroutedAddress, 64, 1, IP_DEST_NET_UNREACHABLE, RouteTopology6::Router1},
        };
        const HANDLE h = Icmp6CreateFile();
        std::string failures;
        for (const Case& c : cases) {
            const Echo6 e = Send(h, c.to, c.hops, "route", 400);
            if (e.replies != c.replies || e.head.Status != c.status || Text(e.head.Address) != c.from ||
                Icmp6ParseReplies(&e.head, sizeof e.head) != c.replies)
                failures += Describe((std::string(c.to) + " hop limit " + std::to_string(c.hops)).c_str(), e) + "; ";
        }
        IcmpCloseHandle(h);
        return failures;
    };
    {
        testsupport::EnterNamespace inside(topology.client);
        ASSERT_TRUE(inside.ok());
        icmp6::testing::UseOnly(IcmpFacility::Raw);
        EXPECT_EQ(route(), "") << "raw";
        icmp6::testing::UseOnly(IcmpFacility::None);
    }
    EXPECT_EQ(RunUnprivileged(topology.client, route), "") << "datagram";
}

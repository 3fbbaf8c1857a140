#include "platform/linux/Echo6Exchange.h"
#include "platform/linux/KernelTimestamps.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <memory>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t EchoRequestType = ICMP6_ECHO_REQUEST; // 128
constexpr uint8_t EchoReplyType = ICMP6_ECHO_REPLY;     // 129
constexpr size_t Ip6HeaderSize = 40;
constexpr uint8_t NextHeaderIcmp6 = IPPROTO_ICMPV6;

uint16_t Read16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

std::vector<uint8_t> BuildRequest(const Echo6Request& r, const void* data, uint16_t size)
{
    // The kernel computes the ICMPv6 checksum on both kinds of socket, and a
    // datagram socket puts in its own identifier.
    std::vector<uint8_t> packet(8 + size_t(size), 0);
    packet[0] = EchoRequestType;
    packet[4] = uint8_t(r.id >> 8);
    packet[5] = uint8_t(r.id);
    packet[6] = uint8_t(r.seq >> 8);
    packet[7] = uint8_t(r.seq);
    if (size)
        std::memcpy(packet.data() + 8, data, size);
    return packet;
}

// Old replies and errors must not be taken for this echo's.
void Drain(int fd, EchoSocketKind kind)
{
    uint8_t scratch[1500];
    while (::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
    }
    if (kind == EchoSocketKind::Datagram)
        while (::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT | MSG_ERRQUEUE) >= 0) {
        }
}

// A message read with its sender and control data; the buffer is capped at the
// largest ICMPv6 message a socket can hand us.
struct Received {
    uint8_t buf[65536];
    alignas(cmsghdr) char control[StampedControlRoom];
    sockaddr_in6 from{};
    msghdr msg{};
    iovec iov{};
    ssize_t size = -1;

    explicit Received(int fd, int flags)
    {
        iov = {buf, sizeof buf};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        size = ::recvmsg(fd, &msg, flags | MSG_DONTWAIT);
    }
};

// Datagram socket, normal queue: the kernel has matched the identifier already.
bool ReadDatagramReply(const Echo6Request& r, Echo6Answer& out, int64_t& at)
{
    auto m = std::make_unique<Received>(r.fd, 0);
    if (m->size < 8 || m->buf[0] != EchoReplyType || Read16(m->buf + 6) != r.seq)
        return false;
    out.kind = Echo6Answer::Kind::Reply;
    out.from = m->from;
    out.data.assign(m->buf + 8, m->buf + m->size);
    at = ReceiveTimeNs(m->msg);
    return true;
}

// Datagram socket, error queue (IPV6_RECVERR): the data is our own request; the
// control message says what went wrong and who said so.
bool ReadDatagramError(const Echo6Request& r, Echo6Answer& out, int64_t& at)
{
    auto m = std::make_unique<Received>(r.fd, MSG_ERRQUEUE);
    if (m->size < 8 || m->buf[0] != EchoRequestType || Read16(m->buf + 6) != r.seq)
        return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m->msg); c; c = CMSG_NXTHDR(&m->msg, c)) {
        if (c->cmsg_level != SOL_IPV6 || c->cmsg_type != IPV6_RECVERR)
            continue;
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        sockaddr_in6 offender{};
        std::memcpy(&offender, reinterpret_cast<const uint8_t*>(CMSG_DATA(c)) + sizeof ee, sizeof offender);
        if (ee.ee_origin == SO_EE_ORIGIN_ICMP6) {
            if (!IsIcmp6ErrorAboutPacket(ee.ee_type))
                return false;
            out.kind = Echo6Answer::Kind::IcmpError;
            out.icmpType = ee.ee_type;
            out.icmpCode = ee.ee_code;
            out.from = offender.sin6_family == AF_INET6 ? offender : r.destination;
        } else {
            out.kind = Echo6Answer::Kind::LocalError;
            out.error = int(ee.ee_errno);
            out.from = r.destination;
        }
        at = ReceiveTimeNs(m->msg);
        return true;
    }
    return false;
}

// Raw socket: the ICMPv6 message without the IPv6 header. Ours are the echo
// replies with our identifier and sequence, and the errors whose quoted packet
// is our request.
bool ReadRawPacket(const Echo6Request& r, Echo6Answer& out, int64_t& at)
{
    auto m = std::make_unique<Received>(r.fd, 0);
    const ssize_t n = m->size;
    const uint8_t* icmp = m->buf;
    if (n < 8)
        return false;
    if (icmp[0] == EchoReplyType) {
        if (Read16(icmp + 4) != r.id || Read16(icmp + 6) != r.seq)
            return false;
        out.kind = Echo6Answer::Kind::Reply;
        out.data.assign(icmp + 8, icmp + n);
    } else {
        // Our echo carries no extension headers, so the quoted echo header
        // follows the quoted IPv6 header directly.
        if (!IsIcmp6ErrorAboutPacket(icmp[0]) || size_t(n) < 8 + Ip6HeaderSize + 8)
            return false;
        const uint8_t* quoted = icmp + 8;
        const uint8_t* qicmp = quoted + Ip6HeaderSize;
        if ((quoted[0] >> 4) != 6 || quoted[6] != NextHeaderIcmp6 || qicmp[0] != EchoRequestType ||
            Read16(qicmp + 4) != r.id || Read16(qicmp + 6) != r.seq)
            return false;
        out.kind = Echo6Answer::Kind::IcmpError;
        out.icmpType = icmp[0];
        out.icmpCode = icmp[1];
    }
    out.from = m->from;
    at = ReceiveTimeNs(m->msg);
    return true;
}

bool ReadAnswer(const Echo6Request& r, short revents, Echo6Answer& out, int64_t& at)
{
    if (r.kind == EchoSocketKind::Datagram) {
        if ((revents & POLLERR) && ReadDatagramError(r, out, at))
            return true;
        return (revents & POLLIN) && ReadDatagramReply(r, out, at);
    }
    if (revents & POLLERR) {
        // Reading the pending error clears it, so poll cannot spin on it.
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    return (revents & POLLIN) && ReadRawPacket(r, out, at);
}

} // namespace

int OpenEcho6Socket(EchoSocketKind kind)
{
    const int type = kind == EchoSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd < 0)
        return -1;
    const int on = 1;
    EnableReceiveTimestamps(fd);
    if (kind == EchoSocketKind::Datagram) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (uint8_t type6 : {uint8_t(EchoReplyType), uint8_t(ICMP6_DST_UNREACH), uint8_t(ICMP6_PACKET_TOO_BIG),
                              uint8_t(ICMP6_TIME_EXCEEDED), uint8_t(ICMP6_PARAM_PROB)})
            ICMP6_FILTER_SETPASS(type6, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    return fd;
}

bool BindEcho6Source(int fd, const sockaddr_in6& source)
{
    sockaddr_in6 local = source;
    local.sin6_family = AF_INET6;
    local.sin6_port = 0;
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool IsIcmp6ErrorAboutPacket(uint8_t type)
{
    return type == ICMP6_DST_UNREACH || type == ICMP6_PACKET_TOO_BIG || type == ICMP6_TIME_EXCEEDED ||
           type == ICMP6_PARAM_PROB;
}

bool ExchangeEcho6(const Echo6Request& r, const void* data, uint16_t size, uint8_t hopLimit,
                   uint32_t timeoutMs, const std::function<bool()>& keepWaiting, Echo6Answer& out)
{
    const int hops = hopLimit;
    ::setsockopt(r.fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops);
    Drain(r.fd, r.kind);

    const std::vector<uint8_t> packet = BuildRequest(r, data, size);
    sockaddr_in6 to = r.destination;
    to.sin6_family = AF_INET6;
    to.sin6_port = 0;
    const Clock::time_point start = Clock::now();
    const int64_t sentAt = WallClockNs(); // last, as close to the send as it can be
    if (::sendto(r.fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        // A route the kernel knows to be missing is an answer, and so is any
        // other local failure (a firewall's refusal, a packet too big).
        out.kind = Echo6Answer::Kind::LocalError;
        out.error = errno;
        out.from = to;
        out.roundTripUs = 0;
        return true;
    }

    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    constexpr auto Slice = std::chrono::milliseconds(20);
    Clock::time_point asked = start;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (keepWaiting && now - asked >= Slice) {
            if (!keepWaiting())
                return false;
            asked = Clock::now();
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (left < 0)
            return false;
        pollfd p{r.fd, POLLIN, 0};
        // Round up so a sub-millisecond remainder still waits instead of spinning.
        const auto slice = keepWaiting ? std::min<long long>(left + 1, Slice.count()) : left + 1;
        if (::poll(&p, 1, int(slice)) <= 0)
            continue;
        int64_t receivedAt = 0;
        if (ReadAnswer(r, p.revents, out, receivedAt)) {
            out.roundTripUs = MicrosecondsBetween(sentAt, receivedAt);
            return true;
        }
    }
}

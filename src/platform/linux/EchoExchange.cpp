#include "platform/linux/EchoExchange.h"
#include "platform/InternetChecksum.h"
#include "platform/linux/KernelTimestamps.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t EchoReply = 0;
constexpr uint8_t EchoRequestType = 8;

uint16_t Read16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

std::vector<uint8_t> BuildRequest(const EchoRequest& r, const void* data, uint16_t size)
{
    std::vector<uint8_t> packet(8 + size_t(size), 0);
    packet[0] = EchoRequestType;
    packet[4] = uint8_t(r.id >> 8);
    packet[5] = uint8_t(r.id);
    packet[6] = uint8_t(r.seq >> 8);
    packet[7] = uint8_t(r.seq);
    if (size)
        std::memcpy(packet.data() + 8, data, size);
    // A datagram socket fills in identifier and checksum itself.
    const uint16_t sum = InternetChecksum(packet.data(), packet.size());
    std::memcpy(packet.data() + 2, &sum, 2);
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

// Datagram socket, normal queue: the kernel has already matched the identifier;
// the data is the ICMP message without the IP header.
bool ReadDatagramReply(const EchoRequest& r, EchoAnswer& out)
{
    uint8_t buf[65536];
    alignas(cmsghdr) char control[StampedControlRoom];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(r.fd, &msg, MSG_DONTWAIT);
    if (n < 8 || buf[0] != EchoReply || Read16(buf + 6) != r.seq)
        return false;
    out.kind = EchoAnswer::Kind::Reply;
    out.from = from.sin_addr.s_addr;
    out.receivedNs = ReceiveTimeNs(msg);
    out.data.assign(buf + 8, buf + n);
    return true;
}

// Datagram socket, error queue (IP_RECVERR): the data is our own request, the
// control message says what went wrong and who said so.
bool ReadDatagramError(const EchoRequest& r, EchoAnswer& out)
{
    uint8_t buf[1500];
    alignas(cmsghdr) char control[StampedControlRoom];
    sockaddr_in target{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &target;
    msg.msg_namelen = sizeof target;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(r.fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 8 || buf[0] != EchoRequestType || Read16(buf + 6) != r.seq)
        return false;
    out.receivedNs = ReceiveTimeNs(msg);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        sockaddr_in offender{};
        std::memcpy(&offender, reinterpret_cast<const uint8_t*>(CMSG_DATA(c)) + sizeof ee,
                    sizeof offender);
        if (ee.ee_origin == SO_EE_ORIGIN_ICMP) {
            if (!IsIcmpErrorAboutDatagram(ee.ee_type))
                return false;
            out.kind = EchoAnswer::Kind::IcmpError;
            out.icmpType = ee.ee_type;
            out.icmpCode = ee.ee_code;
            out.from = offender.sin_family == AF_INET ? offender.sin_addr.s_addr : r.destination;
        } else {
            out.kind = EchoAnswer::Kind::LocalError;
            out.error = int(ee.ee_errno);
            out.from = r.destination;
        }
        return true;
    }
    return false;
}

// Raw socket: every ICMP message reaching the host, with its IP header. Ours are
// the echo replies and the errors that quote our request.
bool ReadRawPacket(const EchoRequest& r, EchoAnswer& out)
{
    uint8_t buf[65536];
    alignas(cmsghdr) char control[StampedControlRoom];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(r.fd, &msg, MSG_DONTWAIT);
    if (n < 20)
        return false;
    out.receivedNs = ReceiveTimeNs(msg);
    const size_t ihl = size_t(buf[0] & 0x0F) * 4;
    if (size_t(n) < ihl + 8)
        return false;
    const uint8_t* icmp = buf + ihl;
    uint32_t source;
    std::memcpy(&source, buf + 12, 4);
    if (icmp[0] == EchoReply) {
        if (Read16(icmp + 4) != r.id || Read16(icmp + 6) != r.seq)
            return false;
        out.kind = EchoAnswer::Kind::Reply;
        out.from = source;
        out.data.assign(icmp + 8, static_cast<const uint8_t*>(buf + n));
        return true;
    }
    if (!IsIcmpErrorAboutDatagram(icmp[0]))
        return false;
    const uint8_t* quoted = icmp + 8;
    if (size_t(n) < ihl + 8 + 20)
        return false;
    const size_t qihl = size_t(quoted[0] & 0x0F) * 4;
    if (size_t(n) < ihl + 8 + qihl + 8 || quoted[9] != IPPROTO_ICMP)
        return false;
    const uint8_t* qicmp = quoted + qihl;
    if (qicmp[0] != EchoRequestType || Read16(qicmp + 4) != r.id || Read16(qicmp + 6) != r.seq)
        return false;
    out.kind = EchoAnswer::Kind::IcmpError;
    out.icmpType = icmp[0];
    out.icmpCode = icmp[1];
    out.from = source;
    return true;
}

} // namespace

int OpenEchoSocket(EchoSocketKind kind)
{
    const int type = kind == EchoSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return fd;
    if (kind == EchoSocketKind::Datagram) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    EnableReceiveTimestamps(fd);
    return fd;
}

bool IsIcmpErrorAboutDatagram(uint8_t type)
{
    return type == 3 || type == 4 || type == 11 || type == 12;
}

bool ExchangeEcho(const EchoRequest& r, const void* data, uint16_t size, uint8_t ttl,
                  uint32_t timeoutMs, const std::function<bool()>& keepWaiting, EchoAnswer& out)
{
    const int hops = ttl;
    ::setsockopt(r.fd, IPPROTO_IP, IP_TTL, &hops, sizeof hops);
    Drain(r.fd, r.kind);

    const std::vector<uint8_t> packet = BuildRequest(r, data, size);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = r.destination;
    const Clock::time_point start = Clock::now();
    const int64_t sentNs = WallClockNs(); // last, so it is as close to the send as we can take it
    if (::sendto(r.fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) < 0) {
        // A route the kernel knows to be unreachable is an answer, and so is any
        // other local failure (a firewall's refusal, say). The all-ones
        // address of a host that did not resolve just gets no reply.
        if (r.destination == 0xFFFFFFFFu)
            return false;
        out.kind = EchoAnswer::Kind::LocalError;
        out.error = errno;
        out.from = r.destination;
        out.roundTripMs = 0;
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
        // Round up so a sub-millisecond remainder still waits instead of spinning;
        // in slices when someone wants to be asked.
        const auto slice = keepWaiting ? std::min<long long>(left + 1, Slice.count()) : left + 1;
        if (::poll(&p, 1, int(slice)) <= 0)
            continue;
        bool matched = false;
        if (r.kind == EchoSocketKind::Datagram) {
            if (p.revents & POLLERR)
                matched = ReadDatagramError(r, out);
            if (!matched && (p.revents & POLLIN))
                matched = ReadDatagramReply(r, out);
        } else {
            if (p.revents & POLLERR) {
                // Reading the pending error clears it, so poll cannot spin on it.
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            }
            if (p.revents & POLLIN)
                matched = ReadRawPacket(r, out);
        }
        if (matched) {
            out.roundTripUs = MicrosecondsBetween(sentNs, out.receivedNs);
            out.roundTripMs = out.roundTripUs / 1000;
            return true;
        }
    }
}

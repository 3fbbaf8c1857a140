#include "platform/linux/EchoExchange.h"
#include "platform/InternetChecksum.h"
#include "platform/linux/KernelTimestamps.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/errqueue.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

uint16_t Read16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

bool QuotesItsPacket(const EchoFamily& family, uint8_t type)
{
    return std::find(family.errorTypes.begin(), family.errorTypes.end(), type) != family.errorTypes.end();
}

bool IsOurs(const uint8_t* icmp, uint8_t type, const EchoRequest& r, bool matchId)
{
    return icmp[0] == type && (!matchId || Read16(icmp + 4) == r.id) && Read16(icmp + 6) == r.seq;
}

std::vector<uint8_t> BuildRequest(const EchoFamily& family, const EchoRequest& r, const void* data, uint16_t size)
{
    std::vector<uint8_t> packet(8 + size_t(size), 0);
    packet[0] = family.requestType;
    packet[4] = uint8_t(r.id >> 8);
    packet[5] = uint8_t(r.id);
    packet[6] = uint8_t(r.seq >> 8);
    packet[7] = uint8_t(r.seq);
    if (size)
        std::memcpy(packet.data() + 8, data, size);
    // A datagram socket fills in identifier and checksum itself.
    if (!family.kernelChecksums) {
        const uint16_t sum = InternetChecksum(packet.data(), packet.size());
        std::memcpy(packet.data() + 2, &sum, 2);
    }
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
// largest message a socket can hand us.
struct Received {
    uint8_t buf[65536];
    alignas(cmsghdr) char control[StampedControlRoom];
    EchoPeer from{};
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

// Datagram socket, normal queue: the kernel has already matched the identifier;
// the data is the ICMP message without the IP header.
bool ReadDatagramReply(const EchoFamily& family, const EchoRequest& r, EchoAnswer& out, int64_t& at)
{
    auto m = std::make_unique<Received>(r.fd, 0);
    if (m->size < 8 || !IsOurs(m->buf, family.replyType, r, false))
        return false;
    out.kind = EchoAnswer::Kind::Reply;
    out.from = m->from;
    out.data.assign(m->buf + 8, m->buf + m->size);
    at = ReceiveTimeNs(m->msg);
    return true;
}

// Datagram socket, error queue (RECVERR): the data is our own request; the
// control message says what went wrong and, after it, who said so.
bool ReadDatagramError(const EchoFamily& family, const EchoRequest& r, EchoAnswer& out, int64_t& at)
{
    auto m = std::make_unique<Received>(r.fd, MSG_ERRQUEUE);
    if (m->size < 8 || !IsOurs(m->buf, family.requestType, r, false))
        return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m->msg); c; c = CMSG_NXTHDR(&m->msg, c)) {
        if (c->cmsg_level != family.level || c->cmsg_type != family.errorQueueOption)
            continue;
        sock_extended_err ee;
        std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
        EchoPeer offender{};
        std::memcpy(&offender, reinterpret_cast<const uint8_t*>(CMSG_DATA(c)) + sizeof ee, family.addressSize);
        if (ee.ee_origin == family.icmpOrigin) {
            if (!QuotesItsPacket(family, ee.ee_type))
                return false;
            out.kind = EchoAnswer::Kind::IcmpError;
            out.icmpType = ee.ee_type;
            out.icmpCode = ee.ee_code;
            out.from = offender.any.sa_family == family.domain ? offender : r.destination;
        } else {
            out.kind = EchoAnswer::Kind::LocalError;
            out.error = int(ee.ee_errno);
            out.from = r.destination;
        }
        at = ReceiveTimeNs(m->msg);
        return true;
    }
    return false;
}

// Raw socket: every ICMP message of the family reaching the host; the sender
// is the packet's source. Ours are the echo replies with our identifier and
// sequence, and the errors whose quoted packet is our request.
bool ReadRawPacket(const EchoFamily& family, const EchoRequest& r, EchoAnswer& out, int64_t& at)
{
    auto m = std::make_unique<Received>(r.fd, 0);
    if (m->size < 0)
        return false;
    const size_t n = size_t(m->size);
    const size_t offset = family.icmpOffset(m->buf, n);
    if (n < offset + 8)
        return false;
    const uint8_t* icmp = m->buf + offset;
    if (icmp[0] == family.replyType) {
        if (!IsOurs(icmp, family.replyType, r, true))
            return false;
        out.kind = EchoAnswer::Kind::Reply;
        out.data.assign(icmp + 8, icmp + (n - offset));
    } else {
        if (!QuotesItsPacket(family, icmp[0]))
            return false;
        const uint8_t* quoted = icmp + 8;
        const size_t quotedSize = n - offset - 8;
        const size_t quotedOffset = family.quotedIcmpOffset(quoted, quotedSize);
        if (quotedSize < quotedOffset + 8 || !IsOurs(quoted + quotedOffset, family.requestType, r, true))
            return false;
        out.kind = EchoAnswer::Kind::IcmpError;
        out.icmpType = icmp[0];
        out.icmpCode = icmp[1];
    }
    out.from = m->from;
    at = ReceiveTimeNs(m->msg);
    return true;
}

bool ReadAnswer(const EchoFamily& family, const EchoRequest& r, short revents, EchoAnswer& out, int64_t& at)
{
    if (r.kind == EchoSocketKind::Datagram) {
        if ((revents & POLLERR) && ReadDatagramError(family, r, out, at))
            return true;
        return (revents & POLLIN) && ReadDatagramReply(family, r, out, at);
    }
    if (revents & POLLERR) {
        // Reading the pending error clears it, so poll cannot spin on it.
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    return (revents & POLLIN) && ReadRawPacket(family, r, out, at);
}

} // namespace

int OpenEchoSocket(const EchoFamily& family, EchoSocketKind kind)
{
    const int type = kind == EchoSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = ::socket(family.domain, type | SOCK_CLOEXEC, family.protocol);
    if (fd < 0)
        return -1;
    EnableReceiveTimestamps(fd);
    if (kind == EchoSocketKind::Datagram) {
        const int on = 1;
        ::setsockopt(fd, family.level, family.errorQueueOption, &on, sizeof on);
    } else if (family.prepareRaw) {
        family.prepareRaw(fd);
    }
    return fd;
}

bool ExchangeEcho(const EchoFamily& family, const EchoRequest& r, const void* data, uint16_t size,
                  uint8_t hopLimit, uint32_t timeoutMs, const std::function<bool()>& keepWaiting,
                  EchoAnswer& out)
{
    const int hops = hopLimit;
    ::setsockopt(r.fd, family.level, family.hopLimitOption, &hops, sizeof hops);
    Drain(r.fd, r.kind);

    const std::vector<uint8_t> packet = BuildRequest(family, r, data, size);
    const Clock::time_point start = Clock::now();
    const int64_t sentNs = WallClockNs(); // last, so it is as close to the send as we can take it
    if (::sendto(r.fd, packet.data(), packet.size(), 0, &r.destination.any, family.addressSize) < 0) {
        // A route the kernel knows to be missing is an answer, and so is any
        // other local failure (a firewall's refusal, a packet too big).
        if (!r.sendFailureAnswers)
            return false;
        out.kind = EchoAnswer::Kind::LocalError;
        out.error = errno;
        out.from = r.destination;
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
        int64_t receivedNs = 0;
        if (ReadAnswer(family, r, p.revents, out, receivedNs)) {
            out.roundTripUs = MicrosecondsBetween(sentNs, receivedNs);
            return true;
        }
    }
}

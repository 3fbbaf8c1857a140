#include "platform/linux/Echo6Family.h"

#include <linux/errqueue.h>
#include <netinet/icmp6.h>

namespace {

constexpr size_t Ip6HeaderSize = 40;
constexpr std::array<uint8_t, 4> ErrorTypes = {ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED,
                                               ICMP6_PARAM_PROB};

// A raw ICMPv6 socket hands over the ICMPv6 message alone (RFC 3542).
size_t IcmpOffset(const uint8_t*, size_t)
{
    return 0;
}

// Our echo carries no extension headers, so the quoted echo header follows
// the quoted IPv6 header directly.
size_t QuotedIcmpOffset(const uint8_t* quoted, size_t size)
{
    if (size < Ip6HeaderSize + 8 || (quoted[0] >> 4) != 6 || quoted[6] != IPPROTO_ICMPV6)
        return size;
    return Ip6HeaderSize;
}

void PassOnlyEchoAnswers(int fd)
{
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
    for (uint8_t type : ErrorTypes)
        ICMP6_FILTER_SETPASS(type, &filter);
    ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
}

} // namespace

const EchoFamily& Ipv6Echo()
{
    // The ICMPv6 checksum covers a pseudo-header of addresses the kernel
    // chooses, so it computes it on every kind of socket (RFC 3542).
    static const EchoFamily family{AF_INET6, IPPROTO_ICMPV6, sizeof(sockaddr_in6), IPPROTO_IPV6,
                                   IPV6_UNICAST_HOPS, IPV6_RECVERR, SO_EE_ORIGIN_ICMP6, ICMP6_ECHO_REQUEST,
                                   ICMP6_ECHO_REPLY, ErrorTypes, true, IcmpOffset, QuotedIcmpOffset,
                                   PassOnlyEchoAnswers};
    return family;
}

bool BindEcho6Source(int fd, const sockaddr_in6& source)
{
    sockaddr_in6 local = source;
    local.sin6_family = AF_INET6;
    local.sin6_port = 0;
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

#include "platform/linux/Echo4Family.h"

#include <linux/errqueue.h>
#include <netinet/in.h>

namespace {

constexpr size_t MinIpHeader = 20;

size_t IpHeaderSize(const uint8_t* packet)
{
    return size_t(packet[0] & 0x0F) * 4;
}

// A raw IPv4 socket hands over each packet with its IP header.
size_t IcmpOffset(const uint8_t* packet, size_t size)
{
    return size < MinIpHeader ? size : IpHeaderSize(packet);
}

// An error quotes the IP header of our request and its first 8 bytes.
size_t QuotedIcmpOffset(const uint8_t* quoted, size_t size)
{
    if (size < MinIpHeader)
        return size;
    const size_t header = IpHeaderSize(quoted);
    return size < header + 8 || quoted[9] != IPPROTO_ICMP ? size : header;
}

} // namespace

const EchoFamily& Ipv4Echo()
{
    static const EchoFamily family{
        AF_INET, IPPROTO_ICMP, sizeof(sockaddr_in), IPPROTO_IP, IP_TTL, IP_RECVERR, SO_EE_ORIGIN_ICMP, 8, 0,
        // Destination unreachable, source quench, time exceeded, parameter problem.
        {3, 4, 11, 12},
        false, // only a datagram socket puts in the checksum; a raw one sends ours
        IcmpOffset, QuotedIcmpOffset, nullptr};
    return family;
}

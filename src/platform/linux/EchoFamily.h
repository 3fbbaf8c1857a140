#pragma once

// What an ICMP echo exchange needs to know of its address family; the
// exchange itself (EchoExchange.h) is the same for both. Echo4Family.h and
// Echo6Family.h describe IPv4 and IPv6. The socket options and their control
// messages sit at one level per family: IP_TTL and IP_RECVERR at IPPROTO_IP
// (SOL_IP), IPV6_UNICAST_HOPS and IPV6_RECVERR at IPPROTO_IPV6 (SOL_IPV6).

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct EchoFamily {
    int domain = 0;             // AF_INET, AF_INET6
    int protocol = 0;           // IPPROTO_ICMP, IPPROTO_ICMPV6
    socklen_t addressSize = 0;  // of its socket address
    int level = 0;              // of the two options below and their control messages
    int hopLimitOption = 0;
    int errorQueueOption = 0;
    uint8_t icmpOrigin = 0;     // ee_origin of an ICMP error on the error queue
    uint8_t requestType = 0;
    uint8_t replyType = 0;
    // The ICMP errors that quote the packet they are about.
    std::array<uint8_t, 4> errorTypes{};
    // Whether the kernel puts in the checksum of what we send on a raw socket.
    bool kernelChecksums = false;
    // Where the ICMP message starts in what a raw socket received (IPv4 hands
    // over the IP header, IPv6 does not); size when it holds none.
    size_t (*icmpOffset)(const uint8_t* packet, size_t size) = nullptr;
    // Where the quoted ICMP header starts in the packet an error quotes; size
    // when that packet is no ICMP one.
    size_t (*quotedIcmpOffset)(const uint8_t* quoted, size_t size) = nullptr;
    // Readies a new raw socket; null when there is nothing to do.
    void (*prepareRaw)(int fd) = nullptr;
};

#pragma once

// One ICMP echo exchange on a socket the kernel lets this process open, told
// in the kernel's terms: a reply, an ICMP error about the echo (its type and
// code, read from the datagram socket's error queue or the raw socket's quoted
// header), or a failure of the local stack (errno).

#include <cstdint>
#include <functional>
#include <vector>

enum class EchoSocketKind { Datagram, Raw };

struct EchoAnswer {
    enum class Kind { Reply, IcmpError, LocalError };
    Kind kind = Kind::Reply;
    uint32_t from = 0; // network order
    uint8_t icmpType = 0;
    uint8_t icmpCode = 0;
    int error = 0; // errno of a local failure
    uint32_t roundTripMs = 0; // roundTripUs in whole milliseconds
    uint32_t roundTripUs = 0; // from the send to the kernel's receive stamp
    int64_t receivedNs = 0;   // that stamp (CLOCK_REALTIME)
    std::vector<uint8_t> data; // a reply's echoed data
};

struct EchoRequest {
    int fd = -1;
    EchoSocketKind kind = EchoSocketKind::Datagram;
    uint16_t id = 0;  // ours on a raw socket; the kernel's on a datagram socket
    uint16_t seq = 0;
    uint32_t destination = 0; // network order
};

// A datagram ICMP socket needs the process's group inside
// net.ipv4.ping_group_range; a raw one needs CAP_NET_RAW. -1 when refused.
// A datagram socket gets IP_RECVERR, so ICMP errors about our echoes are
// queued for us with the offender's address. Both kinds get receive
// timestamps (KernelTimestamps.h).
int OpenEchoSocket(EchoSocketKind kind);

// The ICMP errors that quote the datagram they are about (RFC 792):
// destination unreachable, source quench, time exceeded, parameter problem.
bool IsIcmpErrorAboutDatagram(uint8_t type);

// Sends the echo and waits; true with the answer when a reply or an error
// about this echo came within timeoutMs. keepWaiting, when set, is asked at
// least every 20 ms whether to go on waiting; false ends the wait (no answer).
bool ExchangeEcho(const EchoRequest& request, const void* data, uint16_t size, uint8_t ttl,
                  uint32_t timeoutMs, const std::function<bool()>& keepWaiting, EchoAnswer& answer);

#pragma once

// One ICMP echo exchange on a socket the kernel lets this process open, for
// either family (EchoFamily.h), told in the kernel's terms: a reply, an ICMP
// error about the echo (its type and code, read from the datagram socket's
// error queue or the packet a raw socket receives), or a failure of the local
// stack (errno).

#include "platform/linux/EchoFamily.h"

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <vector>

enum class EchoSocketKind { Datagram, Raw };

// An echo's destination or an answer's sender, as the family's socket address.
union EchoPeer {
    sockaddr_in6 v6; // the larger one first: zeroing the union zeroes all of it
    sockaddr_in v4;
    sockaddr any;
};

struct EchoAnswer {
    enum class Kind { Reply, IcmpError, LocalError };
    Kind kind = Kind::Reply;
    EchoPeer from{};
    uint8_t icmpType = 0;
    uint8_t icmpCode = 0;
    int error = 0;             // errno of a local failure
    uint32_t roundTripUs = 0;  // from the send to the kernel's receive stamp
    std::vector<uint8_t> data; // a reply's echoed data
};

struct EchoRequest {
    int fd = -1;
    EchoSocketKind kind = EchoSocketKind::Datagram;
    uint16_t id = 0; // ours on a raw socket; the kernel's on a datagram socket
    uint16_t seq = 0;
    EchoPeer destination{}; // with its family set
    // False: a send the kernel refuses is no answer, just no reply.
    bool sendFailureAnswers = true;
};

// A datagram ICMP socket of either family needs the process's group inside
// net.ipv4.ping_group_range; a raw one needs CAP_NET_RAW. -1 when refused.
// A datagram socket gets the family's RECVERR, so ICMP errors about our echoes
// are queued for us with the offender's address. Both kinds get receive
// timestamps (KernelTimestamps.h).
int OpenEchoSocket(const EchoFamily& family, EchoSocketKind kind);

// Sends the echo with the given hop limit and waits; true with the answer when
// a reply or an error about this echo came within timeoutMs. keepWaiting, when
// set, is asked at least every 20 ms whether to go on waiting; false ends the
// wait (no answer).
bool ExchangeEcho(const EchoFamily& family, const EchoRequest& request, const void* data, uint16_t size,
                  uint8_t hopLimit, uint32_t timeoutMs, const std::function<bool()>& keepWaiting,
                  EchoAnswer& answer);

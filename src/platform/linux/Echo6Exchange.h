#pragma once

// One ICMPv6 echo exchange, told in the kernel's terms like the IPv4 one: a
// reply, an ICMPv6 error about the echo (type and code, from the datagram
// socket's error queue or the quoted packet a raw socket receives), or a
// failure of the local stack (errno).

#include "platform/linux/EchoExchange.h"

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <vector>

struct Echo6Answer {
    enum class Kind { Reply, IcmpError, LocalError };
    Kind kind = Kind::Reply;
    sockaddr_in6 from{}; // who answered
    uint8_t icmpType = 0;
    uint8_t icmpCode = 0;
    int error = 0; // errno of a local failure
    uint32_t roundTripUs = 0; // from the kernel's receive stamp
    std::vector<uint8_t> data; // a reply's echoed data
};

struct Echo6Request {
    int fd = -1;
    EchoSocketKind kind = EchoSocketKind::Datagram;
    uint16_t id = 0; // ours on a raw socket; the kernel's on a datagram socket
    uint16_t seq = 0;
    sockaddr_in6 destination{};
};

// A datagram ICMPv6 socket needs the process's group inside
// net.ipv4.ping_group_range (it serves both families); a raw one needs
// CAP_NET_RAW. -1 when refused. Both get kernel receive timestamps; the
// datagram one IPV6_RECVERR, the raw one a filter passing only echo replies
// and the errors that can be about an echo.
int OpenEcho6Socket(EchoSocketKind kind);

// Binds a fresh socket to a source address (port 0: the kernel picks the
// datagram socket's identifier). errno when refused.
bool BindEcho6Source(int fd, const sockaddr_in6& source);

// The ICMPv6 errors that quote the packet they are about (RFC 4443):
// destination unreachable, packet too big, time exceeded, parameter problem.
bool IsIcmp6ErrorAboutPacket(uint8_t type);

// Sends the echo with the given hop limit and waits; true with the answer when
// a reply or an error about this echo came within timeoutMs. keepWaiting, when
// set, is asked at least every 20 ms whether to go on; false ends the wait.
bool ExchangeEcho6(const Echo6Request& request, const void* data, uint16_t size, uint8_t hopLimit,
                   uint32_t timeoutMs, const std::function<bool()>& keepWaiting, Echo6Answer& answer);

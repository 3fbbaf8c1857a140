#pragma once

// ICMPv6 echo beside the IPv4 library, with the platform's IPv6 calls:
// Icmp6CreateFile, Icmp6SendEcho2 (used synchronously: no event, no APC) and
// Icmp6ParseReplies; the handle is closed with IcmpCloseHandle as for IPv4.
// A datagram ICMPv6 socket where net.ipv4.ping_group_range allows it, else a
// raw one.

#include "platform/icmplib.h"

#include <cstdint>
#include <functional>
#include <netinet/in.h>

struct IPV6_ADDRESS_EX {
    uint16_t sin6_port;
    uint32_t sin6_flowinfo;
    uint16_t sin6_addr[8]; // network order, as in in6_addr
    uint32_t sin6_scope_id;
};

// The head of the reply in the reply buffer; the echoed data follows it when
// there is room. DataSize is ours, after the platform's three fields; the
// round trip in microseconds comes from IcmpGetRoundTripMicroseconds, as for IPv4.
struct ICMPV6_ECHO_REPLY {
    IPV6_ADDRESS_EX Address;
    uint32_t Status;
    uint32_t RoundTripTime; // whole milliseconds
    uint16_t DataSize;
    uint16_t Reserved;
};

// Which socket a new handle gets; None when the kernel allows neither.
IcmpFacility LoadedIcmp6Facility();

HANDLE Icmp6CreateFile();
// Sends one echo from SourceAddress (null or unspecified: the kernel picks) to
// DestinationAddress and waits up to Timeout ms for its reply or an ICMPv6
// error about it. Event and ApcRoutine must be null: only the synchronous form
// is offered. Returns the number of replies (0 or 1); nothing is written past
// ReplySize bytes. With no answer the head says IP_REQ_TIMED_OUT.
uint32_t Icmp6SendEcho2(HANDLE IcmpHandle, HANDLE Event, void* ApcRoutine, void* ApcContext,
                        const sockaddr_in6* SourceAddress, const sockaddr_in6* DestinationAddress,
                        const void* RequestData, uint16_t RequestSize,
                        const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer, uint32_t ReplySize,
                        uint32_t Timeout);
// Icmp6SendEcho2 whose wait the caller can cut short: keepWaiting is called at
// least every 20 ms; false gives up at once and returns 0.
uint32_t Icmp6SendEcho2While(HANDLE IcmpHandle, const sockaddr_in6* SourceAddress,
                             const sockaddr_in6* DestinationAddress, const void* RequestData,
                             uint16_t RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                             void* ReplyBuffer, uint32_t ReplySize, uint32_t Timeout,
                             const std::function<bool()>& keepWaiting);
// The number of replies in a buffer Icmp6SendEcho2 filled: 1 or 0.
uint32_t Icmp6ParseReplies(const void* ReplyBuffer, uint32_t ReplySize);

// Status for an ICMPv6 error type and code; 0 when it is not an error about an echo.
uint32_t Icmp6ErrorStatus(uint8_t type, uint8_t code);

namespace icmp6::testing {
// Limits which facility new handles may use (None lifts the limit).
void UseOnly(IcmpFacility facility);
// The facility a handle's socket is of.
IcmpFacility FacilityOf(HANDLE handle);
// The identifier a handle's raw echoes carry.
uint16_t IdentifierOf(HANDLE handle);
}

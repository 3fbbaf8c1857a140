#pragma once

// Our ICMP echo library: the three calls of the Windows ICMP library, on a
// datagram ICMP socket where net.ipv4.ping_group_range lets this process open
// one, else on a raw ICMP socket.

#include <cstdint>
#include <functional>

using HANDLE = intptr_t;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;
using IPAddr = uint32_t; // network order

struct IP_OPTION_INFORMATION {
    uint8_t Ttl = 0;
    uint8_t Tos = 0;
    uint8_t Flags = 0;
    uint8_t OptionsSize = 0;
    uint8_t* OptionsData = nullptr;
};

// The head of each reply in the reply buffer; the echoed data follows it when
// there is room.
struct ICMP_ECHO_REPLY {
    IPAddr Address;
    uint32_t Status;
    uint32_t RoundTripTime;
    uint16_t DataSize;
    uint16_t Reserved;
};

// IP status codes.
enum : uint32_t {
    IP_SUCCESS = 0,
    IP_BUF_TOO_SMALL = 11001,
    IP_DEST_NET_UNREACHABLE = 11002,
    IP_DEST_HOST_UNREACHABLE = 11003,
    IP_DEST_PROT_UNREACHABLE = 11004,
    IP_DEST_PORT_UNREACHABLE = 11005,
    IP_BAD_OPTION = 11007,
    IP_PACKET_TOO_BIG = 11009,
    IP_REQ_TIMED_OUT = 11010,
    IP_BAD_ROUTE = 11012,
    IP_TTL_EXPIRED_TRANSIT = 11013,
    IP_TTL_EXPIRED_REASSEM = 11014,
    IP_PARAM_PROBLEM = 11015,
    IP_SOURCE_QUENCH = 11016,
    IP_GENERAL_FAILURE = 11050,
};

enum class IcmpFacility { None, Datagram, Raw };

using IcmpLibraryModule = intptr_t; // 0: not loaded

struct IcmpEntryPoints {
    HANDLE (*IcmpCreateFile)() = nullptr;
    bool (*IcmpCloseHandle)(HANDLE) = nullptr;
    uint32_t (*IcmpSendEcho)(HANDLE, IPAddr, const void*, uint16_t, const IP_OPTION_INFORMATION*,
                             void*, uint32_t, uint32_t) = nullptr;
    // Null where the facility offers no wait that can be cut short.
    uint32_t (*IcmpSendEchoWhile)(HANDLE, IPAddr, const void*, uint16_t, const IP_OPTION_INFORMATION*,
                                  void*, uint32_t, uint32_t, const std::function<bool()>&) = nullptr;
    // Null where the facility measures whole milliseconds only.
    bool (*IcmpGetRoundTripMicroseconds)(HANDLE, uint32_t*) = nullptr;
};

// "Loading" finds a facility the kernel lets this process use; 0 when none.
IcmpLibraryModule LoadIcmpLibrary();
IcmpEntryPoints BindIcmpEntryPoints(IcmpLibraryModule module);
void FreeIcmpLibrary(IcmpLibraryModule module);
IcmpFacility LoadedIcmpFacility();

HANDLE IcmpCreateFile();
bool IcmpCloseHandle(HANDLE handle);
// Sends one echo and waits up to timeoutMs for its reply or an ICMP error about
// it. Returns the number of replies (0 or 1); the first reply's Address, Status
// and RoundTripTime are the first three words of replyBuffer. Nothing is written
// past replySize bytes.
uint32_t IcmpSendEcho(HANDLE handle, IPAddr destination, const void* requestData,
                      uint16_t requestSize, const IP_OPTION_INFORMATION* options,
                      void* replyBuffer, uint32_t replySize, uint32_t timeoutMs);
// IcmpSendEcho whose wait the caller can cut short: keepWaiting is called at
// least every 20 ms while the answer is awaited (a window processes its events
// there); when it returns false the call gives up at once and returns 0.
uint32_t IcmpSendEchoWhile(HANDLE handle, IPAddr destination, const void* requestData,
                           uint16_t requestSize, const IP_OPTION_INFORMATION* options,
                           void* replyBuffer, uint32_t replySize, uint32_t timeoutMs,
                           const std::function<bool()>& keepWaiting);

// Our extension, beside the reply buffer the Windows calls fill: the round trip
// of the latest answer an echo call on this handle wrote, in microseconds,
// from the kernel's receive stamp (RoundTripTime is it in whole ms). False for
// an unknown handle or before the first answer. Not tied to an address family.
bool IcmpGetRoundTripMicroseconds(HANDLE handle, uint32_t* microseconds);

namespace icmplib::testing {
// Limits which facility loading may choose (None lifts the limit).
void UseOnly(IcmpFacility facility);
}

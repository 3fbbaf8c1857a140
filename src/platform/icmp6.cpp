#include "platform/icmp6.h"
#include "platform/IcmpHandles.h"
#include "platform/linux/Echo6Family.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/icmp6.h>
#include <unistd.h>

namespace {

std::mutex limitMutex;
IcmpFacility onlyFacility = IcmpFacility::None;

int OpenSocket(IcmpFacility& facility)
{
    std::lock_guard<std::mutex> lock(limitMutex);
    return OpenPreferredEchoSocket(Ipv6Echo(), onlyFacility, facility);
}

bool Unspecified(const sockaddr_in6* a)
{
    return !a || IN6_IS_ADDR_UNSPECIFIED(&a->sin6_addr);
}

bool SameSource(const sockaddr_in6& a, const sockaddr_in6& b)
{
    return a.sin6_family == b.sin6_family && std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
           a.sin6_scope_id == b.sin6_scope_id;
}

// A socket's source is fixed once it has sent (the kernel binds a datagram
// socket then), so another source takes a fresh socket. errno when refused.
bool UseSource(IcmpHandleState& state, const sockaddr_in6* requested)
{
    sockaddr_in6 wanted{};
    if (!Unspecified(requested)) {
        wanted = *requested;
        wanted.sin6_family = AF_INET6;
    }
    if (SameSource(state.source, wanted))
        return true;
    const int fd = OpenEchoSocket(Ipv6Echo(), EchoSocketKindOf(state.facility));
    if (fd < 0)
        return false;
    if (wanted.sin6_family == AF_INET6 && !BindEcho6Source(fd, wanted)) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return false;
    }
    ::close(state.fd);
    state.fd = fd;
    state.source = wanted;
    return true;
}

IPV6_ADDRESS_EX AddressEx(const sockaddr_in6& a)
{
    IPV6_ADDRESS_EX out{};
    out.sin6_port = a.sin6_port;
    out.sin6_flowinfo = a.sin6_flowinfo;
    std::memcpy(out.sin6_addr, &a.sin6_addr, sizeof out.sin6_addr);
    out.sin6_scope_id = a.sin6_scope_id;
    return out;
}

} // namespace

uint32_t Icmp6ErrorStatus(uint8_t type, uint8_t code)
{
    switch (type) {
    case ICMP6_TIME_EXCEEDED:
        return code == ICMP6_TIME_EXCEED_REASSEMBLY ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case ICMP6_DST_UNREACH:
        switch (code) {
        case ICMP6_DST_UNREACH_NOROUTE:
        case ICMP6_DST_UNREACH_BEYONDSCOPE:
        case 6: // reject route
            return IP_DEST_NET_UNREACHABLE;
        case ICMP6_DST_UNREACH_NOPORT: return IP_DEST_PORT_UNREACHABLE;
        // Administratively prohibited, a failed source policy and the address
        // itself unreachable read as the host unreachable, as IPv4's
        // "communication prohibited" does.
        default: return IP_DEST_HOST_UNREACHABLE;
        }
    case ICMP6_PACKET_TOO_BIG: return IP_PACKET_TOO_BIG;
    case ICMP6_PARAM_PROB: return IP_PARAM_PROBLEM;
    default: return 0;
    }
}

IcmpFacility LoadedIcmp6Facility()
{
    IcmpFacility facility;
    const int fd = OpenSocket(facility);
    if (fd >= 0)
        ::close(fd);
    return facility;
}

HANDLE Icmp6CreateFile()
{
    IcmpFacility facility;
    const int fd = OpenSocket(facility);
    return AddIcmpHandle(Ipv6Echo(), facility, fd);
}

uint32_t Icmp6SendEcho2(HANDLE IcmpHandle, HANDLE Event, void* ApcRoutine, void*,
                        const sockaddr_in6* SourceAddress, const sockaddr_in6* DestinationAddress,
                        const void* RequestData, uint16_t RequestSize,
                        const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer, uint32_t ReplySize,
                        uint32_t Timeout)
{
    if (Event || ApcRoutine)
        return 0;
    return Icmp6SendEcho2While(IcmpHandle, SourceAddress, DestinationAddress, RequestData, RequestSize,
                               RequestOptions, ReplyBuffer, ReplySize, Timeout, {});
}

uint32_t Icmp6SendEcho2While(HANDLE IcmpHandle, const sockaddr_in6* SourceAddress,
                             const sockaddr_in6* DestinationAddress, const void* RequestData,
                             uint16_t RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                             void* ReplyBuffer, uint32_t ReplySize, uint32_t Timeout,
                             const std::function<bool()>& keepWaiting)
{
    if (!DestinationAddress || !ReplyBuffer || ReplySize < sizeof(ICMPV6_ECHO_REPLY))
        return 0;
    EchoRequest request;
    request.destination.v6 = *DestinationAddress;
    request.destination.v6.sin6_family = AF_INET6;
    request.destination.v6.sin6_port = 0; // a raw socket takes no other
    const IcmpEchoOutcome outcome =
        SendIcmpEcho(IcmpHandle, Ipv6Echo(), request,
                     {RequestOptions, RequestData, RequestSize, Timeout, keepWaiting, Icmp6ErrorStatus,
                      [SourceAddress](IcmpHandleState& state) { return UseSource(state, SourceAddress); }});
    if (outcome.result == IcmpEchoOutcome::Result::NoHandle)
        return 0;
    const bool answered = outcome.result == IcmpEchoOutcome::Result::Answer;
    ICMPV6_ECHO_REPLY head{};
    head.Address = AddressEx(outcome.answer.from.v6);
    head.Status = answered ? outcome.status : IP_REQ_TIMED_OUT;
    head.RoundTripTime = outcome.answer.roundTripUs / 1000;
    WriteEchoReply(head, outcome.answer.data, ReplyBuffer, ReplySize);
    return answered ? 1 : 0;
}

uint32_t Icmp6ParseReplies(const void* ReplyBuffer, uint32_t ReplySize)
{
    if (!ReplyBuffer || ReplySize < sizeof(ICMPV6_ECHO_REPLY))
        return 0;
    ICMPV6_ECHO_REPLY head;
    std::memcpy(&head, ReplyBuffer, sizeof head);
    return head.Status == IP_REQ_TIMED_OUT ? 0 : 1;
}

void icmp6::testing::UseOnly(IcmpFacility facility)
{
    std::lock_guard<std::mutex> lock(limitMutex);
    onlyFacility = facility;
}

IcmpFacility icmp6::testing::FacilityOf(HANDLE handle)
{
    IcmpHandleState state;
    return FindIcmpHandle(handle, Ipv6Echo(), state) ? state.facility : IcmpFacility::None;
}

uint16_t icmp6::testing::IdentifierOf(HANDLE handle)
{
    IcmpHandleState state;
    return FindIcmpHandle(handle, Ipv6Echo(), state) ? state.id : 0;
}

#include "platform/icmp6.h"
#include "platform/IcmpEcho.h"
#include "platform/linux/Echo6Exchange.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <netinet/icmp6.h>
#include <unistd.h>

namespace {

std::mutex handlesMutex;
IcmpFacility onlyFacility = IcmpFacility::None;
std::atomic<uint16_t> nextSequence{1};

struct Icmp6HandleState {
    int fd = -1;
    IcmpFacility facility = IcmpFacility::None;
    uint16_t id = 0;
    sockaddr_in6 source{}; // sin6_family 0: not bound
    bool answered = false;
    uint32_t roundTripUs = 0; // of the latest answer
};
std::map<HANDLE, Icmp6HandleState> handles;
// Apart from the IPv4 library's numbers, so IcmpCloseHandle can tell them apart.
HANDLE nextHandle = 0x40000000;

EchoSocketKind KindOf(IcmpFacility facility)
{
    return facility == IcmpFacility::Datagram ? EchoSocketKind::Datagram : EchoSocketKind::Raw;
}

bool Allowed(IcmpFacility facility)
{
    return onlyFacility == IcmpFacility::None || onlyFacility == facility;
}

// Opens the preferred socket the kernel allows; the facility is None when neither.
int OpenSocket(IcmpFacility& facility)
{
    for (IcmpFacility f : {IcmpFacility::Datagram, IcmpFacility::Raw}) {
        if (!Allowed(f))
            continue;
        const int fd = OpenEcho6Socket(KindOf(f));
        if (fd >= 0) {
            facility = f;
            return fd;
        }
    }
    facility = IcmpFacility::None;
    return -1;
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
bool UseSource(Icmp6HandleState& state, const sockaddr_in6* requested)
{
    sockaddr_in6 wanted{};
    if (!Unspecified(requested)) {
        wanted = *requested;
        wanted.sin6_family = AF_INET6;
    }
    if (SameSource(state.source, wanted))
        return true;
    const int fd = OpenEcho6Socket(KindOf(state.facility));
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

uint32_t StatusOf(const Echo6Answer& answer)
{
    switch (answer.kind) {
    case Echo6Answer::Kind::Reply: return IP_SUCCESS;
    case Echo6Answer::Kind::IcmpError: return Icmp6ErrorStatus(answer.icmpType, answer.icmpCode);
    case Echo6Answer::Kind::LocalError: return LocalEchoErrorStatus(answer.error);
    }
    return IP_GENERAL_FAILURE;
}

void WriteReply(const ICMPV6_ECHO_REPLY& head, const std::vector<uint8_t>& data, void* buffer, uint32_t size)
{
    ICMPV6_ECHO_REPLY reply = head;
    const size_t copied = std::min(size_t(size) - sizeof reply, data.size());
    reply.DataSize = uint16_t(copied);
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, &reply, sizeof reply);
    if (copied)
        std::memcpy(out + sizeof reply, data.data(), copied);
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
    std::lock_guard<std::mutex> lock(handlesMutex);
    IcmpFacility facility;
    const int fd = OpenSocket(facility);
    if (fd >= 0)
        ::close(fd);
    return facility;
}

HANDLE Icmp6CreateFile()
{
    std::lock_guard<std::mutex> lock(handlesMutex);
    Icmp6HandleState state;
    state.fd = OpenSocket(state.facility);
    if (state.fd < 0)
        return INVALID_HANDLE_VALUE;
    const HANDLE h = nextHandle++;
    state.id = uint16_t((::getpid() * 31 + int(h)) & 0xFFFF);
    handles[h] = state;
    return h;
}

bool CloseIcmp6Handle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(handlesMutex);
    auto it = handles.find(handle);
    if (it == handles.end())
        return false;
    ::close(it->second.fd);
    handles.erase(it);
    return true;
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
    ICMPV6_ECHO_REPLY head{};
    head.Address = AddressEx(*DestinationAddress);
    Echo6Request request;
    {
        std::lock_guard<std::mutex> lock(handlesMutex);
        auto it = handles.find(IcmpHandle);
        if (it == handles.end())
            return 0;
        if (!UseSource(it->second, SourceAddress)) {
            head.Status = LocalEchoErrorStatus(errno);
            WriteReply(head, {}, ReplyBuffer, ReplySize);
            return 1;
        }
        request.fd = it->second.fd;
        request.kind = KindOf(it->second.facility);
        request.id = it->second.id;
    }
    request.seq = nextSequence++;
    request.destination = *DestinationAddress;
    // No options means the default hop limit; an explicit 0 cannot be sent and
    // is answered as a bad option, never replaced.
    const uint8_t hopLimit = RequestOptions ? RequestOptions->Ttl : 128;
    Echo6Answer answer;
    if (hopLimit == 0) {
        head.Status = IP_BAD_OPTION;
    } else if (ExchangeEcho6(request, RequestData, RequestSize, hopLimit, Timeout, keepWaiting, answer)) {
        head.Address = AddressEx(answer.from);
        head.Status = StatusOf(answer);
        head.RoundTripTime = answer.roundTripUs / 1000;
        std::lock_guard<std::mutex> lock(handlesMutex);
        auto it = handles.find(IcmpHandle);
        if (it != handles.end()) {
            it->second.answered = true;
            it->second.roundTripUs = answer.roundTripUs;
        }
    } else {
        head.Status = IP_REQ_TIMED_OUT;
        WriteReply(head, {}, ReplyBuffer, ReplySize);
        return 0;
    }
    WriteReply(head, answer.data, ReplyBuffer, ReplySize);
    return 1;
}

bool Icmp6RoundTripMicroseconds(HANDLE handle, uint32_t* microseconds)
{
    std::lock_guard<std::mutex> lock(handlesMutex);
    auto it = handles.find(handle);
    if (it == handles.end() || !it->second.answered || !microseconds)
        return false;
    *microseconds = it->second.roundTripUs;
    return true;
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
    std::lock_guard<std::mutex> lock(handlesMutex);
    onlyFacility = facility;
}

IcmpFacility icmp6::testing::FacilityOf(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(handlesMutex);
    auto it = handles.find(handle);
    return it == handles.end() ? IcmpFacility::None : it->second.facility;
}

uint16_t icmp6::testing::IdentifierOf(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(handlesMutex);
    auto it = handles.find(handle);
    return it == handles.end() ? 0 : it->second.id;
}

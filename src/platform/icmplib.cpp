#include "platform/icmplib.h"
#include "platform/IcmpEcho.h"
#include "platform/icmp6.h"
#include "platform/linux/EchoExchange.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex libraryMutex;
IcmpFacility loaded = IcmpFacility::None;
IcmpFacility onlyFacility = IcmpFacility::None;
std::atomic<uint16_t> nextSequence{1};

struct IcmpHandleState {
    int fd = -1;
    IcmpFacility facility = IcmpFacility::None;
    uint16_t id = 0;
    bool answered = false;
    uint32_t roundTripUs = 0; // of the latest answer
};
std::map<HANDLE, IcmpHandleState> handles;
HANDLE nextHandle = 1;

EchoSocketKind KindOf(IcmpFacility facility)
{
    return facility == IcmpFacility::Datagram ? EchoSocketKind::Datagram : EchoSocketKind::Raw;
}

// The library "loads" when the kernel lets this process open the facility's socket.
bool Usable(IcmpFacility facility)
{
    if (onlyFacility != IcmpFacility::None && onlyFacility != facility)
        return false;
    const int fd = OpenEchoSocket(KindOf(facility));
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

uint32_t StatusOf(const EchoAnswer& answer)
{
    switch (answer.kind) {
    case EchoAnswer::Kind::Reply: return IP_SUCCESS;
    case EchoAnswer::Kind::IcmpError: return IcmpErrorStatus(answer.icmpType, answer.icmpCode);
    case EchoAnswer::Kind::LocalError: return LocalEchoErrorStatus(answer.error);
    }
    return IP_GENERAL_FAILURE;
}

} // namespace

IcmpLibraryModule LoadIcmpLibrary()
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    if (Usable(IcmpFacility::Datagram))
        loaded = IcmpFacility::Datagram;
    else if (Usable(IcmpFacility::Raw))
        loaded = IcmpFacility::Raw;
    else
        loaded = IcmpFacility::None;
    return IcmpLibraryModule(loaded);
}

IcmpEntryPoints BindIcmpEntryPoints(IcmpLibraryModule module)
{
    IcmpEntryPoints entries;
    if (module == 0)
        return entries;
    entries.IcmpCreateFile = &IcmpCreateFile;
    entries.IcmpCloseHandle = &IcmpCloseHandle;
    entries.IcmpSendEcho = &IcmpSendEcho;
    entries.IcmpSendEchoWhile = &IcmpSendEchoWhile;
    entries.IcmpGetRoundTripMicroseconds = &IcmpGetRoundTripMicroseconds;
    return entries;
}

void FreeIcmpLibrary(IcmpLibraryModule)
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    loaded = IcmpFacility::None;
}

IcmpFacility LoadedIcmpFacility()
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    return loaded;
}

void icmplib::testing::UseOnly(IcmpFacility facility)
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    onlyFacility = facility;
}

HANDLE IcmpCreateFile()
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    if (loaded == IcmpFacility::None)
        return INVALID_HANDLE_VALUE;
    IcmpHandleState state;
    state.facility = loaded;
    state.fd = OpenEchoSocket(KindOf(loaded));
    if (state.fd < 0)
        return INVALID_HANDLE_VALUE;
    const HANDLE h = nextHandle++;
    state.id = uint16_t((::getpid() * 31 + int(h)) & 0xFFFF);
    handles[h] = state;
    return h;
}

bool IcmpCloseHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    auto it = handles.find(handle);
    if (it == handles.end())
        return CloseIcmp6Handle(handle); // ICMPv6 handles close here too
    ::close(it->second.fd);
    handles.erase(it);
    return true;
}

uint32_t IcmpSendEcho(HANDLE handle, IPAddr destination, const void* requestData,
                      uint16_t requestSize, const IP_OPTION_INFORMATION* options,
                      void* replyBuffer, uint32_t replySize, uint32_t timeoutMs)
{
    return IcmpSendEchoWhile(handle, destination, requestData, requestSize, options, replyBuffer,
                             replySize, timeoutMs, {});
}

uint32_t IcmpSendEchoWhile(HANDLE handle, IPAddr destination, const void* requestData,
                           uint16_t requestSize, const IP_OPTION_INFORMATION* options,
                           void* replyBuffer, uint32_t replySize, uint32_t timeoutMs,
                           const std::function<bool()>& keepWaiting)
{
    EchoRequest request;
    {
        std::lock_guard<std::mutex> lock(libraryMutex);
        auto it = handles.find(handle);
        if (it == handles.end())
            return 0;
        request.fd = it->second.fd;
        request.kind = KindOf(it->second.facility);
        request.id = it->second.id;
    }
    if (!replyBuffer || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0;
    request.seq = nextSequence++;
    request.destination = destination;
    // No options means the default time-to-live; an explicit 0 cannot be sent
    // (the kernel refuses it) and is answered as a bad option, never replaced.
    const uint8_t ttl = options ? options->Ttl : 128;
    ICMP_ECHO_REPLY reply{};
    EchoAnswer answer;
    if (ttl == 0) {
        reply.Address = destination;
        reply.Status = IP_BAD_OPTION;
    } else if (ExchangeEcho(request, requestData, requestSize, ttl, timeoutMs, keepWaiting, answer)) {
        reply.Address = answer.from;
        reply.Status = StatusOf(answer);
        reply.RoundTripTime = answer.roundTripMs;
    } else {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(libraryMutex);
        auto it = handles.find(handle);
        if (it != handles.end()) {
            it->second.answered = true;
            it->second.roundTripUs = answer.roundTripUs;
        }
    }
    const size_t room = replySize - sizeof reply;
    const size_t copied = std::min(room, answer.data.size());
    reply.DataSize = uint16_t(copied);
    auto* out = static_cast<uint8_t*>(replyBuffer);
    std::memcpy(out, &reply, sizeof reply);
    if (copied)
        std::memcpy(out + sizeof reply, answer.data.data(), copied);
    return 1;
}

bool IcmpGetRoundTripMicroseconds(HANDLE handle, uint32_t* microseconds)
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    auto it = handles.find(handle);
    if (it == handles.end())
        return Icmp6RoundTripMicroseconds(handle, microseconds); // ICMPv6 handles answer here too
    if (!it->second.answered || !microseconds)
        return false;
    *microseconds = it->second.roundTripUs;
    return true;
}

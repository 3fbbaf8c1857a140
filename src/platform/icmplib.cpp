#include "platform/icmplib.h"
#include "platform/IcmpEcho.h"
#include "platform/IcmpHandles.h"
#include "platform/linux/Echo4Family.h"

#include <mutex>
#include <unistd.h>

namespace {

std::mutex libraryMutex;
IcmpFacility loaded = IcmpFacility::None;
IcmpFacility onlyFacility = IcmpFacility::None;

} // namespace

IcmpLibraryModule LoadIcmpLibrary()
{
    std::lock_guard<std::mutex> lock(libraryMutex);
    // The library "loads" when the kernel lets this process open a socket of the facility.
    const int fd = OpenPreferredEchoSocket(Ipv4Echo(), onlyFacility, loaded);
    if (fd >= 0)
        ::close(fd);
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
    return AddIcmpHandle(Ipv4Echo(), loaded, OpenEchoSocket(Ipv4Echo(), EchoSocketKindOf(loaded)));
}

bool IcmpCloseHandle(HANDLE handle)
{
    return RemoveIcmpHandle(handle); // ICMPv6 handles close here too
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
    if (!replyBuffer || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0;
    EchoRequest request;
    request.destination.v4.sin_family = AF_INET;
    request.destination.v4.sin_addr.s_addr = destination;
    // The all-ones address of a host that did not resolve just gets no reply
    // (the kernel refuses to send to it: no SO_BROADCAST).
    request.sendFailureAnswers = destination != 0xFFFFFFFFu;
    const IcmpEchoOutcome outcome = SendIcmpEcho(
        handle, Ipv4Echo(), request,
        {options, requestData, requestSize, timeoutMs, keepWaiting, IcmpErrorStatus, {}});
    if (outcome.result != IcmpEchoOutcome::Result::Answer)
        return 0;
    ICMP_ECHO_REPLY reply{};
    reply.Address = outcome.answer.from.v4.sin_addr.s_addr;
    reply.Status = outcome.status;
    reply.RoundTripTime = outcome.answer.roundTripUs / 1000;
    WriteEchoReply(reply, outcome.answer.data, replyBuffer, replySize);
    return 1;
}

bool IcmpGetRoundTripMicroseconds(HANDLE handle, uint32_t* microseconds)
{
    return LatestRoundTripMicroseconds(handle, microseconds); // ICMPv6 handles answer here too
}

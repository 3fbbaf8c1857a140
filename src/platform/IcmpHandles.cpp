#include "platform/IcmpHandles.h"
#include "platform/IcmpEcho.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex tableMutex;
std::map<HANDLE, IcmpHandleState> handles;
HANDLE nextHandle = 1;
std::atomic<uint16_t> nextSequence{1};

// Under tableMutex.
IcmpHandleState* Find(HANDLE handle, const EchoFamily* family)
{
    auto it = handles.find(handle);
    if (it == handles.end() || (family && it->second.family != family))
        return nullptr;
    return &it->second;
}

// Under tableMutex.
void Record(HANDLE handle, uint32_t roundTripUs)
{
    if (IcmpHandleState* state = Find(handle, nullptr)) {
        state->answered = true;
        state->roundTripUs = roundTripUs;
    }
}

uint32_t StatusOf(const EchoAnswer& answer, const IcmpEchoCall& call)
{
    switch (answer.kind) {
    case EchoAnswer::Kind::Reply: return IP_SUCCESS;
    case EchoAnswer::Kind::IcmpError: return call.errorStatus(answer.icmpType, answer.icmpCode);
    case EchoAnswer::Kind::LocalError: return LocalEchoErrorStatus(answer.error);
    }
    return IP_GENERAL_FAILURE;
}

} // namespace

EchoSocketKind EchoSocketKindOf(IcmpFacility facility)
{
    return facility == IcmpFacility::Datagram ? EchoSocketKind::Datagram : EchoSocketKind::Raw;
}

int OpenPreferredEchoSocket(const EchoFamily& family, IcmpFacility only, IcmpFacility& facility)
{
    for (IcmpFacility f : {IcmpFacility::Datagram, IcmpFacility::Raw}) {
        if (only != IcmpFacility::None && only != f)
            continue;
        const int fd = OpenEchoSocket(family, EchoSocketKindOf(f));
        if (fd >= 0) {
            facility = f;
            return fd;
        }
    }
    facility = IcmpFacility::None;
    return -1;
}

HANDLE AddIcmpHandle(const EchoFamily& family, IcmpFacility facility, int fd)
{
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> lock(tableMutex);
    const HANDLE h = nextHandle++;
    IcmpHandleState& state = handles[h];
    state.family = &family;
    state.fd = fd;
    state.facility = facility;
    state.id = uint16_t((::getpid() * 31 + int(h)) & 0xFFFF);
    return h;
}

bool RemoveIcmpHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(tableMutex);
    auto it = handles.find(handle);
    if (it == handles.end())
        return false;
    ::close(it->second.fd);
    handles.erase(it);
    return true;
}

bool FindIcmpHandle(HANDLE handle, const EchoFamily& family, IcmpHandleState& state)
{
    std::lock_guard<std::mutex> lock(tableMutex);
    const IcmpHandleState* found = Find(handle, &family);
    if (found)
        state = *found;
    return found;
}

bool LatestRoundTripMicroseconds(HANDLE handle, uint32_t* microseconds)
{
    std::lock_guard<std::mutex> lock(tableMutex);
    const IcmpHandleState* state = Find(handle, nullptr);
    if (!state || !state->answered || !microseconds)
        return false;
    *microseconds = state->roundTripUs;
    return true;
}

IcmpEchoOutcome SendIcmpEcho(HANDLE handle, const EchoFamily& family, EchoRequest request, const IcmpEchoCall& call)
{
    IcmpEchoOutcome outcome;
    outcome.answer.from = request.destination;
    {
        std::lock_guard<std::mutex> lock(tableMutex);
        IcmpHandleState* state = Find(handle, &family);
        if (!state)
            return outcome;
        if (call.ready && !call.ready(*state)) {
            outcome.result = IcmpEchoOutcome::Result::Answer;
            outcome.status = LocalEchoErrorStatus(errno);
            Record(handle, 0);
            return outcome;
        }
        request.fd = state->fd;
        request.kind = EchoSocketKindOf(state->facility);
        request.id = state->id;
    }
    request.seq = nextSequence++;
    // No options means the default hop limit; an explicit 0 cannot be sent
    // (the kernel refuses it) and is answered as a bad option, never replaced.
    const uint8_t hopLimit = call.options ? call.options->Ttl : 128;
    if (hopLimit == 0) {
        outcome.status = IP_BAD_OPTION;
    } else if (ExchangeEcho(family, request, call.data, call.size, hopLimit, call.timeoutMs, call.keepWaiting,
                            outcome.answer)) {
        outcome.status = StatusOf(outcome.answer, call);
    } else {
        outcome.result = IcmpEchoOutcome::Result::NoAnswer;
        return outcome;
    }
    outcome.result = IcmpEchoOutcome::Result::Answer;
    std::lock_guard<std::mutex> lock(tableMutex);
    Record(handle, outcome.answer.roundTripUs);
    return outcome;
}

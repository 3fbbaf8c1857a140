#pragma once

// What the two ICMP libraries (icmplib.h, icmp6.h) share: their handles, in
// one table with one numbering so IcmpCloseHandle and
// IcmpGetRoundTripMicroseconds serve either family, the echo call both send
// calls come down to, and the writing of the reply buffer. Only the two
// libraries include this.

#include "platform/icmplib.h"
#include "platform/linux/EchoExchange.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

struct IcmpHandleState {
    const EchoFamily* family = nullptr;
    int fd = -1;
    IcmpFacility facility = IcmpFacility::None;
    uint16_t id = 0;       // what its raw echoes carry
    sockaddr_in6 source{}; // ICMPv6: the address the socket is bound to; sin6_family 0: none
    bool answered = false;
    uint32_t roundTripUs = 0; // of the latest answer
};

// Opens the family's socket the kernel allows, datagram before raw, of the
// facility `only` names (None: either); facility says which, None with -1
// when neither.
int OpenPreferredEchoSocket(const EchoFamily& family, IcmpFacility only, IcmpFacility& facility);
EchoSocketKind EchoSocketKindOf(IcmpFacility facility);

// A new handle owning fd; INVALID_HANDLE_VALUE when fd is not open.
HANDLE AddIcmpHandle(const EchoFamily& family, IcmpFacility facility, int fd);
// Closes a handle of either family; false when it is none.
bool RemoveIcmpHandle(HANDLE handle);
// A copy of a handle's state; false when it is not one of family's.
bool FindIcmpHandle(HANDLE handle, const EchoFamily& family, IcmpHandleState& state);
bool LatestRoundTripMicroseconds(HANDLE handle, uint32_t* microseconds);

struct IcmpEchoCall {
    const IP_OPTION_INFORMATION* options = nullptr;
    const void* data = nullptr;
    uint16_t size = 0;
    uint32_t timeoutMs = 0;
    std::function<bool()> keepWaiting;
    // The family's status for an ICMP error type and code.
    uint32_t (*errorStatus)(uint8_t type, uint8_t code) = nullptr;
    // Readies the handle's socket, under the table's lock; false is a local
    // failure told by errno. Empty when there is nothing to ready.
    std::function<bool(IcmpHandleState&)> ready;
};

struct IcmpEchoOutcome {
    enum class Result { NoHandle, NoAnswer, Answer };
    Result result = Result::NoHandle;
    uint32_t status = 0; // of an answer
    // The sender is the destination where nothing came back.
    EchoAnswer answer;
};

// Sends request (its destination set) on a handle of the family and waits.
// An answer, and a request refused before it is sent, are recorded as the
// handle's latest answer.
IcmpEchoOutcome SendIcmpEcho(HANDLE handle, const EchoFamily& family, EchoRequest request,
                             const IcmpEchoCall& call);

// Writes head and as much of data as fits into a reply buffer of size bytes,
// which has room for the head; DataSize says how much.
template <typename Head>
void WriteEchoReply(Head head, const std::vector<uint8_t>& data, void* buffer, uint32_t size)
{
    const size_t copied = std::min(size_t(size) - sizeof head, data.size());
    head.DataSize = uint16_t(copied);
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, &head, sizeof head);
    if (copied)
        std::memcpy(out + sizeof head, data.data(), copied);
}

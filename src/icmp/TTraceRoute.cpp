#include "icmp/TTraceRoute.h"
#include "icmp/EICMPError.h"
#include "icmp/IcmpModule.h"
#include "sock/AddressHelpers.h"

#include <QCoreApplication>

#include <cstring>

void TTraceRoute::CheckMode()
{
    switch (IcmpMode()) {
    case imLibrary:
    case imRawPingLibraryTrace:
        if (!IcmpLibrary().IcmpSendEcho)
            throw EICMPError("No ICMP.DLL found");
        EnsureIcmpHandle();
        return;
    case imRaw:
        throw EICMPError("Not yet implemented");
    case imRawPingNoTrace:
    case imNone:
        throw EICMPError("No ICMP.DLL found");
    }
}

void TTraceRoute::Execute()
{
    TICMP::Execute();
    HopList.clear();
    if (TargetIsIpv6()) {
        TraceIcmp6();
        return;
    }
    CheckMode();
    RequireTarget();

    const std::string request = RequestData();
    std::vector<uint8_t> reply(size_t(replySize_), 0);
    unsigned hop = 0;
    int probesOfThisHop = 0;

    while (hop < TimeToLive && !cancelled_) {
        const uint32_t replies = SendLibraryEcho(uint8_t(hop + 1), request, reply);
        if (cancelled_)
            break; // Stop came during the wait: whatever answered is not reported
        ++probesOfThisHop;

        uint32_t address = 0, status = IP_REQ_TIMED_OUT, roundtime = 0;
        if (replies == 1) {
            std::memcpy(&address, reply.data(), 4);
            std::memcpy(&status, reply.data() + 4, 4);
            std::memcpy(&roundtime, reply.data() + 8, 4);
        }
        if (replies == 1 && status != IP_REQ_TIMED_OUT) {
            // An echo reply from any address (a multi-homed target answers from
            // another one) ends the trace, and so does an error such as
            // "unreachable": nothing lies beyond it. Only a router's "time
            // exceeded" lets the trace go on.
            ++hop;
            probesOfThisHop = 0;
            if (status != IP_TTL_EXPIRED_TRANSIT)
                cancelled_ = true;
            LastStatus = status;
            HopList.push_back(ResolveHostname ? ReverseLookup(address) : DottedAddress(address));
            if (OnRoute)
                OnRoute(this, uint8_t(hop), address, int(roundtime));
            continue;
        }
        if (probesOfThisHop >= ProbesPerHop) {
            ++hop; // move past a silent hop, without a route event
            probesOfThisHop = 0;
            if (OnSilentHop)
                OnSilentHop(this, uint8_t(hop));
        }
        // Let Stop reach us after every probe that brought no event.
        QCoreApplication::processEvents();
    }
}

// The same walk over ICMPv6, the hop limit rising as the time-to-live does.
void TTraceRoute::TraceIcmp6()
{
    const std::string request = RequestData();
    std::vector<uint8_t> reply = Icmp6ReplyBuffer();
    unsigned hop = 0;
    int probesOfThisHop = 0;

    while (hop < TimeToLive && !cancelled_) {
        const uint32_t replies = SendIcmp6Echo(uint8_t(hop + 1), request, reply);
        if (cancelled_)
            break;
        ++probesOfThisHop;
        ICMPV6_ECHO_REPLY head;
        std::memcpy(&head, reply.data(), sizeof head);
        if (replies == 1 && head.Status != IP_REQ_TIMED_OUT) {
            ++hop;
            probesOfThisHop = 0;
            if (head.Status != IP_TTL_EXPIRED_TRANSIT)
                cancelled_ = true;
            LastStatus = head.Status;
            const NetAddress from = AnswerAddress(head.Address);
            HopList.push_back(ResolveHostname ? ReverseName(from) : from.Text());
            if (OnRoute6)
                OnRoute6(this, uint8_t(hop), from.Text(), int(head.RoundTripTime));
            continue;
        }
        if (probesOfThisHop >= ProbesPerHop) {
            ++hop;
            probesOfThisHop = 0;
            if (OnSilentHop)
                OnSilentHop(this, uint8_t(hop));
        }
        QCoreApplication::processEvents();
    }
}

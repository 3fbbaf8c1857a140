#include "support/FakeIcmp.h"
#include "icmp/IcmpModule.h"

#include <arpa/inet.h>

#include <cstring>

namespace testsupport {

namespace {

FakeIcmp* current = nullptr;
uint32_t lastRoundTripUs = 0;

HANDLE Create()
{
    return 7;
}

bool CloseHandle(HANDLE)
{
    return true;
}

uint32_t SendEcho(HANDLE, IPAddr destination, const void*, uint16_t, const IP_OPTION_INFORMATION* options,
                  void* reply, uint32_t replySize, uint32_t)
{
    in_addr a{};
    a.s_addr = destination;
    const FakeIcmp::Echo echo{::inet_ntoa(a), options ? options->Ttl : uint8_t(128)};
    current->sent.push_back(echo);
    const FakeIcmp::Answer answer = current->Script ? current->Script(echo) : FakeIcmp::Answer{};
    if (answer.status == IP_REQ_TIMED_OUT || replySize < sizeof(ICMP_ECHO_REPLY))
        return 0;
    ICMP_ECHO_REPLY head{};
    head.Address = answer.from.empty() ? destination : ::inet_addr(answer.from.c_str());
    head.Status = answer.status;
    head.RoundTripTime = answer.roundtime;
    std::memcpy(reply, &head, sizeof head);
    lastRoundTripUs = answer.roundTripUs;
    return 1;
}

bool RoundTripMicroseconds(HANDLE, uint32_t* us)
{
    if (lastRoundTripUs == 0)
        return false;
    *us = lastRoundTripUs;
    return true;
}

} // namespace

FakeIcmp::FakeIcmp()
{
    current = this;
    IcmpEntryPoints entries;
    entries.IcmpCreateFile = &Create;
    entries.IcmpCloseHandle = &CloseHandle;
    entries.IcmpSendEcho = &SendEcho;
    entries.IcmpGetRoundTripMicroseconds = &RoundTripMicroseconds;
    UseIcmpEntryPoints(entries);
    ForceIcmpMode(imLibrary);
}

FakeIcmp::~FakeIcmp()
{
    UseIcmpEntryPoints({});
    current = nullptr;
}

void FakeIcmp::Route(const std::vector<std::string>& routers)
{
    Script = [routers](const Echo& e) {
        if (e.ttl > routers.size())
            return Answer{};
        const std::string& router = routers[e.ttl - 1];
        return router.empty() ? Answer{IP_REQ_TIMED_OUT, "", 0} : Answer{IP_TTL_EXPIRED_TRANSIT, router, 1};
    };
}

} // namespace testsupport

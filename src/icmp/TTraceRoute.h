#pragma once

#include "icmp/TICMP.h"

#include <functional>
#include <string>
#include <vector>

// Walks the route to Hostname with rising time-to-live, one OnRoute per hop.
class TTraceRoute final : public TICMP {
public:
    using TRouteEvent = std::function<void(TObject* sender, uint8_t hop, uint32_t ip, int roundtime)>;
    using TSilentHopEvent = std::function<void(TObject* sender, uint8_t hop)>;

    // A hop that stays silent (or keeps answering without moving the trace on)
    // is probed this many times before the trace moves past it.
    static constexpr int ProbesPerHop = 3;

    void Execute() override;

    bool ResolveHostname = false;
    TRouteEvent OnRoute;
    // Hops of a trace to an IPv6 destination report here, with the address as text.
    using TRoute6Event = std::function<void(TObject* sender, uint8_t hop, const std::string& address, int roundtime)>;
    TRoute6Event OnRoute6;
    // A hop that answered none of its probes, as the trace moves past it.
    TSilentHopEvent OnSilentHop;
    std::vector<std::string> HopList;
    // The status of the hop being reported: 0 for the echo reply that ends the
    // trace, 11013 for a router on the way, any other for an error (such as
    // "unreachable") that ends it too.
    uint32_t LastStatus = 0;

private:
    void CheckMode();
    void TraceIcmp6();
};

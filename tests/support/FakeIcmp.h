#pragma once

// Stands in for the ICMP library behind the module's entry points: each echo is
// answered at once from a script, so window tests need neither privileges nor
// timing luck.

#include "platform/icmplib.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

class FakeIcmp {
public:
    struct Answer {
        uint32_t status = IP_SUCCESS; // IP_REQ_TIMED_OUT: no reply at all
        std::string from;             // dotted; empty: the destination itself
        uint32_t roundtime = 1;
        uint32_t roundTripUs = 0; // 0: known in whole milliseconds only
    };
    struct Echo {
        std::string to; // dotted
        uint8_t ttl;
    };

    // Installs itself and pins the library mode; every echo is answered by the
    // destination itself unless Script says otherwise.
    FakeIcmp();
    ~FakeIcmp();
    FakeIcmp(const FakeIcmp&) = delete;
    FakeIcmp& operator=(const FakeIcmp&) = delete;

    // A route of routers before the destination: hop n (ttl n) is answered by
    // routers[n-1] with "time exceeded" ("" stays silent), the destination after.
    void Route(const std::vector<std::string>& routers);

    std::function<Answer(const Echo&)> Script;
    std::vector<Echo> sent;
};

} // namespace testsupport

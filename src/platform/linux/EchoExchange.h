#pragma once

// Internal to the ICMP library: one echo exchange on an open ICMP socket, and
// what an ICMP error means as a status (the raw ping reads errors too).

#include "platform/icmplib.h"

#include <cstdint>
#include <functional>
#include <vector>

struct EchoOutcome {
    IPAddr from = 0;
    uint32_t status = IP_SUCCESS;
    uint32_t roundTripMs = 0;
    std::vector<uint8_t> data;
};

struct EchoRequest {
    int fd = -1;
    IcmpFacility facility = IcmpFacility::None;
    uint16_t id = 0;  // ours on a raw socket; the kernel's on a datagram socket
    uint16_t seq = 0;
    IPAddr destination = 0;
};

// Status for an ICMP error type and code; 0 when it is not an error about an echo.
uint32_t IcmpErrorStatus(uint8_t type, uint8_t code);

// Sends the echo and waits; true with the outcome when a reply or an error
// about this echo came within timeoutMs. keepWaiting, when set, is asked at
// least every 20 ms whether to go on waiting; false ends the wait (no outcome).
bool ExchangeEcho(const EchoRequest& request, const void* data, uint16_t size, uint8_t ttl,
                  uint32_t timeoutMs, const std::function<bool()>& keepWaiting, EchoOutcome& outcome);

#pragma once

// What the answers to an echo mean as IP status codes: the ICMP library and
// the raw ping both read ICMP errors.

#include "platform/icmplib.h"

#include <cstdint>

// Status for an ICMP error type and code; 0 when it is not an error about an echo.
uint32_t IcmpErrorStatus(uint8_t type, uint8_t code);

// Status for a failure the local stack reported (errno) instead of an answer.
uint32_t LocalEchoErrorStatus(int err);

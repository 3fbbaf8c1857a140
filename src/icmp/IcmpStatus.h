#pragma once

#include <cstdint>
#include <string>

// What an IP status code of the echo facility means, in words for the user;
// empty for a code without a known meaning.
std::string IcmpStatusText(uint32_t status);

#pragma once

// Internal to the socket layer: resolver calls and the packing of their results
// into the hostent shape callers read.

#include <netdb.h>

#include <cstdint>
#include <string>
#include <vector>

struct HostEntryData {
    std::string name;
    std::vector<uint32_t> addresses; // network order
};

// Forward look-up of a name or dotted address; returns 0 or a Winsock code.
int ResolveHostEntry(const std::string& name, HostEntryData& out);
// Reverse look-up of one address; returns 0 or a Winsock code.
int ReverseHostEntry(uint32_t address, HostEntryData& out);

// Writes a hostent with its lists and strings into buf when it fits; returns
// the size it needs either way, so a short buffer is reported, never overrun.
int PackHostEntry(const HostEntryData& data, char* buf, int buflen);

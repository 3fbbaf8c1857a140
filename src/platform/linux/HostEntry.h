#pragma once

// The resolver's calls (getaddrinfo, getnameinfo: /etc/hosts, DNS, whatever
// nsswitch.conf names) for IPv4, and the packing of their results into the
// hostent shape callers read.

#include <netdb.h>

#include <cstdint>
#include <string>
#include <vector>

struct HostEntryData {
    std::string name;
    std::vector<uint32_t> addresses; // network order
};

// How a look-up ended: the resolver's code (0: found; EAI_NODATA when it named
// no address) and, for EAI_SYSTEM, the errno it left.
struct ResolverResult {
    int code = 0;
    int error = 0;
};

// Forward look-up of a name or dotted address.
ResolverResult ResolveHostEntry(const std::string& name, HostEntryData& out);
// Reverse look-up of one address.
ResolverResult ReverseHostEntry(uint32_t address, HostEntryData& out);

// Writes a hostent with its lists and strings into buf when it fits; returns
// the size it needs either way, so a short buffer is reported, never overrun.
int PackHostEntry(const HostEntryData& data, char* buf, int buflen);

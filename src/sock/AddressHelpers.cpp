#include "sock/AddressHelpers.h"
#include "platform/localtime.h"
#include "platform/winsock.h"

#include <arpa/inet.h>
#include <cstring>

namespace {
bool started = false;
}

void StartAddressHelpers()
{
    WSADATA scratch;
    const int rc = winsock::WSAStartup(0x0101, &scratch);
    started = rc != WSAEINVAL && rc != WSASYSNOTREADY && rc != WSAVERNOTSUPPORTED;
}

void EndAddressHelpers()
{
    if (!started)
        return;
    started = false;
    winsock::WSACancelBlockingCall();
    winsock::WSACleanup();
}

uint32_t ResolveAddress(const std::string& host)
{
    if (host.empty())
        return NoAddress;
    const uint32_t dotted = winsock::inet_addr(host.c_str());
    if (dotted != NoAddress)
        return dotted;
    const hostent* entry = winsock::gethostbyname(host.c_str());
    if (!entry || entry->h_length <= 0 || !entry->h_addr_list || !entry->h_addr_list[0])
        return NoAddress;
    uint32_t address;
    std::memcpy(&address, entry->h_addr_list[0], 4);
    return address;
}

std::string DottedAddress(uint32_t address)
{
    const uint32_t h = ntohl(address);
    return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 0xFF) + "." +
           std::to_string((h >> 8) & 0xFF) + "." + std::to_string(h & 0xFF);
}

std::string ReverseLookup(uint32_t address)
{
    const hostent* entry =
        winsock::gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
    if (entry && entry->h_name)
        return entry->h_name;
    return DottedAddress(address);
}

uint32_t LocalAddress()
{
    char name[255];
    if (winsock::gethostname(name, sizeof name) == 0) {
        const hostent* entry = winsock::gethostbyname(name);
        if (entry && entry->h_addr_list && entry->h_addr_list[0]) {
            uint32_t address;
            std::memcpy(&address, entry->h_addr_list[0], 4);
            return address;
        }
    }
    return htonl(INADDR_LOOPBACK);
}

int TimeZoneBias()
{
    TIME_ZONE_INFORMATION tz;
    switch (GetTimeZoneInformation(&tz)) {
    case TIME_ZONE_ID_STANDARD: return tz.Bias + tz.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT: return tz.Bias + tz.DaylightBias;
    default: return 0;
    }
}

int PosN(const std::string& search, const std::string& subject, int n)
{
    if (n <= 0)
        return 0;
    std::string rest = subject;
    int result = int(subject.size());
    for (int i = 0; i < n; ++i) {
        // An empty search text occurs nowhere.
        const size_t at = search.empty() ? std::string::npos : rest.find(search);
        if (at == std::string::npos) {
            rest.clear();
            ++result;
        } else {
            rest = rest.substr(at + 1);
        }
    }
    return result - int(rest.size());
}

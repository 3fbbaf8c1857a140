#include "sock/HostNameCache.h"

#include <strings.h>

std::optional<uint32_t> HostNameCache::Find(const std::string& name) const
{
    for (const auto& [cached, address] : entries_)
        if (::strcasecmp(cached.c_str(), name.c_str()) == 0)
            return address;
    return std::nullopt;
}

void HostNameCache::Add(const std::string& name, uint32_t address)
{
    entries_.emplace_back(name, address);
}

#include "platform/linux/HostEntry.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

ResolverResult ResolveHostEntry(const std::string& name, HostEntryData& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return {rc, errno};
    out.name = (list && list->ai_canonname) ? list->ai_canonname : name;
    out.addresses.clear();
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        const uint32_t a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (uint32_t b : out.addresses)
            seen = seen || a == b;
        if (!seen)
            out.addresses.push_back(a);
    }
    ::freeaddrinfo(list);
    return {out.addresses.empty() ? EAI_NODATA : 0, 0};
}

ResolverResult ReverseHostEntry(uint32_t address, HostEntryData& out)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host,
                                 sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return {rc, errno};
    out.name = host;
    out.addresses.assign(1, address);
    return {};
}

namespace {

size_t AlignUp(size_t n, size_t a)
{
    return (n + a - 1) / a * a;
}

} // namespace

int PackHostEntry(const HostEntryData& data, char* buf, int buflen)
{
    // Layout: hostent, address pointers + null, alias null, addresses, name.
    const size_t ptr = sizeof(char*);
    const size_t listOffset = AlignUp(sizeof(hostent), ptr);
    const size_t aliasOffset = listOffset + (data.addresses.size() + 1) * ptr;
    const size_t addrOffset = aliasOffset + ptr;
    const size_t nameOffset = addrOffset + data.addresses.size() * 4;
    const size_t needed = nameOffset + data.name.size() + 1;
    if (buflen < 0 || needed > size_t(buflen))
        return int(needed);

    hostent h{};
    h.h_name = buf + nameOffset;
    h.h_aliases = reinterpret_cast<char**>(buf + aliasOffset);
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    h.h_addr_list = reinterpret_cast<char**>(buf + listOffset);
    std::memcpy(buf, &h, sizeof h);
    for (size_t i = 0; i <= data.addresses.size(); ++i) {
        char* p = i < data.addresses.size() ? buf + addrOffset + i * 4 : nullptr;
        std::memcpy(buf + listOffset + i * ptr, &p, ptr);
        if (p)
            std::memcpy(p, &data.addresses[i], 4);
    }
    char* none = nullptr;
    std::memcpy(buf + aliasOffset, &none, ptr);
    std::memcpy(buf + nameOffset, data.name.c_str(), data.name.size() + 1);
    return int(needed);
}

#include "platform/linux/AddressList.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace {

bool SameAddress(const sockaddr_storage& a, const sockaddr_storage& b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0 && x.sin6_scope_id == y.sin6_scope_id;
}

} // namespace

ResolverResult ResolveAddressList(const std::string& name, int family, std::vector<sockaddr_storage>& out)
{
    out.clear();
    addrinfo hints{};
    hints.ai_family = family;
    // One socket type, so each address comes once from the resolver already.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return {rc, errno};
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage a{};
        std::memcpy(&a, ai->ai_addr, ai->ai_addrlen);
        bool seen = false;
        for (const sockaddr_storage& b : out)
            seen = seen || SameAddress(a, b);
        if (!seen)
            out.push_back(a);
    }
    ::freeaddrinfo(list);
    return {out.empty() ? EAI_NODATA : 0, 0};
}

#include "sock/NameResolver.h"

#include <algorithm>

std::vector<NetAddress> InAddressOrder(std::vector<NetAddress> addresses, AddressOrder order)
{
    if (order != AddressOrder::System) {
        const int first = order == AddressOrder::IPv4First ? AF_INET : AF_INET6;
        std::stable_partition(addresses.begin(), addresses.end(),
                              [first](const NetAddress& a) { return a.Family() == first; });
    }
    return addresses;
}

std::vector<NetAddress> ResolveAll(const std::string& host, AddressOrder order, int* error)
{
    if (error)
        *error = 0;
    if (std::optional<NetAddress> literal = NetAddress::FromText(host)) {
        literal->SetPort(0);
        return {*literal};
    }
    std::vector<NetAddress> found;
    if (host.empty()) {
        if (error)
            *error = WSAHOST_NOT_FOUND;
        return found;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One socket type, so the resolver names each address once.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = winsock::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        if (error)
            *error = rc;
        return found;
    }
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        const std::optional<NetAddress> a = NetAddress::FromSockaddr(ai->ai_addr, ai->ai_addrlen);
        if (a && std::find(found.begin(), found.end(), *a) == found.end())
            found.push_back(*a);
    }
    winsock::freeaddrinfo(list);
    if (found.empty() && error)
        *error = WSANO_DATA;
    return InAddressOrder(std::move(found), order);
}

std::string ReverseName(const NetAddress& address)
{
    if (!address.IsValid())
        return {};
    sockaddr_storage sa;
    const socklen_t length = address.ToSockaddr(sa);
    char host[NI_MAXHOST];
    if (winsock::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), length, host, sizeof host, nullptr, 0,
                             NI_NAMEREQD) == 0)
        return host;
    return address.Text();
}

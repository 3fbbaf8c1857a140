#include "icmp/Ipv6Target.h"

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace {

sockaddr_in6 SocketAddress(const IPV6_ADDRESS_EX& a)
{
    sockaddr_in6 out{};
    out.sin6_family = AF_INET6;
    std::memcpy(&out.sin6_addr, a.sin6_addr, sizeof out.sin6_addr);
    out.sin6_scope_id = a.sin6_scope_id;
    return out;
}

} // namespace

bool ResolveIpv6Target(const std::string& host, sockaddr_in6& out)
{
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    if (name.empty())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    std::memcpy(&out, found->ai_addr, sizeof out);
    out.sin6_port = 0;
    ::freeaddrinfo(found);
    return true;
}

std::string Ipv6AddressText(const IPV6_ADDRESS_EX& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, address.sin6_addr, text, sizeof text);
    std::string out = text;
    char zone[IF_NAMESIZE] = {};
    if (address.sin6_scope_id != 0)
        out += "%" + std::string(::if_indextoname(address.sin6_scope_id, zone) ? zone
                                                                                : std::to_string(address.sin6_scope_id));
    return out;
}

std::string ReverseLookup6(const IPV6_ADDRESS_EX& address)
{
    const sockaddr_in6 a = SocketAddress(address);
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, name, sizeof name, nullptr, 0,
                      NI_NAMEREQD) == 0)
        return name;
    return Ipv6AddressText(address);
}

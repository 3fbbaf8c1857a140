#include "sock/NetAddress.h"

#include <cstring>

namespace {

std::optional<uint16_t> PortText(const std::string& text)
{
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return uint16_t(value);
}

// An IPv6 literal, zone included; the resolver knows interface names.
std::optional<NetAddress> IPv6Text(const std::string& text)
{
    if (text.find(':') == std::string::npos)
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (winsock::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0)
        return std::nullopt;
    std::optional<NetAddress> a = NetAddress::FromSockaddr(list->ai_addr, list->ai_addrlen);
    winsock::freeaddrinfo(list);
    return a;
}

std::optional<NetAddress> IPv4Text(const std::string& text)
{
    in_addr a{};
    if (winsock::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return std::nullopt;
    return NetAddress::FromIPv4(a.s_addr);
}

} // namespace

std::optional<NetAddress> NetAddress::FromText(const std::string& text)
{
    if (text.empty() || text.size() > 128 || text.find('\0') != std::string::npos)
        return std::nullopt;
    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        std::optional<NetAddress> a = IPv6Text(text.substr(1, close - 1));
        const std::string rest = text.substr(close + 1);
        if (!a || rest.empty())
            return a;
        const std::optional<uint16_t> port = rest[0] == ':' ? PortText(rest.substr(1)) : std::nullopt;
        if (!port)
            return std::nullopt;
        a->SetPort(*port);
        return a;
    }
    if (std::optional<NetAddress> a = IPv6Text(text))
        return a;
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return IPv4Text(text);
    std::optional<NetAddress> a = IPv4Text(text.substr(0, colon));
    const std::optional<uint16_t> port = PortText(text.substr(colon + 1));
    if (!a || !port)
        return std::nullopt;
    a->SetPort(*port);
    return a;
}

NetAddress NetAddress::FromIPv4(uint32_t networkOrder, uint16_t port)
{
    NetAddress a;
    a.address_.Ipv4.sin_family = AF_INET;
    a.address_.Ipv4.sin_addr.s_addr = networkOrder;
    a.address_.Ipv4.sin_port = htons(port);
    return a;
}

std::optional<NetAddress> NetAddress::FromSockaddr(const sockaddr* address, socklen_t length)
{
    if (!address)
        return std::nullopt;
    NetAddress a;
    if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in)))
        std::memcpy(&a.address_.Ipv4, address, sizeof(sockaddr_in));
    else if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6)))
        std::memcpy(&a.address_.Ipv6, address, sizeof(sockaddr_in6));
    else
        return std::nullopt;
    return a;
}

uint32_t NetAddress::IPv4() const
{
    return IsIPv4() ? address_.Ipv4.sin_addr.s_addr : 0xFFFFFFFFu;
}

uint16_t NetAddress::Port() const
{
    if (IsIPv4())
        return ntohs(address_.Ipv4.sin_port);
    if (IsIPv6())
        return ntohs(address_.Ipv6.sin6_port);
    return 0;
}

void NetAddress::SetPort(uint16_t port)
{
    if (IsIPv4())
        address_.Ipv4.sin_port = htons(port);
    else if (IsIPv6())
        address_.Ipv6.sin6_port = htons(port);
}

uint32_t NetAddress::ScopeId() const
{
    return IsIPv6() ? address_.Ipv6.sin6_scope_id : 0;
}

std::string NetAddress::Text() const
{
    if (!IsValid())
        return {};
    char host[NI_MAXHOST];
    // Numeric: the zone comes back as the interface's name where it has one.
    if (winsock::getnameinfo(reinterpret_cast<const sockaddr*>(&address_), SockaddrLength(address_), host,
                             sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
        return host;
    const void* raw = IsIPv4() ? static_cast<const void*>(&address_.Ipv4.sin_addr)
                               : static_cast<const void*>(&address_.Ipv6.sin6_addr);
    char text[INET6_ADDRSTRLEN];
    const char* done = winsock::inet_ntop(Family(), raw, text, sizeof text);
    return done ? done : "";
}

std::string NetAddress::TextWithPort() const
{
    const std::string port = std::to_string(Port());
    return IsIPv6() ? "[" + Text() + "]:" + port : Text() + ":" + port;
}

socklen_t NetAddress::ToSockaddr(sockaddr_storage& out) const
{
    out = sockaddr_storage{};
    const socklen_t length = SockaddrLength(address_);
    std::memcpy(&out, &address_, length);
    return length;
}

bool NetAddress::operator==(const NetAddress& other) const
{
    if (Family() != other.Family())
        return false;
    if (IsIPv4())
        return IPv4() == other.IPv4() && Port() == other.Port();
    if (IsIPv6())
        return std::memcmp(&address_.Ipv6.sin6_addr, &other.address_.Ipv6.sin6_addr, sizeof(in6_addr)) == 0 &&
               Port() == other.Port() && ScopeId() == other.ScopeId();
    return true;
}

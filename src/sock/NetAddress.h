#pragma once

#include "platform/ws2tcpip.h"

#include <cstdint>
#include <optional>
#include <string>

// One IP address of either family, with a port and, for IPv6, a zone. The
// 32-bit IPv4 value the older paths pass stays theirs; this is what look-ups
// of both families hand out.
class NetAddress {
public:
    NetAddress() = default; // no address

    // An address typed as text: dotted IPv4 ("127.0.0.1"), IPv6 ("::1",
    // "fe80::1%eth0"), either in brackets ("[::1]"), with a port after the
    // brackets or the IPv4 address ("[::1]:79", "127.0.0.1:79"). Names and
    // anything else give nothing: no look-up is made.
    static std::optional<NetAddress> FromText(const std::string& text);
    static NetAddress FromIPv4(uint32_t networkOrder, uint16_t port = 0);
    // Nothing when the socket address is neither family or too short.
    static std::optional<NetAddress> FromSockaddr(const sockaddr* address, socklen_t length);

    // AF_INET, AF_INET6, or AF_UNSPEC for no address.
    int Family() const { return address_.si_family; }
    bool IsValid() const { return Family() == AF_INET || Family() == AF_INET6; }
    bool IsIPv4() const { return Family() == AF_INET; }
    bool IsIPv6() const { return Family() == AF_INET6; }
    // The IPv4 value in network order; all ones for an IPv6 address or none.
    uint32_t IPv4() const;
    uint16_t Port() const;
    void SetPort(uint16_t port);
    // The interface index of a zone, 0 when there is none.
    uint32_t ScopeId() const;

    // "127.0.0.1", "::1", "fe80::1%eth0"; empty for no address.
    std::string Text() const;
    // With the port: "127.0.0.1:79", "[::1]:79".
    std::string TextWithPort() const;

    // The socket address for connect, bind, sendto; its length (0 for none).
    socklen_t ToSockaddr(sockaddr_storage& out) const;
    const SOCKADDR_INET& Raw() const { return address_; }

    bool operator==(const NetAddress& other) const;
    bool operator!=(const NetAddress& other) const { return !(*this == other); }

private:
    SOCKADDR_INET address_{};
};

#pragma once

#include "sock/NetAddress.h"

#include <string>
#include <vector>

// Which family goes first when a name has addresses of both.
enum class AddressOrder {
    System,    // as the resolver sorts them (RFC 6724, /etc/gai.conf), as ping does
    IPv4First,
    IPv6First,
};

// Every address of host, in order; an address typed as text (brackets and
// zone allowed) is taken as it is, with no look-up. Empty when the host has
// no address; error then holds the Winsock code of the failure.
std::vector<NetAddress> ResolveAll(const std::string& host, AddressOrder order, int* error = nullptr);

// The addresses reordered by family as order asks, each family keeping the
// resolver's order within it.
std::vector<NetAddress> InAddressOrder(std::vector<NetAddress> addresses, AddressOrder order);

// The name behind an address of either family, or its text when none is found.
std::string ReverseName(const NetAddress& address);

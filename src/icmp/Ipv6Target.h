#pragma once

// IPv6 destinations of the echo components: a host typed as an IPv6 literal
// (bracketed or not, with a zone such as fe80::1%eth0), or a name that has
// IPv6 addresses only.

#include "platform/icmp6.h"

#include <netinet/in.h>
#include <string>

// The first IPv6 address of host; false when it has none.
bool ResolveIpv6Target(const std::string& host, sockaddr_in6& out);
// The address as text, with its zone when it has one.
std::string Ipv6AddressText(const IPV6_ADDRESS_EX& address);
// The address's host name, or its text when none is found.
std::string ReverseLookup6(const IPV6_ADDRESS_EX& address);

#pragma once

// Forward look-up of a name to every address of both families, in the order
// the resolver sorts them (RFC 6724 destination selection, /etc/gai.conf).

#include "platform/linux/HostEntry.h"

#include <sys/socket.h>

#include <string>
#include <vector>

// family: AF_UNSPEC for both, AF_INET or AF_INET6 for one. Each address once.
ResolverResult ResolveAddressList(const std::string& name, int family, std::vector<sockaddr_storage>& out);

#pragma once

// ICMPv6 echo (RFC 4443) for the shared exchange (EchoExchange.h). A datagram
// ICMPv6 socket is allowed by net.ipv4.ping_group_range too (it serves both
// families); a raw one gets a filter passing only echo replies and the errors
// that can be about an echo.

#include "platform/linux/EchoFamily.h"

#include <netinet/in.h>

const EchoFamily& Ipv6Echo();

// Binds a fresh socket to a source address (port 0: the kernel picks the
// datagram socket's identifier). errno when refused.
bool BindEcho6Source(int fd, const sockaddr_in6& source);

#pragma once

// ICMP echo over IPv4 (RFC 792) for the shared exchange (EchoExchange.h). A
// raw IPv4 socket hands over each packet with its IP header; a datagram one
// the ICMP message alone, its identifier already matched by the kernel.

#include "platform/linux/EchoFamily.h"

const EchoFamily& Ipv4Echo();

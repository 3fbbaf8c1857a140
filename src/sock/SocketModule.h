#pragma once

#include "sock/HostNameCache.h"

#include <string>

// The socket component's module: Winsock start-up record and host-name cache.
// Starting raises ESockException "WSAStartup - Could Not Initialize WinSock"
// when the socket layer cannot start; a nested start is counted and does nothing.
void StartSocketModule();
void EndSocketModule();

std::string WinsockDescription();
std::string WinsockSystemStatus();

// The process-wide cache; valid between start and end of the module.
HostNameCache& HostCache();

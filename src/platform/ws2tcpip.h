#pragma once

// The Winsock 2 address calls beside the 1.1 face: look-ups of both families
// (getaddrinfo, getnameinfo), text conversion (inet_pton, inet_ntop), the
// address union SOCKADDR_INET, and an asynchronous look-up of every address
// of a name. Results are Winsock codes, as there.

#include "platform/winsock.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using ADDRINFOA = addrinfo;

// Either family's socket address; si_family tells which member holds it.
union SOCKADDR_INET {
    sockaddr_in Ipv4;
    sockaddr_in6 Ipv6;
    sa_family_t si_family;
};

namespace winsock {

// 0, or the Winsock code of the failure (also left for WSAGetLastError):
// WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA, WSAEAFNOSUPPORT ...
int getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result);
void freeaddrinfo(ADDRINFOA* list);
// flags as the platform's NI_ flags (NI_NUMERICHOST, NI_NAMEREQD, ...).
int getnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength, char* service,
                socklen_t serviceLength, int flags);
// 1 converted, 0 not an address of family, SOCKET_ERROR for an unknown family.
int inet_pton(int family, const char* text, void* address);
// The text in buffer, or nullptr (WSAEAFNOSUPPORT, WSAEFAULT when too small).
const char* inet_ntop(int family, const void* address, char* buffer, size_t size);

// Resolves name on a worker thread to every address of family (AF_UNSPEC:
// both) in the resolver's order, writes at most count of them into
// addresses and posts (msg, task, MAKELONG(number written, error)). Returns
// the task or 0; WSACancelAsyncRequest cancels it.
HANDLE_TASK WSAAsyncGetAddrInfo(MessageWindow* window, unsigned msg, const char* name, int family,
                                SOCKADDR_INET* addresses, int count);

// The stream calls with a socket address of either family, as the later
// interface takes them (sockaddr with its length); errors as in the 1.1 calls.
int connect(SOCKET s, const sockaddr* address, socklen_t length);
int bind(SOCKET s, const sockaddr* address, socklen_t length);
SOCKET accept(SOCKET s, sockaddr_storage* peer, socklen_t* length);
int getsockname(SOCKET s, sockaddr_storage* name, socklen_t* length);
int getpeername(SOCKET s, sockaddr_storage* name, socklen_t* length);

// Waits at most timeoutMs for any of the descriptors' events (poll's
// flags); the number ready, 0 on time-out, SOCKET_ERROR.
using WSAPOLLFD = pollfd;
int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeoutMs);

} // namespace winsock

// The length of the socket address in an SOCKADDR_INET (0 for neither family).
socklen_t SockaddrLength(const SOCKADDR_INET& address);

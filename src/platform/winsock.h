#pragma once

// A Winsock 1.1 shaped layer on BSD sockets: the Windows names and calling
// shapes the protocol code is written against, with Winsock's error codes.
// IPv4 only; addresses are 32-bit values in network byte order. Both
// families: ws2tcpip.h.

#include "platform/MessageWindow.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr uint32_t INADDR_NONE_VALUE = 0xFFFFFFFFu;
using HANDLE_TASK = uintptr_t;

// Asynchronous selection events (low word of the notification's lParam).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr int SD_SEND = 1;
constexpr long FIONBIO_CMD = 0x8004667E;
constexpr int MAXGETHOSTSTRUCT = 1024;

// Winsock error codes.
enum : int {
    WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014,
    WSAEINVAL = 10022, WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035, WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037, WSAENOTSOCK = 10038, WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041, WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044, WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048, WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050, WSAENETUNREACH = 10051, WSAENETRESET = 10052,
    WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAENOBUFS = 10055, WSAEISCONN = 10056,
    WSAENOTCONN = 10057, WSAESHUTDOWN = 10058, WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061, WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEPROCLIM = 10067, WSAEUSERS = 10068,
    WSAEDQUOT = 10069, WSAESTALE = 10070, WSAEREMOTE = 10071, WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092, WSANOTINITIALISED = 10093, WSAEDISCON = 10101,
    WSAHOST_NOT_FOUND = 11001, WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004,
};

struct WSADATA {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    std::string szDescription;
    std::string szSystemStatus;
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
};

namespace winsock {

// Start-up and clean-up are counted; every other call fails with
// WSANOTINITIALISED while the count is zero.
int WSAStartup(uint16_t versionRequested, WSADATA* data);
int WSACleanup();
int WSACancelBlockingCall();
int WSAGetLastError();
// For the calls of the Winsock 2 face beside this one: false, with
// WSANOTINITIALISED left as the last error, while the start-up count is zero.
bool CheckStarted();
void WSASetLastError(int code);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
// how: 0 receiving side, 1 sending side (SD_SEND), 2 both.
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const sockaddr_in* addr, int addrlen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen);
int connect(SOCKET s, const sockaddr_in* addr, int addrlen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr_in* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr_in* from, int* fromlen);
// Linux extensions for round trips finer than a millisecond: recvfrom that also
// gives the moment the kernel received the datagram (ns of the stamp clock,
// read on receipt when s has no stamps), once EnableReceiveStamps(s) asked for
// them; StampClockNs() is that clock now, for the send side.
int recvfromStamped(SOCKET s, char* buf, int len, int flags, sockaddr_in* from, int* fromlen,
                    int64_t* receivedNs);
int EnableReceiveStamps(SOCKET s);
int64_t StampClockNs();
int ioctlsocket(SOCKET s, long cmd, unsigned long* argp);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getpeername(SOCKET s, sockaddr_in* name, int* namelen);
// Readable within timeoutMs (0 polls): 1 readable, 0 not, SOCKET_ERROR on failure.
int selectReadable(SOCKET s, int timeoutMs);
// Writable (a connect finished, or room to send) within timeoutMs; as above.
int selectWritable(SOCKET s, int timeoutMs);
// Waits for s (readable, or writable with forWrite) or for `also` to become
// readable: 1 when s is ready, 2 when only `also` is, 0 when neither is.
int selectEither(SOCKET s, bool forWrite, SOCKET also, int timeoutMs);
int getsockname(SOCKET s, sockaddr_in* name, int* namelen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);

// Look-ups. The returned entries live in per-thread storage until the next
// look-up of the same kind on that thread.
hostent* gethostbyname(const char* name);
hostent* gethostbyaddr(const char* addr, int len, int type);
servent* getservbyname(const char* name, const char* proto);
int gethostname(char* name, int namelen);
uint32_t inet_addr(const char* text);
std::string inet_ntoa(uint32_t address);

// Posts (msg, s, MAKELONG(event, error)) to window for the events in mask and
// makes the socket non-blocking; replaces an earlier registration, mask 0 cancels.
int WSAAsyncSelect(SOCKET s, MessageWindow* window, unsigned msg, long events);

// Resolves name on a worker thread; on completion writes a hostent into buf and
// posts (msg, task, MAKELONG(0 or needed size, error)). Returns the task or 0.
HANDLE_TASK WSAAsyncGetHostByName(MessageWindow* window, unsigned msg, const char* name,
                                  char* buf, int buflen);
int WSACancelAsyncRequest(HANDLE_TASK task);
// The first address of a host entry written by WSAAsyncGetHostByName.
uint32_t HostEntryFirstAddress(const char* buf);

namespace testing {
// Makes the next WSAStartup calls fail with code (0 restores normal start-up).
void FailStartupWith(int code);
}

} // namespace winsock

// The Winsock codes for the platform's errno values and resolver results.
int WinsockErrorFromErrno(int err);
int WinsockErrorFromResolver(int gaiError, int err);

#include "platform/winsock.h"
#include "platform/linux/AsyncLookup.h"
#include "platform/linux/AsyncSelect.h"
#include "platform/linux/HostEntry.h"
#include "platform/linux/KernelTimestamps.h"

#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int> startCount{0};
std::atomic<int> startupFault{0};
thread_local int lastError = 0;

// Records the Winsock code for the errno a failed call left and returns rc.
int Fail(int rc = SOCKET_ERROR)
{
    lastError = WinsockErrorFromErrno(errno);
    return rc;
}

const sockaddr* Sa(const sockaddr_in* a) { return reinterpret_cast<const sockaddr*>(a); }
sockaddr* Sa(sockaddr_in* a) { return reinterpret_cast<sockaddr*>(a); }

// A call whose length (optional) goes in and comes back: call gets it as the
// system wants it and returns 0 on success.
template <typename Call>
int WithLength(int* length, const Call& call)
{
    if (!winsock::CheckStarted())
        return SOCKET_ERROR;
    socklen_t len = length ? socklen_t(*length) : 0;
    if (call(&len) != 0)
        return Fail();
    if (length)
        *length = int(len);
    return 0;
}

// The end of every receive: the read notification re-armed (keeping the
// receive's errno for Fail), then the byte count n, and the sender's length
// (got) handed back to fromlen.
int Received(SOCKET s, ssize_t n, int* fromlen = nullptr, socklen_t got = 0)
{
    const int saved = errno;
    winsock::detail::NoteRecv(s);
    if (n < 0) {
        errno = saved;
        return Fail();
    }
    if (fromlen)
        *fromlen = int(got);
    return int(n);
}

std::string StackDescription()
{
    utsname u{};
    if (::uname(&u) != 0)
        return "BSD sockets on Linux";
    return std::string("BSD sockets on ") + u.sysname + " " + u.release;
}

struct HostStore {
    HostEntryData data;
    std::vector<char> buffer;
};

hostent* StoreHostEntry(HostStore& store)
{
    const int needed = PackHostEntry(store.data, nullptr, 0);
    store.buffer.assign(size_t(needed), 0);
    PackHostEntry(store.data, store.buffer.data(), needed);
    return reinterpret_cast<hostent*>(store.buffer.data());
}

} // namespace

static_assert(FD_READ == winsock::detail::EventRead && FD_WRITE == winsock::detail::EventWrite &&
                  FD_ACCEPT == winsock::detail::EventAccept && FD_CONNECT == winsock::detail::EventConnect &&
                  FD_CLOSE == winsock::detail::EventClose,
              "a WSAAsyncSelect mask passes to the notifiers as it is");

namespace winsock {

void testing::FailStartupWith(int code)
{
    startupFault = code;
}

int WSAStartup(uint16_t versionRequested, WSADATA* data)
{
    if (!data)
        return WSAEFAULT;
    const unsigned major = versionRequested & 0xFF;
    const unsigned minor = versionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    if (startupFault.load() != 0)
        return startupFault.load();
    // The stack is usable when the kernel hands out IPv4 sockets.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0)
        return WSASYSNOTREADY;
    ::close(probe);

    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    data->szDescription = StackDescription();
    data->szSystemStatus = "Running";
    data->iMaxSockets = uint16_t(std::min<rlim_t>(files.rlim_cur, 0xFFFF));
    data->iMaxUdpDg = 65467;
    ++startCount;
    return 0;
}

int WSACleanup()
{
    int count = startCount.load();
    while (count > 0 && !startCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) {
        lastError = WSANOTINITIALISED;
        return SOCKET_ERROR;
    }
    return 0;
}

int WSACancelBlockingCall()
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    // No call here blocks through a hook, so there is never one to cancel.
    lastError = WSAEINVAL;
    return SOCKET_ERROR;
}

bool CheckStarted()
{
    if (startCount.load() > 0)
        return true;
    lastError = WSANOTINITIALISED;
    return false;
}

int WSAGetLastError()
{
    return lastError;
}

void WSASetLastError(int code)
{
    lastError = code;
}

SOCKET socket(int af, int type, int protocol)
{
    if (!CheckStarted())
        return INVALID_SOCKET;
    const int s = ::socket(af, type | SOCK_CLOEXEC, protocol);
    return s < 0 ? Fail(INVALID_SOCKET) : s;
}

int closesocket(SOCKET s)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    // The notifiers must go before the descriptor does.
    detail::Forget(s);
    return ::close(s) == 0 ? 0 : Fail();
}

int shutdown(SOCKET s, int how)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    return ::shutdown(s, how) == 0 ? 0 : Fail();
}

int bind(SOCKET s, const sockaddr_in* addr, int addrlen)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    return ::bind(s, Sa(addr), socklen_t(addrlen)) == 0 ? 0 : Fail();
}

int listen(SOCKET s, int backlog)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    if (::listen(s, backlog) != 0)
        return Fail();
    detail::NoteListen(s);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen)
{
    if (!CheckStarted())
        return INVALID_SOCKET;
    socklen_t len = addrlen ? socklen_t(*addrlen) : 0;
    const int r = ::accept4(s, addr ? Sa(addr) : nullptr, addr ? &len : nullptr, SOCK_CLOEXEC);
    const int saved = errno;
    detail::NoteAccept(s);
    if (r < 0) {
        errno = saved;
        return Fail(INVALID_SOCKET);
    }
    if (addrlen)
        *addrlen = int(len);
    return r;
}

int connect(SOCKET s, const sockaddr_in* addr, int addrlen)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    const int r = ::connect(s, Sa(addr), socklen_t(addrlen));
    const int err = r == 0 ? 0 : errno;
    if (detail::IsSelected(s)) {
        // A registered socket is non-blocking: as in Winsock, the outcome,
        // even an immediate refusal, arrives as FD_CONNECT.
        detail::NoteConnect(s, err);
        if (r == 0)
            return 0;
        lastError = WSAEWOULDBLOCK;
        return SOCKET_ERROR;
    }
    if (r == 0)
        return 0;
    errno = err;
    return Fail();
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    // MSG_NOSIGNAL: a closed peer is an error code, not a signal.
    const ssize_t n = ::send(s, buf, size_t(std::max(len, 0)), flags | MSG_NOSIGNAL);
    // Linux takes part of a buffer without EAGAIN when the send queue fills; the
    // caller still waits for FD_WRITE to send the rest, so a short send re-arms it.
    if (n >= 0 && n < len)
        detail::NoteSendBlocked(s);
    if (n >= 0)
        return int(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        detail::NoteSendBlocked(s);
    return Fail();
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    return Received(s, ::recv(s, buf, size_t(std::max(len, 0)), flags));
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr_in* to, int tolen)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    const ssize_t n = ::sendto(s, buf, size_t(std::max(len, 0)), flags | MSG_NOSIGNAL, Sa(to),
                               socklen_t(tolen));
    if (n >= 0)
        return int(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        detail::NoteSendBlocked(s);
    return Fail();
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr_in* from, int* fromlen)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    socklen_t flen = fromlen ? socklen_t(*fromlen) : 0;
    const ssize_t n = ::recvfrom(s, buf, size_t(std::max(len, 0)), flags,
                                 from ? Sa(from) : nullptr, from ? &flen : nullptr);
    return Received(s, n, fromlen, flen);
}

int recvfromStamped(SOCKET s, char* buf, int len, int flags, sockaddr_in* from, int* fromlen,
                    int64_t* receivedNs)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    alignas(cmsghdr) char control[StampedControlRoom];
    iovec iov{buf, size_t(std::max(len, 0))};
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = from && fromlen ? socklen_t(*fromlen) : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(s, &msg, flags);
    if (n >= 0 && receivedNs)
        *receivedNs = ReceiveTimeNs(msg);
    return Received(s, n, fromlen, msg.msg_namelen);
}

int EnableReceiveStamps(SOCKET s)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    return ::EnableReceiveTimestamps(s) ? 0 : Fail();
}

int64_t StampClockNs()
{
    return WallClockNs();
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* argp)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    if (cmd != FIONBIO_CMD || !argp) {
        lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    // Winsock refuses blocking mode while notifications are requested.
    if (*argp == 0 && detail::IsSelected(s)) {
        lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0)
        return Fail();
    const int wanted = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, wanted) == 0 ? 0 : Fail();
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    return ::setsockopt(s, level, optname, optval, socklen_t(optlen)) == 0 ? 0 : Fail();
}

int getpeername(SOCKET s, sockaddr_in* name, int* namelen)
{
    return WithLength(namelen, [&](socklen_t* len) { return ::getpeername(s, Sa(name), len); });
}

// One descriptor is selectEither with nothing else to watch. POLLOUT also
// comes with POLLERR/POLLHUP when a connect failed: the caller then reads SO_ERROR.
int selectReadable(SOCKET s, int timeoutMs)
{
    return selectEither(s, false, INVALID_SOCKET, timeoutMs);
}

int selectWritable(SOCKET s, int timeoutMs)
{
    return selectEither(s, true, INVALID_SOCKET, timeoutMs);
}

int selectEither(SOCKET s, bool forWrite, SOCKET also, int timeoutMs)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    // poll ignores a negative descriptor, so a missing `also` costs nothing.
    pollfd p[2] = {{s, short(forWrite ? POLLOUT : POLLIN), 0}, {also, POLLIN, 0}};
    const int r = ::poll(p, 2, timeoutMs);
    if (r < 0)
        return Fail();
    if (p[0].revents)
        return 1;
    return p[1].revents ? 2 : 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    return WithLength(optlen, [&](socklen_t* len) { return ::getsockopt(s, level, optname, optval, len); });
}

int getsockname(SOCKET s, sockaddr_in* name, int* namelen)
{
    return WithLength(namelen, [&](socklen_t* len) { return ::getsockname(s, Sa(name), len); });
}

hostent* gethostbyname(const char* name)
{
    if (!CheckStarted())
        return nullptr;
    thread_local HostStore store;
    const ResolverResult resolved = ResolveHostEntry(name ? name : "", store.data);
    if (resolved.code != 0) {
        lastError = WinsockErrorFromResolver(resolved.code, resolved.error);
        return nullptr;
    }
    return StoreHostEntry(store);
}

hostent* gethostbyaddr(const char* addr, int len, int type)
{
    if (!CheckStarted())
        return nullptr;
    if (!addr || len != 4 || type != AF_INET) {
        lastError = WSAEFAULT;
        return nullptr;
    }
    uint32_t address;
    std::memcpy(&address, addr, 4);
    thread_local HostStore store;
    const ResolverResult resolved = ReverseHostEntry(address, store.data);
    if (resolved.code != 0) {
        lastError = WinsockErrorFromResolver(resolved.code, resolved.error);
        return nullptr;
    }
    return StoreHostEntry(store);
}

servent* getservbyname(const char* name, const char* proto)
{
    if (!CheckStarted())
        return nullptr;
    thread_local servent entry;
    thread_local char buffer[1024];
    servent* result = nullptr;
    if (::getservbyname_r(name, proto, &entry, buffer, sizeof buffer, &result) != 0 || !result) {
        lastError = WSANO_DATA;
        return nullptr;
    }
    return result;
}

int gethostname(char* name, int namelen)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    if (!name || namelen <= 0) {
        lastError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (::gethostname(name, size_t(namelen)) != 0)
        return Fail();
    name[namelen - 1] = '\0';
    return 0;
}

uint32_t inet_addr(const char* text)
{
    return text ? ::inet_addr(text) : INADDR_NONE_VALUE;
}

std::string inet_ntoa(uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = address;
    return ::inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

int WSAAsyncSelect(SOCKET s, MessageWindow* window, unsigned msg, long events)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    // Registration makes the socket non-blocking, as Winsock does.
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail();
    // The notifiers live on the window's thread and are made there.
    if (events != 0 && window && window->thread() != QThread::currentThread()) {
        lastError = WSAEINVAL;
        return SOCKET_ERROR;
    }
    detail::Select(s, window, events, [s, window, msg](long event, int error) {
        window->Post(msg, WPARAM(s), MAKELONG(unsigned(event), unsigned(WinsockErrorFromErrno(error))));
    });
    return 0;
}

HANDLE_TASK WSAAsyncGetHostByName(MessageWindow* window, unsigned msg, const char* name,
                                  char* buf, int buflen)
{
    if (!CheckStarted())
        return 0;
    if (!window || !name || !buf || buflen <= 0) {
        lastError = WSAEFAULT;
        return 0;
    }
    // The worker writes the entry and posts; a cancelled look-up does neither.
    auto deliver = [window, msg, buf, buflen](HANDLE_TASK task, const HostEntryData& result,
                                              ResolverResult resolved) {
        int error = WinsockErrorFromResolver(resolved.code, resolved.error);
        int needed = 0;
        if (error == 0) {
            needed = PackHostEntry(result, buf, buflen);
            if (needed > buflen)
                error = WSAENOBUFS;
        }
        window->Post(msg, WPARAM(task), MAKELONG(unsigned(needed), unsigned(error)));
    };
    return detail::StartLookup(window, name, deliver);
}

int WSACancelAsyncRequest(HANDLE_TASK task)
{
    if (detail::CancelLookup(task))
        return 0;
    lastError = WSAEINVAL;
    return SOCKET_ERROR;
}

uint32_t HostEntryFirstAddress(const char* buf)
{
    hostent h;
    std::memcpy(&h, buf, sizeof h);
    char* first = nullptr;
    std::memcpy(&first, h.h_addr_list, sizeof first);
    uint32_t address = INADDR_NONE_VALUE;
    if (first)
        std::memcpy(&address, first, 4);
    return address;
}

} // namespace winsock

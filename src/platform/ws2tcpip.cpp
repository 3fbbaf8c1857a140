#include "platform/ws2tcpip.h"
#include "platform/linux/AsyncLookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace {

int Report(int code)
{
    winsock::WSASetLastError(code);
    return code;
}

} // namespace

socklen_t SockaddrLength(const SOCKADDR_INET& address)
{
    switch (address.si_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
    }
}

namespace winsock {

int getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result)
{
    if (!CheckStarted())
        return WSANOTINITIALISED;
    if (!result)
        return Report(WSAEFAULT);
    *result = nullptr;
    if (hints && hints->ai_family != AF_UNSPEC && hints->ai_family != AF_INET && hints->ai_family != AF_INET6)
        return Report(WSAEAFNOSUPPORT);
    const int rc = ::getaddrinfo(node, service, hints, result);
    return rc == 0 ? 0 : Report(WinsockErrorFromResolver(rc, errno));
}

void freeaddrinfo(ADDRINFOA* list)
{
    if (list)
        ::freeaddrinfo(list);
}

int getnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength, char* service,
                socklen_t serviceLength, int flags)
{
    if (!CheckStarted())
        return WSANOTINITIALISED;
    if (!address)
        return Report(WSAEFAULT);
    const int rc = ::getnameinfo(address, length, host, hostLength, service, serviceLength, flags);
    return rc == 0 ? 0 : Report(WinsockErrorFromResolver(rc, errno));
}

int inet_pton(int family, const char* text, void* address)
{
    if (!text || !address) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const int rc = ::inet_pton(family, text, address);
    if (rc < 0) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return SOCKET_ERROR;
    }
    return rc;
}

const char* inet_ntop(int family, const void* address, char* buffer, size_t size)
{
    if (!address || !buffer) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    const char* text = ::inet_ntop(family, address, buffer, socklen_t(size));
    if (!text)
        WSASetLastError(errno == ENOSPC ? WSAEFAULT : WSAEAFNOSUPPORT);
    return text;
}

HANDLE_TASK WSAAsyncGetAddrInfo(MessageWindow* window, unsigned msg, const char* name, int family,
                                SOCKADDR_INET* addresses, int count)
{
    if (!CheckStarted())
        return 0;
    if (!window || !name || !addresses || count <= 0) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return 0;
    }
    // The worker writes what fits and posts; a cancelled look-up does neither.
    auto deliver = [window, msg, addresses, count](HANDLE_TASK task, const std::vector<sockaddr_storage>& found,
                                                   ResolverResult resolved) {
        const int error = WinsockErrorFromResolver(resolved.code, resolved.error);
        int written = 0;
        for (const sockaddr_storage& a : found) {
            if (error != 0 || written == count)
                break;
            SOCKADDR_INET out{};
            std::memcpy(&out, &a, a.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
            addresses[written++] = out;
        }
        window->Post(msg, WPARAM(task), MAKELONG(unsigned(written), unsigned(error)));
    };
    return detail::StartAddressLookup(window, name, family, deliver);
}

} // namespace winsock

namespace winsock {

// The 1.1 calls take the address as a plain pointer and its length, so both
// families go through them; they keep the notifications' bookkeeping in one place.
int connect(SOCKET s, const sockaddr* address, socklen_t length)
{
    return connect(s, reinterpret_cast<const sockaddr_in*>(address), int(length));
}

int bind(SOCKET s, const sockaddr* address, socklen_t length)
{
    return bind(s, reinterpret_cast<const sockaddr_in*>(address), int(length));
}

SOCKET accept(SOCKET s, sockaddr_storage* peer, socklen_t* length)
{
    int len = length ? int(*length) : 0;
    const SOCKET r = accept(s, reinterpret_cast<sockaddr_in*>(peer), length ? &len : nullptr);
    if (r != INVALID_SOCKET && length)
        *length = socklen_t(len);
    return r;
}

int getsockname(SOCKET s, sockaddr_storage* name, socklen_t* length)
{
    int len = int(*length);
    const int r = getsockname(s, reinterpret_cast<sockaddr_in*>(name), &len);
    *length = socklen_t(len);
    return r;
}

int getpeername(SOCKET s, sockaddr_storage* name, socklen_t* length)
{
    int len = int(*length);
    const int r = getpeername(s, reinterpret_cast<sockaddr_in*>(name), &len);
    *length = socklen_t(len);
    return r;
}

int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeoutMs)
{
    if (!CheckStarted())
        return SOCKET_ERROR;
    const int r = ::poll(fds, nfds_t(count), timeoutMs);
    if (r < 0) {
        WSASetLastError(WinsockErrorFromErrno(errno));
        return SOCKET_ERROR;
    }
    return r;
}

} // namespace winsock

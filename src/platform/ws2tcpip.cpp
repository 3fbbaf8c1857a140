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

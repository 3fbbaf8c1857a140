#include "support/SilentPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

namespace {

// address:port as a socket address; returns its length.
socklen_t SocketAddress(const std::string& address, uint16_t port, sockaddr_storage& raw)
{
    raw = {};
    if (address.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&raw);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        return sizeof *a;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&raw);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a->sin_addr);
    return sizeof *a;
}

// A socket bound to address:port (IPv6 only for an IPv6 address, so the same
// port stays free on IPv4), or -1.
int BoundSocket(const std::string& address, uint16_t port, uint16_t& bound)
{
    sockaddr_storage raw;
    socklen_t length = SocketAddress(address, port, raw);
    const int family = raw.ss_family;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&raw), length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&raw), &length) == 0)
        bound = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&raw)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&raw)->sin_port);
    return fd;
}

// A connect to address:port; blocking unless told otherwise, never waited on.
int ConnectFiller(const std::string& address, uint16_t port, bool blocking)
{
    uint16_t ignored = 0;
    const int fd = BoundSocket(address.find(':') != std::string::npos ? "::1" : "127.0.0.1", 0, ignored);
    if (fd < 0)
        return -1;
    sockaddr_storage raw;
    const socklen_t length = SocketAddress(address, port, raw);
    if (!blocking)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&raw), length);
    return fd;
}

} // namespace

SilentPort::SilentPort(const std::string& address, uint16_t port)
{
    listener_ = BoundSocket(address, port, port_);
    if (listener_ < 0 || ::listen(listener_, 0) != 0) {
        problem_ = "cannot listen on " + address + ": " + std::strerror(errno);
        return;
    }
    // One connection fills a queue of length 0. A second, should the first
    // not be counted yet, takes its place; either way the queue is full.
    fillers_.push_back(ConnectFiller(address, port_, true));
    fillers_.push_back(ConnectFiller(address, port_, false));
}

SilentPort::~SilentPort()
{
    for (const int fd : fillers_)
        if (fd >= 0)
            ::close(fd);
    if (listener_ >= 0)
        ::close(listener_);
}

LoopbackListener::LoopbackListener(const std::string& address, uint16_t port)
{
    fd_ = BoundSocket(address, port, port_);
    if (fd_ >= 0)
        ::listen(fd_, 8);
}

LoopbackListener::~LoopbackListener()
{
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace testsupport

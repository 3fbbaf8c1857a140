#include "support/Loopback.h"
#include "framework/Wait.h"

#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <cstring>
#include <list>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

Listener::Listener()
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const LoopbackAddress anyPort(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(anyPort.get()), sizeof anyPort.address);
    ::listen(fd, 8);
    port = LocalPort(fd);
}

Listener::~Listener()
{
    if (fd >= 0)
        ::close(fd);
}

int Listener::AcceptOne()
{
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

uint16_t LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

ReservedPort::ReservedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const LoopbackAddress anyPort(0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(anyPort.get()), sizeof anyPort.address);
    port_ = LocalPort(fd_);
}

ReservedPort::~ReservedPort()
{
    ::close(fd_);
}

uint16_t ClosedPort()
{
    static std::list<ReservedPort> held;
    return held.emplace_back().port();
}

bool Accepts(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const LoopbackAddress to(port);
    const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(to.get()), sizeof to.address) == 0;
    ::close(fd);
    return up;
}

LoopbackAddress::LoopbackAddress(uint16_t port)
{
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

MessageLog::MessageLog()
    : window_(std::make_unique<MessageWindow>([this](Message& m) { messages_.push_back(m); }))
{
}

std::vector<unsigned> MessageLog::Events(unsigned msg) const
{
    std::vector<unsigned> events;
    for (const Message& m : messages_)
        if (m.Msg == msg)
            events.push_back(LOWORD(m.LParam));
    return events;
}

bool PumpUntil(const std::function<bool()>& pred, int timeoutMs)
{
    // pred is evaluated once per round: it may take data as it checks.
    QElapsedTimer t;
    t.start();
    for (;;) {
        if (pred())
            return true;
        if (t.elapsed() >= timeoutMs)
            return false;
        Wait::Pump();
        QThread::msleep(1);
    }
}

void PumpFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        Wait::Pump();
        QThread::msleep(1);
    }
}

} // namespace testsupport

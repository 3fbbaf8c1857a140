#include "sock/Connector.h"
#include "sock/SocketErrorText.h"

#include <algorithm>

std::string ConnectFailureWords(int code)
{
    switch (code) {
    case WSAECONNREFUSED: return "connection refused by";
    case WSAETIMEDOUT: return "no answer from";
    case WSAEHOSTUNREACH: return "no route to host";
    case WSAENETUNREACH: return "network unreachable for";
    case WSAEADDRNOTAVAIL: return "address not available:";
    case WSAEAFNOSUPPORT: return "this machine has no IPv6 (or IPv4) for";
    default: return "error " + std::to_string(code) + " (" + SocketErrorText(code) + ") connecting to";
    }
}

Connector::Connector(std::vector<NetAddress> addresses, uint16_t port) : addresses_(std::move(addresses))
{
    for (NetAddress& a : addresses_)
        a.SetPort(port);
}

Connector::~Connector()
{
    Abandon();
    if (winner_ != INVALID_SOCKET)
        winsock::closesocket(winner_);
}

void Connector::Abandon()
{
    for (const Attempt& a : attempts_)
        winsock::closesocket(a.socket);
    attempts_.clear();
    next_ = addresses_.size();
}

SOCKET Connector::Take()
{
    const SOCKET s = winner_;
    winner_ = INVALID_SOCKET;
    return s;
}

void Connector::Failed(const NetAddress& address, int error)
{
    error_ = error;
    failures_.push_back(ConnectFailureWords(error) + " " + address.TextWithPort());
    if (OnAttempt)
        OnAttempt(address, error);
}

std::string Connector::FailureText() const
{
    std::string text;
    for (const std::string& f : failures_)
        text += (text.empty() ? "" : "; ") + f;
    return text;
}

void Connector::StartNext()
{
    // An address that fails at once (no route for its family) costs no
    // stagger: the next one starts straight away.
    while (next_ < addresses_.size() && winner_ == INVALID_SOCKET) {
        const size_t index = next_++;
        const NetAddress& to = addresses_[index];
        nextDue_ = Clock::now() + std::chrono::milliseconds(StaggerMs);
        const SOCKET s = winsock::socket(to.Family(), SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) {
            Failed(to, winsock::WSAGetLastError());
            continue;
        }
        unsigned long on = 1;
        winsock::ioctlsocket(s, FIONBIO_CMD, &on);
        if (OnAttempt)
            OnAttempt(to, 0);
        sockaddr_storage raw{};
        const socklen_t length = to.ToSockaddr(raw);
        if (winsock::connect(s, reinterpret_cast<const sockaddr*>(&raw), length) == 0) {
            winner_ = s;
            peer_ = to;
            Abandon();
            return;
        }
        const int error = winsock::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            attempts_.push_back({s, index});
            return;
        }
        winsock::closesocket(s);
        Failed(to, error);
    }
}

void Connector::Finished(size_t attempt, int error)
{
    const Attempt done = attempts_[attempt];
    attempts_.erase(attempts_.begin() + std::ptrdiff_t(attempt));
    if (error == 0) {
        winner_ = done.socket;
        peer_ = addresses_[done.index];
        Abandon();
        return;
    }
    winsock::closesocket(done.socket);
    Failed(addresses_[done.index], error);
}

void Connector::Step(int ms)
{
    if (Done())
        return;
    if (attempts_.empty() || (next_ < addresses_.size() && Clock::now() >= nextDue_))
        StartNext();
    if (Done())
        return;
    if (next_ < addresses_.size()) {
        const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(nextDue_ - Clock::now()).count();
        ms = int(std::clamp<long long>(untilDue, 0, ms));
    }
    std::vector<winsock::WSAPOLLFD> polled;
    for (const Attempt& a : attempts_)
        polled.push_back({a.socket, POLLOUT, 0});
    if (winsock::WSAPoll(polled.data(), polled.size(), ms) <= 0)
        return;
    // Backwards, so an attempt taken out leaves the indexes still to look at in place.
    for (size_t i = polled.size(); i-- > 0;) {
        if (polled[i].revents == 0 || Done())
            continue;
        int error = 0;
        int length = sizeof error;
        winsock::getsockopt(polled[i].fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        Finished(i, error ? WinsockErrorFromErrno(error) : 0);
    }
    // A failure hands its turn to the next address at once.
    if (!Done() && attempts_.empty())
        StartNext();
}

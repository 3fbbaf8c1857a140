#include "mail/starsock.h"
#include "sock/SocketStream.h"

#include <cstring>
#include <netinet/in.h>

namespace {

// The countdown's timer, and the one that steps a connect (a poll of no
// time per tick, so the window never waits on it).
constexpr unsigned CountdownTimer = 1;
constexpr unsigned ConnectTimer = 2;
constexpr unsigned ConnectTickMs = 10;

} // namespace

TStarSocket::TStarSocket()
    : window_(std::make_unique<MessageWindow>([this](Message& m) { WndProc(m); })),
      found_(size_t(MaxAddresses))
{
}

TStarSocket::~TStarSocket()
{
    window_.reset(); // cancels its look-ups and socket registrations
    connector_.reset();
    stream_.reset(); // while the socket layer still runs
    if (started_)
        StopWinsock();
    if (loaded_)
        UnloadWinsock();
}

// The socket layer is linked in, not loaded: "loading" only marks it usable.
bool TStarSocket::LoadWinsock(const std::string&)
{
    loaded_ = true;
    return loaded_;
}

void TStarSocket::UnloadWinsock()
{
    if (started_)
        StopWinsock();
    loaded_ = false;
}

bool TStarSocket::StartWinsock()
{
    if (!started_) {
        if (!loaded_)
            LoadWinsock("");
        WSADATA data{};
        if (loaded_ && winsock::WSAStartup(0x0101, &data) == 0)
            started_ = true;
    }
    return started_;
}

void TStarSocket::StopWinsock()
{
    if (started_) {
        started_ = false;
        winsock::WSACleanup();
    }
}

void TStarSocket::SetServer(const std::string& text)
{
    server_ = text;
    if (text.empty())
        return;
    if ((text[0] >= '0' && text[0] <= '9') || NetAddress::FromText(text)) {
        ServerAddress = text;
        ServerName.clear();
    } else {
        ServerName = text;
        ServerAddress.clear();
    }
}

void TStarSocket::OpenSocket()
{
    if (stream_)
        return;
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    LastError = s == INVALID_SOCKET ? uint16_t(winsock::WSAGetLastError()) : 0;
    if (s != INVALID_SOCKET)
        stream_ = std::make_unique<SocketStream>(s);
}

void TStarSocket::SetAddressText(const std::string& text)
{
    const std::optional<NetAddress> literal = NetAddress::FromText(text);
    remotes_ = {literal ? *literal : NetAddress::FromIPv4(winsock::inet_addr(text.c_str()))};
}

void TStarSocket::SetPort(uint16_t port)
{
    port_ = port;
}

void TStarSocket::UseResolvedAddress()
{
    remotes_ = resolved_;
}

std::string TStarSocket::GetAddressText() const
{
    if (peer_.IsValid())
        return peer_.Text();
    return remotes_.empty() ? winsock::inet_ntoa(INADDR_NONE) : remotes_.front().Text();
}

std::string TStarSocket::GetLocalHostName()
{
    char name[256] = {};
    const int rc = winsock::gethostname(name, 255);
    LastError = uint16_t(winsock::WSAGetLastError());
    return rc == 0 ? std::string(name) : std::string();
}

std::string TStarSocket::LocalAddressText() const
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (!stream_ || !connected_ || winsock::getsockname(Handle(), &local, &length) != 0)
        return {};
    const std::optional<NetAddress> address = NetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&local), length);
    return address ? address->Text() : std::string();
}

void TStarSocket::ResolveAsync(const std::string& name)
{
    if (lookup_ != 0)
        return;
    if (name.size() > MaxHostName) {
        LastError = WSAENAMETOOLONG; // the name field holds 80 characters
        return;
    }
    hostName_ = name;
    lookup_ = winsock::WSAAsyncGetAddrInfo(window_.get(), WM_LOOKUP, hostName_.c_str(), AF_UNSPEC, found_.data(),
                                           int(found_.size()));
    LastError = lookup_ == 0 ? uint16_t(winsock::WSAGetLastError()) : 0;
    if (LastError == 0)
        StartTimeout(TimeoutArp);
}

void TStarSocket::ConnectAsync()
{
    if (!stream_) {
        LastError = WSAENOTSOCK;
        return;
    }
    StopConnecting();
    peer_ = NetAddress();
    connector_ = std::make_unique<Connector>(remotes_, port_);
    window_->SetTimer(ConnectTimer, ConnectTickMs);
    LastError = 0;
    StartTimeout(TimeoutConnect);
}

void TStarSocket::StopConnecting()
{
    if (!connector_)
        return;
    window_->KillTimer(ConnectTimer);
    connector_.reset();
}

void TStarSocket::ConnectStep()
{
    connector_->Step(0);
    if (!connector_->Done())
        return;
    const bool made = connector_->Connected();
    const int error = connector_->Error();
    if (made) {
        peer_ = connector_->Peer();
        // The connection takes the place of the socket opened for it.
        stream_->Close();
        stream_ = std::make_unique<SocketStream>(connector_->Take());
        winsock::WSAAsyncSelect(Handle(), window_.get(), WM_SOCKET, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    }
    StopConnecting();
    Message m;
    m.Msg = WM_SOCKET;
    m.WParam = WPARAM(Handle());
    m.LParam = MAKELONG(FD_CONNECT, made ? 0 : unsigned(error ? error : WSAHOST_NOT_FOUND));
    SocketNotified(m);
}

int TStarSocket::Moved(int result)
{
    if (result >= 1) {
        LastError = 0;
        return result;
    }
    if (result == ByteStream::WouldBlock)
        LastError = 0;
    else if (result == ByteStream::Broken)
        LastError = stream_ ? uint16_t(stream_->Error()) : uint16_t(WSAENOTSOCK);
    return 0;
}

int TStarSocket::SendData(const char* buffer, int length)
{
    return Moved(stream_ ? stream_->Write(buffer, length) : ByteStream::Broken);
}

int TStarSocket::ReceiveData(char* buffer, int length)
{
    return Moved(stream_ ? stream_->Read(buffer, length) : ByteStream::Broken);
}

void TStarSocket::WrapStream(const ByteStream::Wrapper& wrap)
{
    stream_ = wrap(std::move(stream_));
}

void TStarSocket::KillTimer()
{
    if (timerId_ != 0)
        window_->KillTimer(timerId_);
    timerId_ = 0;
}

void TStarSocket::CloseSocket()
{
    if (lookup_ != 0) {
        winsock::WSACancelAsyncRequest(lookup_);
        lookup_ = 0;
    }
    KillTimer();
    StopConnecting();
    if (stream_) {
        stream_->Close();
        LastError = uint16_t(winsock::WSAGetLastError());
        stream_.reset();
        connected_ = false;
    }
}

void TStarSocket::StartTimeout(int seconds)
{
    KillTimer();
    if (seconds > 0) {
        countdown_ = seconds;
        timerId_ = window_->SetTimer(CountdownTimer, 1000);
    }
}

void TStarSocket::Resolved()
{
    Fire(OnResolved, this);
}

void TStarSocket::WndProc(Message& m)
{
    if (m.Msg > WM_SOCKET && MessageHook) {
        MessageHook(m);
        return;
    }
    switch (m.Msg) {
    case WM_QUERYENDSESSION: m.Result = 1; break;
    case WM_TIMER:
        if (m.WParam == ConnectTimer) {
            if (connector_)
                ConnectStep();
        } else if (--countdown_ <= 0) {
            CloseSocket();
            Fire(OnTimedOut, this);
        }
        break;
    case WM_LOOKUP: LookupFinished(m); break;
    case WM_SOCKET: SocketNotified(m); break;
    default: break;
    }
}

void TStarSocket::LookupFinished(const Message& m)
{
    KillTimer();
    LastError = HIWORD(m.LParam);
    resolved_.clear();
    if (LastError == 0) {
        for (unsigned i = 0; i < LOWORD(m.LParam) && i < found_.size(); ++i)
            if (const auto a = NetAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&found_[i]),
                                                        SockaddrLength(found_[i])))
                resolved_.push_back(*a);
        resolved_ = InAddressOrder(resolved_, Order);
    }
    lookup_ = 0;
    Resolved();
}

void TStarSocket::SocketNotified(const Message& m)
{
    if (!stream_ || SOCKET(m.WParam) != stream_->Handle())
        return; // for a socket closed since it was posted
    // The countdown bounds the connect: its outcome (or a close) ends it. A
    // read notification may be stale (its data already taken), so it does not.
    if (LOWORD(m.LParam) == FD_CONNECT || LOWORD(m.LParam) == FD_CLOSE)
        KillTimer();
    LastError = HIWORD(m.LParam);
    switch (LOWORD(m.LParam)) {
    case FD_READ: Fire(OnDataAvailable, this); break;
    case FD_WRITE: Fire(OnWritable, this); break;
    case FD_ACCEPT: Fire(OnAcceptable, this); break;
    case FD_CONNECT:
        connected_ = true;
        Fire(OnConnected, this);
        break;
    case FD_CLOSE:
        Fire(OnClosed, this);
        stream_.reset();
        connected_ = false;
        break;
    default: break;
    }
}

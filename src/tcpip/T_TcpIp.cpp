#include "tcpip/T_TcpIp.h"
#include "sock/AddressHelpers.h"
#include "sock/Connector.h"

#include "framework/Wait.h"
#include "sock/SocketErrorText.h"
#include "sock/ECertificateError.h"
#include "sock/SocketStream.h"
#include "sock/TlsStream.h"

#include <chrono>
#include <netinet/in.h>

namespace {

std::string Port16(uint16_t port)
{
    return std::to_string(int16_t(port)); // shown as a signed 16-bit number
}

} // namespace

T_TcpIp::Exchange::Exchange(T_TcpIp& owner) : owner_(owner)
{
    if (owner_.waiting_)
        throw EProtocolBusy();
    if (owner_.exchanges_++ == 0)
        owner_.cancelled_ = false;
}

T_TcpIp::Exchange::~Exchange()
{
    --owner_.exchanges_;
}

T_TcpIp::T_TcpIp()
    : Buffer(size_t(BufferSize)), Window(std::make_unique<MessageWindow>([this](Message& m) { WndProc(m); }))
{
}

T_TcpIp::~T_TcpIp()
{
    OnTrace = nullptr; // nothing is traced while tearing down
    if (control_) {
        try {
            Logout(); // a derived class's goodbye is no longer reachable here
        } catch (const std::exception&) {
            // A goodbye the server no longer hears is no reason to fail.
        }
        control_.reset();
    }
    Window.reset();
}

void T_TcpIp::WndProc(Message& m)
{
    m.Result = 0;
    if (m.Msg == WM_CONTROL_SOCKET && LOWORD(m.LParam) == unsigned(FD_READ))
        DataReady = true;
    else if (m.Msg == WM_QUERYENDSESSION)
        m.Result = 1;
}

void T_TcpIp::Cancel()
{
    if (waiting_)
        cancelled_ = true;
}

Wait::Outcome T_TcpIp::WaitFor(const std::function<bool()>& condition, const std::function<void(int)>& block)
{
    Wait wait;
    wait.Condition = condition;
    wait.Block = block;
    wait.Stop = [this] { return cancelled_.load(); };
    wait.TimeoutMs = int(ReplyTimeoutMs);
    wait.LastProgress = [this] {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(progressAt_.load()));
    };
    const bool was = waiting_.exchange(true);
    const Wait::Outcome outcome = wait.Run();
    waiting_ = was;
    return outcome;
}

void T_TcpIp::AwaitReady(const Readiness& ready, const std::string& what)
{
    int state = 0;
    const Wait::Outcome outcome = WaitFor([&] { return state == 1 || state == SOCKET_ERROR; },
                                          [&](int ms) {
                                              const bool gui = Wait::OnGuiThread();
                                              const ByteStream* also = gui && WatchAlso ? WatchAlso->get() : nullptr;
                                              state = ready(also, ms);
                                              if (state == 2)
                                                  Wait::Pump(); // the other connection's notice is due now
                                          });
    if (outcome != Wait::Ready)
        GiveUp(outcome == Wait::Stopped, what);
}

void T_TcpIp::WaitUntilReady(std::unique_ptr<ByteStream>& s, bool forWrite, const std::string& what)
{
    // A connection closed meanwhile is "ready": the next call on it says it ended.
    AwaitReady([&](const ByteStream* also, int ms) { return s ? s->Ready(forWrite, ms, also) : SOCKET_ERROR; },
               what);
}

void T_TcpIp::WaitUntilReady(SOCKET s, bool forWrite, const std::string& what)
{
    AwaitReady(
        [&](const ByteStream* also, int ms) {
            if (also && also->Pending())
                return 2;
            return winsock::selectEither(s, forWrite, also ? also->Handle() : INVALID_SOCKET, ms);
        },
        what);
}

void T_TcpIp::KeepResponsive(const std::string& what)
{
    const bool was = waiting_.exchange(true);
    Wait::PumpIfDue();
    waiting_ = was;
    if (cancelled_)
        GiveUp(true, what);
}

void T_TcpIp::GiveUp(bool stopped, const std::string& what)
{
    cancelled_ = false;
    // A reply may still come for what was asked.
    ConnectionLost();
    if (stopped)
        throw ETcpIpError("Stopped while " + what + " (" + Hostname + ").");
    // Exact to the millisecond, so a time-out under a second never reads as 0 seconds.
    std::string seconds = std::to_string(ReplyTimeoutMs / 1000);
    if (ReplyTimeoutMs % 1000 != 0) {
        const std::string fraction = std::to_string(1000 + ReplyTimeoutMs % 1000); // "1" and three digits
        seconds += "." + fraction.substr(1, fraction.find_last_not_of('0'));
    }
    throw ETcpIpError(Hostname + " did not answer within " + seconds +
                      (seconds == "1" ? " second" : " seconds") + " while " + what +
                      ". The server may be down or overloaded; check the host name and try again later.");
}

void T_TcpIp::StreamFailed(const ESockException& e)
{
    if (const auto* certificate = dynamic_cast<const ECertificateError*>(&e)) {
        // Kept whole: the window offers to trust exactly this certificate.
        const ECertificateError refused = *certificate;
        ConnectionLost();
        throw refused;
    }
    const std::string text = e.Message;
    ConnectionLost();
    throw ETcpIpError(text);
}

void T_TcpIp::ConnectionLost()
{
    CloseStream(control_);
    LoggedIn = false;
}

SOCKET T_TcpIp::CreateSocket(int family)
{
    const SOCKET s = winsock::socket(family, SOCK_STREAM, 0);
    if (s != INVALID_SOCKET) {
        // Non-blocking, so every wait goes through WaitUntilReady and its bound.
        unsigned long on = 1;
        winsock::ioctlsocket(s, FIONBIO_CMD, &on);
    }
    return s;
}

std::unique_ptr<ByteStream> T_TcpIp::ConnectStream(SOCKET s, const NetAddress& to)
{
    const uint16_t port = to.Port();
    sockaddr_storage raw{};
    const socklen_t length = to.ToSockaddr(raw);
    int error = 0;
    if (winsock::connect(s, reinterpret_cast<const sockaddr*>(&raw), length) != 0) {
        error = winsock::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            try {
                WaitUntilReady(s, true, "connecting to port " + std::to_string(port));
            } catch (...) {
                CloseSocket(s); // nobody's connection yet: no drop closes it
                throw;
            }
            int len = sizeof error;
            winsock::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
            error = error ? WinsockErrorFromErrno(error) : 0;
        }
    }
    if (error != 0) {
        CloseSocket(s);
        winsock::WSASetLastError(error);
        if (Tracing())
            Trace(tlSocket, "Failed to open output socket " + Port16(port) + " to host " + to.Text());
        return nullptr;
    }
    if (Tracing())
        Trace(tlSocket, "Opened output socket " + Port16(port) + " to host " + to.Text() + " successfully; ID " +
                            std::to_string(s));
    return Adopt(s);
}

std::unique_ptr<ByteStream> T_TcpIp::ConnectAny(const std::vector<NetAddress>& addresses, uint16_t port,
                                                NetAddress& peer, std::string& why)
{
    Connector connector(addresses, port);
    connector.OnAttempt = [&](const NetAddress& to, int error) {
        if (error != 0 && Tracing())
            Trace(tlSocket, "Failed to open output socket " + Port16(port) + " to host " + to.Text());
    };
    const Wait::Outcome outcome =
        WaitFor([&] { return connector.Done(); }, [&](int ms) { connector.Step(ms); });
    if (outcome != Wait::Ready)
        GiveUp(outcome == Wait::Stopped, "connecting to port " + std::to_string(port));
    if (!connector.Connected()) {
        why = connector.FailureText();
        winsock::WSASetLastError(connector.Error());
        return nullptr;
    }
    peer = connector.Peer();
    const SOCKET s = connector.Take();
    if (Tracing())
        Trace(tlSocket, "Opened output socket " + Port16(port) + " to host " + peer.Text() + " successfully; ID " +
                            std::to_string(s));
    return Adopt(s);
}

std::unique_ptr<ByteStream> T_TcpIp::Adopt(SOCKET connected)
{
    return std::make_unique<SocketStream>(connected);
}

void T_TcpIp::WrapControl(const ByteStream::Wrapper& wrap)
{
    lines_.Clear();
    try {
        control_ = wrap(std::move(control_));
    } catch (const ESockException& e) {
        StreamFailed(e); // the old stream went with the layer that failed
    }
}

void T_TcpIp::StartTls()
{
    WrapControl([this](std::unique_ptr<ByteStream> plain) -> std::unique_ptr<ByteStream> {
        return std::make_unique<TlsStream>(std::move(plain), Hostname, Tls.Trusted);
    });
    Handshake(control_, "negotiating TLS");
}

void T_TcpIp::StartTls(std::unique_ptr<ByteStream>& s, std::shared_ptr<TlsSession> resume, const std::string& what)
{
    try {
        s = std::make_unique<TlsStream>(std::move(s), Hostname, Tls.Trusted, std::move(resume));
    } catch (const ESockException& e) {
        StreamFailed(e);
    }
    Handshake(s, what);
}

void T_TcpIp::Handshake(std::unique_ptr<ByteStream>& s, const std::string& what)
{
    for (;;) {
        // Looked up again after each wait: a handler it let through may have closed the connection.
        auto* tls = dynamic_cast<TlsStream*>(s.get());
        if (!tls) {
            ConnectionLost();
            throw ETcpIpError("The connection to " + Hostname + " was closed while " + what + ".");
        }
        bool done = false;
        try {
            done = tls->Handshake();
        } catch (const ESockException& e) {
            StreamFailed(e);
        }
        if (done) {
            if (Tracing())
                Trace(tlSocket, "TLS: " + tls->Description() + (tls->SessionReused() ? " (session resumed)" : ""));
            return;
        }
        WaitUntilReady(s, false, what);
    }
}

std::shared_ptr<TlsSession> T_TcpIp::ControlSession() const
{
    const auto* tls = dynamic_cast<const TlsStream*>(control_.get());
    return tls ? tls->Session() : nullptr;
}

void T_TcpIp::BindAndListen(SOCKET& s, uint16_t& port, const NetAddress& local)
{
    CloseSocket(s);
    s = CreateSocket(local.Family());
    NetAddress at = local;
    at.SetPort(port);
    sockaddr_storage raw{};
    socklen_t length = at.ToSockaddr(raw);
    if (winsock::bind(s, reinterpret_cast<const sockaddr*>(&raw), length) != 0) {
        if (Tracing())
            Trace(tlSocket, "Failed to bind socket " + Port16(port) + " for local ip " + local.Text());
        CloseSocket(s);
        return;
    }
    if (Tracing())
        Trace(tlSocket, "Bound to socket " + Port16(port) + " for local ip " + local.Text());
    length = sizeof raw;
    if (winsock::getsockname(s, &raw, &length) == 0)
        if (const auto bound = NetAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&raw), length))
            port = bound->Port();
    if (winsock::listen(s, 2) != 0) {
        CloseSocket(s);
        if (Tracing())
            Trace(tlSocket, "Failed to set input socket " + Port16(port) + " to listening mode");
        return;
    }
    if (Tracing())
        Trace(tlSocket, "Set input socket " + Port16(port) + " to listening mode sucessfully; ID " +
                            std::to_string(s));
}

SOCKET T_TcpIp::AcceptConnection(SOCKET listening, NetAddress& peer)
{
    sockaddr_storage raw{};
    socklen_t length = sizeof raw;
    const SOCKET s = winsock::accept(listening, &raw, &length);
    if (s == INVALID_SOCKET) {
        if (Tracing())
            Trace(tlSocket, "No incoming connection found on socket ID " + std::to_string(listening));
        return INVALID_SOCKET;
    }
    const auto from = NetAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&raw), length);
    peer = from ? *from : NetAddress();
    if (Tracing())
        Trace(tlSocket, "Incoming connection found on socket ID " + std::to_string(listening) +
                            "; generated socket ID " + std::to_string(s));
    return s;
}

void T_TcpIp::CloseSocket(SOCKET& s)
{
    if (s == INVALID_SOCKET)
        return;
    winsock::closesocket(s);
    if (Tracing())
        Trace(tlSocket, "Closed socket ID " + std::to_string(s));
    s = INVALID_SOCKET;
}

void T_TcpIp::CloseStream(std::unique_ptr<ByteStream>& s)
{
    if (!s)
        return;
    const SOCKET id = s->Handle();
    // Out of its slot first: nothing its goodbye lets through finds it half closed.
    const std::unique_ptr<ByteStream> closing = std::move(s);
    closing->Close();
    if (Tracing())
        Trace(tlSocket, "Closed socket ID " + std::to_string(id));
}

void T_TcpIp::ReceiveBuffer(std::unique_ptr<ByteStream>& s, char* buffer, int& count, int size, bool wait)
{
    std::vector<char> scratch;
    if (!buffer) {
        scratch.resize(size_t(size));
        buffer = scratch.data();
    }
    for (;;) {
        int error = WSAENOTSOCK; // what reading a closed socket says
        count = ByteStream::Broken;
        if (s) {
            try {
                count = s->Read(buffer, size);
            } catch (const ESockException& e) {
                StreamFailed(e);
            }
            error = s->Error();
        }
        if (count >= 1) {
            if (Tracing())
                Trace(tlSocket, "Received " + std::to_string(count) + " bytes on socket ID " +
                                    std::to_string(s->Handle()));
            return;
        }
        if (count == ByteStream::WouldBlock) {
            if (!wait)
                return;
            WaitUntilReady(s, false, "waiting for its answer");
            continue;
        }
        EndOfData = true; // closed by the peer, or an error
        Reset = count == ByteStream::Broken && error == WSAECONNRESET;
        return;
    }
}

bool T_TcpIp::Eof()
{
    if (lines_.Pending() > 0 && !EndOfData)
        return false;
    if (EndOfData || !control_)
        return true;
    sockaddr_in peer{};
    int len = 16;
    return winsock::getpeername(control_->Handle(), &peer, &len) != 0;
}

bool T_TcpIp::ReadLine(std::string& line)
{
    // Blocks are read into Buffer and lines handed out from them: one system
    // call per block, not per byte.
    std::string next;
    while (!lines_.Next(next)) {
        if (EndOfData || !control_) {
            lines_.Clear(); // a connection closed mid-line yields no line
            return false;
        }
        int count = 0;
        ReceiveBuffer(control_, Buffer.data(), count, BufferSize);
        if (count > 0)
            lines_.Feed(Buffer.data(), size_t(count));
        // A fast peer never makes us wait: events still go through.
        KeepResponsive("waiting for its answer");
    }
    if (lines_.Cut()) {
        // Its first piece taken as the reply would put the rest where the
        // next reply is due.
        ConnectionLost();
        lines_.Clear();
        throw ETcpIpError(Hostname + " sent a line longer than " + std::to_string(LineReader::DefaultCap / 1024) +
                          " KiB, which no server of this kind sends; the connection was dropped. Check the host "
                          "name and port.");
    }
    line = std::move(next);
    return true;
}

void T_TcpIp::SendBuffer(std::unique_ptr<ByteStream>& s, const char* buffer, int& length)
{
    // Everything goes out: a short send is followed by the rest once there is room.
    const SOCKET id = s ? s->Handle() : INVALID_SOCKET;
    int sent = 0;
    while (sent < length) {
        int n = ByteStream::Broken;
        if (s) {
            try {
                n = s->Write(buffer + sent, length - sent);
            } catch (const ESockException& e) {
                StreamFailed(e);
            }
        }
        if (n == ByteStream::WouldBlock) {
            WaitUntilReady(s, true, "sending");
            continue;
        }
        if (n <= 0) {
            sent = sent ? sent : SOCKET_ERROR;
            break;
        }
        sent += n;
    }
    length = sent;
    if (Tracing())
        Trace(tlSocket, "Sent " + std::to_string(length) + " bytes on socket ID " + std::to_string(id));
}

void T_TcpIp::SendString(std::unique_ptr<ByteStream>& s, const std::string& text)
{
    int length = int(text.size());
    SendBuffer(s, text.data(), length);
}

void T_TcpIp::SendCommand(const std::string& line)
{
    SendString(control_, line + "\r\n");
    Trace(tlCommand, line);
}

void T_TcpIp::LoginWithPassword(const std::string& user, const std::string& password, const std::string& mask,
                                const std::function<void()>& readReply, const std::function<void()>& upgradeToTls)
{
    T_TcpIp::Login(); // TLS already, when it is implicit
    readReply();      // greeting
    if (Tls.Mode == TlsMode::StartTls)
        upgradeToTls();
    SendCommand("USER " + user);
    readReply();
    SendString(control_, "PASS " + password + "\r\n");
    Trace(tlCommand, "PASS " + mask);
    readReply();
}

void T_TcpIp::Login()
{
    Exchange exchange(*this);
    if (LoggedIn) {
        try {
            Logout();
        } catch (const ETcpIpError&) {
            ConnectionLost();
        }
    }
    const std::vector<NetAddress> addresses = ResolveAll(Hostname, Order);
    if (addresses.empty())
        throw ETcpIpError("Couldn't resolve hostname " + Hostname);
    CloseStream(control_);
    std::string why;
    control_ = ConnectAny(addresses, RemotePort, PeerAddress, why);
    if (!control_) {
        const int error = winsock::WSAGetLastError();
        throw ESocketError(uint16_t(error), why);
    }
    IPAddress = PeerAddress.IPv4();
    EndOfData = false;
    Reset = false;
    lines_.Clear();
    if (Tls.Mode == TlsMode::Implicit)
        StartTls(); // before the greeting: everything the server says is protected
    LoggedIn = true;
}

void T_TcpIp::Logout()
{
    CloseStream(control_);
    LoggedIn = false;
}

void T_TcpIp::DoAction()
{
    Exchange exchange(*this);
    Login();
    ReceiveStream.clear();
    while (!Eof()) {
        int count = 0;
        ReceiveBuffer(control_, Buffer.data(), count, BufferSize);
        if (count > 0)
            ReceiveStream.append(Buffer.data(), size_t(count));
        KeepResponsive("receiving its answer");
    }
}

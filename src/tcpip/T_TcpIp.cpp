#include "tcpip/T_TcpIp.h"
#include "sock/AddressHelpers.h"

#include "framework/Wait.h"
#include "sock/SocketErrorText.h"

#include <chrono>
#include <netinet/in.h>

namespace {

std::string Port16(uint16_t port)
{
    return std::to_string(int16_t(port)); // shown as a signed 16-bit number
}

// Why a connection could not be made, in words.
std::string ConnectFailure(int code)
{
    switch (code) {
    case WSAECONNREFUSED: return "connection refused by";
    case WSAETIMEDOUT: return "no answer from";
    case WSAEHOSTUNREACH: return "no route to host";
    case WSAENETUNREACH: return "network unreachable for";
    case WSAEADDRNOTAVAIL: return "address not available:";
    default: return "error " + std::to_string(code) + " (" + SocketErrorText(code) + ") connecting to";
    }
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
    if (Socket != INVALID_SOCKET) {
        try {
            Logout(); // a derived class's goodbye is no longer reachable here
        } catch (const std::exception&) {
            // A goodbye the server no longer hears is no reason to fail.
        }
        if (Socket != INVALID_SOCKET)
            winsock::closesocket(Socket);
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

void T_TcpIp::WaitUntilReady(SOCKET s, bool forWrite, const std::string& what)
{
    int ready = 0;
    const Wait::Outcome outcome = WaitFor([&] { return ready == 1 || ready == SOCKET_ERROR; },
                                          [&](int ms) {
                                              const bool gui = Wait::OnGuiThread();
                                              ready = winsock::selectEither(s, forWrite,
                                                                            gui ? WatchAlso : INVALID_SOCKET, ms);
                                              if (ready == 2)
                                                  Wait::Pump(); // the other connection's notice is due now
                                          });
    if (outcome != Wait::Ready)
        GiveUp(outcome == Wait::Stopped, what);
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

void T_TcpIp::ConnectionLost()
{
    CloseSocket(Socket);
    LoggedIn = false;
}

SOCKET T_TcpIp::CreateSocket()
{
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s != INVALID_SOCKET) {
        // Non-blocking, so every wait goes through WaitUntilReady and its bound.
        unsigned long on = 1;
        winsock::ioctlsocket(s, FIONBIO_CMD, &on);
    }
    return s;
}

void T_TcpIp::ConnectSocket(SOCKET& s, uint16_t port, uint32_t address)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    int error = 0;
    if (winsock::connect(s, &to, 16) != 0) {
        error = winsock::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            WaitUntilReady(s, true, "connecting to port " + std::to_string(port));
            int len = sizeof error;
            winsock::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
            error = error ? WinsockErrorFromErrno(error) : 0;
        }
    }
    if (error != 0) {
        CloseSocket(s);
        winsock::WSASetLastError(error);
        if (Tracing())
            Trace(tlSocket, "Failed to open output socket " + Port16(port) + " to host " + DottedAddress(address));
        return;
    }
    if (Tracing())
        Trace(tlSocket, "Opened output socket " + Port16(port) + " to host " + DottedAddress(address) +
                            " successfully; ID " + std::to_string(s));
}

void T_TcpIp::OpenOutputSocket(SOCKET& s, uint16_t port, uint32_t address)
{
    CloseSocket(s);
    s = CreateSocket();
    if (s != INVALID_SOCKET)
        ConnectSocket(s, port, address);
}

void T_TcpIp::BindAndListen(SOCKET& s, uint16_t& port, uint32_t localAddress)
{
    CloseSocket(s);
    s = CreateSocket();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = localAddress;
    if (winsock::bind(s, &local, 16) != 0) {
        if (Tracing())
            Trace(tlSocket, "Failed to bind socket " + Port16(port) + " for local ip " + DottedAddress(localAddress));
        CloseSocket(s);
        return;
    }
    if (Tracing())
        Trace(tlSocket, "Bound to socket " + Port16(port) + " for local ip " + DottedAddress(localAddress));
    sockaddr_in bound{};
    int len = 16;
    if (winsock::getsockname(s, &bound, &len) == 0)
        port = ntohs(bound.sin_port);
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

SOCKET T_TcpIp::AcceptConnection(SOCKET listening, sockaddr_in& peer)
{
    int len = 16;
    const SOCKET s = winsock::accept(listening, &peer, &len);
    if (s == INVALID_SOCKET) {
        if (Tracing())
            Trace(tlSocket, "No incoming connection found on socket ID " + std::to_string(listening));
        return INVALID_SOCKET;
    }
    if (Tracing())
        Trace(tlSocket, "Incoming connection found on socket ID " + std::to_string(listening) +
                            "; generated socket ID " + std::to_string(s));
    return s;
}

TSocketState T_TcpIp::SocketState(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return ssNoSocket;
    sockaddr_in peer{};
    int len = 16;
    if (winsock::getpeername(s, &peer, &len) == 0)
        return ssConnected;
    return winsock::WSAGetLastError() == WSAENOTCONN ? ssNotConnected : ssError;
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

void T_TcpIp::ReceiveBuffer(SOCKET s, char* buffer, int& count, int size)
{
    std::vector<char> scratch;
    if (!buffer) {
        scratch.resize(size_t(size));
        buffer = scratch.data();
    }
    for (;;) {
        count = winsock::recv(s, buffer, size, 0);
        if (count >= 1) {
            if (Tracing())
                Trace(tlSocket, "Received " + std::to_string(count) + " bytes on socket ID " + std::to_string(s));
            return;
        }
        const int error = count == SOCKET_ERROR ? winsock::WSAGetLastError() : 0;
        if (error == WSAEWOULDBLOCK) {
            WaitUntilReady(s, false, "waiting for its answer");
            continue;
        }
        EndOfData = true; // closed by the peer, or an error
        Reset = error == WSAECONNRESET;
        return;
    }
}

bool T_TcpIp::Eof(SOCKET s)
{
    if (lines_.Pending() > 0 && !EndOfData)
        return false;
    return EndOfData || SocketState(s) != ssConnected;
}

bool T_TcpIp::ReadLine(SOCKET s, std::string& line)
{
    // Blocks are read into Buffer and lines handed out from them: one system
    // call per block, not per byte.
    std::string next;
    while (!lines_.Next(next)) {
        if (EndOfData || s == INVALID_SOCKET) {
            lines_.Clear(); // a connection closed mid-line yields no line
            return false;
        }
        int count = 0;
        ReceiveBuffer(s, Buffer.data(), count, BufferSize);
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

void T_TcpIp::SendBuffer(SOCKET s, const char* buffer, int& length)
{
    // Everything goes out: a short send is followed by the rest once there is room.
    int sent = 0;
    while (sent < length) {
        const int n = winsock::send(s, buffer + sent, length - sent, 0);
        if (n == SOCKET_ERROR && winsock::WSAGetLastError() == WSAEWOULDBLOCK) {
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
        Trace(tlSocket, "Sent " + std::to_string(length) + " bytes on socket ID " + std::to_string(s));
}

void T_TcpIp::SendString(SOCKET s, const std::string& text)
{
    int length = int(text.size());
    SendBuffer(s, text.data(), length);
}

void T_TcpIp::SendCommand(const std::string& line)
{
    SendString(Socket, line + "\r\n");
    Trace(tlCommand, line);
}

void T_TcpIp::Login()
{
    Exchange exchange(*this);
    if (LoggedIn)
        Logout();
    IPAddress = ResolveAddress(Hostname);
    if (IPAddress == NoAddress)
        throw ETcpIpError("Couldn't resolve hostname " + Hostname);
    OpenOutputSocket(Socket, RemotePort, IPAddress);
    if (Socket == INVALID_SOCKET) {
        const int error = winsock::WSAGetLastError();
        throw ESocketError(uint16_t(error), ConnectFailure(error) + " " + DottedAddress(IPAddress) + ":" +
                                                std::to_string(RemotePort));
    }
    EndOfData = false;
    Reset = false;
    lines_.Clear();
    LoggedIn = true;
}

void T_TcpIp::Logout()
{
    CloseSocket(Socket);
    LoggedIn = false;
}

void T_TcpIp::DoAction()
{
    Exchange exchange(*this);
    Login();
    ReceiveStream.clear();
    while (!Eof(Socket)) {
        int count = 0;
        ReceiveBuffer(Socket, Buffer.data(), count, BufferSize);
        if (count > 0)
            ReceiveStream.append(Buffer.data(), size_t(count));
        KeepResponsive("receiving its answer");
    }
}

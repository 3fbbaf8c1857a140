#include "sock/TSock.h"
#include "framework/SysUtils.h"
#include "framework/Wait.h"
#include "sock/ESockException.h"
#include "sock/SocketErrorText.h"
#include "sock/SocketModule.h"

#include <atomic>
#include <cstring>

namespace {

// The timer that drives a non-blocking connect; its ticks cost a poll of no
// time, so the window never waits on a connect.
constexpr unsigned ConnectTimer = 1;
constexpr unsigned ConnectTickMs = 10;

} // namespace

TSock::TSock()
    : receiveArea_(ReceiveArea),
      window_(std::make_unique<MessageWindow>([this](Message& m) { WndProc(m); }))
{
    target_.sin_family = AF_INET;
    peer_.sin_family = AF_INET;
}

TSock::~TSock()
{
    if (listen_ || connected_)
        Close();
    // Threads of a blocking listener still use the objects they were given.
    for (std::thread& t : acceptThreads_)
        if (t.joinable())
            t.join();
    accepted_.clear();
    window_.reset();
    if (socket_ != INVALID_SOCKET)
        winsock::closesocket(socket_);
}

void TSock::Report(TSocketInfo kind, const std::string& text)
{
    if (OnInfo)
        OnInfo(this, kind, text);
}

void TSock::Fire(const TNotifyEvent& event)
{
    if (event)
        event(this);
}

void TSock::SetHostName(const std::string& name)
{
    if (socketType_ == stStream && connected_)
        Report(siLookup, "Setting HostName While Connected Has No Effect");
    hostName_ = name;
    if (socketType_ == stDatagram && connected_)
        target_.sin_addr.s_addr = HostLookup(name);
}

void TSock::SetPortName(const std::string& name)
{
    if (connected_)
        Report(siLookup, "Setting PortName While Connected Has No Effect");
    portName_ = name;
}

void TSock::SetSocketType(TSocketType type)
{
    if (listen_)
        throw ESockException("SocketType - Can't Assign Socket Type While Listening");
    if (connected_)
        throw ESockException("SocketType - Can't Assign Socket Type While Connected");
    socketType_ = type;
}

void TSock::SetBlocking(bool blocking)
{
    blocking_ = blocking;
    if (socket_ != INVALID_SOCKET)
        ApplyBlocking();
}

void TSock::ApplyBlocking()
{
    if (blocking_ && !listen_) {
        winsock::WSAAsyncSelect(socket_, window_.get(), WM_SOCK, 0);
        unsigned long off = 0;
        winsock::ioctlsocket(socket_, FIONBIO_CMD, &off);
        return;
    }
    long mask = FD_READ;
    if (listen_)
        mask = FD_ACCEPT;
    else if (socketType_ == stStream)
        mask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    winsock::WSAAsyncSelect(socket_, window_.get(), WM_SOCK, mask);
}

bool TSock::Open()
{
    if (socket_ != INVALID_SOCKET || connector_)
        return connected_;
    if (socketType_ == stDatagram) {
        socket_ = winsock::socket(AF_INET, SOCK_DGRAM, 0);
        target_.sin_family = AF_INET;
        target_.sin_port = PortLookup(portName_);
        target_.sin_addr.s_addr = HostLookup(std::string());
        ApplyBlocking();
        if (winsock::bind(socket_, &target_, 16) == 0) {
            connected_ = true;
            Report(siConnect, "Datagram Socket Connected");
            Fire(OnConnect);
        }
        return connected_;
    }
    uint16_t port = 0;
    std::vector<NetAddress> addresses;
    try {
        port = ntohs(PortLookup(portName_));
        addresses = StreamAddresses();
    } catch (const ESockException&) {
        // The same state a refused connect leaves (ConnectFailed): an unconnected
        // socket that makes Open do nothing until Close, which closes it.
        socket_ = winsock::socket(AF_INET, SOCK_STREAM, 0);
        throw;
    }
    if (blocking_)
        return ConnectBlocking(addresses, port);
    // Non-blocking: the outcome arrives later, as a notification would.
    connector_ = std::make_unique<Connector>(addresses, port);
    connectStarted_ = std::chrono::steady_clock::now();
    window_->SetTimer(ConnectTimer, ConnectTickMs);
    return connected_;
}

std::vector<NetAddress> TSock::StreamAddresses()
{
    if (hostName_.empty())
        return {NetAddress::FromIPv4(0)}; // this machine, as an empty host always meant
    Report(siLookup, "Lookup Of Host " + hostName_);
    const std::vector<NetAddress> addresses = ResolveAll(hostName_, Order);
    if (addresses.empty())
        throw ESockException("Host Lookup - Could Not Find Host Entry");
    return addresses;
}

bool TSock::ConnectBlocking(const std::vector<NetAddress>& addresses, uint16_t port)
{
    Connector connector(addresses, port);
    Wait wait;
    wait.Condition = [&] { return connector.Done(); };
    wait.Block = [&](int ms) { connector.Step(ms); };
    wait.TimeoutMs = ConnectTimeoutMs;
    wait.Run();
    if (connector.Connected()) {
        socket_ = connector.Take();
        ApplyBlocking();
        connected_ = true;
        Report(siConnect, "Blocking Socket Connected");
        Fire(OnConnect);
    } else {
        Report(siClose, "Blocking Socket Can't Connect");
        Close();
    }
    return connected_;
}

void TSock::ConnectStep()
{
    connector_->Step(0);
    if (connector_->Connected()) {
        window_->KillTimer(ConnectTimer);
        socket_ = connector_->Take();
        connector_.reset();
        ApplyBlocking();
        ConnectNotified();
    } else if (connector_->Done()) {
        ConnectFailed(connector_->Error());
    } else if (std::chrono::steady_clock::now() - connectStarted_ >= std::chrono::milliseconds(ConnectTimeoutMs)) {
        ConnectFailed(WSAETIMEDOUT);
    }
}

void TSock::ConnectFailed(int error)
{
    window_->KillTimer(ConnectTimer);
    connector_.reset();
    // The socket stays allocated until Close, as after a refused connect
    // on a single socket: Open does nothing meanwhile.
    socket_ = winsock::socket(AF_INET, SOCK_STREAM, 0);
    Report(siError, "Error #" + std::to_string(error) + " (" + SocketErrorText(error) + ")");
}

bool TSock::Close()
{
    if (connector_) {
        window_->KillTimer(ConnectTimer);
        connector_.reset();
    }
    const bool closed = winsock::closesocket(socket_) == 0;
    socket_ = INVALID_SOCKET;
    connected_ = false;
    if (!listen_)
        Report(siClose, "Socket Closed");
    listen_ = false;
    return closed;
}

void TSock::WndProc(Message& m)
{
    if (m.Msg == WM_TIMER && m.WParam == ConnectTimer) {
        if (connector_)
            ConnectStep();
        return;
    }
    if (m.Msg != WM_SOCK || SOCKET(m.WParam) != socket_)
        return; // a notification for a socket closed since it was posted
    const unsigned event = LOWORD(m.LParam);
    const unsigned error = HIWORD(m.LParam);
    m.Result = 0;
    if (error > 10000) {
        Report(siError, "Error #" + std::to_string(error) + " (" + SocketErrorText(int(error)) + ")");
        return;
    }
    switch (event) {
    case FD_CONNECT: ConnectNotified(); break;
    case FD_READ: Readable(); break;
    case FD_WRITE: Writable(); break;
    case FD_CLOSE:
        Fire(OnDisconnect);
        Close();
        break;
    case FD_ACCEPT: Accept(); break;
    default: break;
    }
}

void TSock::ConnectNotified()
{
    connected_ = true;
    Report(siConnect, "Non-Blocking Socket Connected");
    Fire(OnConnect);
}

void TSock::Readable()
{
    if (socketType_ == stStream) {
        const int n = winsock::recv(socket_, receiveArea_.data(), ReceiveArea, 0);
        if (n > 0)
            received_.append(receiveArea_.data(), size_t(n));
        Report(siReceive, "Non-Blocking Incoming Data");
    }
    if (OnRead)
        OnRead(this, int(received_.size()));
}

void TSock::Writable()
{
    if (!pending_.empty())
        Send("");
    Report(siSend, "Non-Blocking Outgoing Data");
    Fire(OnWrite);
}

bool TSock::Send(const std::string& text)
{
    if (socket_ == INVALID_SOCKET)
        throw ESockException("Send - Socket Not Connected");
    if (listen_)
        throw ESockException("Send - Cannot Send On A Listener Socket");
    if (socketType_ == stDatagram)
        return SendDatagram(text, hostName_);
    pending_ += text;
    if (pending_.empty())
        return true;
    if (!blocking_) {
        Report(siSend, "Non-Blocking Outgoing Data");
        const int n = winsock::send(socket_, pending_.data(), int(pending_.size()), 0);
        if (n > 0)
            pending_.erase(0, size_t(n));
        return true;
    }
    while (!pending_.empty()) {
        const int n = winsock::send(socket_, pending_.data(), int(pending_.size()), 0);
        if (n == SOCKET_ERROR && winsock::WSAGetLastError() != WSAEINPROGRESS) {
            Report(siError, "Socket Error On Send");
            throw ESockException("Send - Socket Error");
        }
        if (n > 0)
            pending_.erase(0, size_t(n));
        Report(siSend, "Blocking Outgoing Data");
    }
    pending_.clear();
    return true;
}

std::string TSock::Receive()
{
    if (socket_ == INVALID_SOCKET && received_.empty())
        throw ESockException("Receive - Socket Not Connected");
    if (listen_)
        throw ESockException("Receive - Cannot Receive On A Listener Socket");
    if (socketType_ == stDatagram) {
        std::string host, data;
        ReceiveDatagram(host, data);
        return data;
    }
    if (blocking_)
        return ReceiveBlocking();
    std::string text;
    text.swap(received_);
    return text;
}

std::string TSock::ReceiveBlocking()
{
    while (connected_ && winsock::selectReadable(socket_, 0) == 1) {
        Report(siReceive, "Blocking Incoming Data");
        const int n = winsock::recv(socket_, receiveArea_.data(), ReceiveArea, 0);
        if (n == SOCKET_ERROR) {
            const int code = winsock::WSAGetLastError();
            received_.clear();
            Report(siError, "Socket Error On Receive");
            throw ESockException("Receive - Socket Error " + SocketErrorText(code));
        }
        if (n == 0) {
            Report(siClose, "Socket Disconnected On Receive");
            Close();
            Fire(OnDisconnect);
        } else {
            received_.append(receiveArea_.data(), size_t(n));
        }
    }
    std::string text;
    text.swap(received_);
    return text;
}

bool TSock::SendDatagram(const std::string& text, const std::string& host)
{
    if (socket_ == INVALID_SOCKET)
        throw ESockException("SendDatagram - Socket Not Connected");
    if (socketType_ == stStream)
        throw ESockException("SendDatagram - Datagram Send Not Supported On Stream Sockets");
    SetHostName(host);
    if (!text.empty())
        winsock::sendto(socket_, text.data(), int(text.size()), 0, &target_, 16);
    return true;
}

void TSock::ReceiveDatagram(std::string& host, std::string& data)
{
    if (socket_ == INVALID_SOCKET)
        throw ESockException("ReceiveDatagram - Socket Not Connected");
    if (socketType_ == stStream)
        throw ESockException("ReceiveDatagram - Datagram Receive Not Supported On Stream Sockets");
    host.clear();
    data.clear();
    if (winsock::selectReadable(socket_, 0) != 1)
        return;
    sockaddr_in from{};
    int fromLength = 16;
    const int n = winsock::recvfrom(socket_, receiveArea_.data(), ReceiveArea, 0, &from, &fromLength);
    peer_ = from;
    if (n > 0) {
        data.assign(receiveArea_.data(), size_t(n));
        host = RemoteHost();
    }
}

std::string TSock::RemoteHost() const
{
    return winsock::inet_ntoa(peer_.sin_addr.s_addr);
}

uint32_t TSock::HostLookup(const std::string& name)
{
    if (name.empty())
        return 0; // any address
    Report(siLookup, "Lookup Of Host " + name);
    if (name[0] >= '0' && name[0] <= '9')
        return winsock::inet_addr(name.c_str());
    if (const auto cached = HostCache().Find(name))
        return *cached;
    const hostent* entry = winsock::gethostbyname(name.c_str());
    if (!entry || !entry->h_addr_list || !entry->h_addr_list[0])
        throw ESockException("Host Lookup - Could Not Find Host Entry");
    uint32_t address;
    std::memcpy(&address, entry->h_addr_list[0], 4);
    HostCache().Add(name, address);
    return address;
}

uint16_t TSock::PortLookup(const std::string& name)
{
    Report(siLookup, "Lookup Of Port " + name);
    if (!name.empty() && name[0] >= '0' && name[0] <= '9')
        return htons(uint16_t(StrToInt(name)));
    const servent* service = winsock::getservbyname(name.c_str(), socketType_ == stStream ? "tcp" : "udp");
    if (!service)
        throw ESockException("Port Lookup - Could Not Find Service Entry");
    return uint16_t(service->s_port);
}

void TSock::SetListen(bool listen)
{
    if (socket_ != INVALID_SOCKET && !listen_) {
        listen_ = false;
        throw ESockException("Listen - Socket Already In Use");
    }
    if (socketType_ == stDatagram && listen) {
        listen_ = false;
        throw ESockException("Listen - Cannot Listen On A Datagram Socket");
    }
    const bool wasListening = listen_;
    listen_ = listen;
    if (!listen) {
        Close();
        Report(siListen, "Listening Stopped");
        return;
    }
    if (wasListening) {
        Report(siListen, "Listening Already Running");
        return;
    }
    socket_ = winsock::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = PortLookup(portName_);
    local.sin_addr.s_addr = INADDR_ANY;
    ApplyBlocking();
    if (winsock::bind(socket_, &local, 16) != 0) {
        listen_ = false;
        throw ESockException("Listen - Error Binding Socket");
    }
    if (winsock::listen(socket_, 5) != 0) {
        listen_ = false;
        throw ESockException("Listen - Error Starting Listen");
    }
    Report(siListen, "Listening Started");
}

void TSock::Accept()
{
    if (!AutoAccept || !OnAutoAccept) {
        Fire(OnAccept);
        return;
    }
    sockaddr_in from{};
    int fromLength = 16;
    const SOCKET s = winsock::accept(socket_, &from, &fromLength);
    if (s == INVALID_SOCKET)
        return;
    peer_ = from;

    auto created = std::make_unique<TSock>();
    TSock* sock = created.get();
    accepted_.push_back(std::move(created));
    sock->socket_ = s;
    sock->blocking_ = blocking_;
    sock->ApplyBlocking();
    sock->OnRead = OnRead;
    sock->OnWrite = OnWrite;
    sock->OnDisconnect = OnDisconnect;
    sock->OnInfo = OnInfo;
    sock->connected_ = true;
    sock->SetPortName(portName_);
    sock->SetHostName(winsock::inet_ntoa(from.sin_addr.s_addr));

    if (!blocking_) {
        OnAutoAccept(this, sock);
        return;
    }
    // A blocking listener hands each connection to a thread of its own; we wait
    // until the thread has its parameters.
    std::atomic<bool> taken{false};
    acceptThreads_.emplace_back([this, sock, &taken, handler = OnAutoAccept] {
        TSock* listener = this;
        TSock* mine = sock;
        TNotifyAutoEvent fire = handler;
        taken = true;
        fire(listener, mine);
    });
    while (!taken)
        std::this_thread::yield();
}

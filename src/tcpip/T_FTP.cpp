#include "tcpip/T_FTP.h"
#include "framework/Lines.h"
#include "framework/SysUtils.h"
#include "platform/LargeBuffer.h"
#include "sock/AddressHelpers.h"
#include "sock/NumberedReply.h"
#include "tcpip/FtpReply.h"

#include <algorithm>
#include <utility>

namespace {

constexpr long DataEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr int ChunkSize = 32512;

// SIZE's answer: a byte count, or nothing usable.
int64_t ByteCount(const std::string& text)
{
    int64_t n = 0;
    if (text.empty())
        throw EConvertError("'" + text + "' is not a valid integer value");
    for (char c : text) {
        if (c < '0' || c > '9' || n > (INT64_MAX - 9) / 10)
            throw EConvertError("'" + text + "' is not a valid integer value");
        n = n * 10 + (c - '0');
    }
    return n;
}

} // namespace

T_FTP::T_FTP()
{
    Port = 21;
    RemotePort = 21;
}

T_FTP::~T_FTP()
{
    OnTrace = nullptr;
    OnDataReceived = nullptr;
    OnActionComplete = nullptr;
    if (LoggedIn) {
        try {
            Logout();
        } catch (const std::exception&) {
            // The server is gone; a goodbye changes nothing for it.
        }
    }
    DropConnection();
}

// ---- replies and commands ----

void T_FTP::ReadReply()
{
    std::string first;
    if (!ReadLine(first)) {
        ReplyCode = 999;
        ReplyText.clear();
        throw EProtocolError("The FTP server " + Hostname +
                                 " closed the connection without an answer; try again, or check that it is an FTP server.",
                             999, "FTP");
    }
    Trace(tlReply, first);
    ReplyCode = ::ReplyCode(first);
    ReplyText = first.size() > 4 ? first.substr(4) : std::string();
    // The whole reply is read even when it is an error, so the next command
    // gets its own reply and not the rest of this one.
    std::string line = first;
    for (int lines = 1; !ReplyIsFinal(first, line); ++lines) {
        if (lines >= MaxReplyLines)
            throw EProtocolError("The FTP server's reply runs past " + std::to_string(MaxReplyLines) +
                                     " lines; it does not speak FTP as expected.",
                                 999, "FTP");
        if (!ReadLine(line))
            break;
        Trace(tlReply, line);
    }
    if (ReplyCode >= 400)
        throw EProtocolError(ReplyText, uint16_t(ReplyCode), "FTP");
}

// ---- log in and out ----

void T_FTP::Login()
{
    Exchange exchange(*this);
    RemotePort = Port;
    T_TcpIp::Login();
    ReadReply(); // greeting
    SendUser();
    SendPassword();
    SetImageType();
}

void T_FTP::SendUser()
{
    SendCommand("USER " + Username);
    ReadReply();
}

void T_FTP::SendPassword()
{
    T_TcpIp::SendPassword(Password, "******");
    ReadReply();
}

void T_FTP::SetImageType()
{
    SendCommand("TYPE I");
    ReadReply();
}

void T_FTP::Logout()
{
    Exchange exchange(*this);
    try {
        if (Busy)
            Abort();
        if (LoggedIn) {
            if (Connected()) {
                SendCommand("QUIT");
                ReadReply();
            }
            CloseDataSockets(false); // only the control connection's end is traced
        }
    } catch (const ETcpIpError&) {
        // Logged out either way: no half-open connection is kept.
        DropConnection();
        throw;
    }
    epsvRefused_ = false; // the next connection's server may know EPSV
    T_TcpIp::Logout();
}

void T_FTP::ConnectionLost()
{
    DropConnection();
}

void T_FTP::CloseDataConnection()
{
    WatchAlso = nullptr;
    WaitForData = false;
    if (Connected())
        winsock::WSAAsyncSelect(Control()->Handle(), Window.get(), WM_CONTROL_SOCKET, 0);
    CloseDataSockets(true);
    Busy = false;
}

void T_FTP::DropConnection()
{
    epsvRefused_ = false;
    CloseDataConnection();
    T_TcpIp::ConnectionLost();
}

void T_FTP::CloseDataSockets(bool traced)
{
    if (traced) {
        CloseStream(data_);
        CloseSocket(listener_);
        return;
    }
    data_.reset();
    if (listener_ != INVALID_SOCKET)
        winsock::closesocket(std::exchange(listener_, INVALID_SOCKET));
}

// ---- data connections ----

void T_FTP::OpenDataConnection()
{
    CloseDataSockets(false); // whatever an earlier transfer left
    if (Passive)
        OpenPassiveConnection();
    else
        OpenActiveConnection();
    const SOCKET data = data_ ? data_->Handle() : listener_;
    if (Async && data != INVALID_SOCKET)
        winsock::WSAAsyncSelect(data, Window.get(), WM_DATA_SOCKET, DataEvents);
}

void T_FTP::OpenPassiveConnection()
{
    uint16_t port = 0;
    if (!PassivePortByEpsv(port) && !PassivePortByPasv(port))
        return; // the transfer command then gets the server's complaint
    // Whatever the answer named, the data connection goes to the server we
    // logged in to: another machine there is how a bounce or data theft begins.
    NetAddress to = PeerAddress;
    to.SetPort(port);
    const SOCKET s = CreateSocket(to.Family());
    if (s == INVALID_SOCKET)
        return;
    if (Async)
        winsock::WSAAsyncSelect(s, Window.get(), WM_DATA_SOCKET, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT);
    data_ = ConnectStream(s, to);
}

bool T_FTP::PassivePortByEpsv(uint16_t& port)
{
    if (epsvRefused_)
        return false;
    SendCommand("EPSV");
    try {
        ReadReply();
    } catch (const EProtocolError& e) {
        if (e.ReplyCode == 999)
            throw; // no answer at all, or no FTP: PASV would fare no better
    }
    if (ReplyCode != 229) {
        epsvRefused_ = true; // an older server: 500 or 502, and PASV it knows
        return false;
    }
    ProposedDataAddress.clear();
    if (ParseExtendedPassiveAnswer(ReplyText, port))
        return true;
    Trace(tlSocket, "No data port in the extended passive answer");
    return false;
}

bool T_FTP::PassivePortByPasv(uint16_t& port)
{
    SendCommand("PASV");
    ReadReply();
    if (ReplyCode != 227)
        throw EProtocolError(ReplyText, uint16_t(ReplyCode), "FTP");
    std::string proposed;
    if (!ParsePassiveAnswer(ReplyText, proposed, port)) {
        ProposedDataAddress.clear();
        Trace(tlSocket, "No data address in the passive answer");
        return false;
    }
    ProposedDataAddress = proposed;
    if (proposed != PeerAddress.Text())
        Trace(tlSocket, "The server proposed a data connection to " + proposed + "; connecting to " +
                            PeerAddress.Text() + " instead");
    return true;
}

void T_FTP::OpenActiveConnection()
{
    // The address the server already reaches us on; the host name's first
    // address may be on another interface the server cannot reach.
    sockaddr_storage raw{};
    socklen_t length = sizeof raw;
    std::optional<NetAddress> me;
    if (Connected() && winsock::getsockname(Control()->Handle(), &raw, &length) == 0)
        me = NetAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&raw), length);
    const NetAddress local = me ? *me : NetAddress::FromIPv4(LocalAddress());
    uint16_t port = 0;
    BindAndListen(listener_, port, local);
    if (local.IsIPv4()) {
        SendCommand("PORT " + PortArgument(local.IPv4(), port));
    } else {
        // EPRT (RFC 2428) names the family; a zone means nothing to the server.
        const std::string text = local.Text();
        SendCommand("EPRT " + ExtendedPortArgument(AF_INET6, text.substr(0, text.find('%')), port));
    }
    ReadReply();
}

void T_FTP::AcceptDataConnection()
{
    const SOCKET listening = listener_;
    if (listening == INVALID_SOCKET)
        return;
    for (;;) {
        WaitUntilReady(listening, false, "waiting for the server's data connection");
        NetAddress peer;
        const SOCKET accepted = AcceptConnection(listening, peer);
        if (accepted == INVALID_SOCKET)
            return; // the listener stays: the transfer then finds no connection and fails
        if (TakeDataConnection(accepted, peer))
            return;
    }
}

void T_FTP::SendTransferCommand(const std::string& command)
{
    SendCommand(command);
    ReadReply();
    if (!Passive && !Async)
        AcceptDataConnection();
}

bool T_FTP::ReadData()
{
    if (!data_ && listener_ == INVALID_SOCKET)
        return false;
    // The data connection's end is not the control connection's.
    const bool controlEnded = EndOfData;
    int n = SOCKET_ERROR; // a listener whose connection never came has nothing to read
    if (data_)
        ReceiveBuffer(data_, Buffer.data(), n, ChunkSize);
    EndOfData = controlEnded;
    if (n > 0) {
        std::string& into = TransferKind == tftp_getdir ? ListStream : ReceiveStream;
        const size_t cap = TransferKind == tftp_getdir ? MaxListingBytes : MaxDownloadBytes;
        if (into.size() + size_t(n) > cap) {
            CloseDataConnection();
            throw ETcpIpError("The " + std::string(TransferKind == tftp_getdir ? "listing" : "download") +
                              " is larger than " + std::to_string(cap >> 20) +
                              " MB, more than this program keeps in memory; the transfer was stopped.");
        }
        into.append(Buffer.data(), size_t(n));
        NoteProgress();
    } else {
        if (n < 0)
            dataBroken_ = true;
        WatchAlso = nullptr; // an ended connection stays readable
    }
    FireData(n);
    return n > 0;
}

bool T_FTP::SendChunk()
{
    if (!data_ && listener_ == INVALID_SOCKET)
        return false;
    const size_t n = std::min(size_t(ChunkSize), ReceiveStream.size() - std::min(uploadPosition_, ReceiveStream.size()));
    if (n == 0) {
        CloseDataSockets(true);
        if (Async)
            Window->Post(WM_DATA_SOCKET, WPARAM(INVALID_SOCKET), MAKELONG(unsigned(FD_CLOSE), 0));
        return false;
    }
    int sent = int(n);
    SendBuffer(data_, ReceiveStream.data() + uploadPosition_, sent);
    if (sent <= 0) {
        // The server dropped the data connection: the upload ends here, and its
        // final reply says why.
        dataBroken_ = true;
        CloseDataSockets(true);
        if (Async)
            Window->Post(WM_DATA_SOCKET, WPARAM(INVALID_SOCKET), MAKELONG(unsigned(FD_CLOSE), 0));
        return false;
    }
    uploadPosition_ += size_t(sent);
    NoteProgress();
    FireData(sent);
    return true;
}

void T_FTP::FireData(int count)
{
    if (OnDataReceived && (TransferKind != tftp_upload || count > 0))
        OnDataReceived(this, TransferKind, count);
}

void T_FTP::AwaitFinalReplyFed()
{
    if (Connected())
        winsock::WSAAsyncSelect(Control()->Handle(), Window.get(), WM_CONTROL_SOCKET, FD_READ);
    EndOfData = false;
    WaitForData = true;
    WatchAlso = &data_;
    pendingError_ = nullptr;
    try {
        ReadReply(); // the data arrives through WndProc meanwhile
    } catch (...) {
        if (pendingError_)
            std::rethrow_exception(std::exchange(pendingError_, nullptr));
        throw;
    }
    WaitForData = false;
    WatchAlso = nullptr;
    if (Connected())
        winsock::WSAAsyncSelect(Control()->Handle(), Window.get(), WM_CONTROL_SOCKET, 0);
}

// The data of a download or listing, up to the server's final reply.
void T_FTP::ReceiveUntilFinalReply()
{
    if (Async) {
        AwaitFinalReplyFed();
        return;
    }
    while (ReadData())
        KeepResponsive("receiving the data");
    EndOfData = false;
    ReadReply(); // final reply
}

// ---- transfers ----

bool T_FTP::ReadyToTransfer(const std::string& name)
{
    if (Busy)
        throw EProtocolBusy();
    if (!LoggedIn)
        Login();
    return !name.empty();
}

template <typename Step>
void T_FTP::Transfer(Step step)
{
    dataBroken_ = false;
    try {
        step();
    } catch (const EProtocolError& e) {
        // The server said no: the control connection still serves, unless the
        // answer never came.
        if (e.ReplyCode == 999)
            DropConnection();
        else
            CloseDataConnection();
        throw;
    } catch (...) {
        DropConnection();
        throw;
    }
}

void T_FTP::Complete()
{
    if (dataBroken_)
        throw ETcpIpError("The data connection to " + Hostname +
                          " broke off before the end: the transfer is incomplete. Try it again.");
    if (OnActionComplete)
        OnActionComplete(this, TransferKind);
    Busy = false;
}

void T_FTP::Download()
{
    Exchange exchange(*this);
    if (!ReadyToTransfer(URI))
        return;
    try {
        SendCommand("SIZE " + URI);
        ReadReply();
        TransferSize = ByteCount(ReplyText);
    } catch (const EProtocolError& e) {
        if (e.ReplyCode == 999)
            throw; // no answer at all: nothing further would work
        TransferSize = 0; // a server without SIZE
    } catch (const EConvertError&) {
        TransferSize = 0;
    }
    Transfer([this] {
        OpenDataConnection();
        SendTransferCommand("RETR " + URI);
        TransferKind = tftp_download;
        Busy = true;
        ReceiveStream.clear();
        // One allocation for the announced size instead of a copy at each doubling.
        ReceiveStream.reserve(size_t(std::min<int64_t>(std::max<int64_t>(TransferSize, 0), int64_t(MaxDownloadBytes))));
        AdviseLargeBuffer(ReceiveStream.data(), ReceiveStream.capacity());
        ReceiveUntilFinalReply();
        FinishDownload();
    });
}

void T_FTP::TakeLateConnection()
{
    // A short transfer can end (final reply and all) before the notice of
    // the server's connection has been handled: take it now.
    if (listener_ != INVALID_SOCKET)
        AcceptDataConnection();
}

void T_FTP::FinishDownload()
{
    TakeLateConnection();
    while (ReadData())
        KeepResponsive("receiving the data");
    EndOfData = false;
    CloseDataSockets(true);
    WatchAlso = nullptr;
    Complete();
}

void T_FTP::Upload()
{
    Exchange exchange(*this);
    if (!ReadyToTransfer(URI))
        return;
    Transfer([this] {
        OpenDataConnection();
        SendTransferCommand("STOR " + URI);
        TransferKind = tftp_upload;
        Busy = true;
        TransferSize = int64_t(ReceiveStream.size());
        uploadPosition_ = 0;
        // Actively, with Async, the server's connection is accepted on a later
        // notice, and its FD_WRITE starts the sending. If it was accepted while
        // the reply was awaited, that FD_WRITE came before the upload began and
        // was passed over (the kernel says writable once): start now.
        if (Passive || !Async || data_)
            while (SendChunk()) {
            }
        if (!Async)
            FinishUpload();
        // With Async the end comes as FD_CLOSE through WndProc.
    });
}

void T_FTP::FinishUpload()
{
    EndOfData = false;
    ReadReply(); // final reply
    WaitForData = false;
    Complete();
}

void T_FTP::GetDir(const std::string& path)
{
    Exchange exchange(*this);
    if (!ReadyToTransfer(path))
        return;
    bool ascii = false;
    try {
        Transfer([this, &path, &ascii] {
            OpenDataConnection();
            SendCommand("TYPE A");
            ReadReply();
            ascii = true;
            SendTransferCommand("LIST " + path);
            TransferKind = tftp_getdir;
            Busy = true;
            ListStream.clear();
            ReceiveUntilFinalReply();
            FinishList();
        });
    } catch (const EProtocolError& e) {
        // A later download in text mode would come back altered: image type again.
        if (ascii && LoggedIn && e.ReplyCode != 999) {
            try {
                SetImageType();
            } catch (const ETcpIpError&) {
                // The first error is the one the user needs to see.
            }
        }
        throw;
    }
}

void T_FTP::FinishList()
{
    TakeLateConnection();
    EndOfData = false;
    while (ReadData())
        KeepResponsive("receiving the data");
    EndOfData = false;
    if (data_)
        winsock::shutdown(data_->Handle(), SD_SEND);
    CloseDataSockets(false);
    WatchAlso = nullptr;
    SetImageType();
    if (!dataBroken_) // a broken listing does not replace the last whole one
        DirList = SplitLines(ListStream, LastLine::IfNotEmpty);
    ListStream.clear();
    Complete();
}

void T_FTP::Abort()
{
    if (!Busy)
        return;
    try {
        SendCommand("ABOR");
        ReadReply();
    } catch (const EProtocolError& e) {
        if (e.ReplyCode != 426)
            throw EProtocolError(e.Message, e.ReplyCode, "FTP");
        ReadReply(); // the closing reply
    }
    // Any positive answer ends the transfer as far as we are concerned.
    CloseDataConnection();
}

void T_FTP::DoAction()
{
    Exchange exchange(*this);
    Login();
    switch (Mode) {
    case tftp_download:
        ReceiveStream.clear();
        Download();
        break;
    case tftp_upload: {
        // What is in memory is what gets stored; with Async the logout waits
        // for the upload to end instead of aborting it.
        Upload();
        WaitFor([this] { return !Busy; }); // the logout deals with an upload still running
        break;
    }
    case tftp_getdir:
        ReceiveStream.clear();
        GetDir(".");
        break;
    }
    Logout();
}

// ---- notifications ----

void T_FTP::WndProc(Message& m)
{
    if (m.Msg != WM_DATA_SOCKET) {
        T_TcpIp::WndProc(m);
        return;
    }
    m.Result = 0;
    const SOCKET from = SOCKET(m.WParam);
    switch (LOWORD(m.LParam)) {
    case FD_READ:
        // Notices for an earlier data connection are stale.
        if (Busy && FromData(from) && (TransferKind == tftp_download || TransferKind == tftp_getdir)) {
            try {
                // What is already there is taken in one go (up to 2 MB, so the
                // window still paints): one notice per block would cost more
                // than the reading.
                for (int block = 0; block < 64 && ReadData(); ++block)
                    if (!data_ || data_->Ready(false, 0) != 1)
                        break;
            } catch (...) {
                // Raised where the waiting transfer can report it.
                pendingError_ = std::current_exception();
                Cancel();
            }
        }
        break;
    case FD_WRITE:
        if (Busy && FromData(from) && TransferKind == tftp_upload)
            while (SendChunk()) {
            }
        break;
    case FD_ACCEPT:
        if (listener_ != INVALID_SOCKET && from == listener_)
            AcceptAsync();
        break;
    case FD_CLOSE:
        if (FromData(from) && (TransferKind == tftp_download || TransferKind == tftp_getdir)) {
            // The end of the data, or a reset (whose error the notice carries).
            if (!Busy)
                break;
            if (HIWORD(m.LParam) != 0) {
                dataBroken_ = true;
                WatchAlso = nullptr;
                FireData(-1);
            } else {
                ReadData();
            }
            break;
        }
        // Only our own notice that the upload has been sent ends it.
        if (Busy && from == INVALID_SOCKET && TransferKind == tftp_upload)
            Transfer([this] { FinishUpload(); });
        break;
    default:
        break;
    }
}

void T_FTP::AcceptAsync()
{
    NetAddress peer;
    const SOCKET accepted = AcceptConnection(listener_, peer);
    if (accepted != INVALID_SOCKET && TakeDataConnection(accepted, peer) && WaitForData)
        WatchAlso = &data_;
}

bool T_FTP::TakeDataConnection(SOCKET accepted, const NetAddress& peer)
{
    NetAddress from = peer;
    from.SetPort(PeerAddress.Port());
    if (from != PeerAddress) {
        // Someone else came first: only the server may hand us the data.
        Trace(tlSocket, "Refused a data connection from " + peer.Text());
        winsock::closesocket(accepted);
        return false;
    }
    unsigned long on = 1;
    winsock::ioctlsocket(accepted, FIONBIO_CMD, &on);
    CloseSocket(listener_);
    data_ = Adopt(accepted);
    if (Async)
        winsock::WSAAsyncSelect(accepted, Window.get(), WM_DATA_SOCKET, DataEvents);
    return true;
}

#include "tcpip/T_FTP.h"
#include "sock/AddressHelpers.h"
#include "tcpip/FtpReply.h"

#include <algorithm>

// The FTP data connection: opened passive (EPSV, then PASV) or active (EPRT,
// PORT), taken only from the control connection's peer, read and written in
// blocks, and closed; the login and the transfers that use it are in T_FTP.cpp.

namespace {

constexpr long DataEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr int ChunkSize = 32512;

} // namespace


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
    // A protected connection is taken here, notices or not: its handshake
    // comes before any data, and no notice handler may wait for one.
    if (!Passive && (!Async || Tls.Mode != TlsMode::Plain))
        AcceptDataConnection();
    SecureDataConnection();
}

bool T_FTP::ReadData()
{
    return TakeData(true);
}

bool T_FTP::TakeData(bool wait)
{
    if (!data_ && listener_ == INVALID_SOCKET)
        return false;
    // The data connection's end is not the control connection's.
    const bool controlEnded = EndOfData;
    int n = SOCKET_ERROR; // a listener whose connection never came has nothing to read
    if (data_)
        ReceiveBuffer(data_, Buffer.data(), n, ChunkSize, wait);
    EndOfData = controlEnded;
    if (n == ByteStream::WouldBlock)
        return false; // part of a TLS record: the next notice brings the rest
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
        // A TLS server may wait for our goodbye before it reports the
        // transfer done: answer its own at once.
        if (n == 0 && Tls.Mode != TlsMode::Plain)
            CloseDataSockets(TransferKind != tftp_getdir);
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
        if (Tls.Mode == TlsMode::Plain)
            CloseDataSockets(true);
        else
            EndProtectedUpload();
        if (Async)
            Window->Post(WM_DATA_SOCKET, WPARAM(INVALID_SOCKET), MAKELONG(unsigned(FD_CLOSE), 0));
        return false;
    }
    TakeTicket();
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
    // Data that came while the transfer was being set up (the TLS handshake
    // reads the socket too) gives no further notice: look at once.
    if (data_ && TransferKind != tftp_upload)
        Window->Post(WM_DATA_SOCKET, WPARAM(data_->Handle()), MAKELONG(unsigned(FD_READ), 0));
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

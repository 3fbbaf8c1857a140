#include "tcpip/T_FTP.h"
#include "framework/Lines.h"
#include "framework/SysUtils.h"
#include "platform/LargeBuffer.h"
#include "sock/NumberedReply.h"
#include "sock/TlsStream.h"

#include <algorithm>
#include <fcntl.h>
#include <utility>

namespace {

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
    dataSession_ = nullptr;
    LoginWithPassword(Username, Password, "******", [this] { ReadReply(); }, [this] { UpgradeToTls(); });
    if (Tls.Mode != TlsMode::Plain)
        ProtectData();
    SetImageType();
}

void T_FTP::UpgradeToTls()
{
    SendCommand("AUTH TLS");
    try {
        ReadReply();
    } catch (const EProtocolError& e) {
        if (e.ReplyCode == 999)
            throw;
        ConnectionLost();
        throw ETcpIpError("The FTP server " + Hostname + " does not offer TLS (AUTH TLS answered \"" +
                          std::to_string(e.ReplyCode) + " " + e.Message +
                          "\"); no password was sent. Set the FTP site to plain FTP, or ask the server's "
                          "administrator.");
    }
    if (ReplyCode != 234) {
        ConnectionLost();
        throw ETcpIpError("The FTP server " + Hostname + " answered AUTH TLS with \"" + std::to_string(ReplyCode) +
                          " " + ReplyText + "\" instead of agreeing; no password was sent.");
    }
    StartTls();
}

void T_FTP::ProtectData()
{
    SendCommand("PBSZ 0");
    ReadReply();
    SendCommand("PROT P");
    ReadReply();
}

void T_FTP::SecureDataConnection()
{
    if (Tls.Mode == TlsMode::Plain || !data_)
        return;
    dataSessionLost_ = true; // until the handshake says otherwise
    StartTls(data_, dataSession_ ? dataSession_ : ControlSession(), "negotiating TLS on the data connection");
    const auto* tls = dynamic_cast<const TlsStream*>(data_.get());
    dataSessionLost_ = !tls || !tls->SessionReused();
    // Most servers refuse such a connection, some only once the transfer
    // is under way, where it cannot be tried again: try again now.
    if (dataSessionLost_ && !secondTry_)
        throw ETcpIpError("The server did not resume the TLS session on the data connection.");
}

void T_FTP::TakeTicket()
{
    if (Tls.Mode == TlsMode::Plain || !data_)
        return;
    try {
        std::vector<char> unused(4096);
        while (data_ && data_->Ready(false, 0) == 1 && data_->Read(unused.data(), int(unused.size())) > 0) {
        }
    } catch (const ESockException&) {
        // What the server said here changes nothing for the upload.
    }
}

void T_FTP::KeepDataSession()
{
    const auto* tls = dynamic_cast<const TlsStream*>(data_.get());
    if (!tls || !tls->HandshakeDone())
        return;
    if (std::shared_ptr<TlsSession> session = tls->Session())
        dataSession_ = std::move(session);
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
    KeepDataSession();
    if (traced) {
        CloseStream(data_);
        CloseSocket(listener_);
        return;
    }
    data_.reset();
    if (listener_ != INVALID_SOCKET)
        winsock::closesocket(std::exchange(listener_, INVALID_SOCKET));
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

template <typename Step>
void T_FTP::ProtectedTransfer(Step step)
{
    dataSessionLost_ = false;
    secondTry_ = false;
    try {
        Transfer(step);
    } catch (const ETcpIpError&) {
        if (Tls.Mode == TlsMode::Plain || !std::exchange(dataSessionLost_, false))
            throw;
        Trace(tlSocket, "The data connection's TLS session was not resumed; logging in again for fresh ones");
        secondTry_ = true;
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{secondTry_};
        Login();
        Transfer(step);
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
    ProtectedTransfer([this] {
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
    ProtectedTransfer([this] {
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
        ProtectedTransfer([this, &path, &ascii] {
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
    EndDataConnection();
    WatchAlso = nullptr;
    SetImageType();
    if (!dataBroken_) // a broken listing does not replace the last whole one
        DirList = SplitLines(ListStream, LastLine::IfNotEmpty);
    ListStream.clear();
    Complete();
}

void T_FTP::EndProtectedUpload()
{
    // A second descriptor keeps the connection open once the stream has said
    // goodbye and closed its own.
    const SOCKET held = data_ ? ::fcntl(data_->Handle(), F_DUPFD_CLOEXEC, 0) : INVALID_SOCKET;
    // What came already (a session ticket for the next transfer) is taken.
    try {
        std::vector<char> unused(4096);
        while (data_ && data_->Read(unused.data(), int(unused.size())) > 0) {
        }
    } catch (const ESockException&) {
        // Nothing of the upload depends on what the server said here.
    }
    CloseDataSockets(true);
    if (held == INVALID_SOCKET || held < 0)
        return;
    struct Held {
        SOCKET s;
        ~Held() { winsock::closesocket(s); }
    } guard{held};
    winsock::shutdown(held, SD_SEND);
    std::vector<char> scratch(4096);
    for (;;) {
        const int n = winsock::recv(held, scratch.data(), int(scratch.size()), 0);
        if (n > 0)
            continue;
        if (n == 0 || winsock::WSAGetLastError() != WSAEWOULDBLOCK)
            return; // the server's end, or the connection gone: either way nothing is left to lose
        WaitUntilReady(held, false, "waiting for the server to take the upload");
    }
}

void T_FTP::EndDataConnection()
{
    KeepDataSession();
    if (data_) {
        // Over TLS the goodbye is the layer's close_notify, which a raw
        // shutdown would skip; a plain connection says it sends no more.
        if (Tls.Mode == TlsMode::Plain)
            winsock::shutdown(data_->Handle(), SD_SEND);
        data_->Close();
    }
    CloseDataSockets(false);
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
                for (int block = 0; block < 64 && TakeData(false); ++block)
                    if (!data_ || data_->Ready(false, 0) != 1)
                        break;
                // Bytes left inside a TLS layer raise no notice of their own.
                if (data_ && data_->Pending())
                    Window->Post(WM_DATA_SOCKET, WPARAM(data_->Handle()), MAKELONG(unsigned(FD_READ), 0));
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
                // All of it is here now; a TLS layer may hold more than one block.
                try {
                    while (TakeData(false)) {
                    }
                } catch (...) {
                    pendingError_ = std::current_exception();
                    Cancel();
                }
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

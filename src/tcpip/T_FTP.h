#pragma once

#include "tcpip/T_TcpIp.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

enum t_ftp_mode { tftp_download, tftp_upload, tftp_getdir };

class T_FTP;
using TDataTransferProc = std::function<void(TObject* Sender, t_ftp_mode mode, int bytes)>;
using TFTPActionCompleteProc = std::function<void(TObject* Sender, t_ftp_mode mode)>;

// The FTP client: log in, image type, passive or active data connections,
// download into ReceiveStream, upload from it, directory listings. Transfers
// use blocking calls, or with Async are fed by the data socket's notifications
// while the caller waits for the final reply.
class T_FTP final : public T_TcpIp {
public:
    // Given with PASS when no other password is set.
    static constexpr const char* AnonymousPassword = "vexmor@zembrova.example";
    // A reply longer than this many lines is taken for a hostile server.
    static constexpr int MaxReplyLines = 10000;

    T_FTP();
    ~T_FTP() override;

    void WndProc(Message& m) override;
    void DoAction() override;
    void Login() override;
    void Logout() override;

    void ReadReply();
    void Download();
    void Upload();
    void GetDir(const std::string& path);
    void Abort();
    void OpenDataConnection();
    bool ReadData();
    bool SendChunk();
    void FinishDownload();
    void FinishUpload();
    void FinishList();

    std::string URI;
    std::string Password = AnonymousPassword;
    std::string Username = "ftp";
    bool Passive = true;
    uint16_t Port = 21;
    t_ftp_mode Mode = tftp_download;
    TDataTransferProc OnDataReceived;
    TFTPActionCompleteProc OnActionComplete;
    bool Async = false;

    int ReplyCode = 0;
    std::string ReplyText;
    t_ftp_mode TransferKind = tftp_download;
    std::vector<std::string> DirList;
    int64_t TransferSize = 0;
    bool Busy = false;
    std::string ListStream;
    // What the last PASV answer proposed, as the server wrote it (an EPSV
    // answer proposes no address: the control connection's peer is meant).
    std::string ProposedDataAddress;
    // What a download or a listing may fill in memory; a server sending more
    // ends the transfer with an error.
    size_t MaxDownloadBytes = size_t(1) << 30;
    size_t MaxListingBytes = size_t(16) << 20;

protected:
    void ConnectionLost() override;

private:
    // One step each of Login. AUTH TLS before the user name, so no
    // password goes in plain; PBSZ and PROT once logged in, so the data
    // connections are protected too.
    void UpgradeToTls();
    void ProtectData();
    // A protected data connection says TLS first, reusing the control
    // connection's session as servers demand; done once the server has
    // answered the transfer command, since it starts TLS only then.
    void SecureDataConnection();
    // Reads what the data connection has; without wait, returns false at once
    // when nothing is there yet (a notice handler must not wait).
    bool TakeData(bool wait);
    // Ends the data connection with the layer's goodbye, not traced.
    void EndDataConnection();
    // The end of a protected upload: the goodbye, then the server's own end
    // awaited. Closed at once with bytes unread (a TLS session ticket the
    // server sent late), the connection would end in a reset that throws
    // away the last of the upload still on its way.
    void EndProtectedUpload();
    // Takes what the server sent on an upload's data connection so far (its
    // fresh session ticket), without waiting.
    void TakeTicket();
    void SetImageType();
    // The transfer command's answer and, in active mode without Async, the
    // server's connection to our listening socket.
    void SendTransferCommand(const std::string& command);
    void OpenPassiveConnection();
    // The data port the server offers: by EPSV (RFC 2428) first, by PASV when
    // the server does not know EPSV. False (traced) when the answer names none.
    bool PassivePortByEpsv(uint16_t& port);
    bool PassivePortByPasv(uint16_t& port);
    void OpenActiveConnection();
    void AcceptDataConnection();
    void AcceptAsync();
    // Keeps an accepted connection as the data connection if it comes from
    // the server; false (and closed) otherwise.
    bool TakeDataConnection(SOCKET accepted, const NetAddress& peer);
    // Whether a notice from socket `from` is about the data connection.
    bool FromData(SOCKET from) const { return data_ && from == data_->Handle(); }
    // Closes the data connection, or the listening socket still waiting for
    // it; traced or not.
    void CloseDataSockets(bool traced);
    void ReceiveUntilFinalReply();
    void TakeLateConnection();
    // Waits for the final reply while the data socket's notifications feed the transfer.
    void AwaitFinalReplyFed();
    // A transfer's first step: refused while one runs, logged in when
    // needed; false when there is nothing named to transfer.
    bool ReadyToTransfer(const std::string& name);
    // The transfer step that failed leaves no data connection and no Busy
    // flag behind; a connection that failed as a whole is dropped.
    template <typename Step>
    void Transfer(Step step);
    // A transfer whose protected data connection the server would not take
    // for want of a session it still knows (a TLS 1.3 ticket it takes only
    // once, its fresh one not yet read when an upload ended) is tried once
    // more after a new login, which brings fresh tickets.
    template <typename Step>
    void ProtectedTransfer(Step step);
    void CloseDataConnection();
    void DropConnection();
    void FireData(int count);
    // The end of a transfer: OnActionComplete, then the component is free. A
    // data connection that broke off makes it fail instead, whatever the
    // server then said.
    void Complete();

    // Keeps the newest TLS session of the data connection about to close:
    // under TLS 1.3 a server may take each session ticket once, and issues a
    // fresh one on every data connection.
    void KeepDataSession();

    std::unique_ptr<ByteStream> data_;
    // What the next data connection offers to resume; the control
    // connection's session until a data connection brings a newer one.
    std::shared_ptr<TlsSession> dataSession_;
    // The last data connection's TLS failed or resumed no session.
    bool dataSessionLost_ = false;
    // A transfer tried again takes a data connection that resumed nothing.
    bool secondTry_ = false;
    // Ours, in active mode, until the server's data connection comes.
    SOCKET listener_ = INVALID_SOCKET;
    size_t uploadPosition_ = 0;
    // The server on this connection answered EPSV with anything but 229: it gets PASV from now on.
    bool epsvRefused_ = false;
    bool dataBroken_ = false;
    // What a notification handler raised, for the wait it interrupted.
    std::exception_ptr pendingError_;
};

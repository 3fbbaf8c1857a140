#pragma once

#include "framework/Wait.h"
#include "mail/MimeWriter.h"
#include "mail/SmtpExtensions.h"
#include "mail/SmtpReply.h"
#include "mail/starsock.h"
#include "framework/LineReader.h"
#include "sock/ECertificateError.h"
#include "sock/TlsOptions.h"

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum TMailAction { None, Send_Mail, Cancel_SendMail };

enum SendMailError {
    Error_None, Error_WinsockNotInitialized, Error_NetworkDown, Error_InvalidAddress, Error_Internal,
    Error_GeneralWinsock, Error_ConnectionAborted, Error_ConnectionReset, Error_Timeout, Error_OutOfSockets,
    Error_NetworkUnreachable, Error_AddressNotAvailable, Error_ConnectionRefused, Error_UnexpectedResponse,
    Error_Cancelled, Error_Unknown, Error_AddressResolution, Error_PrematureDisconnect, Error_MailDestination,
    Error_HostUnreachable,
    // TLS could not be set up: refused, not offered where required, or the handshake failed.
    Error_Tls,
    // The server's certificate is not trusted; LastCertificateError() says why and which.
    Error_Certificate,
    // The login was refused, or would have gone out where it must not.
    Error_Authentication
};

using TSendMailInfoEvent = std::function<void(TObject* sender, SendMailInfo info, const std::string& addinfo)>;
using TSendMailErrorEvent = std::function<void(TObject* sender, SendMailError error, const std::string& addinfo)>;
using TSendMailEvent = std::function<void(TObject* sender, std::string& data)>;

// The text and code of a Winsock error, as the send reports it.
SendMailError MailErrorOf(int winsockCode, std::string& text);

// Delivers one message to one SMTP server per send, message-driven: assigning
// Action starts it, OnDone ends every send.
class SendMail final : public TStarSocket {
public:
    static constexpr unsigned WM_MAIL_DONE = WM_USER + 2;

    SendMail();
    ~SendMail() override;

    void SetAction(TMailAction action);
    TMailAction Action() const { return None; }
    void SetSMTP_Server(const std::string& server) { SetServer(server); }
    const std::string& SMTP_Server() const { return Server(); }
    bool WinsockStarted() const { return WinsockStartedNow(); }
    void SetWinsockStarted(bool on);
    std::string Version() const { return "SendMail 1.3.9"; }
    void SetVersion(const std::string&) {}
    SendMailError LastMailError() const { return lastError_; }
    bool Busy() const { return busy_; }
    // Gives attachment index (1-256) a descriptor of its own.
    void SetAttachmentDescriptor(int index, const TAttachmentDescriptor& descriptor);

    void SendLine(const std::string& text);
    void SendText(const std::string& text);
    void SendBytes(const char* buffer, size_t count);
    bool CheckError();
    void AbortSend();
    // The program is ending: a QUIT where the dialogue allows one (never in
    // the middle of the message), then the connection is dropped; a message
    // whose final "." never came is never delivered.
    void EndForExit();
    static void SplitEntry(const std::string& entry, std::string& address, std::string& name);

    std::string FROM_Name, FROM_Address, TO_Name, TO_Address, Subject;
    uint16_t SMTP_Port = 25;
    TSendMailInfoEvent OnMailInfo;
    TSendMailErrorEvent OnMailError;
    std::vector<std::string> MailText, Listcc, ListBcc, ListTo, Attachments, Headers;
    TSendMailEvent OnFeedData;
    bool KeepConnectionOpen = false;
    TStarNotify OnDone;
    // Seconds a reply (or room to send) may take once connected; 0 = no limit.
    int TimeoutReply = ReplyTimeoutMs / 1000;
    // Seconds the reply to the message's final "." may take: a server may
    // check the whole message first (RFC 5321 4.5.3.2.6); 0 = no limit.
    int TimeoutDot = 600;
    // How the connection is protected (plain, STARTTLS, implicit TLS), the
    // certificates trusted, and whether a login may go out unencrypted.
    TlsOptions Tls;
    // The login; no AUTH when the user name is empty.
    std::string SMTP_User, SMTP_Password;
    // Why the server's certificate was refused in the last send, when it was
    // (Error_Certificate): the host and the fingerprint the user may trust.
    const std::optional<ECertificateError>& LastCertificateError() const { return certificate_; }
    // Told of every change of the dialogue's state (from, to), for tracing.
    std::function<void(int from, int to)> OnStateChange;

    void Resolved() override;

private:
    // What the dialogue waits for: the reply to the command last sent.
    // Hello: the session is ready (a kept connection resumes here).
    enum State {
        Greeting, Hello, MailFrom, RcptTo, Data, Dot, Quit, Ended,
        Ehlo, Helo, StartTls, Auth, AuthUser, AuthPassword, StateCount
    };
    using ReplyHandler = void (SendMail::*)();

    void StartSend();
    void ConnectionMade();
    void Reader();
    void Closed();
    void TimedOut();
    void Done(Message& m);
    void HandleReply(const std::string& line);
    // One handler per state, run on the final line of the reply it waits
    // for (a refused recipient included).
    void GreetingReply();
    void HelloReply();
    void MailFromReply();
    void RecipientReply();
    void DataReply();
    void DotReply();
    void QuitReply();
    void EhloReply();
    void HeloReply();
    void StartTlsReply();
    void AuthUserReply();
    void AuthPasswordReply();
    void AuthReply();
    // Takes the session from its greeting to the envelope: STARTTLS when
    // required, then the login when one is set, then MAIL FROM.
    void Proceed();
    void Authenticate();
    // Puts TLS over the connection and completes the handshake, the window
    // painting and Stop heard; false when the send ended instead.
    bool Secure();
    // Ends the send with error before anything more than QUIT goes out.
    // sayQuit false: the connection cannot carry it.
    void Refuse(SendMailError error, const std::string& text, bool sayQuit = true);
    // The name the greeting carries.
    std::string HeloName();
    // A command whose text holds a credential: the trace shows shown instead.
    void CommandSecret(const std::string& text, const std::string& shown, State next);
    void Transmit(const std::string& bytes);
    // Sends what the message has gathered in outbox_.
    void FlushData();
    // Sends a command and waits for its reply in state next.
    void Command(const std::string& text, State next);
    void SetState(State state);
    void AdvanceList();
    const std::vector<std::string>& CurrentList() const;
    int SkipOf(int list) const;
    MailMessage Composed() const;
    // What no server would take (no sender, an address that is not ASCII) is
    // refused in words before anything is sent; empty recipient entries are dropped.
    bool RefusedBeforeSending();
    void Info(SendMailInfo info, const std::string& text);
    void Error(SendMailError error, const std::string& text);
    void PostDone();
    void KillReplyTimer();

    State state_ = Greeting;
    // The lines of the reply being read (of a long one, the first and the last).
    std::vector<std::string> reply_;
    bool refused_ = false; // the reply just completed is a refusal
    SmtpExtensions extensions_;
    bool secured_ = false;     // TLS is up on this connection
    bool loggedIn_ = false;    // AUTH succeeded on this connection
    bool handshaking_ = false; // the reader stays off the socket meanwhile
    std::optional<ECertificateError> certificate_;
    LineReader replies_;
    SendMailError lastError_ = Error_None;
    bool busy_ = false;
    bool aborted_ = false;
    bool completed_ = false;
    bool processing_ = false;
    bool inData_ = false; // the message is going out: lines are dot-stuffed
    std::string currentRecipient_;
    int recipientList_ = 4;
    int recipientIndex_ = -1;
    int lastIndex_ = -1;
    std::array<int, 3> skip_{};
    DotStuffer stuffer_;
    // The message's bytes, gathered into blocks of DataBlock: written piece
    // by piece (about 3 KB each), every piece cost a system call, and under
    // TLS a record of its own.
    static constexpr size_t DataBlock = 64 * 1024;
    std::string outbox_;
    std::array<std::unique_ptr<TAttachmentDescriptor>, 256> descriptors_;
};

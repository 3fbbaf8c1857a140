#pragma once

#include "framework/Wait.h"
#include "mail/MimeEncoders.h"
#include "mail/SmtpReply.h"
#include "mail/starsock.h"
#include "sock/LineReader.h"

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

enum TMailAction { None, Send_Mail, Cancel_SendMail };

enum SendMailInfo {
    Info_Connected, Info_Received, Info_Sending, Info_Disconnected, Info_Sent, Info_Attachment,
    Info_AttachmentSize, Info_AttachmentProgress, Info_RecipientRejected, Info_Recipient, Info_TextSize,
    Info_DataProgress, Info_AttachmentError, Info_Busy, Info_Resolved, Info_Resolving
};

enum SendMailError {
    Error_None, Error_WinsockNotInitialized, Error_NetworkDown, Error_InvalidAddress, Error_Internal,
    Error_GeneralWinsock, Error_ConnectionAborted, Error_ConnectionReset, Error_Timeout, Error_OutOfSockets,
    Error_NetworkUnreachable, Error_AddressNotAvailable, Error_ConnectionRefused, Error_UnexpectedResponse,
    Error_Cancelled, Error_Unknown, Error_AddressResolution, Error_PrematureDisconnect, Error_MailDestination,
    Error_HostUnreachable
};

using TSendMailInfoEvent = std::function<void(TObject* sender, SendMailInfo info, const std::string& addinfo)>;
using TSendMailErrorEvent = std::function<void(TObject* sender, SendMailError error, const std::string& addinfo)>;
using TSendMailEvent = std::function<void(TObject* sender, std::string& data)>;

// The text and code of a Winsock error, as the send reports it.
SendMailError MailErrorOf(int winsockCode, std::string& text);

// An optional description of one attachment.
struct TAttachmentDescriptor {
    std::string name;
    uint8_t encoding = 0; // 0 choose, 1 base64, 2 quoted-printable, 3 plain, 4 uuencode
    std::string contentType;
    std::string disposition;
    std::string description;
    std::string path;
};

// Delivers one message to one SMTP server per send, message-driven: assigning
// Action starts it, OnDone ends every send.
class SendMail final : public TStarSocket {
public:
    static constexpr unsigned WM_MAIL_DONE = WM_USER + 2;
    static constexpr const char* Boundary = "==============ghyurgtfy573======___";

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

    // Message composition, public for its tests.
    static bool ChooseEncodingIsPlain(const std::string& path, bool& readable);

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
    // Told of every change of the dialogue's state (from, to), for tracing.
    std::function<void(int from, int to)> OnStateChange;

    void Resolved() override;

private:
    enum State { Greeting, Hello, MailFrom, RcptTo, DataSent, DataReply, DotSent, QuitSent };

    void StartSend();
    void ConnectionMade();
    void Reader();
    void Closed();
    void TimedOut();
    void Done(Message& m);
    void HandleReply(const std::string& line);
    void SetState(int state);
    void NextRecipient();
    void AdvanceList();
    const std::vector<std::string>& CurrentList() const;
    int SkipOf(int list) const;
    void Info(SendMailInfo info, const std::string& text);
    void Error(SendMailError error, const std::string& text);
    void PostDone();
    void KillReplyTimer();

    // The message, written between the reply to DATA and the final ".".
    void WriteMessage();
    void WriteHeaderBlock(bool bodyNeedsQp);
    void WriteFeedData();
    void WriteBody(bool bodyNeedsQp);
    void WriteAttachments();
    bool WriteAttachment(const TAttachmentDescriptor& d);
    void WritePartHead(const std::string& type, const std::string& name, const char* encoding,
                       const std::string& disposition, const std::string& filename, const std::string& description);
    bool SendBase64Part(const TAttachmentDescriptor& d);
    bool SendQuotedPrintablePart(const TAttachmentDescriptor& d);
    bool SendPlainPart(const TAttachmentDescriptor& d);
    bool SendUuencodePart(const TAttachmentDescriptor& d);
    void SendQuotedPrintable(const char* buffer, size_t count);

    int state_ = Greeting;
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
    QuotedPrintableEncoder qp_;
    DotStuffer stuffer_;
    std::array<std::unique_ptr<TAttachmentDescriptor>, 256> descriptors_;
};

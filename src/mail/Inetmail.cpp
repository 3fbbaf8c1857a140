#include "mail/Inetmail.h"
#include "framework/Wait.h"


#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>

namespace {

constexpr size_t TextBlock = 2048;
constexpr size_t Base64Block = 2280; // 40 lines of 57 bytes
constexpr size_t QpBlock = 2048;
constexpr size_t UuBlock = 1800; // 40 lines of 45 bytes
constexpr size_t MaxLine = 253;

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

} // namespace

SendMailError MailErrorOf(int code, std::string& text)
{
    switch (code) {
    case WSANOTINITIALISED: text = "Winsock not initialized"; return Error_WinsockNotInitialized;
    case WSAENETDOWN: text = "Network down"; return Error_NetworkDown;
    case WSAEACCES: text = "Invalid address specified"; return Error_InvalidAddress;
    case WSAEINTR: case WSAEFAULT: case WSAEINVAL: case WSAEINPROGRESS: case WSAENOTSOCK: case WSAEMSGSIZE:
    case WSAEOPNOTSUPP: case WSAEAFNOSUPPORT: case WSAEADDRINUSE: case WSAEISCONN: case WSAENOTCONN:
    case WSAESHUTDOWN:
        text = "Unexpected internal error in component";
        return Error_Internal;
    case WSAENETRESET: case WSAENOBUFS: text = "General Winsock Error"; return Error_GeneralWinsock;
    case WSAECONNABORTED: text = "Connection aborted due to timeout or other failure"; return Error_ConnectionAborted;
    case WSAECONNRESET: text = "Connection reset by remote side"; return Error_ConnectionReset;
    case WSAETIMEDOUT: text = "timeout"; return Error_Timeout;
    case WSAEMFILE: text = "Out of sockets"; return Error_OutOfSockets;
    case WSAENETUNREACH: text = "Network unreachable"; return Error_NetworkUnreachable;
    case WSAEADDRNOTAVAIL: text = "Address not available"; return Error_AddressNotAvailable;
    case WSAECONNREFUSED: text = "Connection Refused"; return Error_ConnectionRefused;
    case WSAHOST_NOT_FOUND: case WSATRY_AGAIN: case WSANO_RECOVERY: case WSANO_DATA:
        text = "Address resolution error";
        return Error_AddressResolution;
    case WSAEHOSTUNREACH: text = "Host Unreachable"; return Error_HostUnreachable;
    default: text = "Unknown Error"; return Error_Unknown;
    }
}

SendMail::SendMail()
{
    MessageHook = [this](Message& m) { Done(m); };
}

SendMail::~SendMail()
{
    OnMailInfo = nullptr;
    OnMailError = nullptr;
    OnDone = nullptr;
    if (busy_)
        EndForExit();
    CloseSocket();
}

void SendMail::EndForExit()
{
    if (SocketOpen() && Connected() && !inData_ && !aborted_) {
        const std::string quit = "QUIT\r\n";
        SendData(quit.data(), int(quit.size()));
    }
    lastError_ = Error_Cancelled;
    AbortSend();
}

void SendMail::SetAction(TMailAction action)
{
    if (action == Send_Mail) {
        StartSend();
    } else if (action == Cancel_SendMail) {
        lastError_ = Error_Cancelled;
        AbortSend();
    }
}

void SendMail::SetWinsockStarted(bool on)
{
    if (on)
        StartWinsock();
    else
        UnloadWinsock();
}

void SendMail::SetAttachmentDescriptor(int index, const TAttachmentDescriptor& descriptor)
{
    if (index >= 1 && index <= int(descriptors_.size()))
        descriptors_[size_t(index - 1)] = std::make_unique<TAttachmentDescriptor>(descriptor);
}

void SendMail::SplitEntry(const std::string& entry, std::string& address, std::string& name)
{
    const size_t bar = entry.find('|');
    address = entry.substr(0, bar);
    name = bar == std::string::npos ? std::string() : entry.substr(bar + 1, 999);
}

void SendMail::Info(SendMailInfo info, const std::string& text)
{
    if (OnMailInfo)
        OnMailInfo(this, info, text);
}

void SendMail::Error(SendMailError error, const std::string& text)
{
    if (OnMailError)
        OnMailError(this, error, text);
}

void SendMail::PostDone()
{
    Window()->Post(WM_MAIL_DONE);
}

void SendMail::Done(Message& m)
{
    if (m.Msg != WM_MAIL_DONE)
        return;
    busy_ = false;
    if (OnDone)
        OnDone(this);
}

void SendMail::StartSend()
{
    if (busy_) {
        Info(Info_Busy, "");
        return;
    }
    OnTimedOut = [this](TObject*) { TimedOut(); };
    aborted_ = false;
    busy_ = true;
    completed_ = false;
    inData_ = false;
    skip_ = {0, 0, 0};
    if (!TO_Address.empty()) {
        ListTo.insert(ListTo.begin(), TO_Address + "|" + TO_Name);
        skip_[0] = 1;
    } else {
        std::vector<std::string>* lists[] = {&ListTo, &Listcc, &ListBcc};
        for (size_t i = 0; i < 3 && TO_Address.empty(); ++i)
            if (!lists[i]->empty()) {
                SplitEntry(lists[i]->front(), TO_Address, TO_Name);
                skip_[i] = 1;
            }
    }
    if (TO_Address.empty()) {
        Error(Error_MailDestination, "Mail Destination Error");
        lastError_ = Error_MailDestination;
        AbortSend();
        return;
    }
    if (Connected() && SocketOpen()) {
        // The connection of the last message is still open: on at MAIL FROM.
        SetState(Hello);
        replies_.Clear();
        HandleReply(" ");
        return;
    }
    SetWinsockStarted(true);
    if (!WinsockStarted()) {
        Error(Error_WinsockNotInitialized, "Winsock not initiliazed");
        lastError_ = Error_WinsockNotInitialized;
        AbortSend();
        return;
    }
    OnConnected = [this](TObject*) { ConnectionMade(); };
    OnDataAvailable = [this](TObject*) { Reader(); };
    OnClosed = [this](TObject*) { Closed(); };
    OpenSocket();
    if (CheckError())
        return;
    if (!ServerAddress.empty()) {
        SetAddressText(ServerAddress);
        SetPort(SMTP_Port);
        ConnectAsync();
    } else {
        Info(Info_Resolving, ServerName);
        ResolveAsync(ServerName);
    }
    CheckError();
}

void SendMail::Resolved()
{
    if (CheckError())
        return;
    UseResolvedAddress();
    SetPort(SMTP_Port);
    ServerAddress = GetAddressText();
    Info(Info_Resolved, ServerAddress);
    ConnectAsync();
    CheckError();
}

void SendMail::ConnectionMade()
{
    if (CheckError())
        return;
    SetState(Greeting);
    Info(Info_Connected, ServerAddress);
    replies_.Clear();
    completed_ = false;
    StartTimeout(TimeoutReply); // the greeting is due
}

void SendMail::Reader()
{
    if (processing_ || aborted_)
        return;
    char chunk[2048];
    while (!aborted_) {
        const int n = ReceiveData(chunk, int(sizeof chunk));
        if (CheckError() || n == 0)
            return;
        replies_.Feed(chunk, size_t(n));
        std::string line;
        while (replies_.Next(line)) {
            if (replies_.Cut()) {
                // Its first piece taken as the reply would put the rest where
                // the next reply is due.
                const std::string text = SMTP_Server() + " sent a line longer than " +
                                         std::to_string(LineReader::DefaultCap / 1024) +
                                         " KiB, which no mail server sends; the connection was dropped.";
                Error(Error_UnexpectedResponse, text);
                lastError_ = Error_UnexpectedResponse;
                AbortSend();
                return;
            }
            if (line.empty())
                continue; // an empty reply line says nothing
            processing_ = true;
            HandleReply(line);
            processing_ = false;
            if (aborted_ || !SocketOpen())
                return; // ended, or the goodbye closed the connection
        }
    }
}

void SendMail::Closed()
{
    if (CheckError())
        return;
    Info(Info_Disconnected, "");
    if (!completed_) {
        Error(Error_PrematureDisconnect, "Prematurely Disconnected");
        lastError_ = Error_PrematureDisconnect;
    }
    PostDone();
}

void SendMail::TimedOut()
{
    if (completed_) {
        // Delivered; only the goodbye went unanswered.
        CloseSocket();
        PostDone();
        return;
    }
    lastError_ = Error_Timeout;
    Error(Error_Timeout, "Connection timed out");
    AbortSend();
}

bool SendMail::CheckError()
{
    if (aborted_)
        return true;
    if (LastError == 0) {
        lastError_ = Error_None;
        return false;
    }
    std::string text;
    const SendMailError error = MailErrorOf(LastError, text);
    lastError_ = error;
    Error(error, text);
    AbortSend();
    return true;
}

void SendMail::AbortSend()
{
    if (aborted_)
        return;
    TO_Address.clear();
    TO_Name.clear();
    ListTo.clear();
    Listcc.clear();
    ListBcc.clear();
    aborted_ = true;
    inData_ = false;
    CloseSocket();
    PostDone();
}

void SendMail::SetState(int state)
{
    if (OnStateChange && state != state_)
        OnStateChange(state_, state);
    state_ = state;
}

void SendMail::HandleReply(const std::string& line)
{
    KillReplyTimer(); // a reply came; the wait for the next starts when it is asked for
    Info(Info_Received, line);
    const char first = line[0];
    if (first == '-' || first == '4' || first == '5') {
        if (state_ != RcptTo) {
            Error(Error_UnexpectedResponse, "Unexpected response: " + line);
            lastError_ = Error_UnexpectedResponse;
            AbortSend();
            return;
        }
        Info(Info_RecipientRejected, currentRecipient_);
    }
    if (!SmtpReplyIsFinal(line)) {
        StartTimeout(TimeoutReply); // the rest of the reply is due
        return;
    }
    switch (state_) {
    case Greeting: SendLine("HELO " + GetLocalHostName()); break;
    case Hello: SendLine("MAIL FROM:<" + FROM_Address + ">"); break;
    case MailFrom:
        SendLine("RCPT TO:<" + TO_Address + ">");
        if (aborted_)
            return;
        currentRecipient_ = TO_Address;
        recipientList_ = 1;
        recipientIndex_ = -1;
        lastIndex_ = int(ListTo.size()) - 1 - skip_[0];
        while (lastIndex_ == -1)
            AdvanceList();
        Info(Info_Recipient, TO_Address);
        break;
    case RcptTo:
        if (aborted_)
            return;
        NextRecipient();
        break;
    case DataReply:
        WriteMessage();
        if (!aborted_) {
            inData_ = false;
            SendLine(".");
        }
        break;
    case DotSent:
        if (aborted_)
            return;
        Info(Info_Sent, "");
        completed_ = true;
        if (KeepConnectionOpen) {
            KillReplyTimer();
            PostDone();
            return;
        }
        SendLine("QUIT");
        break;
    case QuitSent:
        // The goodbye is answered: the connection is ours to close, rather
        // than waiting on a server that keeps it open.
        CloseSocket();
        SetState(QuitSent + 1);
        PostDone();
        return;
    default: return;
    }
    if (state_ != RcptTo)
        SetState(state_ + 1);
    if (!aborted_)
        StartTimeout(TimeoutReply); // the reply to what was just sent is due
}

void SendMail::NextRecipient()
{
    if (recipientList_ <= 3) {
        if (recipientIndex_ < lastIndex_) {
            ++recipientIndex_;
            std::string name;
            SplitEntry(CurrentList()[size_t(recipientIndex_ + SkipOf(recipientList_))], currentRecipient_, name);
            SendLine("RCPT TO:<" + currentRecipient_ + ">");
            Info(Info_Recipient, currentRecipient_);
        }
    } else {
        SendLine("DATA");
        SetState(state_ + 1);
    }
    if (recipientIndex_ == lastIndex_) {
        lastIndex_ = -1;
        while (lastIndex_ == -1)
            AdvanceList();
        recipientIndex_ = -1;
    }
}

void SendMail::AdvanceList()
{
    ++recipientList_;
    switch (recipientList_) {
    case 2: lastIndex_ = int(Listcc.size()) - 1 - skip_[1]; break;
    case 3: lastIndex_ = int(ListBcc.size()) - 1 - skip_[2]; break;
    default: lastIndex_ = 0; break;
    }
}

const std::vector<std::string>& SendMail::CurrentList() const
{
    return recipientList_ == 1 ? ListTo : recipientList_ == 2 ? Listcc : ListBcc;
}

int SendMail::SkipOf(int list) const
{
    return skip_[size_t(list - 1)];
}

void SendMail::KillReplyTimer()
{
    StartTimeout(0);
}

void SendMail::SendLine(const std::string& text)
{
    // One line stays one line: a CR or LF typed into a name, subject or
    // address can start no header and no command of its own.
    std::string line = text.substr(0, MaxLine);
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    SendText(line + "\r\n");
}

void SendMail::SendText(const std::string& text)
{
    if (aborted_)
        return;
    Info(Info_Sending, text);
    const std::string out = inData_ ? stuffer_.Stuff(text) : text;
    size_t at = 0;
    while (at < out.size()) {
        const int n = SendData(out.data() + at, int(std::min(out.size() - at, size_t(INT_MAX))));
        if (CheckError())
            return;
        at += size_t(n);
        if (at == out.size()) {
            // Keep the window painting while a long message goes out.
            Wait::PumpIfDue();
            return;
        }
        // The socket is full: wait for room, the window painting and Cancel heard.
        int writable = 0;
        Wait wait;
        wait.Condition = [&] { return writable != 0; };
        wait.Block = [&](int ms) { writable = winsock::selectWritable(SOCKET(Handle()), ms); };
        wait.Stop = [this] { return aborted_; };
        wait.TimeoutMs = TimeoutReply > 0 ? TimeoutReply * 1000 : INT_MAX;
        const Wait::Outcome outcome = wait.Run();
        if (outcome == Wait::Stopped)
            return;
        if (outcome == Wait::TimedOut) {
            TimedOut();
            return;
        }
    }
}

void SendMail::SendBytes(const char* buffer, size_t count)
{
    SendText(std::string(buffer, count));
}

void SendMail::SendQuotedPrintable(const char* buffer, size_t count)
{
    std::string out;
    qp_.Encode(buffer, count, out);
    SendText(out);
}

// ---- The message --------------------------------------------------------

void SendMail::WriteMessage()
{
    inData_ = true;
    stuffer_.Reset();
    const bool bodyNeedsQp = NeedsQuotedPrintable(Joined(MailText));
    WriteHeaderBlock(bodyNeedsQp);
    WriteFeedData();
    WriteBody(bodyNeedsQp);
    if (!Attachments.empty())
        WriteAttachments();
}

void SendMail::WriteHeaderBlock(bool bodyNeedsQp)
{
    SendLine("From: " + EncodeHeaderWord(FROM_Name) + " <" + FROM_Address + ">");
    for (const std::string& entry : ListTo) {
        if (aborted_)
            return;
        std::string address, name;
        SplitEntry(entry, address, name);
        SendLine(name.empty() ? "To: " + address + ";" : "To: " + EncodeHeaderWord(name) + " <" + address + ">");
    }
    for (const std::string& entry : Listcc) {
        if (aborted_)
            return;
        std::string address, name;
        SplitEntry(entry, address, name);
        SendLine(name.empty() ? "cc: " + address : "cc: " + EncodeHeaderWord(name) + " <" + address + ">");
    }
    if (!Subject.empty())
        SendLine(EncodeHeaderLine("Subject: " + Subject));
    SendLine("Mime-Version: 1.0");
    if (!Attachments.empty()) {
        SendLine(std::string("Content-Type: multipart/mixed; boundary=\"") + Boundary + "\"");
    } else {
        SendLine("Content-Type: text/plain; charset=\"us-ascii\"");
        if (bodyNeedsQp)
            SendLine("Content-Transfer-Encoding: quoted-printable");
    }
    for (const std::string& line : Headers)
        SendLine(EncodeHeaderLine(line));
    SendLine("");
    if (!Attachments.empty() && !MailText.empty()) {
        SendLine(std::string("--") + Boundary);
        SendLine("Content-Type: text/plain; charset=\"us-ascii\"");
        if (bodyNeedsQp)
            SendLine("Content-Transfer-Encoding: quoted-printable");
        SendLine("");
    }
}

void SendMail::WriteFeedData()
{
    size_t count = 0;
    bool more = true;
    while (OnFeedData && more && !aborted_) {
        std::string data;
        OnFeedData(this, data);
        if (data.empty()) {
            more = false;
        } else {
            count += data.size();
            Info(Info_DataProgress, std::to_string(count));
            SendText(data);
        }
    }
}

void SendMail::WriteBody(bool bodyNeedsQp)
{
    if (MailText.empty())
        return;
    const std::string text = Joined(MailText);
    Info(Info_TextSize, std::to_string(text.size()));
    qp_.Reset();
    for (size_t at = 0; at < text.size() && !aborted_; at += TextBlock) {
        const size_t n = std::min(TextBlock, text.size() - at);
        if (bodyNeedsQp)
            SendQuotedPrintable(text.data() + at, n);
        else
            SendBytes(text.data() + at, n);
        Info(Info_DataProgress, std::to_string(at + n));
    }
    SendLine("");
}

void SendMail::WriteAttachments()
{
    for (size_t i = 0; i < Attachments.size() && !aborted_; ++i) {
        TAttachmentDescriptor* d = i < descriptors_.size() ? descriptors_[i].get() : nullptr;
        TAttachmentDescriptor plain;
        if (!d) {
            plain.encoding = 1;
            plain.contentType = "application/octet-stream";
            plain.disposition = "attachment";
            plain.path = Attachments[i];
            d = &plain;
        } else {
            if (d->encoding == 0) {
                bool readable = true;
                d->encoding = ChooseEncodingIsPlain(d->path, readable) ? 3 : 1;
                if (!readable) {
                    Info(Info_AttachmentError, d->path);
                    continue;
                }
            }
            if (d->contentType.empty())
                d->contentType = "application/octet-stream";
            if (d->disposition.empty())
                d->disposition = "attachment";
        }
        if (!WriteAttachment(*d))
            Info(Info_AttachmentError, d == &plain ? Attachments[i] : d->path);
    }
    if (aborted_)
        return;
    SendLine(std::string("--") + Boundary + "--");
    SendLine("");
}

bool SendMail::WriteAttachment(const TAttachmentDescriptor& d)
{
    switch (d.encoding) {
    case 1: return SendBase64Part(d);
    case 2: return SendQuotedPrintablePart(d);
    case 3: return SendPlainPart(d);
    case 4: return SendUuencodePart(d);
    default: return true; // no part for an unknown encoding
    }
}

bool SendMail::ChooseEncodingIsPlain(const std::string& path, bool& readable)
{
    std::ifstream in(path, std::ios::binary);
    readable = bool(in);
    char block[TextBlock];
    while (in) {
        in.read(block, sizeof block);
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            if (static_cast<unsigned char>(block[i]) >= 127)
                return false;
    }
    return true;
}

void SendMail::WritePartHead(const std::string& type, const std::string& name, const char* encoding,
                             const std::string& disposition, const std::string& filename,
                             const std::string& description)
{
    SendLine(std::string("--") + Boundary);
    SendLine("Content-Type: " + type + "; name=\"" + name + "\"");
    if (encoding)
        SendLine(std::string("Content-Transfer-Encoding: ") + encoding);
    if (!disposition.empty())
        SendLine("Content-Disposition: " + disposition + "; filename=\"" + filename + "\"");
    if (!description.empty())
        SendLine("Content-Description: " + description);
}

bool SendMail::SendBase64Part(const TAttachmentDescriptor& d)
{
    Info(Info_Attachment, d.path);
    std::ifstream in(d.path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    const auto size = static_cast<long long>(in.tellg());
    in.seekg(0);
    const std::string file = FileNameOf(d.path);
    WritePartHead(d.contentType, d.name.empty() ? file : d.name, "base64", d.disposition, file, d.description);
    SendLine("");
    Info(Info_AttachmentSize, std::to_string(size));
    std::vector<char> block(Base64Block);
    long long encoded = 0;
    std::string out;
    while (!aborted_ && in) {
        in.read(block.data(), std::streamsize(block.size()));
        const size_t n = size_t(in.gcount());
        if (n == 0)
            break;
        out.clear();
        // Whole lines of 57 bytes go out as one block of 76-character lines.
        for (size_t at = 0; at < n; at += Base64LineBytes) {
            const size_t take = std::min(Base64LineBytes, n - at);
            EncodeBase64(block.data() + at, take, out);
            out += "\r\n";
            encoded += static_cast<long long>(take);
            if (take == Base64LineBytes)
                Info(Info_AttachmentProgress, std::to_string(encoded));
        }
        SendText(out);
    }
    if (in.bad())
        return false;
    Info(Info_AttachmentProgress, std::to_string(encoded));
    return true;
}

bool SendMail::SendQuotedPrintablePart(const TAttachmentDescriptor& d)
{
    Info(Info_Attachment, d.path);
    std::ifstream in(d.path, std::ios::binary);
    if (!in)
        return false;
    const std::string file = FileNameOf(d.path);
    WritePartHead(d.contentType, d.name.empty() ? file : d.name, "Quoted-Printable", d.disposition, file,
                  d.description);
    SendLine("");
    qp_.Reset();
    std::vector<char> block(QpBlock);
    while (!aborted_ && in) {
        in.read(block.data(), std::streamsize(block.size()));
        if (in.gcount() > 0)
            SendQuotedPrintable(block.data(), size_t(in.gcount()));
    }
    SendLine("");
    return !in.bad();
}

bool SendMail::SendPlainPart(const TAttachmentDescriptor& d)
{
    if (aborted_)
        return true;
    Info(Info_Attachment, d.path);
    std::ifstream in(d.path, std::ios::binary);
    if (!in)
        return false;
    const std::string file = FileNameOf(d.path);
    WritePartHead(d.contentType, d.name.empty() ? file : d.name, nullptr, d.disposition, file, d.description);
    SendLine("");
    std::string line;
    while (!aborted_ && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        SendLine(line);
    }
    return !in.bad();
}

bool SendMail::SendUuencodePart(const TAttachmentDescriptor& d)
{
    Info(Info_Attachment, d.path);
    std::ifstream in(d.path, std::ios::binary);
    if (!in)
        return false;
    const std::string name = d.name.empty() ? FileNameOf(d.path) : d.name;
    const size_t dot = name.rfind('.');
    const std::string part = (dot == std::string::npos ? name : name.substr(0, dot)) + ".uue";
    SendLine(std::string("--") + Boundary);
    SendLine("Content-Type: application/octet-stream; name=\"" + part + "\"");
    if (!d.disposition.empty())
        SendLine("Content-Disposition: " + d.disposition + "; filename=\"" + part + "\"");
    if (!d.description.empty())
        SendLine("Content-Description: " + d.description);
    SendLine("");
    SendLine(std::string(61, '='));
    SendLine("begin 666 " + name);
    std::vector<char> block(UuBlock);
    std::string out;
    while (!aborted_ && in) {
        in.read(block.data(), std::streamsize(block.size()));
        if (in.gcount() <= 0)
            break;
        out.clear();
        EncodeUuencode(block.data(), size_t(in.gcount()), out);
        SendText(out);
    }
    SendLine("");
    SendLine("end");
    return !in.bad();
}

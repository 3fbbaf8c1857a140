#include "mail/Inetmail.h"
#include "framework/Wait.h"

#include <algorithm>
#include <climits>
#include <iterator>

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
    if (SocketOpen() && Connected() && !inData_ && !aborted_ && !handshaking_) {
        const std::string quit = "QUIT\r\n";
        try {
            SendData(quit.data(), int(quit.size()));
        } catch (const ESockException&) {
            // TLS broke: the connection goes without its goodbye.
        }
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
    MimeWriter::SplitEntry(entry, address, name);
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
    if (RefusedBeforeSending())
        return;
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
    certificate_.reset();
    if (Connected() && SocketOpen()) {
        // The connection of the last message is still open, secured and
        // logged in as before: on at MAIL FROM.
        SetState(Hello);
        replies_.Clear();
        HandleReply(" ");
        return;
    }
    secured_ = false;
    loggedIn_ = false;
    extensions_ = {};
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
    reply_.clear();
    completed_ = false;
    if (Tls.Mode == TlsMode::Implicit) {
        // TLS from the first byte: the greeting comes encrypted.
        if (!Secure())
            return;
        StartTimeout(TimeoutReply);
        Reader(); // the greeting may be in already, held inside TLS
        return;
    }
    StartTimeout(TimeoutReply); // the greeting is due
}

void SendMail::Reader()
{
    if (processing_ || aborted_ || handshaking_)
        return;
    char chunk[2048];
    while (!aborted_) {
        int n = 0;
        try {
            n = ReceiveData(chunk, int(sizeof chunk));
        } catch (const ESockException& e) {
            Refuse(Error_Tls, e.Message, false);
            return;
        }
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
    if (handshaking_ && !aborted_) {
        Error(Error_Tls, SMTP_Server() + " closed the connection during the TLS handshake. Check the SMTP port and "
                                         "TLS mode in the configuration (implicit TLS is usually port 465, "
                                         "STARTTLS port 587).");
        lastError_ = Error_Tls;
        AbortSend();
        return;
    }
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
    outbox_.clear();
    reply_.clear();
    CloseSocket();
    PostDone();
}

MailMessage SendMail::Composed() const
{
    MailMessage m;
    m.fromName = FROM_Name;
    m.fromAddress = FROM_Address;
    m.subject = Subject;
    m.to = ListTo;
    m.cc = Listcc;
    m.text = MailText;
    m.headers = Headers;
    m.attachments = Attachments;
    for (size_t i = 0; i < Attachments.size() && i < descriptors_.size(); ++i)
        m.descriptors.push_back(descriptors_[i].get());
    return m;
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

bool SendMail::RefusedBeforeSending()
{
    // An empty entry would go out as "RCPT TO:<>", which means no one.
    for (std::vector<std::string>* list : {&ListTo, &Listcc, &ListBcc})
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [](const std::string& entry) {
                                       std::string address, name;
                                       SplitEntry(entry, address, name);
                                       return address.empty();
                                   }),
                    list->end());
    std::string text;
    if (FROM_Address.find_first_not_of(" \t") == std::string::npos) {
        // "MAIL FROM:<>" is a bounce; servers take it, and no answer can come back.
        text = "The message was not sent: no sender address. Set your e-mail address in the configuration "
               "(\"E-Mail Address:\", the Configure button), then send again.";
    }
    std::vector<std::string> addresses = {FROM_Address, TO_Address};
    for (const std::vector<std::string>* list : {&ListTo, &Listcc, &ListBcc})
        for (const std::string& entry : *list) {
            std::string name;
            addresses.emplace_back();
            SplitEntry(entry, addresses.back(), name);
        }
    for (const std::string& address : addresses)
        if (text.empty() && !IsAscii(address))
            text = "The message was not sent: the address \"" + address +
                   "\" holds letters outside ASCII, which mail servers refuse. Write it in ASCII (a domain in "
                   "its xn-- form), then send again.";
    if (text.empty())
        return false;
    Error(Error_InvalidAddress, text);
    lastError_ = Error_InvalidAddress;
    AbortSend();
    return true;
}

void SendMail::KillReplyTimer()
{
    StartTimeout(0);
}

void SendMail::SendLine(const std::string& text)
{
    SendText(OneLine(text));
}

void SendMail::SendText(const std::string& text)
{
    if (aborted_)
        return;
    Info(Info_Sending, text);
    if (!inData_) {
        Transmit(text);
        return;
    }
    outbox_ += stuffer_.Stuff(text);
    if (outbox_.size() >= DataBlock)
        FlushData();
}

void SendMail::FlushData()
{
    if (!aborted_ && !outbox_.empty())
        Transmit(outbox_);
    outbox_.clear();
}

void SendMail::Transmit(const std::string& out)
{
    size_t at = 0;
    while (at < out.size() && !aborted_) {
        int n = 0;
        try {
            n = SendData(out.data() + at, int(std::min(out.size() - at, size_t(INT_MAX))));
        } catch (const ESockException& e) {
            Refuse(Error_Tls, e.Message, false);
            return;
        }
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
        wait.Block = [&](int ms) { writable = WaitWritable(ms); };
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

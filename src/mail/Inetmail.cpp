#include "mail/Inetmail.h"
#include "framework/Wait.h"
#include "sock/TlsStream.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <mutex>
#include <netdb.h>

namespace {

// A refusal: "4yz" or "5yz"; a line starting with "-" carries no reply
// code at all, and is no acceptance either.
bool IsRefusal(const std::string& line)
{
    return !line.empty() && (line[0] == '-' || line[0] == '4' || line[0] == '5');
}

// Lines of one reply kept for its handler (an EHLO reply names a few dozen
// extensions at most), and the characters kept of each.
constexpr size_t MaxReplyLines = 64;
constexpr size_t MaxReplyLineKept = 512;

// The resolver's canonical name for this machine's name, asked once: the
// answer does not change while the program runs, and the resolver may be slow.
std::string CanonicalName(const std::string& host)
{
    static std::mutex guard;
    static std::string askedFor, answer;
    const std::lock_guard<std::mutex> lock(guard);
    if (host.empty() || host == askedFor)
        return answer;
    askedFor = host;
    answer.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
        if (found->ai_canonname)
            answer = found->ai_canonname;
        ::freeaddrinfo(found);
    }
    return answer;
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

void SendMail::SetState(State state)
{
    if (OnStateChange && state != state_)
        OnStateChange(state_, state);
    state_ = state;
}

void SendMail::HandleReply(const std::string& line)
{
    KillReplyTimer(); // a reply came; the wait for the next starts when it is asked for
    Info(Info_Received, line);
    // These states' handlers answer a refusal themselves, in words.
    const bool answered = state_ == Ehlo || state_ == StartTls || state_ == Auth || state_ == AuthUser ||
                          state_ == AuthPassword;
    const bool refused = IsRefusal(line);
    if (refused && !answered) {
        if (state_ != RcptTo) {
            Error(Error_UnexpectedResponse, "Unexpected response: " + line);
            lastError_ = Error_UnexpectedResponse;
            AbortSend();
            return;
        }
        // A refused recipient does not stop the others.
        Info(Info_RecipientRejected, currentRecipient_);
    }
    if (reply_.size() < MaxReplyLines)
        reply_.push_back(line.substr(0, MaxReplyLineKept));
    else
        reply_.back() = line.substr(0, MaxReplyLineKept); // the last line says how the reply ended
    if (!SmtpReplyIsFinal(line)) {
        StartTimeout(TimeoutReply); // the rest of the reply is due
        return;
    }
    if (aborted_)
        return; // cancelled from one of the events above
    refused_ = refused;
    static constexpr ReplyHandler Handlers[] = {
        &SendMail::GreetingReply,  &SendMail::HelloReply,     &SendMail::MailFromReply,
        &SendMail::RecipientReply, &SendMail::DataReply,      &SendMail::DotReply,
        &SendMail::QuitReply,      nullptr,                   &SendMail::EhloReply,
        &SendMail::HeloReply,      &SendMail::StartTlsReply,  &SendMail::AuthReply,
        &SendMail::AuthUserReply,  &SendMail::AuthPasswordReply};
    static_assert(std::size(Handlers) == StateCount, "one handler per state");
    if (const ReplyHandler handler = Handlers[state_])
        (this->*handler)();
    reply_.clear(); // the handler has read it; the next reply starts afresh
}

void SendMail::Command(const std::string& text, State next)
{
    SendLine(text);
    SetState(next);
    if (!aborted_)
        StartTimeout(next == Dot ? TimeoutDot : TimeoutReply); // its reply is due
}

void SendMail::CommandSecret(const std::string& text, const std::string& shown, State next)
{
    if (aborted_)
        return;
    Info(Info_Sending, shown + "\r\n");
    Transmit(text + "\r\n");
    SetState(next);
    if (!aborted_)
        StartTimeout(TimeoutReply);
}

std::string SendMail::HeloName()
{
    const std::string host = GetLocalHostName();
    LastError = 0; // a name not found is no failure of the send
    return GreetingName(host, host.find('.') == std::string::npos ? CanonicalName(host) : host, LocalAddressText());
}

void SendMail::Refuse(SendMailError error, const std::string& text, bool sayQuit)
{
    Error(error, text);
    lastError_ = error;
    if (sayQuit && !aborted_ && SocketOpen() && !handshaking_)
        SendLine("QUIT");
    AbortSend();
}

void SendMail::GreetingReply()
{
    Command("EHLO " + HeloName(), Ehlo);
}

void SendMail::EhloReply()
{
    if (refused_) {
        const std::string& line = reply_.back();
        // An old server that knows only HELO; after TLS the server knew EHLO
        // a moment ago, so a refusal now is no old server.
        if (line[0] == '5' && !secured_) {
            Command("HELO " + HeloName(), Helo);
            return;
        }
        Refuse(Error_UnexpectedResponse, "Unexpected response: " + line);
        return;
    }
    extensions_ = ParseEhloReply(reply_);
    Proceed();
}

void SendMail::HeloReply()
{
    extensions_ = {}; // HELO names no extensions
    Proceed();
}

void SendMail::Proceed()
{
    if (Tls.Mode == TlsMode::StartTls && !secured_) {
        if (!extensions_.StartTls) {
            Refuse(Error_Tls, SMTP_Server() + " does not offer STARTTLS, which the configuration requires for SMTP; "
                                              "nothing was sent. Ask the mail provider which port takes TLS (465 "
                                              "for implicit TLS, 587 for STARTTLS) and set it in the configuration.");
            return;
        }
        Command("STARTTLS", StartTls);
        return;
    }
    if (!SMTP_User.empty() && !loggedIn_) {
        Authenticate();
        return;
    }
    HelloReply();
}

void SendMail::StartTlsReply()
{
    if (refused_) {
        Refuse(Error_Tls, SMTP_Server() + " refused to start TLS (" + reply_.back() +
                              "); nothing was sent. Try again later, or ask the mail provider which port takes TLS.");
        return;
    }
    // Whatever came with or after the go-ahead was sent in plain: it belongs
    // to no reply of the encrypted session.
    replies_.Clear();
    if (!Secure())
        return;
    // What the server offers now, and only that, counts (RFC 3207 4.2).
    extensions_ = {};
    Command("EHLO " + HeloName(), Ehlo);
}

bool SendMail::Secure()
{
    TlsStream* tls = nullptr;
    try {
        WrapStream([&](std::unique_ptr<ByteStream> plain) {
            auto layer = std::make_unique<TlsStream>(std::move(plain), SMTP_Server(), Tls.Trusted);
            tls = layer.get();
            return layer;
        });
    } catch (const ESockException& e) {
        Refuse(Error_Tls, e.Message, false);
        return false;
    }
    if (!tls) {
        Refuse(Error_Tls, "TLS could not be set up for " + SMTP_Server() + ".", false);
        return false;
    }
    // The socket may close or the user stop meanwhile; the stream is gone then.
    const auto over = [this] { return aborted_ || !SocketOpen(); };
    Wait wait;
    wait.Condition = [&] { return !over() && tls->Handshake(); };
    wait.Block = [&](int ms) {
        if (!over())
            tls->Ready(false, ms);
    };
    wait.Stop = over;
    wait.TimeoutMs = TimeoutReply > 0 ? TimeoutReply * 1000 : ReplyTimeoutMs;
    handshaking_ = true;
    Wait::Outcome outcome = Wait::Stopped;
    try {
        outcome = wait.Run();
    } catch (const ECertificateError& e) {
        handshaking_ = false;
        certificate_ = e;
        Refuse(Error_Certificate, e.Message, false);
        return false;
    } catch (const ESockException& e) {
        handshaking_ = false;
        Refuse(Error_Tls, e.Message, false);
        return false;
    }
    handshaking_ = false;
    if (outcome == Wait::TimedOut)
        TimedOut();
    if (outcome != Wait::Ready)
        return false;
    secured_ = true;
    return true;
}

void SendMail::Authenticate()
{
    if (!secured_ && !Tls.AllowPlainAuth) {
        Refuse(Error_Authentication,
               "The SMTP password was not sent: the connection to " + SMTP_Server() +
                   " is not encrypted. Choose STARTTLS or implicit TLS for SMTP in the configuration, or allow the "
                   "login without TLS there if this server is on a network you trust.");
        return;
    }
    if (extensions_.AuthPlain) {
        CommandSecret("AUTH PLAIN " + AuthPlainResponse(SMTP_User, SMTP_Password), "AUTH PLAIN ******", Auth);
    } else if (extensions_.AuthLogin) {
        Command("AUTH LOGIN", AuthUser);
    } else {
        Refuse(Error_Authentication, SMTP_Server() + " offers no login this program knows (AUTH PLAIN or LOGIN); "
                                                     "nothing was sent. Leave the SMTP user name empty if the "
                                                     "server takes mail without a login.");
    }
}

void SendMail::AuthUserReply()
{
    if (refused_ || reply_.back()[0] != '3') {
        AuthReply();
        return;
    }
    CommandSecret(Base64(SMTP_User), "******", AuthPassword);
}

void SendMail::AuthPasswordReply()
{
    if (refused_ || reply_.back()[0] != '3') {
        AuthReply();
        return;
    }
    CommandSecret(Base64(SMTP_Password), "******", Auth);
}

void SendMail::AuthReply()
{
    const std::string& line = reply_.back();
    if (refused_ || line[0] != '2') {
        Refuse(Error_Authentication, SMTP_Server() + " refused the login: " + line +
                                         ". Check the SMTP user name and password in the configuration.");
        return;
    }
    loggedIn_ = true;
    Proceed();
}

void SendMail::HelloReply()
{
    Command("MAIL FROM:<" + FROM_Address + ">", MailFrom);
}

void SendMail::MailFromReply()
{
    Command("RCPT TO:<" + TO_Address + ">", RcptTo);
    if (aborted_)
        return;
    currentRecipient_ = TO_Address;
    recipientList_ = 1;
    recipientIndex_ = -1;
    lastIndex_ = int(ListTo.size()) - 1 - skip_[0];
    while (lastIndex_ == -1)
        AdvanceList();
    Info(Info_Recipient, TO_Address);
}

void SendMail::RecipientReply()
{
    // The rest of To, cc and Bcc in turn, the primary recipient passed over;
    // then DATA.
    if (recipientList_ <= 3) {
        if (recipientIndex_ < lastIndex_) {
            ++recipientIndex_;
            std::string name;
            SplitEntry(CurrentList()[size_t(recipientIndex_ + SkipOf(recipientList_))], currentRecipient_, name);
            Command("RCPT TO:<" + currentRecipient_ + ">", RcptTo);
            Info(Info_Recipient, currentRecipient_);
        }
    } else {
        Command("DATA", Data);
    }
    if (recipientIndex_ == lastIndex_) {
        lastIndex_ = -1;
        while (lastIndex_ == -1)
            AdvanceList();
        recipientIndex_ = -1;
    }
}

void SendMail::DataReply()
{
    inData_ = true;
    stuffer_.Reset();
    MimeWriter writer([this](std::string_view bytes) { SendText(std::string(bytes)); });
    writer.OnInfo = [this](SendMailInfo info, const std::string& text) { Info(info, text); };
    writer.OnFeedData = [this](std::string& data) {
        if (OnFeedData)
            OnFeedData(this, data);
    };
    writer.Stopped = [this] { return aborted_; };
    writer.Write(Composed());
    FlushData();
    if (aborted_)
        return; // no "." for an unfinished message: the server delivers nothing
    inData_ = false;
    Command(".", Dot);
}

void SendMail::DotReply()
{
    Info(Info_Sent, "");
    completed_ = true;
    if (KeepConnectionOpen) {
        PostDone(); // the connection waits for the next message
        return;
    }
    Command("QUIT", Quit);
}

void SendMail::QuitReply()
{
    // The goodbye is answered: the connection is ours to close, rather than
    // waiting on a server that keeps it open.
    CloseSocket();
    SetState(Ended);
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

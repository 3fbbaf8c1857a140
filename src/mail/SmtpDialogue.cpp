#include "mail/Inetmail.h"
#include "framework/Wait.h"
#include "sock/TlsStream.h"

#include <mutex>
#include <netdb.h>

// The SMTP dialogue: what each reply means in the state that awaited it, and
// the command that follows. The component's socket, timers and sending are in
// Inetmail.cpp.

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

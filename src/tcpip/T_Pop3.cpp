#include "tcpip/T_Pop3.h"
#include "framework/SysUtils.h"
#include "tcpip/Pop3Reply.h"

T_Pop3::T_Pop3()
{
    RemotePort = 110;
}

T_Pop3::~T_Pop3()
{
    OnTrace = nullptr;
    if (LoggedIn) {
        try {
            Logout();
        } catch (const std::exception&) {
            // The server is gone; nothing is lost that QUIT would have kept.
        }
    }
}

namespace {

// 1000000 as "1,000,000".
std::string Grouped(size_t n)
{
    std::string digits = std::to_string(n);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

// An unfolded From or Subject line keeps its first 16 KiB; the rest of a
// longer one is dropped, as no list row shows more.
constexpr size_t MaxHeaderField = size_t(16) << 10;

std::string SizeText(size_t bytes)
{
    if (bytes >= (size_t(1) << 20) && bytes % (size_t(1) << 20) == 0)
        return Grouped(bytes >> 20) + " MiB";
    return Grouped(bytes) + " bytes";
}

} // namespace

void T_Pop3::ReadReply()
{
    std::string line;
    if (!ReadLine(line)) {
        const bool reset = Reset;
        ConnectionLost();
        throw ETcpIpError(Hostname + (reset ? " reset" : " closed") +
                          " the connection instead of answering. Try again later, or check that it is a POP3 "
                          "server.");
    }
    Trace(tlReply, line);
    switch (ClassifyPop3Reply(line)) {
    case Pop3Status::Positive: return;
    case Pop3Status::Negative: throw EProtocolError(line, 500, "POP3");
    case Pop3Status::Unexpected: throw EProtocolError(line, 999, "POP3");
    }
}

void T_Pop3::ReadAnswer(const std::string& what, const std::function<void(std::string&)>& take)
{
    size_t lines = 0, bytes = 0;
    std::string line;
    for (;;) {
        if (!ReadLine(line)) {
            const bool reset = Reset;
            ConnectionLost();
            throw ETcpIpError(Hostname + (reset ? " reset" : " closed") + " the connection before " + what +
                              " was complete (" + Grouped(lines) + (lines == 1 ? " line" : " lines") +
                              " received).");
        }
        if (!Pop3DataLine(line))
            return;
        bytes += line.size() + 2;
        if (++lines > MaxAnswerLines || bytes > MaxAnswerBytes) {
            // Memory must not grow with what a server chooses to send.
            ConnectionLost();
            throw ETcpIpError(Hostname + " sent more than " +
                              (lines > MaxAnswerLines ? Grouped(MaxAnswerLines) + " lines"
                                                      : SizeText(MaxAnswerBytes)) +
                              " for " + what + ", the most this program takes; the connection was dropped.");
        }
        take(line);
    }
}

void T_Pop3::Login()
{
    Exchange exchange(*this);
    LoginWithPassword(UserName, Password, "*****", [this] { ReadReply(); }, [this] { UpgradeToTls(); });
    ReadList();
}

void T_Pop3::AskCapabilities()
{
    Capabilities.clear();
    SendCommand("CAPA");
    try {
        ReadReply();
    } catch (const EProtocolError& e) {
        if (e.ReplyCode == 999)
            throw;
        return; // a server without CAPA offers nothing more
    }
    ReadAnswer("the capabilities", [this](std::string& line) {
        if (Capabilities.size() < 256) // what a server lists beyond that is of no use to us
            Capabilities.push_back(std::move(line));
    });
}

bool T_Pop3::Offers(const std::string& capability) const
{
    for (const std::string& line : Capabilities) {
        std::string name = line.substr(0, line.find(' '));
        for (char& c : name)
            c = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
        if (name == capability)
            return true;
    }
    return false;
}

void T_Pop3::UpgradeToTls()
{
    AskCapabilities();
    if (!Offers("STLS")) {
        ConnectionLost();
        throw ETcpIpError("The POP3 server " + Hostname +
                          " does not offer STLS, so the connection could not be protected; no password was "
                          "sent. Choose implicit TLS (port 995) or plain for POP3 in the configuration, or ask "
                          "the server's administrator.");
    }
    SendCommand("STLS");
    try {
        ReadReply();
    } catch (const EProtocolError& e) {
        ConnectionLost();
        throw ETcpIpError("The POP3 server " + Hostname + " refused STLS (\"" + e.Message +
                          "\"); no password was sent. Try again later, or choose implicit TLS (port 995) for POP3 "
                          "in the configuration.");
    }
    StartTls();
    AskCapabilities();
}

void T_Pop3::ReadList()
{
    SendCommand("LIST");
    ReadReply();
    numberOfMails_ = 0;
    Messages.clear();
    ReadAnswer("the list", [this](std::string& line) {
        const size_t space = line.find(' ');
        t_reply message;
        // "number size": anything else raises the conversion error.
        message.MsgNumber = StrToInt(line.substr(0, space));
        message.MsgSize = StrToInt(space == std::string::npos ? std::string() : line.substr(space + 1));
        Messages.push_back(message);
        ++numberOfMails_;
    });
}

void T_Pop3::ReadHeaderOf(t_reply& message)
{
    SendCommand("TOP " + std::to_string(message.MsgNumber) + " 1");
    ReadReply();
    // Each field is read from its unfolded line: a line starting with a space
    // or tab continues the field before it.
    std::string from, subject;
    bool hasFrom = false, hasSubject = false;
    std::string* open = nullptr;
    ReadAnswer("the header of message " + std::to_string(message.MsgNumber), [&](std::string& line) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (open)
                open->append(line, 0, MaxHeaderField - open->size());
            return;
        }
        open = nullptr;
        if (line.rfind("From:", 0) == 0) {
            hasFrom = true;
            open = &from;
        } else if (line.rfind("Subject:", 0) == 0) {
            hasSubject = true;
            open = &subject;
        }
        if (open)
            open->assign(line, 0, MaxHeaderField);
    });
    if (hasFrom)
        message.MsgFrom = from.size() > 6 ? from.substr(6) : std::string();
    if (hasSubject)
        message.MsgSubject = subject.size() > 9 ? subject.substr(9) : std::string();
}

void T_Pop3::GetHeaders()
{
    Exchange exchange(*this);
    Lines.clear();
    std::vector<std::string> summaries(Messages.size());
    // Newest message first, the one a user checking mail most likely wants;
    // each summary lands at its own index, so Lines keeps the mailbox order.
    for (size_t i = Messages.size(); i-- > 0;) {
        t_reply& message = Messages[i];
        try {
            ReadHeaderOf(message);
            summaries[i] = message.MsgSubject.empty() ? message.MsgFrom
                                                      : message.MsgFrom + '\a' + message.MsgSubject;
        } catch (const EProtocolError&) {
            summaries[i] = std::to_string(message.MsgNumber);
        }
    }
    Lines = std::move(summaries);
}

void T_Pop3::Retrieve(int number)
{
    Exchange exchange(*this);
    if (!LoggedIn)
        Login();
    SendCommand("RETR " + std::to_string(number));
    ReadReply();
    Lines.clear();
    ReadAnswer("the message", [this](std::string& line) { Lines.push_back(std::move(line)); });
}

void T_Pop3::Delete(int number)
{
    Exchange exchange(*this);
    if (!LoggedIn)
        Login();
    SendCommand("DELE " + std::to_string(number));
    ReadReply();
}

void T_Pop3::Logout()
{
    Exchange exchange(*this);
    // The numbers mean nothing to the next session, answered goodbye or not.
    Messages.clear();
    if (LoggedIn && Connected()) {
        SendCommand("QUIT");
        ReadReply();
    }
    T_TcpIp::Logout();
}

void T_Pop3::DoAction()
{
    Exchange exchange(*this);
    Login();
    if (!Messages.empty())
        Retrieve(1);
    Logout();
}

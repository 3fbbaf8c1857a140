#include "ParsedMessage.h"
#include "mail/Inetmail.h"
#include "support/Loopback.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "support/SocketFixture.h"
#include "support/TestCa.h"

#include <QTimer>

#include <algorithm>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::PumpUntil;
using testsupport::ScriptServer;
using S = ScriptServer;

namespace {

class SendMailTest : public SocketFixture {
protected:
    void Aim(SendMail& mail, uint16_t port, const char* to = "")
    {
        mail.TO_Address = to;
        mail.SetSMTP_Server("127.0.0.1");
        mail.SMTP_Port = port;
        mail.FROM_Name = "Sender";
        mail.FROM_Address = "sender@example.test";
        mail.OnMailInfo = [this](TObject*, SendMailInfo info, const std::string& text) {
            if (info == Info_Sending)
                trace += text;
            if (info != Info_Sending && info != Info_AttachmentProgress && info != Info_DataProgress)
                infos.emplace_back(info, text);
        };
        mail.OnMailError = [this](TObject*, SendMailError error, const std::string& text) {
            errors.emplace_back(error, text);
        };
        mail.OnDone = [this](TObject*) { ++done; };
    }
    // Aimed as above at a@x.test, logging in as alice over `mode`.
    void AimLogin(SendMail& mail, uint16_t port, TlsMode mode, const char* password)
    {
        Aim(mail, port, "a@x.test");
        mail.Tls.Mode = mode;
        mail.SMTP_User = "alice";
        mail.SMTP_Password = password;
    }
    // Sends and waits for OnDone.
    void Send(SendMail& mail, int timeoutMs = 30000)
    {
        const int before = done;
        mail.SetAction(Send_Mail);
        ASSERT_TRUE(PumpUntil([&] { return done > before; }, timeoutMs)) << "no OnDone; events: " << Events();
    }
    std::string Events() const
    {
        std::string text;
        for (const auto& [info, add] : infos)
            text += std::to_string(int(info)) + ":" + add.substr(0, 40) + " | ";
        return text;
    }
    bool Informed(SendMailInfo info, const std::string& text = {}) const
    {
        return std::any_of(infos.begin(), infos.end(),
                           [&](const auto& i) { return i.first == info && (text.empty() || i.second == text); });
    }

    std::vector<std::pair<SendMailInfo, std::string>> infos;
    std::vector<std::pair<SendMailError, std::string>> errors;
    int done = 0;
    std::string trace; // everything sent, as the trace shows it
    QTemporaryDir dir;
};

std::vector<ScriptServer::Step> Accepting(std::vector<ScriptServer::Step> tail = {})
{
    std::vector<S::Step> steps = {S::Send("220 hi\r\n"), S::Expect(), S::Send("250 hello\r\n"), S::Expect(),
                                  S::Send("250 ok\r\n")};
    steps.insert(steps.end(), tail.begin(), tail.end());
    return steps;
}

} // namespace

TEST_F(SendMailTest, TheWireCarriesTheWrittenMessageDotStuffedAndNothingElse)
{
    ScriptServer server(Accepting({S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("250 ok\r\n"),
                                   S::Expect(), S::Send("354 go\r\n"), S::ExpectUntil("."),
                                   S::Send("250 queued\r\n"), S::Expect(), S::Send("221 bye\r\n"), S::Close()}));
    const std::string dotted = WriteFile(dir, "dotted.txt", ".first\r\n.\r\nmiddle\r\n..two\r\n");
    const std::string binary = WriteFile(dir, "binary.bin", std::string(5000, '\xfe'));
    SendMail mail;
    Aim(mail, server.port());
    mail.TO_Address = "first@example.test";
    mail.TO_Name = "Fran\xe7ois";
    mail.Listcc = {"copy@example.test|Copy"};
    mail.Subject = "Caf\xe9";
    mail.MailText = {".", ".hidden", "caf\xe9 " + std::string(3000, 'w')};
    mail.Attachments = {dotted, binary};
    TAttachmentDescriptor plain{"", 3, "text/plain", "", "", dotted};
    mail.SetAttachmentDescriptor(1, plain);
    Send(mail);
    EXPECT_TRUE(errors.empty()) << errors[0].second;

    MailMessage m;
    m.fromName = "Sender";
    m.fromAddress = "sender@example.test";
    m.to = {"first@example.test|Fran\xe7ois"};
    m.cc = mail.Listcc;
    m.subject = mail.Subject;
    m.text = mail.MailText;
    m.attachments = mail.Attachments;
    m.descriptors = {&plain};
    const std::string written = ComposeMessage(m);
    std::vector<std::string> stuffed;
    for (size_t at = 0, end; (end = written.find("\r\n", at)) != std::string::npos; at = end + 2)
        stuffed.push_back((written[at] == '.' ? "." : "") + written.substr(at, end - at));
    stuffed.push_back(".");
    const auto got = server.Received();
    const auto data = std::find(got.begin(), got.end(), "DATA");
    ASSERT_NE(data, got.end());
    EXPECT_EQ(std::vector<std::string>(data + 1, got.end() - 1), stuffed);
    EXPECT_EQ(got.back(), "QUIT");
}

TEST_F(SendMailTest, RecipientsGoOutInOrderAndOneRefusalDoesNotStopTheRest)
{
    ScriptServer server(Accepting({S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("550 no such user\r\n"),
                                   S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("250 ok\r\n"),
                                   S::Expect(), S::Send("354 go on\r\n"), S::ExpectUntil("."),
                                   S::Send("250 queued\r\n"), S::Expect(), S::Send("221 bye\r\n"), S::Close()}));
    SendMail mail;
    Aim(mail, server.port());
    mail.ListTo = {"a@x.test", "b@x.test"};
    mail.Listcc = {"c@x.test"};
    mail.ListBcc = {"d@x.test"};
    mail.MailText = {"body"};
    std::vector<int> states;
    mail.OnStateChange = [&](int, int to) { states.push_back(to); };
    Send(mail);
    EXPECT_EQ(states, (std::vector<int>{8, 2, 3, 4, 5, 6, 7})) << "greeting, EHLO, MAIL, RCPT..., DATA, ., QUIT";
    EXPECT_TRUE(errors.empty()) << errors[0].second;
    EXPECT_TRUE(Informed(Info_RecipientRejected, "b@x.test"));
    EXPECT_TRUE(Informed(Info_Sent));
    const auto got = server.Received();
    ASSERT_GE(got.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.begin() + 7),
              (std::vector<std::string>{"MAIL FROM:<sender@example.test>", "RCPT TO:<a@x.test>", "RCPT TO:<b@x.test>",
                                        "RCPT TO:<c@x.test>", "RCPT TO:<d@x.test>", "DATA"}));
    EXPECT_EQ(std::count(got.begin(), got.end(), "Bcc: d@x.test"), 0);
    EXPECT_EQ(got.back(), "QUIT");
}

TEST_F(SendMailTest, HostileServersEndWithTheirErrorAndOneDone)
{
    const struct {
        std::vector<S::Step> script;
        SendMailError error;
        const char* text;
    } cases[] = {
        {{S::Send("554 go away\r\n"), S::Hold()}, Error_UnexpectedResponse, "Unexpected response: 554 go away"},
        {{S::Send("220 hi\r\n"), S::Expect(), S::Send("250 hello\r\n"), S::Expect(),
          S::Send("550 sender refused\r\n"), S::Hold()},
         Error_UnexpectedResponse, "Unexpected response: 550 sender refused"},
        // Every recipient refused: DATA still goes out, and its refusal ends the send.
        {Accepting({S::Expect(), S::Send("550 no such user\r\n"), S::Expect(), S::Send("554 no recipients\r\n"),
                    S::Hold()}),
         Error_UnexpectedResponse, "Unexpected response: 554 no recipients"},
        {Accepting({S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("554 no data\r\n"), S::Hold()}),
         Error_UnexpectedResponse, "Unexpected response: 554 no data"},
        // Silent once the message is in: the reply time-out ends it.
        {Accepting({S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("354 go\r\n"), S::ExpectUntil("."),
                    S::Hold()}),
         Error_Timeout, "Connection timed out"},
        {Accepting({S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("354 go\r\n"), S::Expect(), S::Close()}),
         Error_PrematureDisconnect, nullptr},
        {{S::Send("220 hi\r\n"), S::Expect(), S::Send("250 hello\r\n"), S::Expect(), S::Reset()},
         Error_ConnectionReset, "Connection reset by remote side"},
    };
    for (const auto& c : cases) {
        errors.clear();
        ScriptServer server(c.script);
        SendMail mail;
        Aim(mail, server.port());
        mail.TimeoutReply = 1;
        mail.TimeoutDot = 1;
        mail.TO_Address = "a@x.test";
        mail.MailText = {"body"};
        const int before = done;
        Send(mail);
        EXPECT_EQ(done, before + 1);
        ASSERT_FALSE(errors.empty()) << "no error for " << int(c.error);
        if (c.text) {
            EXPECT_EQ(errors.back(), std::make_pair(c.error, std::string(c.text)));
        } else {
            EXPECT_NE(mail.LastMailError(), Error_None);
        }
        EXPECT_FALSE(mail.Busy());
    }
}

TEST_F(SendMailTest, RepliesArriveInAnyPiecesAndTypedLineBreaksInjectNothing)
{
    ScriptServer server({S::Trickle("220-first\r\n220-second\r\n\r\n220 last\r\n"), S::Expect(),
                         S::Trickle("250 hello\r\n"), S::Expect(), S::Send("250 ok\r\n"), S::Expect(),
                         S::Send("250 ok\r\n354 go\r\n"), S::Expect(), S::ExpectUntil("."),
                         S::Send("250 queued\r\n221 bye\r\n"), S::ExpectAll()});
    SendMail mail;
    Aim(mail, server.port());
    mail.FROM_Address = "s@x.test>\r\nRCPT TO:<evil@x.test";
    mail.TO_Address = "a@x.test";
    mail.Subject = "hello\r\nBcc: evil@x.test";
    mail.MailText = {"plain"};
    Send(mail);
    EXPECT_TRUE(errors.empty()) << errors[0].second;
    const auto got = server.Received();
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& l) { return l.rfind("EHLO ", 0) == 0; }),
              1) << "one EHLO after the last greeting line";
    EXPECT_EQ(got[1], "MAIL FROM:<s@x.test>  RCPT TO:<evil@x.test>");
    EXPECT_EQ(std::count(got.begin(), got.end(), "Bcc: evil@x.test"), 0);
    EXPECT_NE(std::find(got.begin(), got.end(), "Subject: hello  Bcc: evil@x.test"), got.end());
}

TEST_F(SendMailTest, CancellingMidMessageLeavesNothingDeliveredAndEndsOnce)
{
    ScriptServer server(Accepting({S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("354 go\r\n"),
                                   S::ExpectAll()}));
    SendMail mail;
    Aim(mail, server.port(), "a@x.test");
    mail.Attachments = {WriteFile(dir, "big.bin", std::string(3 * 1024 * 1024, 'b'))};
    int progress = 0;
    mail.OnMailInfo = [&](TObject*, SendMailInfo info, const std::string&) {
        if (info == Info_AttachmentProgress && ++progress == 200)
            mail.SetAction(Cancel_SendMail);
    };
    Send(mail);
    EXPECT_EQ(mail.LastMailError(), Error_Cancelled);
    EXPECT_TRUE(errors.empty()) << "a cancel is no error";
    ASSERT_TRUE(PumpUntil([&] { return server.Connections() == 1 && !server.Received().empty(); }));
    PumpUntil([&] { return false; }, 200);
    const auto got = server.Received();
    EXPECT_EQ(std::count(got.begin(), got.end(), "."), 0) << "no final dot: the server delivers nothing";
}

TEST_F(SendMailTest, NoRecipientNeverConnectsAndServerTextsAndNamesAreKeptInBounds)
{
    SendMail mail;
    Aim(mail, testsupport::ClosedPort());
    Send(mail);
    EXPECT_EQ(errors, (std::vector<std::pair<SendMailError, std::string>>{
                          {Error_MailDestination, "Mail Destination Error"}}));
    mail.TO_Address = "a@x.test";
    errors.clear();
    Send(mail);
    EXPECT_EQ(errors.back(), std::make_pair(Error_ConnectionRefused, std::string("Connection Refused")));

    mail.SetSMTP_Server("10.0.0.5");
    EXPECT_EQ(mail.ServerAddress, "10.0.0.5");
    EXPECT_EQ(mail.ServerName, "");
    mail.SetSMTP_Server("mail");
    EXPECT_EQ(mail.ServerName, "mail");
    EXPECT_EQ(mail.ServerAddress, "");
    mail.SetSMTP_Server("");
    EXPECT_EQ(mail.ServerName, "mail") << "an empty text changes neither";
    mail.SetVersion("anything");
    EXPECT_EQ(mail.Version(), "SendMail 1.3.9");
    ASSERT_TRUE(mail.StartWinsock());
    mail.ResolveAsync(std::string(81, 'h'));
    EXPECT_EQ(mail.LastError, WSAENAMETOOLONG) << "the name field holds 80 characters";
}

TEST_F(SendMailTest, AReplyLinePastTheCapEndsTheSendWithWords)
{
    ScriptServer server({S::Send("220 " + std::string(200 * 1024, 'x') + "\r\n"), S::ExpectAll()});
    SendMail mail;
    Aim(mail, server.port(), "a@x.test");
    Send(mail);
    EXPECT_EQ(errors, (std::vector<std::pair<SendMailError, std::string>>{
                          {Error_UnexpectedResponse, "127.0.0.1 sent a line longer than 64 KiB, which no mail "
                                                     "server sends; the connection was dropped."}}));
    EXPECT_TRUE(server.Received().empty()) << "the rest of the line was taken for no reply";
}

TEST_F(SendMailTest, EndingTheProgramBeforeTheMessageSaysQuit)
{
    ScriptServer server(Accepting({S::Expect(), S::ExpectAll()}));
    auto mail = std::make_unique<SendMail>();
    Aim(*mail, server.port(), "a@x.test");
    mail->SetAction(Send_Mail);
    ASSERT_TRUE(PumpUntil([&] { return server.Received().size() >= 3; }));
    mail.reset(); // the send is still waiting for the reply to RCPT
    EXPECT_TRUE(PumpUntil([&] { return server.Received().back() == "QUIT"; }));
}

TEST_F(SendMailTest, AFiftyMegabyteAttachmentDecodesByteForByte)
{
    testsupport::SmtpServer smtp;
    SKIP_UNLESS_RUNNING(smtp);
    std::string big(50u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char((i * 2654435761u) >> 13);
    const std::string path = WriteFile(dir, "fifty.bin", big);
    SendMail mail;
    Aim(mail, smtp.port(), "a@x.test");
    mail.Attachments = {path};
    Send(mail, 120000);
    EXPECT_TRUE(errors.empty()) << errors[0].second;
    ASSERT_EQ(smtp.Messages().size(), 1u);
    const QJsonArray parts = ParseMessage(smtp.Messages()[0])["parts"].toArray();
    ASSERT_EQ(parts.size(), 1);
    EXPECT_EQ(parts[0].toObject()["sha256"].toString().toStdString(), Sha256(big));
}

TEST(SmtpExtensionsTest, EhloKeywordsAndTheGreetingName)
{
    const SmtpExtensions e = ParseEhloReply({"250-mail.test greets you", "250-SIZE 35882577", "250-8BITMIME",
                                             "250-auth login Plain", "250-STARTTLS", "junk", "250 SMTPUTF8"});
    EXPECT_TRUE(e.StartTls);
    EXPECT_TRUE(e.AuthPlain);
    EXPECT_TRUE(e.AuthLogin);
    EXPECT_EQ(e.MaxSize, 35882577u);
    EXPECT_EQ(e.Keywords, (std::vector<std::string>{"SIZE", "8BITMIME", "AUTH", "STARTTLS", "SMTPUTF8"}));
    EXPECT_TRUE(e.Has("smtputf8"));
    const SmtpExtensions bare = ParseEhloReply({"250 STARTTLS"});
    EXPECT_FALSE(bare.StartTls) << "the first line greets; it names no extension";
    EXPECT_FALSE(ParseEhloReply({"250-x", "250 AUTH CRAM-MD5"}).AuthPlain);

    EXPECT_EQ(GreetingName("box.example.test", "", "10.0.0.2"), "box.example.test");
    EXPECT_EQ(GreetingName("vm", "vm.lan.test.", "10.0.0.2"), "vm.lan.test");
    EXPECT_EQ(GreetingName("vm", "vm", "127.0.0.1"), "[127.0.0.1]");
    EXPECT_EQ(GreetingName("vm.", "localhost", "127.0.0.1"), "[127.0.0.1]");
    EXPECT_EQ(GreetingName("vm", "vm", "::1"), "[IPv6:::1]");
    EXPECT_EQ(AuthPlainResponse("alice", "secret"), "AGFsaWNlAHNlY3JldA==");
}

TEST_F(SendMailTest, AnOldServerIsGreetedWithHeloAndAFullyQualifiedNameOrAnAddress)
{
    ScriptServer server({S::Send("220 hi\r\n"), S::Expect(), S::Send("502 5.5.1 unrecognized command\r\n"),
                         S::Expect(), S::Send("250 hello\r\n"), S::Expect(), S::Send("250 ok\r\n"), S::Expect(),
                         S::Send("250 ok\r\n"), S::Expect(), S::Send("354 go\r\n"), S::ExpectUntil("."),
                         S::Send("250 queued\r\n"), S::Expect(), S::Send("221 bye\r\n"), S::Close()});
    SendMail mail;
    Aim(mail, server.port(), "a@x.test");
    mail.MailText = {"body"};
    Send(mail);
    EXPECT_TRUE(errors.empty()) << errors[0].second;
    EXPECT_TRUE(Informed(Info_Sent));
    const auto got = server.Received();
    ASSERT_GE(got.size(), 3u);
    ASSERT_EQ(got[0].substr(0, 5), "EHLO ");
    EXPECT_EQ(got[1], "HELO " + got[0].substr(5));
    const std::string name = got[0].substr(5);
    EXPECT_TRUE(name == "[127.0.0.1]" || (name.find('.') != std::string::npos && name.front() != '['))
        << name << ": neither a fully qualified name nor the connection's address";
    EXPECT_EQ(got[2], "MAIL FROM:<sender@example.test>");
}

TEST_F(SendMailTest, NoPasswordGoesOutWhereTlsIsMissingAndTheTraceNeverShowsOne)
{
    const std::vector<S::Step> authOffered = {S::Send("220 hi\r\n"), S::Expect(),
                                              S::Send("250-mail.test\r\n250 AUTH LOGIN\r\n"), S::ExpectAll()};
    // STARTTLS required, not offered; then a login over a plain connection.
    for (const TlsMode mode : {TlsMode::StartTls, TlsMode::Plain}) {
        errors.clear();
        ScriptServer server(authOffered);
        SendMail mail;
        AimLogin(mail, server.port(), mode, "secret");
        Send(mail);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].first, mode == TlsMode::StartTls ? Error_Tls : Error_Authentication);
        EXPECT_NE(errors[0].second.find(mode == TlsMode::StartTls ? "does not offer STARTTLS" : "not encrypted"),
                  std::string::npos)
            << errors[0].second;
        ASSERT_TRUE(PumpUntil([&] { return server.Received().size() >= 2; }));
        EXPECT_EQ(server.Received()[1], "QUIT") << "nothing but the goodbye after EHLO";
    }

    // Allowed by the user: AUTH LOGIN, the server's refusal in its words, the secrets masked.
    errors.clear();
    trace.clear();
    ScriptServer server({S::Send("220 hi\r\n"), S::Expect(), S::Send("250-mail.test\r\n250 AUTH LOGIN\r\n"),
                         S::Expect(), S::Send("334 VXNlcm5hbWU6\r\n"), S::Expect(), S::Send("334 UGFzc3dvcmQ6\r\n"),
                         S::Expect(), S::Send("535 5.7.8 Authentication credentials invalid\r\n"), S::ExpectAll()});
    SendMail mail;
    AimLogin(mail, server.port(), TlsMode::Plain, "wrong");
    mail.Tls.AllowPlainAuth = true;
    Send(mail);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, Error_Authentication);
    EXPECT_NE(errors[0].second.find("535 5.7.8 Authentication credentials invalid"), std::string::npos);
    ASSERT_TRUE(PumpUntil([&] { return server.Received().size() >= 5; }));
    const auto got = server.Received();
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.begin() + 5),
              (std::vector<std::string>{"AUTH LOGIN", "YWxpY2U=", "d3Jvbmc=", "QUIT"}));
    for (const char* secret : {"YWxpY2U=", "d3Jvbmc=", "wrong"})
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " in the trace:\n" << trace;
    EXPECT_NE(trace.find("******"), std::string::npos);
}

TEST_F(SendMailTest, AServerThatNeverAcceptsTheConnectionTimesOutLikeEveryWait)
{
    // A listener whose queue is full: the kernel answers no further connection.
    testsupport::Listener full;
    ::listen(full.fd, 0);
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const testsupport::LoopbackAddress to(full.port);
        ::connect(fd, reinterpret_cast<const sockaddr*>(to.get()), sizeof(sockaddr_in));
        queued.push_back(fd);
    }
    SendMail mail;
    EXPECT_EQ(mail.TimeoutDot, 600) << "ten minutes for the reply to the final dot";
    Aim(mail, full.port, "a@x.test");
    mail.TimeoutConnect = 1;
    Send(mail);
    EXPECT_EQ(errors, (std::vector<std::pair<SendMailError, std::string>>{{Error_Timeout, "Connection timed out"}}));
    for (const int fd : queued)
        ::close(fd);
}

TEST_F(SendMailTest, AttachmentsGoThroughAnAuthenticatedStartTlsAndAnImplicitTlsServer)
{
    testsupport::TestCa ca;
    const testsupport::TrustScope trust(ca.Authority());
    const auto issued = ca.Issue("127.0.0.1");
    const std::string report = WriteFile(dir, "report.pdf", std::string(300000, '\x89'));
    const std::string notes = WriteFile(dir, "notes.txt", "first line\r\n.second\r\n");
    for (const auto tls : {testsupport::SmtpServer::Tls::StartTls, testsupport::SmtpServer::Tls::Implicit}) {
        SCOPED_TRACE(tls == testsupport::SmtpServer::Tls::StartTls ? "STARTTLS" : "implicit TLS");
        testsupport::SmtpServer smtp({tls, issued.certificate, issued.key, true});
        SKIP_UNLESS_RUNNING(smtp);
        errors.clear();
        trace.clear();
        SendMail mail;
        AimLogin(mail, smtp.port(), tls == testsupport::SmtpServer::Tls::StartTls ? TlsMode::StartTls : TlsMode::Implicit,
                 testsupport::SmtpServer::Password);
        mail.Subject = "Quarterly figures";
        mail.MailText = {"See attached."};
        mail.Attachments = {report, notes};
        Send(mail);
        EXPECT_TRUE(errors.empty()) << errors[0].second;
        ASSERT_EQ(smtp.Messages().size(), 1u);
        const QJsonObject m = ParseMessage(smtp.Messages()[0]);
        EXPECT_EQ(m["subject"].toString(), "Quarterly figures");
        const QJsonArray parts = m["parts"].toArray();
        ASSERT_EQ(parts.size(), 3);
        EXPECT_EQ(parts[1].toObject()["sha256"].toString().toStdString(), Sha256(std::string(300000, '\x89')));
        EXPECT_EQ(parts[2].toObject()["filename"].toString(), "notes.txt");
        EXPECT_EQ(trace.find(AuthPlainResponse("alice", "secret")), std::string::npos) << trace;
        EXPECT_NE(trace.find("AUTH PLAIN ******"), std::string::npos) << trace;
    }

    // The wrong password: refused in the server's words, nothing sent.
    testsupport::SmtpServer smtp({testsupport::SmtpServer::Tls::Implicit, issued.certificate, issued.key, true});
    SKIP_UNLESS_RUNNING(smtp);
    errors.clear();
    SendMail mail;
    AimLogin(mail, smtp.port(), TlsMode::Implicit, "guess");
    mail.MailText = {"never stored"};
    Send(mail);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, Error_Authentication);
    EXPECT_NE(errors[0].second.find("535"), std::string::npos) << errors[0].second;
    EXPECT_TRUE(smtp.Messages().empty());
}

TEST_F(SendMailTest, AnUntrustedCertificateIsRefusedWithItsFingerprintUntilTheUserTrustsIt)
{
    testsupport::TestCa ca;
    const testsupport::TrustScope trust(ca.Authority());
    const auto self = ca.SelfSigned("127.0.0.1");
    testsupport::SmtpServer smtp({testsupport::SmtpServer::Tls::StartTls, self.certificate, self.key, false});
    SKIP_UNLESS_RUNNING(smtp);
    SendMail mail;
    Aim(mail, smtp.port(), "a@x.test");
    mail.Tls.Mode = TlsMode::StartTls;
    mail.MailText = {"body"};
    Send(mail);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, Error_Certificate);
    ASSERT_TRUE(mail.LastCertificateError());
    EXPECT_EQ(mail.LastCertificateError()->Host, "127.0.0.1");
    EXPECT_EQ(mail.LastCertificateError()->Fingerprint, self.fingerprint);
    EXPECT_NE(errors[0].second.find(self.fingerprint), std::string::npos) << errors[0].second;
    EXPECT_TRUE(smtp.Messages().empty());

    errors.clear();
    mail.TO_Address = "a@x.test";
    mail.Tls.Trusted = {self.fingerprint};
    Send(mail);
    EXPECT_TRUE(errors.empty()) << errors[0].second;
    EXPECT_FALSE(mail.LastCertificateError());
    EXPECT_EQ(smtp.Messages().size(), 1u);
}

TEST_F(SendMailTest, PlainTextPipelinedAfterTheGoAheadIsDiscardedAndAHandshakeCutShortIsSaid)
{
    testsupport::TestCa ca;
    const testsupport::TrustScope trust(ca.Authority());
    const auto issued = ca.Issue("127.0.0.1");
    const std::vector<S::Step> upgrade = {S::Send("220 hi\r\n"), S::Expect(),
                                          S::Send("250-mail.test\r\n250 STARTTLS\r\n"), S::Expect()};
    std::vector<S::Step> script = upgrade;
    for (const S::Step& step :
         {S::Send("220 Ready to start TLS\r\n250 injected\r\n"), S::Tls(issued.certificate, issued.key), S::Expect(),
          S::Send("250-mail.test\r\n250 AUTH PLAIN\r\n"), S::Expect(), S::Send("235 ok\r\n"), S::Expect(),
          S::Send("250 ok\r\n"), S::Expect(), S::Send("250 ok\r\n"), S::Expect(), S::Send("354 go\r\n"),
          S::ExpectUntil("."), S::Send("250 queued\r\n"), S::Expect(), S::Send("221 bye\r\n"), S::Close()})
        script.push_back(step);
    ScriptServer server(script);
    SendMail mail;
    AimLogin(mail, server.port(), TlsMode::StartTls, "secret");
    mail.MailText = {"body"};
    Send(mail);
    EXPECT_TRUE(errors.empty()) << errors[0].second;
    EXPECT_TRUE(Informed(Info_Sent));
    EXPECT_FALSE(Informed(Info_Received, "250 injected"));
    const auto got = server.Received();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[1], "STARTTLS");
    EXPECT_EQ(got[2].substr(0, 5), "EHLO ") << "capabilities asked again over TLS";
    EXPECT_EQ(got[3], "AUTH PLAIN " + AuthPlainResponse("alice", "secret"));

    // The server goes away in the middle of the handshake.
    script = upgrade;
    script.push_back(S::Send("220 go ahead\r\n"));
    script.push_back(S::Receive());
    script.push_back(S::Close());
    ScriptServer cut(script);
    errors.clear();
    Aim(mail, cut.port(), "a@x.test");
    Send(mail);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, Error_Tls) << errors[0].second;
    EXPECT_FALSE(errors[0].second.empty());
}

TEST_F(SendMailTest, AHandshakeThatNeverEndsTimesOutOrIsCancelled)
{
    const std::vector<S::Step> silent = {S::Send("220 hi\r\n"), S::Expect(),
                                         S::Send("250-mail.test\r\n250 STARTTLS\r\n"), S::Expect(),
                                         S::Send("220 go ahead\r\n"), S::Receive(), S::Hold()};
    for (const bool cancel : {false, true}) {
        errors.clear();
        ScriptServer server(silent);
        SendMail mail;
        Aim(mail, server.port(), "a@x.test");
        mail.Tls.Mode = TlsMode::StartTls;
        mail.TimeoutReply = cancel ? 30 : 1;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            // The client's hello is in: the send waits inside the handshake.
            if (cancel && server.ReceivedBytes().find("\x16\x03") != std::string::npos) {
                poll.stop();
                mail.SetAction(Cancel_SendMail);
            }
        });
        poll.start(5);
        const int before = done;
        Send(mail);
        PumpUntil([] { return false; }, 50);
        EXPECT_EQ(done, before + 1);
        if (cancel) {
            EXPECT_EQ(mail.LastMailError(), Error_Cancelled);
            EXPECT_TRUE(errors.empty()) << errors[0].second;
        } else {
            EXPECT_EQ(errors, (std::vector<std::pair<SendMailError, std::string>>{{Error_Timeout, "Connection timed out"}}));
        }
    }
}

TEST_F(SendMailTest, AMessageGoesToARealServerListeningOnIPv6)
{
    testsupport::SmtpServer::Options options;
    options.address = "::1";
    testsupport::SmtpServer smtp(options);
    SKIP_UNLESS_RUNNING(smtp);
    for (const char* server : {"::1", "[::1]"}) {
        SendMail mail;
        Aim(mail, smtp.port(), "a@x.test");
        mail.SetSMTP_Server(server);
        mail.Subject = std::string("over ") + server;
        mail.MailText = {"body"};
        Send(mail);
        EXPECT_TRUE(errors.empty()) << errors[0].second;
        EXPECT_TRUE(Informed(Info_Connected, server)) << Events();
        EXPECT_TRUE(Informed(Info_Sent));
    }
    EXPECT_EQ(smtp.Messages().size(), 2u);
}

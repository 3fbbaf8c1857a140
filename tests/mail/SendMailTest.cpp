#include "ParsedMessage.h"
#include "mail/Inetmail.h"
#include "support/Loopback.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "support/SocketFixture.h"

#include <algorithm>

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
            if (info != Info_Sending && info != Info_AttachmentProgress && info != Info_DataProgress)
                infos.emplace_back(info, text);
        };
        mail.OnMailError = [this](TObject*, SendMailError error, const std::string& text) {
            errors.emplace_back(error, text);
        };
        mail.OnDone = [this](TObject*) { ++done; };
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
    EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 4, 5, 6, 7})) << "greeting, HELO, MAIL, RCPT..., DATA, ., QUIT";
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
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& l) { return l.rfind("HELO ", 0) == 0; }),
              1) << "one HELO after the last greeting line";
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

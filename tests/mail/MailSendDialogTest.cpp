#include "ParsedMessage.h"
#include "framework/Application.h"
#include "mail/TformMailSend.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/SecuritySettings.h"
#include "support/ConfigFolder.h"
#include "support/Loopback.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "support/TestCa.h"
#include "sock/SocketModule.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include <algorithm>

#include <fstream>
#include <sstream>

using testsupport::PumpUntil;

namespace {

class MailSendDialog : public ConfigFolderTest {
protected:
    void SetUp() override
    {
        ConfigFolderTest::SetUp();
        EnsureConfigurationKeys();
        StartSocketModule();
        App()->SetErrorReporter([this](const std::string&, const std::string& m) { errors.push_back(m); });
        Store("full_name", "Ann Example");
        Store("email_address", "ann@example.test");
        Store("smtp_server", "127.0.0.1");
    }
    void TearDown() override
    {
        App()->SetErrorReporter({});
        EndSocketModule();
    }
    void Store(const char* name, const std::string& value) { TRegistry1632().WriteKeyLM(ConfigPath, name, value); }
    void Type(QLineEdit* field, const QString& text)
    {
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }
    static std::string FileText(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string Status(const TformMailSend& d) const { return d.sendstatus->currentMessage().toStdString(); }
    std::vector<std::string> errors;
};

} // namespace

TEST_F(MailSendDialog, ValidationStopsTheSendAndNamesTheLastMissingBlock)
{
    Store("smtp_port", std::to_string(testsupport::ClosedPort()));
    TformMailSend dialog;
    dialog.show();
    EXPECT_EQ(dialog.msg_from->text(), "Ann Example");
    EXPECT_EQ(dialog.msg_reply->text(), "ann@example.test");
    EXPECT_TRUE(dialog.msg_to->text().isEmpty());

    Type(dialog.msg_from, "");
    dialog.bOk->click();
    EXPECT_EQ(Status(dialog), "E-Mail being sent has NO subject...") << "the last applicable message stays";
    EXPECT_FALSE(dialog.msg_send->Busy());
    Type(dialog.msg_from, "Ann");
    Type(dialog.msg_subj, "s");
    dialog.bOk->click();
    EXPECT_EQ(Status(dialog), "You must fill in the TO block!");
    EXPECT_FALSE(dialog.msg_send->Busy());
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(MailSendDialog, ASentMessageSaysSoAndClearsTheFormAFailedOneKeepsEverythingTyped)
{
    testsupport::SmtpServer smtp;
    SKIP_UNLESS_RUNNING(smtp);
    Store("smtp_port", std::to_string(smtp.port()));
    TformMailSend dialog;
    dialog.show();
    dialog.msg_to->setText("bob@example.test;, \"Smith, John\" <carol@example.test>;");
    dialog.msg_subj->setText(QString::fromUtf8("Caf\xc3\xa9 \xe2\x82\xac"));
    dialog.msg_reply->setText(QString::fromUtf8("J\xc3\xb6rg M\xc3\xbcller <joerg@example.test>"));
    dialog.msg_body->setPlainText(QString::fromUtf8("first\n.second starts with a dot\nGr\xc3\xbc\xc3\x9f" "e \xe2\x80\x93 third"));
    dialog.bOk->click();
    EXPECT_EQ(dialog.msg_to->text(), "bob@example.test;, \"Smith, John\" <carol@example.test>;")
        << "the field keeps what was typed";
    EXPECT_EQ(dialog.msg_send->ListTo, (std::vector<std::string>{"bob@example.test", "carol@example.test|Smith, John"}))
        << "\";\" separates too; empty items are none";
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000)) << Status(dialog);
    EXPECT_EQ(Status(dialog), "Message sent to 2 recipients");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.msg_to->text().isEmpty() && dialog.msg_subj->text().isEmpty() &&
                dialog.msg_body->toPlainText().isEmpty());
    EXPECT_EQ(dialog.msg_from->text(), "Ann Example") << "a fresh form, as at the first show";
    ASSERT_EQ(smtp.Messages().size(), 1u);
    const QJsonObject parsed = ParseMessage(smtp.Messages()[0]);
    ASSERT_FALSE(parsed.isEmpty());
    EXPECT_EQ(parsed["defects"].toArray(), QJsonArray());
    EXPECT_EQ(parsed["from"].toArray(), (QJsonArray{QJsonArray{"Ann Example", "ann@example.test"}}));
    EXPECT_EQ(parsed["to_fields"].toInt(), 1);
    EXPECT_EQ(parsed["to"].toArray(), (QJsonArray{QJsonArray{"", "bob@example.test"},
                                                  QJsonArray{"Smith, John", "carol@example.test"}}));
    EXPECT_EQ(parsed["reply_to"].toArray(),
              (QJsonArray{QJsonArray{QString::fromUtf8("J\xc3\xb6rg M\xc3\xbcller"), "joerg@example.test"}}));
    EXPECT_EQ(parsed["subject"].toString(), QString::fromUtf8("Caf\xc3\xa9 \xe2\x82\xac"));
    EXPECT_EQ(parsed["parts"].toArray()[0].toObject()["text"].toString(), // one dot, as typed
              QString::fromUtf8("first\n.second starts with a dot\nGr\xc3\xbc\xc3\x9f" "e \xe2\x80\x93 third\n\n"));
    // Dated in local time with its offset, and identified at the sender's domain.
    EXPECT_EQ(parsed["date_offset"].toInt(), QDateTime::currentDateTime().offsetFromUtc());
    EXPECT_TRUE(parsed["message_id"].toString().endsWith("@example.test>")) << parsed["message_id"].toString().toStdString();
    EXPECT_TRUE(errors.empty());

    // A refused connection: the window stays with the error and everything typed,
    // and the next send starts with an empty status bar.
    Store("smtp_port", std::to_string(testsupport::ClosedPort()));
    Type(dialog.msg_to, "bob@example.test");
    Type(dialog.msg_subj, "again");
    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000));
    EXPECT_EQ(Status(dialog), "Error: Connection Refused");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.msg_to->text(), "bob@example.test");
    EXPECT_EQ(dialog.msg_subj->text(), "again");
    dialog.hide();
    dialog.show();
    EXPECT_EQ(dialog.msg_subj->text(), "again") << "reopening keeps an unsent message";
    EXPECT_EQ(Status(dialog), "Error: Connection Refused");
    Store("smtp_port", std::to_string(smtp.port()));
    dialog.bOk->click();
    EXPECT_EQ(Status(dialog), "Sending...");
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000));
    EXPECT_EQ(Status(dialog), "Message sent to 1 recipient");
    ASSERT_EQ(smtp.Messages().size(), 2u);
    EXPECT_NE(ParseMessage(smtp.Messages()[0])["message_id"], ParseMessage(smtp.Messages()[1])["message_id"]);
}

TEST_F(MailSendDialog, WhatNoServerTakesIsRefusedInWordsBeforeAnythingIsSent)
{
    // Nothing listens here: an attempt to connect would say so instead.
    Store("smtp_port", std::to_string(testsupport::ClosedPort()));
    TformMailSend dialog;
    dialog.show();
    Type(dialog.msg_subj, "s");
    dialog.msg_to->setText(QString::fromUtf8("j\xc3\xb6rg@example.test"));
    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000));
    EXPECT_EQ(Status(dialog), "Error: The message was not sent: the address \"j\xc3\xb6rg@example.test\" holds letters "
                              "outside ASCII, which mail servers refuse. Write it in ASCII (a domain in its xn-- "
                              "form), then send again.");
    dialog.msg_to->setText("bob@example.test");
    Type(dialog.msg_reply, "nobody");
    dialog.bOk->click();
    EXPECT_FALSE(dialog.msg_send->Busy());
    EXPECT_EQ(Status(dialog), "The Reply-To field needs an e-mail address, such as Ann Example <ann@example.org>; "
                              "\"nobody\" has none.");

    // The component itself never sends "MAIL FROM:<>" or "RCPT TO:<>".
    SendMail& mail = *dialog.msg_send;
    std::vector<std::string> said;
    mail.OnMailError = [&](TObject*, SendMailError, const std::string& text) { said.push_back(text); };
    mail.SetSMTP_Server("127.0.0.1");
    mail.FROM_Address = " ";
    mail.ListTo = {"", "a@example.test", " "};
    mail.SetAction(Send_Mail);
    ASSERT_TRUE(PumpUntil([&] { return !mail.Busy(); }, 20000));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "The message was not sent: no sender address. Set your e-mail address in the configuration "
                       "(\"E-Mail Address:\", the Configure button), then send again.");
    EXPECT_TRUE(errors.empty());
}

TEST_F(MailSendDialog, AttachedFilesAreListedAndTravelWithTheMessage)
{
    testsupport::SmtpServer smtp;
    SKIP_UNLESS_RUNNING(smtp);
    Store("smtp_port", std::to_string(smtp.port()));
    QTemporaryDir dir;
    const QString notes = dir.path() + "/notes.txt", image = dir.path() + "/image.bin";
    {
        std::ofstream(notes.toStdString()) << "plain notes\n";
        std::ofstream out(image.toStdString(), std::ios::binary);
        out << std::string("\x89PNG\0\1\2\xff", 8);
    }
    TformMailSend dialog;
    dialog.show();
    EXPECT_EQ(dialog.bAttach->text(), QString::fromUtf8("Attach\u2026"));
    dialog.attachmentChooser = [&] { return QStringList{notes, image, notes}; };
    dialog.bAttach->click();
    ASSERT_EQ(dialog.attachments->count(), 2) << "a file is listed once";
    EXPECT_EQ(dialog.attachments->item(0)->text(), "notes.txt");
    dialog.attachments->item(1)->setSelected(true);
    dialog.RemoveSelectedAttachments();
    dialog.bAttach->click();
    ASSERT_EQ(dialog.attachments->count(), 2);

    Type(dialog.msg_to, "bob@example.test");
    dialog.msg_subj->setText("files");
    dialog.msg_body->setPlainText("see attached");
    // A file gone since it was attached stops the send, named, before anything goes out.
    const QString gone = dir.path() + "/gone.txt";
    std::ofstream(gone.toStdString()) << "x";
    dialog.attachmentChooser = [&] { return QStringList{gone}; };
    dialog.bAttach->click();
    QFile::remove(gone);
    dialog.bOk->click();
    EXPECT_FALSE(dialog.msg_send->Busy());
    EXPECT_EQ(Status(dialog), "Not sent: the attached file " + gone.toStdString() +
                                  " is no longer there. Take it off the list or attach it again.");
    dialog.attachments->item(2)->setSelected(true);
    dialog.RemoveSelectedAttachments();

    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000)) << Status(dialog);
    ASSERT_EQ(smtp.Messages().size(), 1u);
    const std::string message = FileText(smtp.Messages()[0]);
    EXPECT_NE(message.find("notes.txt"), std::string::npos);
    EXPECT_NE(message.find("image.bin"), std::string::npos);
    EXPECT_NE(message.find("iVBORwABAv8="), std::string::npos) << "the binary file, base64";
    EXPECT_EQ(dialog.attachments->count(), 0) << "sent with this message, not the next";
    EXPECT_TRUE(errors.empty());
}

namespace {

// An SMTP dialogue that refuses one recipient; its greeting comes slowly, so
// the send is still running while the test clicks.
std::vector<testsupport::ScriptServer::Step> RefusingScript()
{
    using S = testsupport::ScriptServer;
    return {S::Trickle("220 slow.example.test ESMTP " + std::string(60, '.') + "\r\n"),
            S::Expect(), S::Send("250 hello\r\n"),
            S::Expect(), S::Send("250 sender ok\r\n"),
            S::Expect(), S::Send("250 ok\r\n"),
            S::Expect(), S::Send("550 no such user\r\n"),
            S::Expect(), S::Send("354 go on\r\n"),
            S::ExpectUntil("."), S::Send("250 queued\r\n"),
            S::Expect(), S::Send("221 bye\r\n"), S::Close()};
}

} // namespace

TEST_F(MailSendDialog, ARunningSendCannotBeChangedAndEndsVisiblyBehindAClosedWindow)
{
    testsupport::ScriptServer smtp(RefusingScript());
    Store("smtp_port", std::to_string(smtp.port()));
    TformMailSend dialog;
    std::vector<std::pair<std::string, bool>> told;
    dialog.OnHiddenSendEnded = [&](const std::string& text, bool failed) { told.emplace_back(text, failed); };
    dialog.show();
    Type(dialog.msg_to, "bob@example.test, carol@example.test");
    Type(dialog.msg_subj, "first");
    dialog.msg_body->setPlainText("the first message");
    dialog.bOk->click();
    ASSERT_TRUE(dialog.msg_send->Busy());
    EXPECT_FALSE(dialog.bOk->isEnabled());
    EXPECT_TRUE(dialog.msg_to->isReadOnly() && dialog.msg_body->isReadOnly());

    // A second Send, and reopening the window, leave the running send alone.
    Type(dialog.msg_subj, "second");
    dialog.bOkClick();
    dialog.hide();
    dialog.show();
    EXPECT_EQ(dialog.msg_send->Subject, "first");
    EXPECT_EQ(dialog.msg_send->ListTo, (std::vector<std::string>{"bob@example.test", "carol@example.test"}));
    EXPECT_EQ(dialog.msg_to->text(), "bob@example.test, carol@example.test");
    EXPECT_EQ(Status(dialog), "Sending...");

    // Cancel hides the window; the send goes on and its end is told once.
    dialog.bCancel->click();
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000));
    const std::string refused = "carol@example.test (550 no such user)";
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].first, "Message to bob@example.test, carol@example.test sent to 1 recipient; refused: " +
                                 refused + ".");
    EXPECT_TRUE(told[0].second) << "said as a failure: one recipient has not got it";
    EXPECT_EQ(Status(dialog), "Message sent to 1 recipient; refused: " + refused);
    EXPECT_EQ(dialog.msg_to->text(), "bob@example.test, carol@example.test") << "kept, to send again";
    EXPECT_TRUE(dialog.bOk->isEnabled());
    EXPECT_FALSE(dialog.msg_to->isReadOnly());
    const auto lines = smtp.Received();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RCPT TO:<bob@example.test>"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RCPT TO:<carol@example.test>"), 1);
    auto subject = [&](const std::string& s) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(s, 0) == 0; });
    };
    EXPECT_EQ(subject("Subject: first"), 1);
    EXPECT_EQ(subject("Subject: second"), 0);

    // Send stays closed while the main window waits for a server.
    dialog.show();
    dialog.SetOtherCommandWaiting(true);
    EXPECT_FALSE(dialog.bOk->isEnabled());
    dialog.bOkClick();
    EXPECT_FALSE(dialog.msg_send->Busy());
    dialog.SetOtherCommandWaiting(false);
    EXPECT_TRUE(dialog.bOk->isEnabled());
    EXPECT_TRUE(errors.empty()) << errors[0];
}

TEST_F(MailSendDialog, TheConfiguredLoginGoesOverTlsAndARefusedCertificateCanBeTrustedAndSentAgain)
{
    testsupport::TestCa ca;
    const testsupport::TrustScope trust(ca.Authority());
    const auto self = ca.SelfSigned("127.0.0.1");
    testsupport::SmtpServer smtp({testsupport::SmtpServer::Tls::Implicit, self.certificate, self.key, true});
    SKIP_UNLESS_RUNNING(smtp);
    Store("smtp_port", std::to_string(smtp.port()));
    Store("smtp_tls", "implicit");
    Store("smtp_username", testsupport::SmtpServer::User);
    Store("smtp_password", Encrypt(testsupport::SmtpServer::Password, CryptKey, CryptMultiplier, CryptIncrement));
    TformMailSend dialog;
    std::vector<ECertificateError> offered;
    bool accept = false;
    dialog.trustOffer = [&](const ECertificateError& e) {
        offered.push_back(e);
        if (accept) {
            TRegistry1632 settings;
            TrustCertificate(settings, e.Host, e.Fingerprint);
        }
        return accept;
    };
    dialog.show();
    Type(dialog.msg_to, "bob@example.test");
    Type(dialog.msg_subj, "over TLS");
    dialog.msg_body->setPlainText("hello");

    // Declined: the error names the certificate, nothing is sent, the form stays.
    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return !dialog.msg_send->Busy(); }, 20000)) << Status(dialog);
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].Host, "127.0.0.1");
    EXPECT_EQ(offered[0].Fingerprint, self.fingerprint);
    EXPECT_NE(Status(dialog).find(self.fingerprint), std::string::npos) << Status(dialog);
    EXPECT_EQ(dialog.msg_subj->text(), "over TLS");
    EXPECT_TRUE(smtp.Messages().empty());

    // Trusted: sent again at once, logged in, delivered.
    accept = true;
    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return Status(dialog) == "Message sent to 1 recipient"; }, 20000)) << Status(dialog);
    EXPECT_EQ(offered.size(), 2u);
    EXPECT_EQ(smtp.Messages().size(), 1u);
    EXPECT_TRUE(errors.empty());
}

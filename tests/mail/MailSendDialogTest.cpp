#include "framework/Application.h"
#include "mail/TformMailSend.h"
#include "settings/ConfigKeys.h"
#include "support/ConfigFolder.h"
#include "support/Loopback.h"
#include "support/RealServers.h"
#include "sock/SocketModule.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

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

TEST_F(MailSendDialog, ASentMessageArrivesWithItsRecipientsAndReplyToAndTheWindowCloses)
{
    testsupport::SmtpServer smtp;
    if (!smtp.Problem().empty())
        GTEST_SKIP() << smtp.Problem();
    Store("smtp_port", std::to_string(smtp.port()));
    TformMailSend dialog;
    dialog.show();
    Type(dialog.msg_to, "bob@example.test, carol@example.test");
    dialog.msg_subj->setText(QString::fromUtf8("Caf\xc3\xa9"));
    Type(dialog.msg_reply, "replies@example.test");
    dialog.msg_body->setPlainText("first\n.second starts with a dot\nthird");
    dialog.bOk->click();
    EXPECT_EQ(dialog.msg_to->text(), "bob@example.test, carol@example.test,") << "the user sees the added comma";
    EXPECT_EQ(dialog.msg_send->ListTo.size(), 2u);
    ASSERT_TRUE(PumpUntil([&] { return !dialog.isVisible(); }, 20000)) << Status(dialog);
    ASSERT_EQ(smtp.Messages().size(), 1u);
    const std::string message = FileText(smtp.Messages()[0]);
    EXPECT_NE(message.find("To: bob@example.test;"), std::string::npos);
    EXPECT_NE(message.find("To: carol@example.test;"), std::string::npos);
    EXPECT_NE(message.find("Reply-To: replies@example.test"), std::string::npos);
    EXPECT_NE(message.find("Subject: =?ISO-8859-1?Q?Caf=E9?="), std::string::npos);
    EXPECT_NE(message.find("\n.second starts with a dot"), std::string::npos) << "one dot, as typed";
    EXPECT_TRUE(errors.empty());

    // A refused connection: the error stays in the status bar, the window closes.
    Store("smtp_port", std::to_string(testsupport::ClosedPort()));
    dialog.show();
    Type(dialog.msg_to, "bob@example.test");
    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return !dialog.isVisible(); }, 20000));
    EXPECT_EQ(Status(dialog), "Error: Connection Refused");
}

TEST_F(MailSendDialog, AttachedFilesAreListedAndTravelWithTheMessage)
{
    testsupport::SmtpServer smtp;
    if (!smtp.Problem().empty())
        GTEST_SKIP() << smtp.Problem();
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
    dialog.bOk->click();
    ASSERT_TRUE(PumpUntil([&] { return !dialog.isVisible(); }, 20000)) << Status(dialog);
    ASSERT_EQ(smtp.Messages().size(), 1u);
    const std::string message = FileText(smtp.Messages()[0]);
    EXPECT_NE(message.find("notes.txt"), std::string::npos);
    EXPECT_NE(message.find("image.bin"), std::string::npos);
    EXPECT_NE(message.find("iVBORwABAv8="), std::string::npos) << "the binary file, base64";
    EXPECT_EQ(dialog.attachments->count(), 0) << "sent with this message, not the next";
    EXPECT_TRUE(errors.empty());
}

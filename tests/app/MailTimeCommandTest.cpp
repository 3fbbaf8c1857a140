#include "WindowFixture.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "support/TestCa.h"
#include "settings/SecuritySettings.h"
#include "tcpip/T_Pop3.h"
#include "tcpip/T_Time.h"

#include <QAbstractButton>
#include <QApplication>

using testsupport::PumpUntil;
using S = testsupport::ScriptServer;
using testsupport::Pop3Mailbox;

namespace {

class MailTimeCommand : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Open();
        Type(window->hostname, "127.0.0.1");
        Type(window->username, "alice");
        Type(window->password, "secret");
    }
    // Runs act once ready holds, looked at while the window's waits let events through.
    void When(std::function<bool()> ready, std::function<void()> act)
    {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, window.get(), [ready, act, poll] {
            if (!ready())
                return;
            poll->deleteLater();
            poll->stop();
            act();
        });
        poll->start(5);
    }
    // Runs check once the server has received a line starting with line.
    void WhenReceived(const S& server, const std::string& line, std::function<void()> check)
    {
        When(
            [&server, line] {
                for (const std::string& l : server.Received())
                    if (l.rfind(line, 0) == 0)
                        return true;
                return false;
            },
            std::move(check));
    }
    void Select(int row)
    {
        window->details->clearSelection();
        window->details->topLevelItem(row)->setSelected(true);
    }
};

} // namespace

TEST_F(MailTimeCommand, TheMailMenuCountsListsShowsAndDeletesARealMailbox)
{
    testsupport::DovecotServer dovecot;
    SKIP_UNLESS_RUNNING(dovecot);
    dovecot.AddMessage("From: Bob <bob@example.test>\r\nSubject: Hello\r\n\r\nHi there\r\n");
    dovecot.AddMessage("From: Carol <carol@example.test>\r\nSubject: Minutes\r\n\r\nThe minutes.\r\n.hidden\r\n");
    dovecot.AddMessage("From: Dan <dan@example.test>\r\nSubject: Lunch\r\n\r\nNoon?\r\n");
    Store("pop_port", std::to_string(dovecot.port()));
    EXPECT_FALSE(window->popmailSend->isEnabled()) << "no send-mail window yet: disabled, not dead";

    Click(window->bMail);
    EXPECT_EQ(CountOf(" There are 3 messages on the server."), 1);
    EXPECT_EQ(window->PageControl->currentWidget(), window->tsVerbose);

    window->popmailHeaders->trigger();
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Row(1)[1], "Carol <carol@example.test>");
    EXPECT_EQ(Row(1)[2], "Minutes");
    EXPECT_EQ(window->details->headerItem()->text(1), "From");
    EXPECT_TRUE(window->popmailMsgText->isEnabled());
    EXPECT_GE(IndexOf("   Subj: Lunch"), 0);

    Select(1);
    window->popmailMsgText->trigger();
    EXPECT_FALSE(window->msg_body->isHidden());
    EXPECT_TRUE(window->msg_body->toPlainText().endsWith("The minutes.\n.hidden"));
    EXPECT_GE(IndexOf("  .hidden"), 0);

    window->popmailHeaders->trigger();
    Select(0);
    window->popmailDelSel->trigger();
    EXPECT_EQ(dovecot.MessageCount(), 2);
    EXPECT_FALSE(dovecot.HasMessageWith("Hi there"));
    EXPECT_EQ(Rows(), 2) << "the mailbox is shown afresh";

    // Deleting everything is confirmed first; No (the default) leaves it all.
    std::string asked;
    window->confirm = [&](const std::string& q) { asked = q; return false; };
    window->popmailDelAll->trigger();
    EXPECT_EQ(asked, "Delete every message in the mailbox on 127.0.0.1?");
    EXPECT_EQ(dovecot.MessageCount(), 2);
    window->confirm = [](const std::string&) { return true; };
    window->popmailDelAll->trigger();
    EXPECT_EQ(dovecot.MessageCount(), 0);
    EXPECT_GE(IndexOf(" deleted message #2"), 0);
    EXPECT_TRUE(errors.empty()) << errors[0];

    // An empty mailbox: the count says 0 and the listing enables nothing.
    window->popmailMsgText->setEnabled(false);
    window->popmailHeaders->trigger();
    EXPECT_EQ(Lines().back(), " There are 0 messages on the server.");
    EXPECT_FALSE(window->popmailMsgText->isEnabled());
    EXPECT_EQ(Rows(), 0);

    Type(window->password, "wrong");
    Click(window->bMail);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("-ERR", 0), 0u) << errors[0];
}

TEST_F(MailTimeCommand, ATlsOnlyMailboxFromTheConfiguredServerAndPortOnceItsCertificateIsTrusted)
{
    testsupport::TestCa ca;
    // Issued for another name than the one the user gives: refused until trusted.
    const testsupport::TestCa::Issued certificate = ca.Issue("mail.example.test");
    testsupport::DovecotServer dovecot(&certificate);
    SKIP_UNLESS_RUNNING(dovecot);
    const testsupport::TrustScope trust(ca.Authority());
    dovecot.AddMessage("From: Bob <bob@example.test>\r\nSubject: Hello\r\n\r\nHi there\r\n");
    // No host typed: the configured POP3 server and port are used.
    Type(window->hostname, "");
    Store("pop_server", "127.0.0.1");
    Store("pop_port", std::to_string(dovecot.tlsPort()));
    Store("pop_tls", "implicit");

    // The prompt is answered No: the command fails saying why, nothing is stored.
    auto answer = [&](const char* button) {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, window.get(), [button, poll] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == "trustPrompt" && w->isVisible()) {
                    poll->stop();
                    poll->deleteLater();
                    w->findChild<QAbstractButton*>(button)->click();
                    return;
                }
        });
        poll->start(5);
    };
    answer("bDontTrust");
    Click(window->bMail);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(certificate.fingerprint), std::string::npos) << errors[0];
    TRegistry1632 settings;
    EXPECT_TRUE(TrustedCertificates(settings).empty());

    // Trusted: stored for the host, and the same command goes on at once.
    errors.clear();
    answer("bTrust");
    Click(window->bMail);
    EXPECT_TRUE(errors.empty()) << errors[0];
    EXPECT_EQ(CountOf(" There are 1 messages on the server."), 1);
    ASSERT_EQ(TrustedCertificates(settings).size(), 1u);
    EXPECT_EQ(TrustedCertificates(settings)[0].Host, "127.0.0.1");
    EXPECT_EQ(TrustedCertificates(settings)[0].Fingerprint, certificate.fingerprint);

    // Trusted from now on: no prompt.
    Click(window->bMail);
    EXPECT_TRUE(errors.empty()) << errors[0];
    EXPECT_EQ(CountOf(" There are 1 messages on the server."), 2);
}

TEST_F(MailTimeCommand, TheListShowsHeadersDecodedUnfoldedAndEachFieldOnItsOwn)
{
    testsupport::DovecotServer dovecot;
    SKIP_UNLESS_RUNNING(dovecot);
    dovecot.AddMessage("From: =?UTF-8?Q?J=C3=B6rg_M=C3=BCller?=\r\n <joerg@example.test>\r\n"
                       "Subject: =?UTF-8?B?0J/RgNC40LLQtdGCLCDQvNC40YA=?=\r\n =?ISO-8859-2?Q?_=A3=F3d=BC?=\r\n"
                       "\r\nBody\r\n");
    dovecot.AddMessage("From: Gr\xC3\xBC\xC3\x9F" "e Team <team@example.test>\r\n\r\nno subject\r\n");
    dovecot.AddMessage("From: Eve \x01 <eve@example.test>\r\nSubject: A long\r\n\tsubject \x80 5\r\n\r\nx\r\n");
    dovecot.AddMessage("Subject: Only a subject\r\n\r\nx\r\n");
    Store("pop_port", std::to_string(dovecot.port()));

    window->popmailHeaders->trigger();
    ASSERT_EQ(Rows(), 4);
    EXPECT_EQ(Row(0)[1], "Jörg Müller <joerg@example.test>");
    EXPECT_EQ(Row(0)[2], "Привет, мир Łódź") << "characters the code page lacks, as they are";
    EXPECT_EQ(Row(1)[1], "Grüße Team <team@example.test>") << "a sender without a subject";
    EXPECT_EQ(Row(1)[2], "");
    EXPECT_EQ(Row(2)[1], "Eve \u2401 <eve@example.test>") << "a control byte as the transcript shows it";
    EXPECT_EQ(Row(2)[2], "A long\tsubject € 5") << "the code page for bytes that are not UTF-8";
    EXPECT_EQ(Row(3)[1], "");
    EXPECT_EQ(Row(3)[2], "Only a subject");
    EXPECT_GE(IndexOf("   From: Jörg Müller <joerg@example.test>"), 0);
    EXPECT_GE(IndexOf("   Subj: Привет, мир Łódź"), 0);
    EXPECT_GE(IndexOf("   From: Eve \u2401 <eve@example.test>"), 0);

    Select(0);
    window->popmailMsgText->trigger();
    EXPECT_GE(IndexOf(" Subj: Привет, мир Łódź"), 0);

    // Rows whose text the code page cannot hold still find their messages.
    Select(0);
    window->popmailDelSel->trigger();
    EXPECT_FALSE(dovecot.HasMessageWith("Body"));
    ASSERT_EQ(Rows(), 3);
    Select(1);
    window->popmailDelSel->trigger();
    EXPECT_EQ(dovecot.MessageCount(), 2);
    EXPECT_FALSE(dovecot.HasMessageWith("Eve"));
    EXPECT_TRUE(errors.empty()) << errors[0];
}

TEST_F(MailTimeCommand, TheTimeComesFromARealServerAndStopReachesOneThatIsSilent)
{
    testsupport::TimeServer xinetd;
    SKIP_UNLESS_RUNNING(xinetd);
    window->get_time->RemotePort = xinetd.port();
    Click(window->bTime);
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Obtaining time from 127.0.0.1...");
    EXPECT_EQ(lines.back().substr(lines.back().size() - 6), " (GMT)");
    EXPECT_TRUE(Busy()) << "the time command waits for Stop";
    Click(window->bStop);

    testsupport::ScriptServer silent({testsupport::ScriptServer::Hold()});
    window->get_time->RemotePort = silent.port();
    // Stop is pressed while the command waits for the silent server: connected,
    // the wait for its answer is the only one left.
    When([this] { return window->get_time->Connected(); }, [this] { Click(window->bStop); });
    Click(window->bTime);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Stopped while waiting for its answer (127.0.0.1).");
    EXPECT_FALSE(Busy());
    EXPECT_EQ(IndexOf("Obtaining time from 127.0.0.1..."), int(lines.size()) - 2) << "no second heading";
}

TEST_F(MailTimeCommand, TheTimeComesFromARealServerOnIPv6)
{
    testsupport::TimeServer xinetd("::1");
    SKIP_UNLESS_RUNNING(xinetd);
    window->get_time->RemotePort = xinetd.port();
    Type(window->hostname, "::1");
    Click(window->bTime);
    EXPECT_TRUE(errors.empty()) << errors[0];
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Obtaining time from ::1...");
    EXPECT_EQ(lines.back().substr(lines.back().size() - 6), " (GMT)");
    Click(window->bStop);
}

TEST_F(MailTimeCommand, StopReachesAMailCommandWaitingForASilentServer)
{
    testsupport::ScriptServer silent({testsupport::ScriptServer::Hold()});
    Store("pop_port", std::to_string(silent.port()));
    EXPECT_FALSE(window->bStop->isEnabled());
    bool stopEnabledWhileWaiting = false;
    const auto connected = [this] { return window->pop_mail->Connected(); };
    When(connected, [&] {
        stopEnabledWhileWaiting = window->bStop->isEnabled();
        Click(window->bStop);
    });
    Click(window->bMail);
    EXPECT_TRUE(stopEnabledWhileWaiting);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Stopped while waiting for its answer (127.0.0.1).");
    EXPECT_FALSE(window->bStop->isEnabled());
    EXPECT_FALSE(Busy());

    // Exit does not wait for the server either, however long it may take.
    ASSERT_FALSE(window->pop_mail->Connected()) << "Stop left the connection closed";
    window->pop_mail->ReplyTimeoutMs = 600000;
    When(connected, [this] { Click(window->bExit); });
    Click(window->bMail);
    EXPECT_TRUE(App()->Terminated());
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1], "Stopped while waiting for its answer (127.0.0.1).");
}

TEST_F(MailTimeCommand, AWaitingMailCommandRefusesEveryOtherCommandAndKeepsTheRowsItNeeds)
{
    S listing(Pop3Mailbox(3, {S::Expect(), S::Send("+OK\r\n"), S::Close()}));
    Store("pop_port", std::to_string(listing.port()));
    window->popmailHeaders->trigger();
    ASSERT_EQ(Rows(), 3);
    Select(1);

    S slow(Pop3Mailbox(3, {S::Expect(), S::Hold()}));
    Store("pop_port", std::to_string(slow.port()));
    bool checked = false;
    WhenReceived(slow, "RETR", [&] {
        for (QWidget* w : std::initializer_list<QWidget*>{window->bPing, window->bTrace, window->bFinger,
                                                          window->bMail, window->bScan, window->bResolve,
                                                          window->bTime, window->bConfig, window->bDelete})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        for (QAction* a : {window->popmailCount, window->popmailHeaders, window->popmailMsgText,
                           window->popmailDelAll, window->popmailDelSel, window->ping_checked,
                           window->trace_checked, window->delmenuChecked, window->pmAliveBegin})
            EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
        EXPECT_TRUE(window->bStop->isEnabled());
        // Handlers reached anyway (a queued click, a key) return untouched.
        const size_t lines = Lines().size();
        window->confirm = [](const std::string&) { return true; };
        window->bPingClick();
        window->ping_checkedClick();
        window->bTraceClick();
        window->trace_checkedClick();
        window->bResolveClick();
        window->bFingerClick();
        window->bTimeClick();
        window->bScanClick();
        window->popmailCountClick();
        window->popmailHeadersClick();
        window->popmailMsgTextClick();
        window->popmailDelAllClick();
        window->popmailDelSelClick();
        window->bDeleteClick();
        EXPECT_EQ(Lines().size(), lines);
        EXPECT_EQ(Rows(), 3);
        EXPECT_FALSE(window->timer->isActive());
        EXPECT_EQ(slow.Connections(), 1);
        EXPECT_EQ(window->pop_mail->Hostname, "127.0.0.1");
        checked = true;
        Click(window->bStop);
    });
    window->popmailMsgText->trigger();
    ASSERT_TRUE(checked);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Stopped while waiting for its answer (127.0.0.1).");
    // The failure is in the transcript too, in red, so the log keeps it.
    const int red = IndexOf(errors[0]);
    ASSERT_GE(red, 0);
    EXPECT_EQ(Attributes(red), std::make_pair(true, QRgb(0xFF0000)));
    EXPECT_FALSE(Busy());
    EXPECT_FALSE(window->CommandRunning());
    EXPECT_TRUE(window->bConfig->isEnabled());
    EXPECT_TRUE(window->popmailHeaders->isEnabled());
    EXPECT_EQ(Row(1)[2], "Note 2");
}

TEST_F(MailTimeCommand, DeleteAllThatEndsEarlySaysSoInWords)
{
    window->confirm = [](const std::string&) { return true; };
    S server(Pop3Mailbox(3, {S::Expect(), S::Send("+OK\r\n"), S::Expect(), S::Close()}));
    Store("pop_port", std::to_string(server.port()));
    window->popmailDelAll->trigger();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_FALSE(errors[0].empty()) << "a box always has words";
    const int red = IndexOf(errors[0]);
    ASSERT_GE(red, 0);
    EXPECT_EQ(Attributes(red), std::make_pair(true, QRgb(0xFF0000)));
    EXPECT_EQ(IndexOf(" ...ended after 1 of 3 messages; without a logout the server deletes none of them."),
              red + 1);
    EXPECT_EQ(IndexOf(" ...logged out; operation complete!"), -1);
    EXPECT_FALSE(Busy());
}

TEST_F(MailTimeCommand, AFailedTimeCommandWritesItsErrorInRed)
{
    S silent({S::Hold()});
    window->get_time->RemotePort = silent.port();
    window->get_time->ReplyTimeoutMs = 300;
    Click(window->bTime);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("did not answer within"), std::string::npos) << errors[0];
    EXPECT_EQ(Lines().back(), errors[0]);
    EXPECT_EQ(Attributes(int(Lines().size()) - 1), std::make_pair(true, QRgb(0xFF0000)));
}

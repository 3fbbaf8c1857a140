// While each command that waits is waiting, clicks every enabled control of
// the main window and the send window in a seeded random order. Nothing may
// crash (the sanitizer build reports any use of freed memory), every command
// ends with its completion or an error in words, and the window is usable
// again afterwards. VEXMOR_MONKEY_SEED replays a run.

#include "WindowFixture.h"
#include "app/Program.h"
#include "mail/TformMailSend.h"
#include "support/FakeIcmp.h"
#include "support/ScriptServer.h"
#include "support/TestCa.h"
#include "settings/Crypt32.h"
#include "tcpip/T_FTP.h"
#include "tcpip/T_Pop3.h"
#include "tcpip/T_Time.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QStatusBar>

#include <unistd.h>

#include <cstdlib>
#include <random>

using testsupport::PumpUntil;
using S = testsupport::ScriptServer;

namespace {

// A POP3 server with two messages whose every reply comes slowly; tail ends it.
std::vector<S::Step> SlowMailbox(std::vector<S::Step> tail)
{
    return testsupport::Pop3Mailbox(2, std::move(tail), true);
}

class Monkey : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        const char* replay = std::getenv("VEXMOR_MONKEY_SEED");
        seed = replay ? unsigned(std::strtoul(replay, nullptr, 10)) : 20261208u;
        std::printf("monkey seed %u (VEXMOR_MONKEY_SEED replays it)\n", seed);
        rng.seed(seed);
        Store("full_name", "Ann Example");
        Store("email_address", "ann@example.test");
        Store("smtp_server", "127.0.0.1");
        Store("smtp_port", std::to_string(smtp.port()));
        Store("web_page", "127.0.0.1");
        icmp = std::make_unique<testsupport::FakeIcmp>();
        Open();
        send = std::make_unique<TformMailSend>(window.get());
        LinkSendWindow(*window, *send);
        // Nothing the monkey clicks may open a modal dialog or end the program.
        window->configDialogRunner = [] {};
        window->aboutDialogRunner = [] {};
        window->confirm = [](const std::string&) { return true; };
        window->saveFileChooser = [](const QString&, const QString&, QString&) { return QString(); };
        send->attachmentChooser = [] { return QStringList(); };
        // Short waits keep the run short; each still waits for many clicks.
        window->pop_mail->ReplyTimeoutMs = 1500;
        window->get_time->ReplyTimeoutMs = 1500;
        window->KeepAlive().Ftp().ReplyTimeoutMs = 1500;
        window->KeepAlive().Ftp().Port = silentFtp.port();
        window->get_time->RemotePort = silentTime.port();
        window->timer->setInterval(100);
        send->msg_send->TimeoutReply = 1;
        Type(window->hostname, "127.0.0.1");
        Type(window->username, "alice");
        Type(window->password, "secret");
        send->show();
        send->msg_to->setText("bob@example.test");
        send->msg_subj->setText("monkey");
    }
    void TearDown() override
    {
        send.reset();
        WindowFixture::TearDown();
    }

    // One random click on an enabled control, or a new selection in a list.
    void Click()
    {
        std::vector<QAbstractButton*> buttons;
        for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
                 window->bConfig, window->bPing, window->bTrace, window->bMail, window->bFinger, window->bScan,
                 window->bResolve, window->bTime, window->bAbout, window->bAdd, window->bDelete,
                 window->trace_resolve, send->bOk, send->bCancel, send->bAttach})
            if (b->isEnabled())
                buttons.push_back(b);
        std::vector<QAction*> actions;
        for (QAction* a : {window->pingsingle, window->ping_checked, window->tracesingle, window->trace_checked,
                           window->delmenuSingle, window->delmenuChecked, window->popmailCount,
                           window->popmailHeaders, window->popmailMsgText, window->popmailDelAll,
                           window->popmailDelSel, window->popmailSend, window->detailsCopy, window->detailsExport,
                           window->verboseCopy, window->verboseClear, window->verboseSaveAs, window->pmAliveBegin,
                           window->pmAliveEnd, window->pmRestore})
            if (a->isEnabled() && a->isVisible())
                actions.push_back(a);
        const size_t moves = buttons.size() + actions.size() + 1;
        const size_t pick = std::uniform_int_distribution<size_t>(0, moves - 1)(rng);
        ++clicks;
        if (pick < buttons.size()) {
            buttons[pick]->click();
        } else if (pick < moves - 1) {
            actions[pick - buttons.size()]->trigger();
        } else if (Rows() > 0) {
            window->details->clearSelection();
            const int row = std::uniform_int_distribution<int>(0, Rows() - 1)(rng);
            window->details->topLevelItem(row)->setSelected(true);
        }
    }

    // Clicks up to count times, one click every 2 ms while a command waits.
    void ClickWhile(int count)
    {
        left = count;
        auto* timer = new QTimer(window.get());
        QObject::connect(timer, &QTimer::timeout, window.get(), [this, timer] {
            if (left-- <= 0) {
                timer->stop();
                timer->deleteLater();
                return;
            }
            Click();
        });
        timer->start(2);
    }

    // Ends whatever still runs, then checks the window is usable again.
    void Settle(const char* scenario)
    {
        left = 0;
        if (!PumpUntil([&] { return !send->msg_send->Busy() && !window->CommandWaiting() && !window->timer->isActive(); },
                       8000))
            ADD_FAILURE() << scenario << ": still running";
        if (window->bStop->isEnabled())
            window->bStop->click(); // a command left busy until Stop
        window->pmRestoreClick();   // a keep-alive mode the monkey began
        send->show();
        EXPECT_FALSE(window->CommandRunning()) << scenario;
        EXPECT_FALSE(Busy()) << scenario;
        EXPECT_TRUE(window->bConfig->isEnabled()) << scenario;
        EXPECT_TRUE(window->popmailHeaders->isEnabled()) << scenario;
        EXPECT_TRUE(send->bOk->isEnabled()) << scenario;
        for (const std::string& e : errors)
            EXPECT_FALSE(e.empty()) << scenario << ": an error without words";
    }

    // Runs one command while the monkey clicks; it must end with its
    // completion line, or an error (the only end when completion is empty).
    void Scenario(const char* name, const std::string& completion, const std::function<void()>& start,
                  int count = 150)
    {
        SCOPED_TRACE(name);
        const size_t errorsBefore = errors.size();
        // Watched as it is written: the monkey may clear the transcript.
        bool completed = false;
        const auto watch = QObject::connect(window->verbose->document(), &QTextDocument::contentsChanged, [&] {
            completed = completed || window->verbose->document()->lastBlock().text().toStdString() == completion;
        });
        ClickWhile(count);
        QElapsedTimer took;
        took.start();
        Application::RunHandler(start); // as a click runs it: a failure goes to the error report
        left = 0;                       // the clicks are for the command's wait only
        Settle(name);
        QObject::disconnect(watch);
        std::printf("%s: %lld ms\n", name, took.elapsed());
        if (completion == sendEnds)
            return; // a send says how it ended in its own window
        if (completion.empty())
            EXPECT_GT(errors.size(), errorsBefore) << name << " ended without an error";
        else
            EXPECT_TRUE(completed || errors.size() > errorsBefore)
                << name << " ended silently:\n" << window->verbose->toPlainText().right(600).toStdString();
    }

    const std::string sendEnds = "(in the send window)";
    unsigned seed = 0;
    std::mt19937 rng;
    int left = 0;
    int clicks = 0;
    std::unique_ptr<testsupport::FakeIcmp> icmp;
    std::unique_ptr<TformMailSend> send;
    S smtp{{S::Trickle("220 slow.example.test ESMTP\r\n"), S::Expect(), S::Trickle("250 hello\r\n"), S::Expect(),
            S::Trickle("250 ok\r\n"), S::Hold()}};
    S silentFtp{{S::Hold()}};
    S silentTime{{S::Hold()}};
};

} // namespace

TEST_F(Monkey, ClicksEverywhereWhileEachCommandWaitsBreakNothing)
{
    const std::string done = " ...logged out; operation complete!";
    S listing(SlowMailbox({S::Expect(), S::Trickle("+OK bye\r\n"), S::Close()}));
    Store("pop_port", std::to_string(listing.port()));
    Scenario("headers", done, [&] { window->popmailHeaders->trigger(); });
    ASSERT_GT(Rows(), 0) << "the next scenarios need rows to select";

    S retrieve(SlowMailbox({S::Expect(), S::Trickle("+OK\r\nFrom: Sender 1\r\n\r\n" + std::string(200, 'x') +
                                                      "\r\n.\r\n"),
                            S::Expect(), S::Trickle("+OK bye\r\n"), S::Close()}));
    Store("pop_port", std::to_string(retrieve.port()));
    window->details->topLevelItem(0)->setSelected(true);
    Scenario("view", "  " + std::string(200, 'x'), [&] { window->popmailMsgText->trigger(); });

    S deleteOne(SlowMailbox({S::Expect(), S::Trickle("+OK\r\n"), S::Expect(), S::Trickle("+OK bye\r\n"),
                             S::Close()}));
    Store("pop_port", std::to_string(deleteOne.port()));
    window->details->topLevelItem(0)->setSelected(true);
    Scenario("delete selected", done, [&] { window->popmailDelSel->trigger(); });

    S deleteAll(SlowMailbox({S::Expect(), S::Trickle("+OK\r\n"), S::Hold()}));
    Store("pop_port", std::to_string(deleteAll.port()));
    Scenario("delete all", done, [&] { window->popmailDelAll->trigger(); });

    S count(SlowMailbox({S::Hold()}));
    Store("pop_port", std::to_string(count.port()));
    QTimer::singleShot(700, window->bStop, &QToolButton::click);
    Scenario("count, stopped", done, [&] { window->popmailCount->trigger(); });

    QTimer::singleShot(700, window->bStop, &QToolButton::click);
    Scenario("time, silent server", "", [&] { window->bTimeClick(); });

    // Probes are answered at once; the monkey clicks inside each probe's wait.
    icmp->Route({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
    icmp->Script = [this, route = icmp->Script](const testsupport::FakeIcmp::Echo& e) {
        for (int i = 0; i < 25; ++i)
            Click();
        return route(e);
    };
    Type(window->hostname, "10.5.5.5");
    Scenario("trace", "Trace complete: Total HOP Count is 5.", [&] { window->bTraceClick(); }, 0);
    icmp->Script = {};
    Type(window->packets, "4");
    Scenario("ping", "Ping complete: 4 packets sent.", [&] {
        window->bPingClick();
        PumpUntil([&] { return !window->timer->isActive(); }, 5000);
    });
    Type(window->hostname, "127.0.0.1");

    Scenario("send", sendEnds, [&] {
        send->bOk->click();
        PumpUntil([&] { return !send->msg_send->Busy(); }, 5000);
    });
    EXPECT_FALSE(send->sendstatus->currentMessage().isEmpty());
    EXPECT_TRUE(send->sendstatus->currentMessage().startsWith("Error: ") ||
                send->sendstatus->currentMessage().startsWith("Message sent"))
        << send->sendstatus->currentMessage().toStdString();

    // The same over STARTTLS with a login: the clicks land in the handshake's wait too.
    testsupport::TestCa ca;
    const testsupport::TrustScope trust(ca.Authority());
    const auto issued = ca.Issue("127.0.0.1");
    S tlsSmtp({S::Trickle("220 slow.example.test ESMTP\r\n"), S::Expect(),
               S::Trickle("250-slow.example.test\r\n250 STARTTLS\r\n"), S::Expect(), S::Send("220 go ahead\r\n"),
               S::Tls(issued.certificate, issued.key), S::Expect(),
               S::Trickle("250-slow.example.test\r\n250 AUTH PLAIN\r\n"), S::Expect(), S::Trickle("235 ok\r\n"),
               S::Expect(), S::Trickle("250 ok\r\n"), S::Expect(), S::Close()});
    Store("smtp_port", std::to_string(tlsSmtp.port()));
    Store("smtp_tls", "starttls");
    Store("smtp_username", "ann");
    Store("smtp_password", Encrypt("secret", CryptKey, CryptMultiplier, CryptIncrement));
    send->show();
    send->msg_to->setText("bob@example.test");
    send->msg_subj->setText("monkey over TLS");
    // Room for a stalled window before STARTTLS; the closing server ends the send soon after.
    send->msg_send->TimeoutReply = 5;
    Scenario("send over TLS", sendEnds, [&] {
        send->bOk->click();
        PumpUntil([&] { return !send->msg_send->Busy(); }, 5000);
    });
    EXPECT_TRUE(send->sendstatus->currentMessage().startsWith("Error: ") ||
                send->sendstatus->currentMessage().startsWith("Message sent"))
        << send->sendstatus->currentMessage().toStdString();
    const auto heard = tlsSmtp.Received();
    EXPECT_NE(std::find(heard.begin(), heard.end(), "STARTTLS"), heard.end()) << "the send went as far as TLS";

    QTimer::singleShot(700, window->bStop, &QToolButton::click);
    // The monkey may end the mode itself, which cuts the attempt short.
    Scenario("keep-alive, silent server", " ...cut short: VexmorAlive! ended.", [&] { window->bScanClick(); });

    if (::geteuid() == 0) {
        // A finger daemon that answers the query slowly, a byte at a time, then closes.
        std::string plan;
        for (int i = 0; i < 30; ++i)
            plan += "plan line " + std::to_string(i) + "\r\n";
        S finger({S::Expect(), S::Trickle(plan), S::Close()}, "127.0.0.9", 79);
        ASSERT_TRUE(finger.Listening());
        Type(window->hostname, "127.0.0.9");
        // A refused finger the monkey started earlier keeps its socket until
        // Stop (as designed), and the next finger would go nowhere.
        window->sockdata->Close();
        // The command ends at the connection; the monkey goes on while the answer arrives.
        Scenario("finger", "Connected to 127.0.0.9 on port 79.", [&] {
            window->bFingerClick();
            PumpUntil([&] { return IndexOf("plan line 29") >= 0; }, 3000);
        });
        Type(window->hostname, "127.0.0.1");
    } else {
        std::printf("finger left out: serving port 79 needs root\n");
    }

    // Usable again: a plain command runs to its end.
    S quick(testsupport::Pop3Mailbox(0, {S::Expect(), S::Send("+OK\r\n"), S::Close()}));
    Store("pop_port", std::to_string(quick.port()));
    const size_t errorsBefore = errors.size();
    window->popmailCount->trigger();
    EXPECT_EQ(Lines().back(), " There are 0 messages on the server.");
    EXPECT_EQ(errors.size(), errorsBefore);
    std::printf("monkey clicks: %d\n", clicks);
}

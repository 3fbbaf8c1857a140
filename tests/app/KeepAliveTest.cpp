#include "WindowFixture.h"
#include "desktop/HiResTim.h"
#include "desktop/TrayIcon.h"
#include "settings/SecuritySettings.h"
#include "support/RealServers.h"
#include "support/TestCa.h"
#include "support/ScriptServer.h"
#include "tcpip/T_FTP.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QMenu>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using testsupport::FtpServer;
using testsupport::ScriptServer;
using S = ScriptServer;

namespace {

class KeepAlive : public WindowFixture {
protected:
    static int OpenDescriptors() { return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size()); }
    bool Running() const
    {
        return window->pmAliveEnd->isEnabled() && !window->pmAliveBegin->isEnabled() && window->KeepAlive().Timer().Enabled();
    }
    // The window aimed at a server on this machine, with ticks of milliseconds.
    TformVexmor& OpenAimedAt(uint16_t port, int interval, int replyTimeoutMs = 0)
    {
        Store("web_page", "127.0.0.1");
        TformVexmor& w = Open();
        w.KeepAlive().Ftp().Port = port;
        w.KeepAlive().Timer().Interval = interval;
        if (replyTimeoutMs)
            w.KeepAlive().Ftp().ReplyTimeoutMs = replyTimeoutMs;
        return w;
    }
    // Runs act once, as soon as an attempt is under way.
    void OnceAttemptRuns(QTimer& poll, std::function<void()> act)
    {
        QObject::connect(&poll, &QTimer::timeout, window.get(), [this, &poll, act] {
            if (window->KeepAlive().AttemptRunning() && window->bStop->isEnabled()) {
                poll.stop();
                act();
            }
        });
        poll.start(10);
    }
};

} // namespace

TEST_F(KeepAlive, AnHourOfTicksAgainstARealServerLogsInAndOutEachTimeAndLeaksNothing)
{
    FtpServer server;
    SKIP_UNLESS_RUNNING(server);
    TformVexmor& w = OpenAimedAt(server.port(), 40); // 20 ticks of three minutes, shortened
    EXPECT_EQ(w.KeepAlive().Ftp().Username, "anonymous");
    EXPECT_TRUE(w.KeepAlive().Ftp().Async);
    EXPECT_EQ(w.bScan->toolTip(), "Start VexmorAlive! (Ctrl+Shift+K)");
    const std::vector<std::string> menu = {"&Begin VexmorAlive!", "&End VexmorAlive!", "",
                                           "&Restore VexmorPing! v1.0", "", "E&xit VexmorPing! v1.0"};
    std::vector<std::string> captions;
    for (QAction* a : w.traymenu->actions())
        captions.push_back(a->text().toStdString());
    EXPECT_EQ(captions, menu);

    const int descriptors = OpenDescriptors();
    w.PageControl->setCurrentWidget(w.tsDetailed);
    Click(w.bScan);
    // The first attempt runs at once, on the GUI thread, before any tick.
    EXPECT_EQ(CountOf("Attempting connection to 127.0.0.1:"), 1);
    EXPECT_EQ(CountOf(" ...logged out; action completed!"), 1);
    EXPECT_EQ(w.PageControl->currentWidget(), w.tsVerbose);
    EXPECT_TRUE(Running());
    EXPECT_FALSE(w.bScan->isEnabled());
    // No notification area here: the window stays reachable from the taskbar.
    EXPECT_FALSE(w.trayicon->ShellSupported());
    EXPECT_TRUE(w.isMinimized());
    EXPECT_TRUE(w.isVisible());

    ASSERT_TRUE(testsupport::PumpUntil([&] { return CountOf(" ...logged out; action completed!") >= 21; }, 60000));
    w.pmAliveEnd->trigger();
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.bScan->isEnabled() && w.pmAliveBegin->isEnabled() && !w.pmAliveEnd->isEnabled());
    // An attempt the end cut short finishes on the worker; then what it posted is delivered.
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !w.KeepAlive().AttemptRunning(); }, 60000));
    QCoreApplication::processEvents();
    // Ending the mode may cut one attempt short; every other one logged out.
    const int attempts = CountOf("Attempting connection to 127.0.0.1:");
    const int completed = CountOf(" ...logged out; action completed!");
    EXPECT_GE(completed, 21);
    EXPECT_LE(attempts - completed, 1) << w.verbose->toPlainText().toStdString();
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_FALSE(w.KeepAlive().Ftp().LoggedIn);
    EXPECT_TRUE(testsupport::PumpUntil([&] { return OpenDescriptors() == descriptors; }, 10000))
        << OpenDescriptors() << " descriptors open, " << descriptors << " before: an attempt left one open";
}

// A refused certificate is offered for trust on the GUI thread, one box at a
// time: the worker goes on failing meanwhile, each failure a line. No leaves
// the mode going; Yes stores it and the next attempts log in over TLS.
TEST_F(KeepAlive, ARefusedCertificateIsOfferedForTrustOneBoxAtATimeAndOnceTrustedLogsInOverTls)
{
    testsupport::TestCa ca;
    const testsupport::TestCa::Issued certificate = ca.Issue("127.0.0.1");
    FtpServer server(&certificate);
    SKIP_UNLESS_RUNNING(server);
    Store("ftp_tls", "starttls");
    TformVexmor& w = OpenAimedAt(server.port(), 40);
    auto refusals = [&] {
        const QString text = w.verbose->toPlainText();
        return int(text.count(QString::fromStdString(certificate.fingerprint)));
    };

    int boxes = 0, mostAtOnce = 0, refusalsAtOpen = 0;
    bool answering = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &w, [&] {
        QWidget* box = nullptr;
        int open = 0;
        for (QWidget* t : QApplication::topLevelWidgets())
            if (t->objectName() == "trustPrompt" && t->isVisible()) {
                box = t;
                ++open;
            }
        mostAtOnce = std::max(mostAtOnce, open);
        if (!box)
            return;
        if (!answering) {
            answering = true;
            ++boxes;
            refusalsAtOpen = refusals();
        }
        // The worker is not held up by the first question: more attempts fail
        // meanwhile. Later ones are answered at once: once trusted, an attempt
        // that failed before may still ask, and none fails after it.
        if (boxes == 1 && refusals() < refusalsAtOpen + 2)
            return;
        answering = false;
        box->findChild<QAbstractButton*>(boxes == 1 ? "bDontTrust" : "bTrust")->click();
    });
    poll.start(5);

    Click(w.bScan); // the first attempt's question is answered No
    EXPECT_EQ(boxes, 1);
    TRegistry1632 settings;
    EXPECT_TRUE(TrustedCertificates(settings).empty());
    EXPECT_TRUE(Running());
    ASSERT_TRUE(testsupport::PumpUntil([&] { return CountOf(" ...logged out; action completed!") >= 2; }, 60000));
    w.pmAliveEnd->trigger();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !w.KeepAlive().AttemptRunning(); }, 60000));
    QCoreApplication::processEvents();
    poll.stop();

    EXPECT_GE(boxes, 2);
    EXPECT_EQ(mostAtOnce, 1);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_GE(CountOf(" ...certificate trusted; the next attempt uses it."), 1);
    ASSERT_EQ(TrustedCertificates(settings).size(), 1u);
    EXPECT_EQ(TrustedCertificates(settings)[0].Host, "127.0.0.1");
    EXPECT_EQ(TrustedCertificates(settings)[0].Fingerprint, certificate.fingerprint);
}

TEST_F(KeepAlive, FailuresAreReportedOnTheWindowAndTheModeKeepsRunning)
{
    Store("web_page", "");
    TformVexmor& w = Open();
    w.KeepAlive().Timer().Interval = 30;
    Click(w.bScan);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Couldn't resolve hostname ");
    EXPECT_TRUE(Running()) << "a failed first attempt still leaves the timer on";
    // The first failure is written as the later ones are, right under its heading.
    const int heading = IndexOf("Attempting connection to :");
    ASSERT_GE(heading, 0);
    EXPECT_EQ(IndexOf("VexmorAlive!: Couldn't resolve hostname "), heading + 1);
    EXPECT_EQ(Attributes(heading + 1), std::make_pair(true, QRgb(0xFF0000)));
    // Later attempts fail on the worker and are reported here, on the GUI thread.
    ASSERT_TRUE(testsupport::PumpUntil([&] { return errors.size() >= 3; }, 60000));
    EXPECT_EQ(errors[2], "Couldn't resolve hostname ");
    EXPECT_GE(CountOf("VexmorAlive!: Couldn't resolve hostname "), 2);
    EXPECT_TRUE(Running());
    // The same from the icon's menu.
    w.pmRestore->trigger();
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    w.pmAliveBegin->trigger();
    EXPECT_TRUE(Running());
    w.pmAliveEnd->trigger();
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    EXPECT_TRUE(w.bScan->isEnabled());
}

TEST_F(KeepAlive, WhateverAnAttemptRaisesIsReportedAndTheProcessLivesOn)
{
    ScriptServer server({S::Close()});
    TformVexmor& w = OpenAimedAt(server.port(), 20);
    // Something that is no std::exception, raised on both threads.
    std::atomic<bool> raisedOnWorker{false};
    w.KeepAlive().Ftp().OnTrace = [&](const std::string&, TTraceLevel) {
        raisedOnWorker = raisedOnWorker || w.KeepAlive().Timer().OnWorkerThread();
        throw 42;
    };
    Click(w.bScan);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return errors.size() >= 3; }, 60000));
    EXPECT_EQ(errors[0], "The attempt ended with an unexpected error.");
    EXPECT_EQ(errors[2], errors[0]) << "from the worker, reported here";
    EXPECT_TRUE(Running());

    // A report still on its way when the mode ends is a line, not a box over
    // the window the user took back.
    raisedOnWorker = false;
    // No events handled meanwhile: the report waits in the queue. It is posted
    // when the attempt that raised ends, not when it raises, so wait for that
    // end; ending the mode before it would rightly drop the report.
    const auto posted = [&] { return raisedOnWorker && !w.KeepAlive().AttemptRunning(); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool queued = false;
    while (!(queued = posted()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(queued);
    const size_t reported = errors.size();
    const int lines = CountOf("VexmorAlive!: The attempt ended with an unexpected error.");
    w.pmAliveEnd->trigger();
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    QCoreApplication::processEvents(); // the worker is gone: all it posted is queued
    EXPECT_EQ(errors.size(), reported);
    EXPECT_GT(CountOf("VexmorAlive!: The attempt ended with an unexpected error."), lines);
}

TEST_F(KeepAlive, EndingTheModeDuringTheFirstAttemptLeavesNoTimerAndNoLaterAttempt)
{
    ScriptServer silent({S::Hold()});
    // Only ending the mode ends these waits in time.
    TformVexmor& w = OpenAimedAt(silent.port(), 20, 600000);
    const std::vector<std::pair<const char*, std::function<void()>>> endings = {
        {"double click on the icon",
         [&] { w.trayicon->Window()->Send(TTrayIcon::WM_TRAYNOTIFY, 0, TTrayIcon::WM_LBUTTONDBLCLK); }},
        {"Restore", [&] { w.pmRestore->trigger(); }},
        {"End", [&] { w.pmAliveEnd->trigger(); }},
        // No notification area here: the taskbar brings the window back.
        {"the window restored", [&] { w.showNormal(); }},
    };
    for (const auto& [how, end] : endings) {
        SCOPED_TRACE(how);
        w.verboseClear->trigger();
        QTimer ender;
        OnceAttemptRuns(ender, end);
        Click(w.bScan);
        EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
        EXPECT_FALSE(w.isMinimized());
        EXPECT_TRUE(w.bScan->isEnabled() && w.pmAliveBegin->isEnabled() && !w.pmAliveEnd->isEnabled());
        EXPECT_EQ(Lines().back(), " ...cut short: VexmorAlive! ended.");
        // Many periods of the old timer: no attempt and no report follow.
        testsupport::PumpFor(200);
        EXPECT_EQ(CountOf("Attempting connection to 127.0.0.1:"), 1);
        EXPECT_TRUE(errors.empty()) << errors.front();
    }
}

TEST_F(KeepAlive, StopCutsAnAttemptShortAndExitDuringAnAttemptEndsCleanly)
{
    ScriptServer silent({S::Hold()});
    // Only a cancel ends these waits in time.
    TformVexmor& w = OpenAimedAt(silent.port(), 20, 600000);
    // Stop while the first attempt waits for the greeting: the attempt ends,
    // the mode goes on.
    QTimer stopper;
    OnceAttemptRuns(stopper, [&] { Click(w.bStop); });
    Click(w.bScan);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Stopped while"), std::string::npos) << errors[0];
    EXPECT_TRUE(Running());

    // A worker attempt now hangs on the silent server; the window goes
    // meanwhile, ending it (it would otherwise wait ten minutes).
    ASSERT_TRUE(testsupport::PumpUntil([&] { return w.KeepAlive().AttemptRunning(); }, 60000));
    window.reset();
    QCoreApplication::processEvents(); // the worker is gone: all it posted is queued
    EXPECT_EQ(errors.size(), 1u) << "what the worker posted went with the window";
}

TEST_F(KeepAlive, ExitFromTheIconsMenuDuringTheFirstAttemptLeavesAtOnce)
{
    ScriptServer silent({S::Hold()});
    // A reply time-out past the test's own, were it waited for.
    TformVexmor& w = OpenAimedAt(silent.port(), 20, 600000);
    QTimer exiter;
    OnceAttemptRuns(exiter, [&] { w.pmExit->trigger(); });
    Click(w.bScan);
    EXPECT_TRUE(App()->Terminated());
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    EXPECT_FALSE(w.KeepAlive().AttemptRunning());
    EXPECT_TRUE(errors.empty()) << errors.front();
}

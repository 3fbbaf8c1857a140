#include "app/CommandInProgress.h"
#include "app/TformVexmor.h"
#include "desktop/HiResTim.h"
#include "desktop/TrayIcon.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "settings/ConfigKeys.h"
#include "tcpip/T_FTP.h"

#include <QAction>
#include <QMenu>
#include <QMetaObject>
#include <QTabWidget>
#include <QToolButton>

#include <chrono>
#include <thread>

void TformVexmor::BuildTrayMenu()
{
    traymenu = new QMenu(this);
    traymenu->setObjectName("traymenu");
    auto item = [this](const char* name, const char* caption) {
        QAction* a = traymenu->addAction(QString::fromLatin1(caption));
        a->setObjectName(name);
        return a;
    };
    auto separator = [this](const char* name) {
        QAction* a = traymenu->addSeparator();
        a->setObjectName(name);
        return a;
    };
    pmAliveBegin = item("pmAliveBegin", "&Begin VexmorAlive!");
    pmAliveEnd = item("pmAliveEnd", "&End VexmorAlive!");
    pmAliveEnd->setEnabled(false);
    pmN1 = separator("pmN1");
    pmRestore = item("pmRestore", "&Restore VexmorPing! v1.0");
    pmN2 = separator("pmN2");
    pmExit = item("pmExit", "E&xit VexmorPing! v1.0");
}

void TformVexmor::SetUpKeepAlive()
{
    BuildTrayMenu();
    ftpdata->Username = "anonymous";
    ftpdata->Password = T_FTP::AnonymousPassword;
    ftpdata->Async = true;
    ftptimer->Interval = 180000;
    ftptimer->OnTimer = [this](TObject*) { RunAliveAttempt(); };

    trayicon->SetActive(true);
    trayicon->SetHint("VexmorPing! v1.0");
    trayicon->SetIcon(windowIcon());
    trayicon->PopupMenu = traymenu;
    trayicon->SetSeparateIcon(false);
    trayicon->OnDblClick = [this](TObject*) { Application::RunHandler([this] { pmRestoreClick(); }); };
    // A window brought back by any other means (the taskbar, where there is no
    // notification area) ends the mode too: its buttons are the way out.
    trayicon->OnRestore = [this](TObject*) {
        if (aliveMode_)
            Application::RunHandler([this] { pmAliveEndClick(); });
    };

    auto on = [this](QAction* action, void (TformVexmor::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, handler] { Application::RunHandler([&] { (this->*handler)(); }); });
    };
    connect(bScan, &QToolButton::clicked, this, [this] { Application::RunHandler([this] { bScanClick(); }); });
    on(pmAliveBegin, &TformVexmor::bScanClick);
    on(pmAliveEnd, &TformVexmor::pmAliveEndClick);
    on(pmRestore, &TformVexmor::pmRestoreClick);
    on(pmExit, &TformVexmor::pmExitClick);
}

void TformVexmor::OnGuiThread(std::function<void()> fn)
{
    if (ftptimer->OnWorkerThread())
        // Dropped by Qt if the window is gone by the time it would run.
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
    else
        fn();
}

namespace {

// The words for what an attempt raised, whatever it raised.
std::string FailureText()
{
    try {
        throw;
    } catch (const Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return AnsiFromSystem(FromSystem(e.what())); // the C++ library speaks the locale's encoding
    } catch (...) {
        return "The attempt ended with an unexpected error.";
    }
}

} // namespace

void TformVexmor::bScanClick()
{
    if (CommandRunning() || aliveMode_)
        return;
    aliveMode_ = true;
    const unsigned session = ++aliveSession_;
    pmAliveEnd->setEnabled(true);
    pmAliveBegin->setEnabled(false);
    bScan->setEnabled(false);
    trayicon->Minimize();
    std::string failure;
    try {
        CommandInProgress command(*this);
        if (!RunAliveAttempt())
            WriteLine("A keep-alive attempt is already under way.");
    } catch (...) {
        failure = FailureText();
    }
    // Ended (or begun anew) while the first attempt ran: that ending stands,
    // so no timer and no report of an attempt the user cut short.
    if (!aliveMode_ || session != aliveSession_ || closing_) {
        if (!failure.empty() && !closing_)
            WriteLine(" ...cut short: VexmorAlive! ended.");
        return;
    }
    // The timer runs even when the first attempt fails: the mode is shown as
    // running, so it keeps trying.
    ftptimer->SetEnabled(true);
    if (!failure.empty())
        ReportAliveFailure(failure);
}

bool TformVexmor::RunAliveAttempt()
{
    if (closing_ || aliveEnding_ || aliveRunning_.exchange(true))
        return false;
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = false; }
    } done{aliveRunning_};
    if (!ftptimer->OnWorkerThread()) {
        ftptimerTimer(); // on the GUI thread the caller reports what it raises
        return true;
    }
    aliveOnWorker_ = true;
    struct OffWorker {
        std::atomic<bool>& flag;
        ~OffWorker() { flag = false; }
    } offWorker{aliveOnWorker_};
    // Nothing may leave the worker: an exception there would end the process.
    // The worker has no one to tell; the window reports it, and the mode goes on.
    try {
        ftptimerTimer();
    } catch (...) {
        const std::string message = FailureText();
        if (aliveEnding_ || closing_)
            return true; // cut short because the mode is ending: nothing to report
        OnGuiThread([this, message] { ReportAliveFailure(message); });
    }
    return true;
}

void TformVexmor::ReportAliveFailure(const std::string& message)
{
    WriteAlert("VexmorAlive!: " + message);
    // One open report at a time: an unattended window does not pile them up.
    // A report that arrives after the mode ended stays a line: no box pops up
    // over a window the user has taken back.
    if (aliveReportShowing_ || !aliveMode_ || !App())
        return;
    aliveReportShowing_ = true;
    App()->ShowException(Exception(message));
    aliveReportShowing_ = false;
}

void TformVexmor::ftptimerTimer()
{
    OnGuiThread([this] { PageControl->setCurrentWidget(tsVerbose); });
    TRegistry1632 registry; // this thread's own reader
    const std::string host = registry.ReadKeyLM(ConfigPath, "web_page");
    ftpdata->Hostname = host;
    OnGuiThread([this, host] { WriteHeading("Attempting connection to " + host + ":"); });
    ftpdata->Login();
    OnGuiThread([this] { WriteLine(" connected and logged in; attempting to logout..."); });
    ftpdata->Logout();
    OnGuiThread([this] {
        WriteLine(" ...logged out; action completed!");
        PageControl->setCurrentWidget(tsVerbose);
        ScrollToLatest();
    });
}

void TformVexmor::StopKeepAliveTimer()
{
    // An attempt under way ends at its next wait slice; the timer's worker is
    // then free to be joined. One on this thread ends when control returns to it.
    aliveEnding_ = true;
    ftpdata->Cancel();
    while (aliveOnWorker_ && ftptimer->Enabled()) {
        ftpdata->Cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ftptimer->SetEnabled(false);
    aliveEnding_ = false;
}

void TformVexmor::pmAliveEndClick()
{
    // First, so the restore below, which reports itself, finds the mode over.
    aliveMode_ = false;
    pmAliveEnd->setEnabled(false);
    pmAliveBegin->setEnabled(true);
    bScan->setEnabled(true);
    StopKeepAliveTimer();
    trayicon->Restore();
}

void TformVexmor::pmRestoreClick()
{
    pmAliveEndClick();
}

void TformVexmor::pmExitClick()
{
    aliveMode_ = false; // leaving ends the mode: no box for the cut-short attempt
    bExitClick();
}

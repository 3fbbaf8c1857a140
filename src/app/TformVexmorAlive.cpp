#include "app/CommandInProgress.h"
#include "app/TformVexmor.h"
#include "desktop/HiResTim.h"
#include "desktop/TrayIcon.h"
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

void TformVexmor::bScanClick()
{
    if (CommandRunning())
        return;
    pmAliveEnd->setEnabled(true);
    pmAliveBegin->setEnabled(false);
    bScan->setEnabled(false);
    trayicon->Minimize();
    // The timer runs even when the first attempt fails: the mode is shown as
    // running, so it keeps trying. Switching it on again changes nothing.
    try {
        CommandInProgress command(*this);
        if (!RunAliveAttempt())
            WriteLine("A keep-alive attempt is already under way.");
    } catch (...) {
        ftptimer->SetEnabled(true);
        throw;
    }
    ftptimer->SetEnabled(true);
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
        ftptimerTimer(); // on the GUI thread its error goes to the handler's report
        return true;
    }
    aliveOnWorker_ = true;
    struct OffWorker {
        std::atomic<bool>& flag;
        ~OffWorker() { flag = false; }
    } offWorker{aliveOnWorker_};
    try {
        ftptimerTimer();
    } catch (const std::exception& e) {
        if (aliveEnding_)
            return true; // cut short because the mode is ending: nothing to report
        // The worker has no one to tell; the window reports it, and the mode goes on.
        const std::string message = e.what();
        OnGuiThread([this, message] { ReportAliveFailure(message); });
    }
    return true;
}

void TformVexmor::ReportAliveFailure(const std::string& message)
{
    WriteAlert("VexmorAlive!: " + message);
    // One open report at a time: an unattended window does not pile them up.
    if (aliveReportShowing_ || !App())
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
    bExitClick();
}

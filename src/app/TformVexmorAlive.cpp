#include "app/CommandInProgress.h"
#include "app/TformVexmor.h"
#include "desktop/TrayIcon.h"
#include "framework/Application.h"
#include "settings/ConfigKeys.h"
#include "settings/SecuritySettings.h"
#include "tcpip/T_FTP.h"

#include <QAction>
#include <QMenu>
#include <QTabWidget>
#include <QToolButton>

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
    keepAlive_ = std::make_unique<KeepAliveMode>(*this, [this] { ftptimerTimer(); },
                                                 KeepAliveMode::Voice{[this](const std::string& text) { WriteLine(text); },
                                                                      [this](const std::string& text) { WriteAlert(text); }});

    trayicon->SetActive(true);
    trayicon->SetHint("VexmorPing! v1.0");
    trayicon->SetIcon(windowIcon());
    trayicon->PopupMenu = traymenu;
    trayicon->SetSeparateIcon(false);
    trayicon->OnDblClick = [this](TObject*) { Application::RunHandler([this] { pmRestoreClick(); }); };
    // A window brought back by any other means (the taskbar, where there is no
    // notification area) ends the mode too: its buttons are the way out.
    trayicon->OnRestore = [this](TObject*) {
        if (keepAlive_->On())
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

void TformVexmor::bScanClick()
{
    if (CommandRunning() || keepAlive_->On())
        return;
    pmAliveEnd->setEnabled(true);
    pmAliveBegin->setEnabled(false);
    bScan->setEnabled(false);
    trayicon->Minimize();
    keepAlive_->Begin([this](const std::function<void()>& attempt) {
        CommandInProgress command(*this);
        attempt();
    });
}

void TformVexmor::ftptimerTimer()
{
    KeepAliveMode& mode = *keepAlive_;
    mode.OnGuiThread([this] { PageControl->setCurrentWidget(tsVerbose); });
    TRegistry1632 registry; // this thread's own reader
    const std::string host = registry.ReadKeyLM(ConfigPath, "web_page");
    mode.Ftp().Hostname = host;
    // No prompt on the timer's thread: a certificate that fails is reported
    // as any other failure of an attempt, its fingerprint in the words.
    mode.Ftp().Tls = ConfiguredTls(registry, SecuredProtocol::Ftp, host, mode.Ftp().Port);    mode.OnGuiThread([this, host] { WriteHeading("Attempting connection to " + host + ":"); });
    mode.Ftp().Login();
    mode.OnGuiThread([this] { WriteLine(" connected and logged in; attempting to logout..."); });
    mode.Ftp().Logout();
    mode.OnGuiThread([this] {
        WriteLine(" ...logged out; action completed!");
        PageControl->setCurrentWidget(tsVerbose);
        ScrollToLatest();
    });
}

void TformVexmor::pmAliveEndClick()
{
    // First, so the restore below, which reports itself, finds the mode over.
    keepAlive_->End();
    pmAliveEnd->setEnabled(false);
    pmAliveBegin->setEnabled(true);
    bScan->setEnabled(true);
    trayicon->Restore();
}

void TformVexmor::pmRestoreClick()
{
    pmAliveEndClick();
}

void TformVexmor::pmExitClick()
{
    keepAlive_->End(); // leaving ends the mode: no box for the cut-short attempt
    bExitClick();
}

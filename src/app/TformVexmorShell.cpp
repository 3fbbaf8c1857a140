#include "app/TformVexmor.h"
#include "app/WindowMemory.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "icmp/IcmpModule.h"
#include "icmp/TPing.h"
#include "settings/ConfigKeys.h"
#include "icmp/TTraceRoute.h"
#include "tcpip/T_Pop3.h"
#include "tcpip/T_Time.h"
#include "sock/SocketModule.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

void TformVexmor::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        Application::RunHandler([this] { FormShow(); });
    }
}

void TformVexmor::closeEvent(QCloseEvent* event)
{
    CancelEverything();
    WindowMemory::Save(*this);
    QMainWindow::closeEvent(event);
}

void TformVexmor::FormShow()
{
    hosts->clear();
    LoadHostList();
    const std::string description = WinsockDescription();
    const std::string status = WinsockSystemStatus();
    WriteLine(description + " " + status);
    WriteLine("-----");
    SetStatusText(0, description + "; " + status);
    if (IcmpMode() == imNone)
        WriteAlert(NoIcmpAdvice());
    ReadSwitches();
    SaveLogIfOn();
}

void TformVexmor::ReadSwitches()
{
    // Inverted encoding: "0" means on, anything else (or nothing) off.
    const bool was = record_->Logging();
    record_->SetLogging(ReadKeyLM(ConfigPath, "log_transactions") == "0");
    if (record_->Logging() && !was)
        record_->WriteSystemLine("Logging to " + record_->LogFilePath());
    trace_resolve->setChecked(ReadKeyLM(ConfigPath, "resolve_trace") == "0");
}

std::string TformVexmor::ReadKeyLM(const std::string& path, const std::string& name)
{
    return reg_read.ReadKeyLM(path, name);
}

void TformVexmor::CancelEverything()
{
    // A command waiting for its server must not keep a windowless program alive.
    closing_ = true;
    timer->stop();
    pingdata->Cancel();
    tracedata->Cancel();
    pop_mail->Cancel();
    get_time->Cancel();
    keepAlive_->Shutdown();
}

void TformVexmor::bExitClick()
{
    // Leaving does not wait for a server to answer a command under way.
    CancelEverything();
    if (App())
        App()->Terminate();
    else
        QCoreApplication::quit();
}

void TformVexmor::bStopClick()
{
    ++stopCount_;
    timer->stop();
    LeaveBusy();
    popmailDelSel->setEnabled(false);
    popmailMsgText->setEnabled(false);
    msg_body->hide();
    WriteHeading("CANCELLED!");
    pingdata->Cancel();
    tracedata->Cancel();
    // A mail or time exchange waiting for its server ends too.
    pop_mail->Cancel();
    get_time->Cancel();
    fingerLines_.Clear();
    sockdata->Close();
    keepAlive_->LogOut();
}

void TformVexmor::PageControlChange()
{
    ScrollToLatest();
}

void TformVexmor::bConfigClick()
{
    if (CommandWaiting())
        return;
    if (configDialogRunner)
        configDialogRunner();
    ReadSwitches();
}

void TformVexmor::bAboutClick()
{
    if (aboutDialogRunner)
        aboutDialogRunner();
}

void TformVexmor::EnterBusy()
{
    busy_ = true;
    popmailDelSel->setEnabled(false);
    popmailMsgText->setEnabled(false);
    msg_body->hide();
    ApplyCommandState();
}

void TformVexmor::LeaveBusy()
{
    busy_ = false;
    // Open again even where the keep-alive mode had closed it.
    bScan->setEnabled(true);
    ApplyCommandState();
}

void TformVexmor::BeginWait()
{
    ++waits_;
    ApplyCommandState();
}

void TformVexmor::EndWait()
{
    --waits_;
    ApplyCommandState();
}

void TformVexmor::ApplyCommandState()
{
    const bool running = CommandRunning();
    const bool waiting = CommandWaiting();
    for (QWidget* holder : commandHolders_)
        holder->setEnabled(!running);
    commandActions_->setEnabled(!running);
    // The host list and the configuration stay usable while a ping runs; a
    // handler that waits may be reading them.
    for (QWidget* holder : waitHolders_)
        holder->setEnabled(!waiting);
    waitActions_->setEnabled(!waiting);
    bStop->setEnabled(running); // the one way out
    if (running != busyCursor_) {
        // The pointer says a command is working; the window still repaints.
        if (running)
            QApplication::setOverrideCursor(Qt::BusyCursor);
        else
            QApplication::restoreOverrideCursor();
        busyCursor_ = running;
    }
    if (waiting != waitingTold_) {
        waitingTold_ = waiting;
        if (commandWaitingChanged)
            commandWaitingChanged(waiting);
    }
}

void TformVexmor::ReportingFailure(const std::string& whenSilent, const std::function<void()>& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        const bool silent = *e.what() == '\0';
        WriteAlert(silent ? whenSilent : e.what());
        SaveLogIfOn();
        if (silent)
            throw Exception(whenSilent);
        throw;
    }
}

void TformVexmor::PumpBetweenBatches(int stops, const std::string& what)
{
    QCoreApplication::processEvents();
    if (stopCount_ != stops || closing_)
        throw Exception("Stopped while " + what + ".");
}

void TformVexmor::AppendRows(const std::vector<QStringList>& rows)
{
    constexpr size_t Batch = 1000;
    const int stops = stopCount_;
    details->setUpdatesEnabled(false);
    struct Painting {
        QWidget* list;
        ~Painting() { list->setUpdatesEnabled(true); }
    } painting{details};
    QElapsedTimer slice;
    slice.start();
    for (size_t at = 0; at < rows.size(); at += Batch) {
        QList<QTreeWidgetItem*> items;
        for (size_t i = at; i < std::min(rows.size(), at + Batch); ++i)
            items.append(new QTreeWidgetItem(rows[i])); // owned by the list from the next line on
        details->addTopLevelItems(items);
        if (at + Batch < rows.size() && slice.elapsed() >= PaintSliceMs) {
            details->setUpdatesEnabled(true);
            PumpBetweenBatches(stops, "filling the list");
            details->setUpdatesEnabled(false);
            slice.restart();
        }
    }
}

void TformVexmor::WriteLinesInBatches(const std::vector<std::string>& lines)
{
    const int stops = stopCount_;
    record_->WriteLinesInBatches(lines, [&] { PumpBetweenBatches(stops, "writing the transcript"); });
}

void TformVexmor::WriteHeading(const std::string& text)
{
    record_->WriteHeading(text);
}

void TformVexmor::WriteLine(const std::string& text)
{
    record_->WriteLine(text);
}

void TformVexmor::WriteAlert(const std::string& text)
{
    record_->WriteAlert(text);
}

void TformVexmor::SaveLogIfOn()
{
    record_->SaveLogIfOn();
}

void TformVexmor::ScrollToLatest()
{
    if (PageControl->currentWidget() == tsVerbose)
        record_->ShowLatest();
    else if (details->topLevelItemCount() > 1)
        details->scrollToItem(details->topLevelItem(details->topLevelItemCount() - 1));
}

std::string TformVexmor::NoIcmpAdvice()
{
    return "No ICMP facility is available to this user: ping and trace cannot send. Allow ICMP echo sockets "
           "with 'sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"', or give the program the raw-socket "
           "capability with 'setcap cap_net_raw+ep " + AnsiFromSystem(QCoreApplication::applicationFilePath()) + "'.";
}

void TformVexmor::SetStatusText(int panel, const std::string& text)
{
    statusPanels[panel]->setText(FromAnsi(text));
}

std::string TformVexmor::StatusText(int panel) const
{
    return ToAnsi(statusPanels[panel]->text());
}

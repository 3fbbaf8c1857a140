#include "app/TformVexmor.h"
#include "app/WindowMemory.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/RtfWriter.h"
#include "icmp/IcmpModule.h"
#include "icmp/TPing.h"
#include "settings/ConfigKeys.h"
#include "icmp/TTraceRoute.h"
#include "tcpip/T_FTP.h"
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
#include <QDir>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
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
    const bool was = log_on;
    log_on = ReadKeyLM(ConfigPath, "log_transactions") == "0";
    if (log_on && !was)
        WriteSystemLine("Logging to " + QString::fromStdString(LogFilePath()));
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
    StopKeepAliveTimer();
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
    LogOutKeepAlive();
}

void TformVexmor::LogOutKeepAlive()
{
    // An attempt under way is cut short; otherwise a connection an attempt
    // left behind is closed. The keep-alive mode itself goes on.
    if (aliveRunning_.exchange(true)) {
        ftpdata->Cancel();
        return;
    }
    try {
        if (ftpdata->LoggedIn)
            ftpdata->Logout();
    } catch (const ETcpIpError&) {
        // The connection is closed either way, and Stop is no time for errors.
    }
    aliveRunning_ = false;
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
    constexpr size_t Batch = 250;
    const int stops = stopCount_;
    QElapsedTimer slice;
    slice.start();
    for (size_t at = 0; at < lines.size(); at += Batch) {
        const auto from = lines.begin() + std::ptrdiff_t(at);
        WriteTranscriptLines({from, from + std::ptrdiff_t(std::min(Batch, lines.size() - at))}, false, 0x000000);
        if (at + Batch < lines.size() && slice.elapsed() >= PaintSliceMs) {
            PumpBetweenBatches(stops, "writing the transcript");
            slice.restart();
        }
    }
}

void TformVexmor::WriteTranscript(const std::string& text, bool bold, uint32_t rgb)
{
    WriteTranscriptLines({text}, bold, rgb);
}

void TformVexmor::WriteTranscriptLines(const std::vector<std::string>& lines, bool bold, uint32_t rgb)
{
    QStringList texts;
    texts.reserve(qsizetype(lines.size()));
    for (const std::string& text : lines)
        texts << FromAnsi(text);
    WriteTranscriptText(texts, bold, rgb);
}

void TformVexmor::WriteTranscriptText(const QStringList& lines, bool bold, uint32_t rgb)
{
    if (lines.empty())
        return;
    QTextCharFormat format;
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    format.setForeground(QColor(QRgb(rgb)));
    // New output is followed only while the user is at the end.
    QScrollBar* bar = verbose->verticalScrollBar();
    following_ = bar->value() >= bar->maximum() - 4;
    QTextCursor cursor(verbose->document());
    cursor.movePosition(QTextCursor::End);
    // One edit: the document is laid out once for the batch, not per line.
    cursor.beginEditBlock();
    for (const QString& text : lines) {
        // A line end inside the text starts a paragraph; a bare CR does not.
        qsizetype from = 0;
        for (;;) {
            const qsizetype end = text.indexOf('\n', from);
            QString piece = text.mid(from, end < 0 ? -1 : end - from);
            if (end >= 0 && piece.endsWith('\r'))
                piece.chop(1);
            if (transcriptLines_++ > 0)
                cursor.insertBlock(QTextBlockFormat(), format);
            // Plain text: whatever a server sent is never taken for markup.
            cursor.insertText(VisibleText(piece), format);
            if (end < 0)
                break;
            from = end + 1;
        }
    }
    cursor.endEditBlock();
    if (following_)
        bar->setValue(bar->maximum());
}

void TformVexmor::WriteSystemLine(const QString& text)
{
    WriteTranscriptText({text}, false, 0x000000);
}

void TformVexmor::WriteHeading(const std::string& text)
{
    WriteTranscript(text, true, 0x0000FF);
}

void TformVexmor::WriteLine(const std::string& text)
{
    WriteTranscript(text, false, 0x000000);
}

void TformVexmor::WriteAlert(const std::string& text)
{
    WriteTranscript(text, true, 0xFF0000);
}

void TformVexmor::ScrollToLatest()
{
    if (PageControl->currentWidget() == tsVerbose) {
        verbose->setFocus();
        // A user reading further up is not pulled away.
        if (!following_)
            return;
        // Down to the latest line, never sideways: a long line must not
        // push the start of every line out of view.
        QScrollBar* sideways = verbose->horizontalScrollBar();
        const int column = sideways->value();
        verbose->moveCursor(QTextCursor::End);
        verbose->ensureCursorVisible();
        sideways->setValue(column);
    } else if (details->topLevelItemCount() > 1) {
        details->scrollToItem(details->topLevelItem(details->topLevelItemCount() - 1));
    }
}

std::string TformVexmor::LogFolderFor(const std::string& programFolder)
{
    // Beside the program where that can be written (a build tree, a portable
    // copy); an installed program's folder belongs to the system, so the
    // user's state folder takes the log then.
    QTemporaryFile probe(QString::fromStdString(programFolder) + "/.vexmor-write-test-XXXXXX");
    if (probe.open())
        return programFolder;
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + "/.local/state";
    const QString folder = state + "/VexmorPing";
    QDir().mkpath(folder);
    return folder.toStdString();
}

std::string TformVexmor::LogFilePath() const
{
    if (!logDirectory.empty())
        return logDirectory + "/VexmorPingLog.rtf";
    if (logFolder_.empty())
        logFolder_ = LogFolderFor(QCoreApplication::applicationDirPath().toStdString());
    return logFolder_ + "/VexmorPingLog.rtf";
}

void TformVexmor::SaveLogIfOn()
{
    if (!log_on)
        return;
    try {
        SaveLog();
    } catch (const Exception& e) {
        // Said once; the command goes on without its log.
        log_on = false;
        WriteAlert("Logging is switched off for this run: the log file could not be written.");
        if (App())
            App()->ShowException(e);
    }
}

std::string TformVexmor::NoIcmpAdvice()
{
    return "No ICMP facility is available to this user: ping and trace cannot send. Allow ICMP echo sockets "
           "with 'sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"', or give the program the raw-socket "
           "capability with 'setcap cap_net_raw+ep " + AnsiFromSystem(QCoreApplication::applicationFilePath()) + "'.";
}

void TformVexmor::SaveLog()
{
    const std::string rtf = RtfFromDocument(*verbose->document());
    const QString path = QString::fromStdString(LogFilePath());
    // A new file renamed over the old one: a reader never sees half a log.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(rtf.data(), qint64(rtf.size())) != qint64(rtf.size()) ||
        !file.commit())
        throw Exception("Cannot write the log file " + AnsiFromSystem(path) + ": " +
                        AnsiFromSystem(file.errorString()));
}

void TformVexmor::SetStatusText(int panel, const std::string& text)
{
    statusPanels[panel]->setText(FromAnsi(text));
}

std::string TformVexmor::StatusText(int panel) const
{
    return ToAnsi(statusPanels[panel]->text());
}

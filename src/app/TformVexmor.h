#pragma once

#include "app/KeepAliveMode.h"
#include "app/Transcript.h"
#include "framework/Component.h"
#include "icmp/PingStatistics.h"
#include "settings/Regi1632.h"
#include "framework/LineReader.h"
#include "sock/TSock.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTextEdit;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TPing;
class TTraceRoute;
class T_Pop3;
class T_Time;
class TTrayIcon;

// The main window: toolbars, host list, report list, transcript and status
// bar, and the handlers of its commands. The transcript with its log file and
// the keep-alive mode are units of their own; the window holds its controls,
// components and handlers.
class TformVexmor final : public QMainWindow, public TObject {
    Q_OBJECT
public:
    explicit TformVexmor(QWidget* parent = nullptr);
    ~TformVexmor() override;

    // Toolbars and their controls.
    QToolBar* tbButtons = nullptr;
    QToolBar* tbHost = nullptr;
    QToolBar* tbPacket = nullptr;
    QToolButton *bExit = nullptr, *bConfig = nullptr, *bPing = nullptr, *bTrace = nullptr,
                *bStop = nullptr, *bMail = nullptr, *bFinger = nullptr, *bScan = nullptr,
                *bResolve = nullptr, *bTime = nullptr, *bAbout = nullptr, *bAdd = nullptr,
                *bDelete = nullptr;
    QLineEdit *hostname = nullptr, *savename = nullptr, *username = nullptr, *password = nullptr;
    QLineEdit *packets = nullptr, *block_size = nullptr, *time_to_live = nullptr, *timeout = nullptr;
    QCheckBox* trace_resolve = nullptr;

    // Popup menus.
    QMenu *pingcheck = nullptr, *tracechecked = nullptr, *delmenu = nullptr, *mailmenu = nullptr;
    QAction *pingsingle = nullptr, *ping_checked = nullptr, *tracesingle = nullptr,
            *trace_checked = nullptr, *delmenuSingle = nullptr, *delmenuChecked = nullptr,
            *popmailCount = nullptr, *popmailHeaders = nullptr, *popmailMsgText = nullptr,
            *popmailDelAll = nullptr, *popmailDelSel = nullptr, *popmailSend = nullptr;
    // Context menus of the report list and the transcript.
    QMenu *detailsMenu = nullptr, *verboseMenu = nullptr;
    QAction *detailsCopy = nullptr, *detailsExport = nullptr, *verboseCopy = nullptr, *verboseClear = nullptr,
            *verboseSaveAs = nullptr;
    // The notification-area icon's menu.
    QMenu* traymenu = nullptr;
    QAction *pmAliveBegin = nullptr, *pmAliveEnd = nullptr, *pmN1 = nullptr, *pmRestore = nullptr,
            *pmN2 = nullptr, *pmExit = nullptr;

    // Client area.
    QSplitter* SplitterMain = nullptr;
    QWidget* PaneHosts = nullptr;
    QTreeWidget* hosts = nullptr;
    QWidget* PaneData = nullptr;
    QSplitter* SplitterData = nullptr;
    QTabWidget* PageControl = nullptr;
    QWidget* tsDetailed = nullptr;
    QWidget* tsVerbose = nullptr;
    QTreeWidget* details = nullptr;
    QTextEdit* verbose = nullptr;
    QPlainTextEdit* msg_body = nullptr;
    QStatusBar* statusbar = nullptr;
    QLabel* statusPanels[2] = {nullptr, nullptr};

    // Non-visual components.
    std::unique_ptr<TPing> pingdata;
    std::unique_ptr<TTraceRoute> tracedata;
    QTimer* timer = nullptr;
    std::unique_ptr<TSock> sockdata;
    std::unique_ptr<T_Pop3> pop_mail;
    std::unique_ptr<T_Time> get_time;
    std::unique_ptr<TTrayIcon> trayicon;

    // The transcript and its log file.
    Transcript& Record() { return *record_; }
    // The keep-alive mode, with its FTP client and timer.
    KeepAliveMode& KeepAlive() { return *keepAlive_; }

    // Windows and questions the program links in, and tests answer themselves.
    std::function<void()> configDialogRunner;
    std::function<void()> aboutDialogRunner;
    // Shows the send-mail window; "Send A Message" stays disabled without one.
    std::function<void()> mailSendRunner;
    // Asks the user to confirm deleting a whole mailbox (default No).
    std::function<bool(const std::string& question)> confirm;
    // Picks a file to save to. Empty: cancelled. filters are ";;"-separated;
    // chosen comes in as the first and is set to the one the user picked.
    std::function<QString(const QString& caption, const QString& filters, QString& chosen)> saveFileChooser;
    // Told when waiting starts and ends; the program links the send window here.
    std::function<void(bool waiting)> commandWaitingChanged;

    // Shell operations shared by the commands.
    // A command runs (or the window stays busy until Stop): a handler that
    // would start another returns at once.
    bool CommandRunning() const { return busy_ || waits_ > 0; }
    // A handler waits for a server: the host list, the configuration and
    // other windows' commands (the send window's Send) are closed too.
    bool CommandWaiting() const { return waits_ > 0; }
    void WriteHeading(const std::string& text);
    void WriteLine(const std::string& text);
    void WriteAlert(const std::string& text);
    void ScrollToLatest();
    void SaveLogIfOn();
    // What a user without an ICMP facility can do about it.
    static std::string NoIcmpAdvice();
    void LoadHostList();
    std::string StatusText(int panel) const;

    // Shell handlers.
    void FormShow();
    void bExitClick();
    void bStopClick();
    void PageControlChange();
    void bConfigClick();
    void bAboutClick();

    // Ping command.
    void bPingClick();
    void ping_checkedClick();
    void timerTimer();
    void pingdataPing(TObject* sender, int status, uint32_t ip, int roundtime);
    // The same line and row for an echo to an IPv6 destination.
    void pingdataPing6(TObject* sender, int status, const std::string& address, int roundtime);

    // Name lookup and finger.
    void bResolveClick();
    void bFingerClick();
    void sockdataConnect(TObject* sender);
    void sockdataInfo(TObject* sender, TSocketInfo socketInfo, const std::string& msg);
    void sockdataRead(TObject* sender, int count);
    void sockdataDisconnect(TObject* sender);

    // Host list.
    void hostsClick();
    void hostnameChange();
    void bAddClick();
    void bDeleteClick();
    void delmenuCheckedClick();

    // Mail commands.
    void popmailCountClick();
    void popmailHeadersClick();
    void popmailMsgTextClick();
    void popmailDelAllClick();
    void popmailDelSelClick();
    void popmailSendClick();

    // Time command.
    void bTimeClick();

    // The report list's and the transcript's own commands.
    void detailsCopyClick();
    void detailsExportClick();
    void verboseClearClick();
    void verboseSaveAsClick();

    // Keep-alive command and the notification-area icon.
    void bScanClick();
    // One keep-alive attempt, on the GUI thread or the keep-alive timer's
    // worker: it touches widgets only through KeepAlive().OnGuiThread.
    void ftptimerTimer();
    void pmAliveEndClick();
    void pmRestoreClick();
    void pmExitClick();

    // Trace command.
    void bTraceClick();
    void trace_checkedClick();
    void tracedataRoute(TObject* sender, uint8_t hop, uint32_t ip, int roundtime);
    // The same line and row for a hop of a trace to an IPv6 destination.
    void tracedataRoute6(TObject* sender, uint8_t hop, const std::string& address, int roundtime);
    // A hop that stayed silent gets a line of its own, as traceroute's "*".
    void tracedataSilentHop(TObject* sender, uint8_t hop);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Column {
        const char* caption;
        int width;
    };
    void BuildToolbars();
    void BuildButtons();
    void BuildMenus();
    void BuildClientArea();
    void BuildStatusBar();
    void ConnectHandlers();
    void SetDetailsColumns(const std::vector<Column>& columns);
    // The report columns of the ping command, also shown at start.
    static const std::vector<Column>& PingColumns();
    QTreeWidgetItem* AppendRow();
    // Widens a report column so text shows whole (an IPv6 address); never narrows it.
    void WidenToFit(int column, const std::string& text);
    // An echo's line and row, whichever family its address is of.
    void PingAnswered(int status, const std::string& address, int roundtime);
    // A hop's line and row; lookUp gives the hop's name when names are shown.
    void TraceHop(uint8_t hop, const std::string& dotted, const std::function<std::string()>& lookUp, int roundtime);
    void ReadSwitches();
    std::string ReadKeyLM(const std::string& path, const std::string& name);
    void SetStatusText(int panel, const std::string& text);
    void CopyFieldsInto(class TICMP& component);
    std::vector<QTreeWidgetItem*> CheckedHosts() const;
    std::vector<QString> CheckedAddresses() const;
    void ExecutePing();
    void DeleteHostEntries(const std::vector<QTreeWidgetItem*>& entries);
    // Ends every wait and run under way: the window is going.
    void CancelEverything();

    void EnterBusy();
    void LeaveBusy();
    friend class CommandInProgress;
    void BeginWait();
    void EndWait();
    // Opens or closes each control by the busy state and the waits under way.
    void ApplyCommandState();
    // The button sits in a holder of its own: closing the holder closes the
    // button for a command's length without touching its own enabled state.
    QWidget* HeldButton(QToolButton* button, std::vector<QWidget*>& holders);
    void TraceOne();
    // Adds rows to the report list in batches, the window painting between them.
    void AppendRows(const std::vector<QStringList>& rows);
    // Writes transcript lines in batches, the window painting between them.
    void WriteLinesInBatches(const std::vector<std::string>& lines);
    // Lets events through between two batches; raises when Stop came meanwhile
    // (stops: stopCount_ when the work began).
    void PumpBetweenBatches(int stops, const std::string& what);

    // One message of the report list, copied before a command waits.
    struct MailRow {
        int position; // 1-based, as the server numbers them
        bool summarised; // has a sender and subject (the server gave its header)
        QString from, subject; // as shown
    };
    std::vector<MailRow> SelectedMail() const;
    // View and Delete Selected: the chosen rows, the mailbox opened and counted,
    // failures reported, the log saved; a call while a command runs is refused.
    void ForSelectedMail(const std::function<void(const std::vector<MailRow>&)>& work);
    void ListHeaders();
    void ShowMessage(const MailRow& row);
    // Runs a command's work; a failure gets a red transcript line (so the log
    // keeps it) and goes on to the error report with words, never empty.
    void ReportingFailure(const std::string& failedWhat, const std::function<void()>& work);
    void MailOpening(bool clearReport);
    // The mailbox's server: the host field, else the configured POP3 server.
    std::string MailHost();
    // Logs in; a certificate the user then chooses to trust gets one more try.
    void MailLogin();
    void WriteMailClosing();
    void WriteMailCount();
    int MailCount() const;
    // Positions of the report list's selected rows, first to last.
    std::vector<int> SelectedRows() const;
    // The selected rows, tab-separated, one line each; the whole list as CSV.
    QString SelectedRowsText() const;
    QString ReportCsv() const;

    void BuildTrayMenu();
    void BuildContextMenus();
    void SetUpKeyboard();
    void ExplainStatus(QTreeWidgetItem* row, uint32_t status);
    // The file name has the chosen type's ending when the user gave none.
    QString ChooseSaveFile(const QString& caption, const QString& filters, QString& chosen);
    void SetUpKeepAlive();

    void WriteFingerText(const std::string& text);
    void FlushFingerText();
    void FocusTranscript();

    TRegistry1632 reg_read;
    std::unique_ptr<Transcript> record_;
    std::unique_ptr<KeepAliveMode> keepAlive_;
    PingStatistics ping_;      // the ping run's counts
    bool pingChecked_ = false; // the ping run goes to the checked hosts
    bool shown_ = false;
    bool closing_ = false; // the window is closing: no command starts or goes on
    // The finger answer, assembled into lines. A longer line is shown in pieces
    // of 1 KiB: the transcript redraws a line whole, so 64 KiB lines crawl.
    LineReader fingerLines_{1024};
    std::string fingerQuery_; // the user name asked about, taken at the click
    bool busyCursor_ = false;
    bool busy_ = false; // between EnterBusy and LeaveBusy
    int waits_ = 0;     // handlers under way that wait for a server
    int stopCount_ = 0; // Stop clicks since the window opened
    bool waitingTold_ = false;
    std::vector<QWidget*> commandHolders_; // closed while a command runs
    std::vector<QWidget*> waitHolders_;    // closed while a handler waits
    QActionGroup* commandActions_ = nullptr;
    QActionGroup* waitActions_ = nullptr;
    static constexpr int PaintSliceMs = Transcript::PaintSliceMs;
};

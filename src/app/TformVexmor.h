#pragma once

#include "framework/Component.h"
#include "settings/Regi1632.h"
#include "sock/LineReader.h"
#include "sock/TSock.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <atomic>

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
class T_FTP;
class T_Pop3;
class T_Time;
class THiResTimer;
class TTrayIcon;

// The main window: toolbars, host list, report list, transcript and status bar,
// and the handlers of the commands built so far.
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

    // Non-visual members.
    std::unique_ptr<TPing> pingdata;
    std::unique_ptr<TTraceRoute> tracedata;
    QTimer* timer = nullptr;
    TRegistry1632 reg_read;
    std::unique_ptr<TSock> sockdata;
    std::unique_ptr<T_Pop3> pop_mail;
    std::unique_ptr<T_Time> get_time;
    std::unique_ptr<T_FTP> ftpdata;
    std::unique_ptr<THiResTimer> ftptimer;
    std::unique_ptr<TTrayIcon> trayicon;

    // Shell state.
    bool log_on = false;

    // Run state of the ping command.
    bool ping_checked_mode = false;
    int32_t ping_tick = 0;
    int32_t ping_replies = 0;
    int32_t ping_time_sum = 0;

    // Hook points towards the parts that plug in later.
    std::function<void()> configDialogRunner;
    std::function<void()> aboutDialogRunner;
    // Shows the send-mail dialog; until there is one, "Send A Message" is disabled.
    std::function<void()> mailSendRunner;
    // Asks the user to confirm deleting a whole mailbox (default No); tests
    // answer it themselves.
    std::function<bool(const std::string& question)> confirm;
    // Picks a file to save to; tests answer it themselves. Empty: cancelled.
    // filters are ";;"-separated; chosen comes in as the first and is set to
    // the one the user picked.
    std::function<QString(const QString& caption, const QString& filters, QString& chosen)> saveFileChooser;
    // Where the log file goes; empty means the executable's directory.
    std::string logDirectory;

    // Shell operations shared by the commands.
    void EnterBusy();
    void LeaveBusy();
    // A command runs (or the window stays busy until Stop): a handler that
    // would start another returns at once.
    bool CommandRunning() const { return busy_ || waits_ > 0; }
    // A handler waits for a server: the host list, the configuration and
    // other windows' commands (the send window's Send) are closed too.
    bool CommandWaiting() const { return waits_ > 0; }
    // Told when waiting starts and ends; the program links the send window here.
    std::function<void(bool waiting)> commandWaitingChanged;
    void WriteHeading(const std::string& text);
    void WriteLine(const std::string& text);
    void WriteAlert(const std::string& text);
    // Text from the system (a locale's date, a file name), which may hold
    // characters the code page lacks, shown and logged as it is.
    void WriteSystemLine(const QString& text);
    void ScrollToLatest();
    void SaveLogIfOn();
    // What a user without an ICMP facility can do about it.
    static std::string NoIcmpAdvice();
    void SaveLog();
    std::string LogFilePath() const;
    // Where the log goes for a program in programFolder: there when it can be
    // written, else the user's state folder ($XDG_STATE_HOME/VexmorPing).
    static std::string LogFolderFor(const std::string& programFolder);
    std::string ReadKeyLM(const std::string& path, const std::string& name);
    void LoadHostList();
    void SetStatusText(int panel, const std::string& text);
    std::string StatusText(int panel) const;

    // Shell handlers.
    void FormShow();
    void bExitClick();
    // Ends every wait and run under way: the window is going.
    void CancelEverything();
    void bStopClick();
    void PageControlChange();
    void bConfigClick();
    void bAboutClick();

    // Ping command.
    void bPingClick();
    void ping_checkedClick();
    void timerTimer();
    void pingdataPing(TObject* sender, int status, uint32_t ip, int roundtime);

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
    // The selected rows, tab-separated, one line each; the whole list as CSV.
    QString SelectedRowsText() const;
    QString ReportCsv() const;

    // Keep-alive command and the notification-area icon.
    void bScanClick();
    void ftptimerTimer();
    void pmAliveEndClick();
    void pmRestoreClick();
    void pmExitClick();
    // Whether a keep-alive attempt is under way (on either thread).
    bool AliveAttemptRunning() const { return aliveRunning_; }

    // Trace command.
    void bTraceClick();
    void trace_checkedClick();
    void tracedataRoute(TObject* sender, uint8_t hop, uint32_t ip, int roundtime);


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
    void WriteTranscript(const std::string& text, bool bold, uint32_t rgb);
    // Appends lines in one edit, so the transcript is laid out once per batch.
    void WriteTranscriptLines(const std::vector<std::string>& lines, bool bold, uint32_t rgb);
    void WriteTranscriptText(const QStringList& lines, bool bold, uint32_t rgb);
    void ReadSwitches();
    void CopyFieldsInto(class TICMP& component);
    std::vector<QTreeWidgetItem*> CheckedHosts() const;
    std::vector<QString> CheckedAddresses() const;
    void ExecutePing();
    void DeleteHostEntries(const std::vector<QTreeWidgetItem*>& entries);

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
    // Writes lines in batches, the window painting between them.
    void WriteLinesInBatches(const std::vector<std::string>& lines);
    // Lets events through between two batches; raises when Stop came meanwhile
    // (stops: stopCount_ when the work began).
    void PumpBetweenBatches(int stops, const std::string& what);
    // How long a batch may hold the window before events get through.
    static constexpr int PaintSliceMs = 40;

    // One message of the report list, copied before a command waits.
    struct MailRow {
        int position; // 1-based, as the server numbers them
        std::string from, subject;
    };
    std::vector<MailRow> SelectedMail() const;
    void ListHeaders();
    void ShowMessage(const MailRow& row);
    // Runs a command's work; a failure gets a red transcript line (so the log
    // keeps it) and goes on to the error report with words, never empty.
    void ReportingFailure(const std::string& failedWhat, const std::function<void()>& work);
    void MailOpening(bool clearReport);
    void WriteMailClosing();
    void WriteMailCount();
    int MailCount() const;
    // Positions of the report list's selected rows, first to last.
    std::vector<int> SelectedRows() const;

    void BuildTrayMenu();
    void BuildContextMenus();
    void SetUpKeyboard();
    void ExplainStatus(QTreeWidgetItem* row, uint32_t status);
    // The file name has the chosen type's ending when the user gave none.
    QString ChooseSaveFile(const QString& caption, const QString& filters, QString& chosen);
    void SetUpKeepAlive();
    // Runs fn on the GUI thread: at once there, queued from the timer's worker.
    void OnGuiThread(std::function<void()> fn);
    // One attempt at a time; false when one is already under way.
    bool RunAliveAttempt();
    void ReportAliveFailure(const std::string& message);
    // Ends a running attempt and switches the timer off; the window may go then.
    void StopKeepAliveTimer();
    void LogOutKeepAlive();

    void WriteFingerText(const std::string& text);
    void FlushFingerText();
    void FocusTranscript();

    bool shown_ = false;
    std::atomic<bool> closing_{false}; // the window is closing: no command starts or goes on
    // The finger answer, assembled into lines. A longer line is shown in pieces
    // of 1 KiB: the transcript redraws a line whole, so 64 KiB lines crawl.
    LineReader fingerLines_{1024};
    std::string fingerQuery_; // the user name asked about, taken at the click
    int transcriptLines_ = 0;
    mutable std::string logFolder_; // found once, at the first save
    bool busyCursor_ = false;
    bool busy_ = false; // between EnterBusy and LeaveBusy
    int waits_ = 0;     // handlers under way that wait for a server
    int stopCount_ = 0; // Stop clicks so far
    bool waitingTold_ = false;
    std::vector<QWidget*> commandHolders_; // closed while a command runs
    std::vector<QWidget*> waitHolders_;    // closed while a handler waits
    QActionGroup* commandActions_ = nullptr;
    QActionGroup* waitActions_ = nullptr;
    bool following_ = true; // the transcript was at its end before the last output
    std::atomic<bool> aliveRunning_{false};
    std::atomic<bool> aliveOnWorker_{false};
    std::atomic<bool> aliveEnding_{false};
    bool aliveReportShowing_ = false;
    bool aliveMode_ = false;    // the keep-alive mode is on (GUI thread only)
    unsigned aliveSession_ = 0; // counts the mode's beginnings
};

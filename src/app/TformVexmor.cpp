#include "app/TformVexmor.h"
#include "desktop/TrayIcon.h"
#include "tcpip/T_Pop3.h"
#include "tcpip/T_Time.h"
#include "app/Program.h"
#include "app/WindowMemory.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/Named.h"
#include "icmp/TPing.h"
#include "icmp/TTraceRoute.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QActionGroup>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

QIcon Icon(const char* name)
{
    return QIcon(QString(":/icons/%1.svg").arg(name));
}

} // namespace

TformVexmor::TformVexmor(QWidget* parent)
    : QMainWindow(parent),
      pingdata(std::make_unique<TPing>()),
      tracedata(std::make_unique<TTraceRoute>()),
      sockdata(std::make_unique<TSock>()),
      pop_mail(std::make_unique<T_Pop3>()),
      get_time(std::make_unique<T_Time>())
{
    setObjectName("formVexmor");
    setWindowTitle(QString::fromLatin1(ProgramTitle));
    setWindowIcon(Icon("vexmorping"));
    setFont(QFont("Tahoma", 8));
    resize(597, 417);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    BuildMenus();
    BuildToolbars();
    BuildClientArea();
    BuildStatusBar();
    record_ = std::make_unique<Transcript>(*verbose);

    pingdata->Timeout = 5000;
    tracedata->Timeout = 5000;
    timer = Named(new QTimer(this), "timer");
    timer->setInterval(1000);

    ConnectHandlers();
    trayicon = std::make_unique<TTrayIcon>(this);
    SetUpKeepAlive();
    commandActions_->addAction(pmAliveBegin); // starts a command as bScan does
    BuildContextMenus();
    SetUpKeyboard();
    WindowMemory::Restore(*this);
}

TformVexmor::~TformVexmor()
{
    // The timer's worker must not outlive what its attempts use.
    closing_ = true;
    keepAlive_->Shutdown();
    // The socket's closing reports must not reach a window being taken apart.
    sockdata->OnInfo = nullptr;
    sockdata->OnDisconnect = nullptr;
    commandWaitingChanged = nullptr;
    if (busyCursor_)
        QApplication::restoreOverrideCursor();
}

void TformVexmor::BuildMenus()
{
    auto item = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* a = menu->addAction(QString::fromLatin1(caption));
        a->setObjectName(name);
        return a;
    };
    pingcheck = Named(new QMenu(this), "pingcheck");
    pingsingle = item(pingcheck, "pingsingle", "Ping Single Host");
    ping_checked = item(pingcheck, "ping_checked", "Ping Checked Hosts");

    tracechecked = Named(new QMenu(this), "tracechecked");
    tracesingle = item(tracechecked, "tracesingle", "Trace Single Host");
    trace_checked = item(tracechecked, "trace_checked", "Trace Checked Hosts");

    delmenu = Named(new QMenu(this), "delmenu");
    delmenuSingle = item(delmenu, "delmenuSingle", "Delete Single Host");
    delmenuChecked = item(delmenu, "delmenuChecked", "Delete Checked Hosts");

    mailmenu = Named(new QMenu(this), "mailmenu");
    popmailCount = item(mailmenu, "popmailCount", "Check Message Count");
    mailmenu->addSeparator();
    popmailHeaders = item(mailmenu, "popmailHeaders", "View Message Headers");
    popmailMsgText = item(mailmenu, "popmailMsgText", "View Selected Message Text");
    popmailMsgText->setEnabled(false);
    mailmenu->addSeparator();
    popmailDelAll = item(mailmenu, "popmailDelAll", "Delete All Messages");
    popmailDelSel = item(mailmenu, "popmailDelSel", "Delete Selected Messages");
    popmailDelSel->setEnabled(false);
    mailmenu->addSeparator();
    popmailSend = item(mailmenu, "popmailSend", "Send A Message");
    popmailSend->setEnabled(false); // opened by the program when it links a send window

    // A closed group closes its actions and keeps each one's own state.
    auto group = [this](std::initializer_list<QAction*> actions) {
        auto* g = new QActionGroup(this);
        g->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
        for (QAction* a : actions)
            g->addAction(a);
        return g;
    };
    commandActions_ = group({pingsingle, ping_checked, tracesingle, trace_checked, popmailCount, popmailHeaders,
                             popmailMsgText, popmailDelAll, popmailDelSel});
    waitActions_ = group({delmenuSingle, delmenuChecked});
}

void TformVexmor::BuildButtons()
{
    // held: the holders that close the button while commands run (none: Stop
    // and the buttons that start nothing stay open).
    auto button = [this](const char* name, const char* icon, const char* hint, QMenu* menu,
                         std::vector<QWidget*>* held) {
        auto* b = Named(new QToolButton(tbButtons), name);
        b->setIcon(Icon(icon));
        b->setToolTip(QString::fromLatin1(hint));
        b->setAutoRaise(true);
        if (menu) {
            b->setMenu(menu);
            b->setPopupMode(QToolButton::MenuButtonPopup);
        }
        tbButtons->addWidget(held ? HeldButton(b, *held) : b);
        return b;
    };
    bExit = button("bExit", "exit", "Exit VexmorPing!", nullptr, nullptr);
    bConfig = button("bConfig", "config", "Configure VexmorPing!", nullptr, &waitHolders_);
    tbButtons->addSeparator();
    bPing = button("bPing", "ping", "Execute a ping", pingcheck, &commandHolders_);
    bTrace = button("bTrace", "trace", "Execute a trace", tracechecked, &commandHolders_);
    bStop = button("bStop", "stop", "Cancel actions", nullptr, nullptr);
    bStop->setEnabled(false);
    tbButtons->addSeparator();
    bMail = button("bMail", "mail", "Various mail options", mailmenu, &commandHolders_);
    bFinger = button("bFinger", "finger", "Finger client", nullptr, &commandHolders_);
    bScan = button("bScan", "scan", "Start VexmorAlive!", nullptr, &commandHolders_);
    bResolve = button("bResolve", "resolve", "Execute NSLookup", nullptr, &commandHolders_);
    bTime = button("bTime", "time", "Obtain GMT time from a server", nullptr, &commandHolders_);
    bAbout = button("bAbout", "about", "About VexmorPing!", nullptr, nullptr);
    tbButtons->addSeparator();
    bAdd = button("bAdd", "add", "Add To Host List", nullptr, &waitHolders_);
    bAdd->setEnabled(false);
    bDelete = button("bDelete", "delete", "Remove From Host List", delmenu, &waitHolders_);
    bDelete->setEnabled(false);
}

QWidget* TformVexmor::HeldButton(QToolButton* button, std::vector<QWidget*>& holders)
{
    auto* holder = new QWidget(tbButtons);
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    button->setParent(holder);
    layout->addWidget(button);
    holders.push_back(holder);
    return holder;
}

void TformVexmor::BuildToolbars()
{
    auto toolbar = [this](const char* name, const char* caption) {
        auto* t = Named(new QToolBar(QString::fromLatin1(caption), this), name);
        t->setMovable(true);
        // The dock offers no way to close a toolbar.
        t->toggleViewAction()->setVisible(false);
        addToolBar(Qt::TopToolBarArea, t);
        return t;
    };
    auto label = [](QToolBar* t, const char* text) {
        t->addWidget(new QLabel(QString::fromLatin1(text), t));
    };
    auto edit = [](QToolBar* t, const char* name, const char* text, int width) {
        auto* e = Named(new QLineEdit(QString::fromLatin1(text), t), name);
        e->setFixedWidth(width);
        t->addWidget(e);
        return e;
    };
    setContextMenuPolicy(Qt::NoContextMenu);

    tbButtons = toolbar("tbButtons", "VexmorPing!; Standard Functions");
    BuildButtons();
    addToolBarBreak();

    tbHost = toolbar("tbHost", "VexmorPing!; IP Address/Hostname");
    label(tbHost, "IP Address/Host: ");
    hostname = edit(tbHost, "hostname", "", 90);
    // Grows with its toolbar, so a whole IPv6 address shows while it is typed;
    // never narrower than the 90 pixels the toolbar's layout gives it.
    hostname->setMinimumWidth(90);
    hostname->setMaximumWidth(QWIDGETSIZE_MAX);
    hostname->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    hostname->setToolTip("IP Address or Hostname");
    label(tbHost, " Save Entry As: ");
    savename = edit(tbHost, "savename", "", 45);
    label(tbHost, " Username: ");
    username = edit(tbHost, "username", "", 45);
    label(tbHost, " Password: ");
    password = edit(tbHost, "password", "", 45);
    password->setEchoMode(QLineEdit::Password);
    addToolBarBreak();

    tbPacket = toolbar("tbPacket", "VexmorPing!; Ping/Trace Packet Options");
    label(tbPacket, "Packets: ");
    packets = edit(tbPacket, "packets", "5", 40);
    label(tbPacket, " Blocksize: ");
    block_size = edit(tbPacket, "block_size", "64", 40);
    label(tbPacket, " Time To Live: ");
    time_to_live = edit(tbPacket, "time_to_live", "255", 40);
    label(tbPacket, " Timeout: ");
    timeout = edit(tbPacket, "timeout", "5000", 50);
    trace_resolve = Named(new QCheckBox("Resolve Host On Trace?", tbPacket), "trace_resolve");
    tbPacket->addWidget(trace_resolve);
}

void TformVexmor::BuildClientArea()
{
    SplitterMain = Named(new QSplitter(Qt::Horizontal, this), "SplitterMain");
    SplitterMain->setHandleWidth(3);
    setCentralWidget(SplitterMain);

    PaneHosts = Named(new QWidget(SplitterMain), "PaneHosts");
    auto* hostsLayout = new QVBoxLayout(PaneHosts);
    hostsLayout->setContentsMargins(0, 0, 0, 0);
    hosts = Named(new QTreeWidget(PaneHosts), "hosts");
    hosts->setColumnCount(4); // caption, then address, user name and password
    hosts->setHeaderHidden(true);
    for (int c = 1; c < 4; ++c)
        hosts->setColumnHidden(c, true);
    hosts->setRootIsDecorated(false);
    hosts->setSelectionBehavior(QAbstractItemView::SelectRows);
    hosts->setSelectionMode(QAbstractItemView::SingleSelection);
    hosts->setMouseTracking(true);
    hosts->setSortingEnabled(true);
    hosts->sortByColumn(0, Qt::AscendingOrder);
    hosts->setEditTriggers(QAbstractItemView::NoEditTriggers);
    hostsLayout->addWidget(hosts);

    PaneData = Named(new QWidget(SplitterMain), "PaneData");
    auto* dataLayout = new QVBoxLayout(PaneData);
    dataLayout->setContentsMargins(0, 0, 0, 0);
    SplitterData = Named(new QSplitter(Qt::Vertical, PaneData), "SplitterData");
    dataLayout->addWidget(SplitterData);

    PageControl = Named(new QTabWidget(SplitterData), "PageControl");
    tsDetailed = Named(new QWidget, "tsDetailed");
    auto* detailedLayout = new QVBoxLayout(tsDetailed);
    detailedLayout->setContentsMargins(0, 0, 0, 0);
    details = Named(new QTreeWidget(tsDetailed), "details");
    details->setRootIsDecorated(false);
    details->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Every row is one line of text: the list need not measure each of them,
    // which keeps a 100,000-row listing from stalling the window.
    details->setUniformRowHeights(true);
    detailedLayout->addWidget(details);
    SetDetailsColumns(PingColumns());
    PageControl->addTab(tsDetailed, "Statistics/Route");

    tsVerbose = Named(new QWidget, "tsVerbose");
    auto* verboseLayout = new QVBoxLayout(tsVerbose);
    verboseLayout->setContentsMargins(0, 0, 0, 0);
    verbose = Named(new QTextEdit(tsVerbose), "verbose");
    verbose->setReadOnly(true);
    verbose->setAcceptRichText(false);
    // A read-only transcript needs no undo history; it would double the memory.
    verbose->setUndoRedoEnabled(false);
    verbose->setFrameShape(QFrame::NoFrame);
    verbose->setLineWrapMode(QTextEdit::NoWrap);
    verbose->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    verbose->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    verboseLayout->addWidget(verbose);
    PageControl->addTab(tsVerbose, "Verbose");
    PageControl->setCurrentWidget(tsDetailed);

    msg_body = Named(new QPlainTextEdit(SplitterData), "msg_body");
    msg_body->setFixedHeight(136);
    msg_body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    msg_body->hide();

    SplitterMain->setSizes({150, 447});
    SplitterMain->setStretchFactor(1, 1);
}

void TformVexmor::BuildStatusBar()
{
    statusbar = Named(new QStatusBar(this), "statusbar");
    const int widths[2] = {500, 50};
    for (int i = 0; i < 2; ++i) {
        statusPanels[i] = new QLabel(statusbar);
        statusPanels[i]->setObjectName(QString("statusPanel%1").arg(i));
        statusPanels[i]->setFixedWidth(widths[i]);
        statusbar->addWidget(statusPanels[i]);
    }
    setStatusBar(statusbar);
}

void TformVexmor::ConnectHandlers()
{
    auto on = [this](auto* sender, auto signal, void (TformVexmor::*handler)()) {
        connect(sender, signal, this, [this, handler] { Application::RunHandler([&] { (this->*handler)(); }); });
    };
    on(bExit, &QToolButton::clicked, &TformVexmor::bExitClick);
    on(bConfig, &QToolButton::clicked, &TformVexmor::bConfigClick);
    on(bPing, &QToolButton::clicked, &TformVexmor::bPingClick);
    on(pingsingle, &QAction::triggered, &TformVexmor::bPingClick);
    on(ping_checked, &QAction::triggered, &TformVexmor::ping_checkedClick);
    on(bTrace, &QToolButton::clicked, &TformVexmor::bTraceClick);
    on(tracesingle, &QAction::triggered, &TformVexmor::bTraceClick);
    on(trace_checked, &QAction::triggered, &TformVexmor::trace_checkedClick);
    on(bStop, &QToolButton::clicked, &TformVexmor::bStopClick);
    on(bAbout, &QToolButton::clicked, &TformVexmor::bAboutClick);
    on(bResolve, &QToolButton::clicked, &TformVexmor::bResolveClick);
    on(bFinger, &QToolButton::clicked, &TformVexmor::bFingerClick);
    on(PageControl, &QTabWidget::currentChanged, &TformVexmor::PageControlChange);
    on(hosts, &QTreeWidget::itemClicked, &TformVexmor::hostsClick);
    on(hostname, &QLineEdit::textChanged, &TformVexmor::hostnameChange);
    on(savename, &QLineEdit::textChanged, &TformVexmor::hostnameChange);
    on(bAdd, &QToolButton::clicked, &TformVexmor::bAddClick);
    on(bDelete, &QToolButton::clicked, &TformVexmor::bDeleteClick);
    on(delmenuSingle, &QAction::triggered, &TformVexmor::bDeleteClick);
    on(delmenuChecked, &QAction::triggered, &TformVexmor::delmenuCheckedClick);
    on(timer, &QTimer::timeout, &TformVexmor::timerTimer);
    on(bMail, &QToolButton::clicked, &TformVexmor::popmailCountClick);
    on(popmailCount, &QAction::triggered, &TformVexmor::popmailCountClick);
    on(popmailHeaders, &QAction::triggered, &TformVexmor::popmailHeadersClick);
    on(popmailMsgText, &QAction::triggered, &TformVexmor::popmailMsgTextClick);
    on(popmailDelAll, &QAction::triggered, &TformVexmor::popmailDelAllClick);
    on(popmailDelSel, &QAction::triggered, &TformVexmor::popmailDelSelClick);
    on(popmailSend, &QAction::triggered, &TformVexmor::popmailSendClick);
    on(bTime, &QToolButton::clicked, &TformVexmor::bTimeClick);

    pingdata->OnPing = [this](TObject* s, int status, uint32_t ip, int rt) {
        Application::RunHandler([&] { pingdataPing(s, status, ip, rt); });
    };
    sockdata->SetSocketType(stStream);
    sockdata->SetBlocking(false);
    sockdata->AutoAccept = false;
    sockdata->LineBreak = lbSmart;
    sockdata->OnConnect = [this](TObject* s) { Application::RunHandler([&] { sockdataConnect(s); }); };
    sockdata->OnInfo = [this](TObject* s, TSocketInfo kind, const std::string& msg) {
        Application::RunHandler([&] { sockdataInfo(s, kind, msg); });
    };
    sockdata->OnRead = [this](TObject* s, int count) { Application::RunHandler([&] { sockdataRead(s, count); }); };
    sockdata->OnDisconnect = [this](TObject* s) { Application::RunHandler([&] { sockdataDisconnect(s); }); };
    // No guard here: an error inside a hop event must end the trace too.
    tracedata->OnRoute = [this](TObject* s, uint8_t hop, uint32_t ip, int rt) {
        tracedataRoute(s, hop, ip, rt);
    };
    tracedata->OnSilentHop = [this](TObject* s, uint8_t hop) { tracedataSilentHop(s, hop); };
    pingdata->OnPing6 = [this](TObject* s, int status, const std::string& address, int rt) {
        Application::RunHandler([&] { pingdataPing6(s, status, address, rt); });
    };
    tracedata->OnRoute6 = [this](TObject* s, uint8_t hop, const std::string& address, int rt) {
        tracedataRoute6(s, hop, address, rt);
    };
}

const std::vector<TformVexmor::Column>& TformVexmor::PingColumns()
{
    static const std::vector<Column> columns = {{"?", 20},        {"#", 30},       {"Address/Host", 150},
                                                {"Roundtime", 70}, {"Percent", 55}, {"Average", 55}};
    return columns;
}

void TformVexmor::SetDetailsColumns(const std::vector<Column>& columns)
{
    details->setColumnCount(int(columns.size()));
    QStringList captions;
    for (const Column& c : columns)
        captions << QString::fromLatin1(c.caption);
    details->setHeaderLabels(captions);
    for (int i = 0; i < int(columns.size()); ++i)
        details->setColumnWidth(i, columns[size_t(i)].width);
}

QTreeWidgetItem* TformVexmor::AppendRow()
{
    return new QTreeWidgetItem(details); // owned by the list
}

void TformVexmor::WidenToFit(int column, const std::string& text)
{
    // The margins a list item keeps on both sides of its text.
    const int wanted = details->fontMetrics().horizontalAdvance(FromAnsi(text)) + 16;
    if (details->columnWidth(column) < wanted)
        details->setColumnWidth(column, wanted);
}

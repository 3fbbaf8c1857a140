#include "WindowFixture.h"
#include <QDir>

#include <QMenu>
#include <QToolBar>
#include <QScrollBar>

TEST_F(WindowFixture, FirstStartShowsTheWinsockBannerWithEverythingOffAndEachControlUnderItsName)
{
    TformVexmor& w = Open();
    const std::string banner = WinsockDescription() + " " + WinsockSystemStatus();
    EXPECT_EQ(Lines(), (std::vector<std::string>{banner, "-----"}));
    EXPECT_EQ(Attributes(0), std::make_pair(false, QRgb(0x000000)));
    EXPECT_EQ(w.StatusText(0), WinsockDescription() + "; " + WinsockSystemStatus());
    EXPECT_FALSE(w.Record().Logging());
    EXPECT_FALSE(w.trace_resolve->isChecked());
    EXPECT_EQ(w.hosts->topLevelItemCount(), 0);
    EXPECT_FALSE(QFile::exists(w.Record().LogFilePath()));
    EXPECT_FALSE(Busy());
    EXPECT_FALSE(w.bAdd->isEnabled());
    EXPECT_FALSE(w.bDelete->isEnabled());
    EXPECT_FALSE(w.popmailMsgText->isEnabled());
    EXPECT_TRUE(w.msg_body->isHidden());
    EXPECT_EQ(w.PageControl->currentWidget(), w.tsDetailed);

    EXPECT_EQ(w.windowTitle(), "VexmorPing! v1.0");
    EXPECT_EQ(w.size(), QSize(597, 417));
    for (const char* name : {"tbButtons", "tbHost", "tbPacket", "bExit", "bConfig", "bPing", "bTrace",
                             "bStop", "bMail", "bFinger", "bScan", "bResolve", "bTime", "bAbout",
                             "bAdd", "bDelete", "hostname", "savename", "username", "password",
                             "packets", "block_size", "time_to_live", "timeout", "trace_resolve",
                             "SplitterMain", "PaneHosts", "hosts", "PaneData", "SplitterData",
                             "PageControl", "tsDetailed", "tsVerbose", "details", "verbose",
                             "msg_body", "statusbar", "timer"})
        EXPECT_NE(w.findChild<QObject*>(name), nullptr) << name;
    EXPECT_EQ(w.tbButtons->windowTitle(), "VexmorPing!; Standard Functions");
    EXPECT_EQ(w.bPing->toolTip(), "Execute a ping (Ctrl+P)");
    EXPECT_EQ(w.bTime->toolTip(), "Obtain GMT time from a server (Ctrl+G)");
    EXPECT_EQ(w.bPing->menu(), w.pingcheck);
    EXPECT_EQ(w.bDelete->menu(), w.delmenu);
    EXPECT_EQ(w.ping_checked->text(), "Ping Checked Hosts");
    EXPECT_EQ(w.popmailSend->text(), "Send A Message");
    EXPECT_EQ(w.packets->text(), "5");
    EXPECT_EQ(w.timeout->text(), "5000");
    EXPECT_EQ(w.password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(w.PageControl->tabText(1), "Verbose");
    EXPECT_EQ(Row(0), std::vector<std::string>{});
    EXPECT_EQ(w.details->headerItem()->text(2), "Address/Host");
}

TEST_F(WindowFixture, LoggingOnWritesAValidRtfLogFromStartUpOn)
{
    Store("log_transactions", "0");
    Store("resolve_trace", "0");
    TformVexmor& w = Open();
    EXPECT_TRUE(w.Record().Logging());
    EXPECT_TRUE(w.trace_resolve->isChecked());
    const testsupport::RtfDocument first = testsupport::ReadRtf(LogFile());
    ASSERT_TRUE(first.valid);
    EXPECT_EQ(first.PlainText(), w.verbose->toPlainText().toStdString());
    ASSERT_EQ(first.lines.size(), 3u);
    EXPECT_EQ(Lines()[2], "Logging to " + w.Record().LogFilePath().toStdString()) << "said once, where the log goes";

    w.WriteHeading("Heading {with} \\braces\\");
    w.WriteAlert("Alert \xE9t\xE9");
    w.WriteLine("<b>not markup</b>");
    w.SaveLogIfOn();
    const testsupport::RtfDocument second = testsupport::ReadRtf(LogFile());
    ASSERT_TRUE(second.valid);
    EXPECT_EQ(second.PlainText(), w.verbose->toPlainText().toLatin1().toStdString());
    ASSERT_EQ(second.lines.size(), 6u);
    const std::pair<bool, uint32_t> looks[] = {{true, 0x0000FFu}, {true, 0xFF0000u}, {false, 0x000000u}};
    for (size_t i = 3; i < 6; ++i)
        EXPECT_EQ(std::make_pair(second.lines[i][0].bold, second.lines[i][0].rgb), looks[i - 3]) << "line " << i;
    EXPECT_EQ(Lines()[5], "<b>not markup</b>");
}

TEST_F(WindowFixture, SwitchesUseTheInvertedEncodingAndAreReReadAfterConfigure)
{
    Store("log_transactions", "1");
    Store("resolve_trace", "yes");
    TformVexmor& w = Open();
    EXPECT_FALSE(w.Record().Logging());
    EXPECT_FALSE(w.trace_resolve->isChecked());
    EXPECT_FALSE(QFile::exists(w.Record().LogFilePath()));

    int runs = 0;
    w.configDialogRunner = [&] {
        ++runs;
        Store("log_transactions", "0");
    };
    Click(w.bConfig);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(w.Record().Logging());
    EXPECT_FALSE(QFile::exists(w.Record().LogFilePath()))
        << "re-reading after the dialog does not save at once";
}

TEST_F(WindowFixture, AFailedLogSaveIsReported)
{
    Store("log_transactions", "0");
    window = std::make_unique<TformVexmor>();
    window->Record().SetLogFolder("/nonexistent/folder");
    window->show(); // the save in FormShow raises inside the show event
    testsupport::PumpFor(20);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("/nonexistent/folder/VexmorPingLog.rtf"), std::string::npos) << errors[0];
}

TEST_F(WindowFixture, PageChangesScrollToTheLatestOutput)
{
    TformVexmor& w = Open();
    for (int i = 0; i < 200; ++i)
        w.WriteLine("line " + std::to_string(i));
    w.PageControl->setCurrentWidget(w.tsVerbose);
    EXPECT_TRUE(testsupport::PumpUntil([&] {
        return w.verbose->verticalScrollBar()->value() > 0 &&
               w.verbose->viewport()->rect().contains(w.verbose->cursorRect().center());
    })) << "the caret is in view";
    EXPECT_TRUE(w.verbose->textCursor().atEnd());
}

TEST_F(WindowFixture, TheLogGoesBesideTheProgramWhereThatIsWritableElseToTheStateFolder)
{
    QTemporaryDir state;
    ::setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1);
    EXPECT_EQ(Transcript::LogFolderFor(logDir.path()), logDir.path());
    // An installed program's folder nobody may write (here: one that cannot be made).
    const QString fallback = Transcript::LogFolderFor("/nonexistent/usr/bin");
    EXPECT_EQ(fallback, state.path() + "/VexmorPing");
    EXPECT_TRUE(QDir(fallback).exists()) << "the state folder is made when missing";
    ::unsetenv("XDG_STATE_HOME");
    const QByteArray home = qgetenv("HOME");
    ::setenv("HOME", state.path().toLocal8Bit().constData(), 1);
    EXPECT_EQ(Transcript::LogFolderFor("/nonexistent/usr/bin"), state.path() + "/.local/state/VexmorPing");
    ::setenv("HOME", home.constData(), 1);
}

TEST_F(WindowFixture, TheHostFieldGrowsWithItsToolbarSoAWholeIPv6AddressShows)
{
    Open();
    const QString longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%eth0";
    window->resize(900, 417);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return window->hostname->width() > 90; }));
    const int wide = window->hostname->width();
    EXPECT_GE(wide, window->hostname->fontMetrics().horizontalAdvance(longest));
    EXPECT_EQ(window->savename->width(), 45) << "the other fields keep their widths";

    window->resize(300, 417);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return window->hostname->width() < wide; }));
    EXPECT_GE(window->hostname->width(), 90) << "never narrower than the toolbar's layout gives it";
    EXPECT_EQ(window->hostname->minimumWidth(), 90);
}

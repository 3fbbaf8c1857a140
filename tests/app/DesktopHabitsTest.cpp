#include "WindowFixture.h"
#include "app/WindowMemory.h"
#include "support/FakeIcmp.h"
#include "platform/icmplib.h"

#include <QApplication>
#include <QClipboard>
#include <QSplitter>
#include <QScrollBar>
#include <QToolBar>

TEST_F(WindowFixture, TheWindowComesBackAsItWasClosed)
{
    {
        TformVexmor& w = Open();
        w.resize(720, 480);
        w.move(40, 30);
        w.SplitterMain->setSizes({200, 500});
        w.addToolBar(Qt::BottomToolBarArea, w.tbPacket);
        Type(w.hostname, "mail.example.test");
        Type(w.packets, "9");
        Type(w.time_to_live, "30");
        w.close();
    }
    const QList<int> splitter = window->SplitterMain->sizes();
    window.reset();
    TformVexmor& again = Open();
    EXPECT_EQ(again.size(), QSize(720, 480));
    EXPECT_EQ(again.toolBarArea(again.tbPacket), Qt::BottomToolBarArea);
    EXPECT_EQ(again.SplitterMain->sizes(), splitter);
    EXPECT_EQ(again.hostname->text(), "mail.example.test");
    EXPECT_EQ(again.packets->text(), "9");
    EXPECT_EQ(again.time_to_live->text(), "30");
    EXPECT_EQ(again.block_size->text(), "64");
}

namespace {

class Habits : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        icmp = std::make_unique<testsupport::FakeIcmp>();
        Open();
        window->timer->setInterval(30);
    }
    std::string Saved(const QString& name) const
    {
        QFile f(logDir.path() + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("(missing)");
    }
    std::unique_ptr<testsupport::FakeIcmp> icmp;
};

} // namespace

TEST_F(Habits, EnterPingsAndStatusNumbersExplainThemselves)
{
    icmp->Script = [](const testsupport::FakeIcmp::Echo&) {
        return testsupport::FakeIcmp::Answer{IP_DEST_HOST_UNREACHABLE, "", 1};
    };
    Type(window->packets, "2");
    Type(window->hostname, "127.0.0.1");
    QTest::keyClick(window->hostname, Qt::Key_Return);
    EXPECT_GE(IndexOf("Attempting to PING 127.0.0.1..."), 0) << "Enter in the host field pings";
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !Busy(); }, 10000));
    ASSERT_GE(Rows(), 2);
    EXPECT_EQ(Row(1)[0], ".") << "the row's text stays as it is";
    EXPECT_EQ(window->details->topLevelItem(1)->toolTip(0), "Destination host unreachable (11003)");
    EXPECT_EQ(window->bPing->shortcut(), QKeySequence("Ctrl+P"));
    EXPECT_EQ(window->bStop->toolTip(), "Cancel actions (Esc)");
}

TEST_F(Habits, TheReportCopiesAndExportsAndTheTranscriptClearsAndSaves)
{
    Type(window->packets, "3");
    Type(window->hostname, "127.0.0.1");
    Click(window->bPing);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !Busy(); }, 10000));
    ASSERT_EQ(Rows(), 3);
    window->details->topLevelItem(0)->setSelected(true);
    window->details->topLevelItem(2)->setSelected(true);
    window->detailsCopy->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "!\t1\t127.0.0.1\t1\t100%\t1ms\n!\t3\t127.0.0.1\t1\t100%\t1ms\n");

    window->details->topLevelItem(1)->setText(2, "a \"quoted\", host");
    window->saveFileChooser = [&](const QString&, const QString&) { return logDir.path() + "/report.csv"; };
    window->detailsExport->trigger();
    const std::string csv = Saved("report.csv");
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "?,#,Address/Host,Roundtime,Percent,Average");
    EXPECT_NE(csv.find("!,2,\"a \"\"quoted\"\", host\",1,100%,1ms\r\n"), std::string::npos) << csv;

    window->saveFileChooser = [&](const QString&, const QString&) { return logDir.path() + "/t.txt"; };
    window->verboseSaveAs->trigger();
    EXPECT_EQ(Saved("t.txt"), window->verbose->toPlainText().toStdString());
    window->saveFileChooser = [&](const QString&, const QString&) { return logDir.path() + "/t.rtf"; };
    window->verboseSaveAs->trigger();
    EXPECT_TRUE(testsupport::ReadRtf(Saved("t.rtf")).valid);
    window->saveFileChooser = [&](const QString&, const QString&) { return QString(); };
    window->verboseSaveAs->trigger(); // cancelled: nothing happens

    window->verboseClear->trigger();
    EXPECT_EQ(window->verbose->toPlainText(), "");
    window->WriteLine("after");
    EXPECT_EQ(Lines(), std::vector<std::string>{"after"}) << "no empty first line after a clear";
    EXPECT_TRUE(errors.empty());
}

TEST_F(Habits, ArrowKeysPickHostsAndTheTranscriptFollowsOnlyFromItsEnd)
{
    Type(window->hostname, "10.0.0.1");
    Type(window->savename, "alpha");
    Click(window->bAdd);
    Type(window->hostname, "10.0.0.2");
    Type(window->savename, "beta");
    Click(window->bAdd);
    ASSERT_EQ(window->hosts->topLevelItemCount(), 2);
    window->hosts->setFocus();
    window->hosts->setCurrentItem(window->hosts->topLevelItem(0));
    QTest::keyClick(window->hosts, Qt::Key_Down);
    EXPECT_EQ(window->savename->text(), "beta");
    EXPECT_EQ(window->hostname->text(), "10.0.0.2");
    QTest::keyClick(window->hosts, Qt::Key_Up);
    EXPECT_EQ(window->hostname->text(), "10.0.0.1");

    window->PageControl->setCurrentWidget(window->tsVerbose);
    window->resize(600, 400);
    QScrollBar* bar = window->verbose->verticalScrollBar();
    for (int i = 0; i < 200; ++i)
        window->WriteLine("line " + std::to_string(i));
    testsupport::PumpFor(20);
    EXPECT_EQ(bar->value(), bar->maximum()) << "at the end, new output is followed";
    bar->setValue(bar->maximum() / 2);
    const int reading = bar->value();
    for (int i = 0; i < 50; ++i)
        window->WriteLine("more " + std::to_string(i));
    window->ScrollToLatest();
    testsupport::PumpFor(20);
    EXPECT_EQ(bar->value(), reading) << "a user reading further up stays there";
    bar->setValue(bar->maximum());
    window->WriteLine("last");
    testsupport::PumpFor(20);
    EXPECT_EQ(bar->value(), bar->maximum());
}

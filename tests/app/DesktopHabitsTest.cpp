#include "WindowFixture.h"
#include "app/WindowMemory.h"
#include "support/FakeIcmp.h"
#include "support/ScriptServer.h"
#include "platform/icmplib.h"
#include "tcpip/T_Time.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
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
    // The chooser answers with a name and the type picked; a name without an
    // ending gets the type's.
    QString type;
    window->saveFileChooser = [&](const QString&, const QString& filters, QString& chosen) {
        EXPECT_EQ(chosen, filters.section(";;", 0, 0)) << "the first type is offered first";
        if (!type.isEmpty())
            chosen = type;
        return logDir.path() + "/saved";
    };
    window->detailsExport->trigger();
    const std::string csv = Saved("saved.csv");
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "?,#,Address/Host,Roundtime,Percent,Average");
    EXPECT_NE(csv.find("!,2,\"a \"\"quoted\"\", host\",1,100%,1ms\r\n"), std::string::npos) << csv;

    type = "Plain text (*.txt)";
    window->verboseSaveAs->trigger();
    EXPECT_EQ(Saved("saved.txt"), window->verbose->toPlainText().toStdString());
    type = "Rich text (*.rtf)";
    window->verboseSaveAs->trigger();
    EXPECT_TRUE(testsupport::ReadRtf(Saved("saved.rtf")).valid);
    // With "All files" the name's own ending decides.
    type = "All files (*)";
    window->saveFileChooser = [&](const QString&, const QString&, QString& chosen) {
        chosen = type;
        return logDir.path() + "/notes.txt";
    };
    window->verboseSaveAs->trigger();
    EXPECT_EQ(Saved("notes.txt"), window->verbose->toPlainText().toStdString());
    window->saveFileChooser = [&](const QString&, const QString&, QString&) { return QString(); };
    window->verboseSaveAs->trigger(); // cancelled: nothing happens
    EXPECT_EQ(QDir(logDir.path()).entryList(QDir::Files).size(), 4);

    // The file dialog itself: the type picked there decides, and the dialog
    // adds its ending (so it asks about replacing the file really written).
    window->saveFileChooser = nullptr;
    QTimer::singleShot(0, [&] {
        testsupport::PumpUntil([] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); }, 5000);
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        auto* types = dialog ? dialog->findChild<QComboBox*>("fileTypeCombo") : nullptr;
        if (!types) {
            if (dialog)
                dialog->reject(); // fails below, never hangs
            return;
        }
        QTest::keyClick(types, Qt::Key_Down); // "Plain text (*.txt)", as a user picks it
        dialog->selectFile(logDir.path() + "/picked");
        static_cast<QDialog*>(dialog)->accept(); // as the Save button does
    });
    window->verboseSaveAs->trigger();
    EXPECT_EQ(Saved("picked.txt"), window->verbose->toPlainText().toStdString());

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
    const auto atEnd = [bar] { return bar->maximum() > 0 && bar->value() == bar->maximum(); };
    EXPECT_TRUE(testsupport::PumpUntil(atEnd)) << "at the end, new output is followed";
    bar->setValue(bar->maximum() / 2);
    const int reading = bar->value();
    for (int i = 0; i < 50; ++i)
        window->WriteLine("more " + std::to_string(i));
    window->ScrollToLatest();
    testsupport::PumpFor(20);
    EXPECT_EQ(bar->value(), reading) << "a user reading further up stays there";
    bar->setValue(bar->maximum());
    window->WriteLine("last");
    EXPECT_TRUE(testsupport::PumpUntil(atEnd));

    // Following never scrolls sideways, even to the end of a long last line.
    window->PageControl->setCurrentWidget(window->tsDetailed);
    window->WriteLine("a long line " + std::string(400, 'x'));
    window->PageControl->setCurrentWidget(window->tsVerbose);
    QScrollBar* sideways = window->verbose->horizontalScrollBar();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return sideways->maximum() > 0 && atEnd(); }));
    testsupport::PumpFor(20); // a late sideways scroll would land meanwhile
    EXPECT_EQ(sideways->value(), 0) << "the start of the lines stays in view";
    EXPECT_EQ(bar->value(), bar->maximum());
    sideways->setValue(40);
    window->WriteLine("more");
    window->ScrollToLatest();
    EXPECT_EQ(sideways->value(), 40);
}

// Text from the system (a folder's name, the locale's date words, error
// texts) reaches the screen, the log and the error box as its characters.
TEST_F(Habits, SystemTextKeepsItsCharactersOnScreenInTheLogAndInErrors)
{
    const QString folder = logDir.path() + QString::fromUtf8("/bin-\xC3\xBC");
    ASSERT_TRUE(QDir().mkpath(folder));
    window->Record().SetLogFolder(folder);
    Store("log_transactions", "0");
    window->bConfigClick(); // the switches are read again
    EXPECT_EQ(Lines().back(), ("Logging to " + folder + "/VexmorPingLog.rtf").toStdString());

    Type(window->hostname, "127.0.0.1");
    testsupport::ScriptServer server({testsupport::ScriptServer::Send("\xEB\x27\xC4\xA0"),
                                      testsupport::ScriptServer::Close()});
    window->get_time->RemotePort = server.port();
    QLocale::setDefault(QLocale("bg_BG"));
    Click(window->bTime);
    QLocale::setDefault(QLocale::system());
    Click(window->bStop);
    ASSERT_TRUE(errors.empty()) << errors[0];
    EXPECT_GE(IndexOf("7.01.25 \xD0\xB3. 15:20:00 \xD1\x87. (GMT)"), 0);
    QFile log(folder + "/VexmorPingLog.rtf");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const std::string rtf = log.readAll().toStdString();
    EXPECT_NE(rtf.find("7.01.25 \\u1075?. 15:20:00 \\u1095?. (GMT)"), std::string::npos) << rtf;
    EXPECT_NE(rtf.find("bin-\\'fc"), std::string::npos);

    // A failed time command says why in red as well as in the box.
    testsupport::ScriptServer short3({testsupport::ScriptServer::Send("\x01\x02\x03"),
                                      testsupport::ScriptServer::Close()});
    window->get_time->RemotePort = short3.port();
    Click(window->bTime);
    Click(window->bStop);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("127.0.0.1 sent 3 bytes", 0), 0u) << errors[0];
    const int alert = IndexOf(errors[0]);
    ASSERT_GE(alert, 0);
    EXPECT_EQ(Attributes(alert), std::make_pair(true, QRgb(0xFF0000)));

    // The error box names the folder with its characters.
    ASSERT_TRUE(QDir(folder).removeRecursively());
    window->WriteLine("unsaved");
    window->SaveLogIfOn();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("Cannot write the log file " + logDir.path().toStdString() + "/bin-\xFC/"),
              std::string::npos)
        << errors[1];
}

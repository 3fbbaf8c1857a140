#include "app/WindowFixture.h"
#include "desktop/HiResTim.h"
#include "desktop/TrayIcon.h"
#include "support/Display.h"

#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

#include <chrono>

namespace {

// The icon's own window in the notification area, as Qt embeds it.
QWidget* IconWindow()
{
    for (QWidget* w : QApplication::allWidgets())
        if (std::string(w->metaObject()->className()) == "QSystemTrayIconSys" && w->isVisible())
            return w;
    return nullptr;
}

void SkipWithoutTray()
{
    if (!testsupport::TrayDisplay::Current || !testsupport::TrayDisplay::Current->Problem().empty())
        GTEST_SKIP() << (testsupport::TrayDisplay::Current ? testsupport::TrayDisplay::Current->Problem()
                                                           : std::string("no display"));
}

class TrayKeepAlive : public WindowFixture {
protected:
    void SetUp() override
    {
        SkipWithoutTray();
        WindowFixture::SetUp();
    }
};

} // namespace

TEST(TrayIcon, MinimisingMovesTheWindowIntoTheNotificationAreaAndRestoringBack)
{
    SkipWithoutTray();
    QWidget application;
    application.resize(200, 100);
    application.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&application));
    QMenu menu;
    menu.addAction("Entry");
    QPixmap picture(16, 16);
    picture.fill(Qt::darkBlue);
    application.setWindowIcon(QIcon(picture));
    TTrayIcon tray(&application);
    tray.SetIcon(application.windowIcon());
    ASSERT_TRUE(tray.ShellSupported());
    int minimized = 0, restored = 0, rightClicks = 0;
    tray.OnMinimize = [&](TObject*) { ++minimized; };
    tray.OnRestore = [&](TObject*) { ++restored; };
    tray.OnRightClick = [&](TObject*, Qt::MouseButton b, Qt::KeyboardModifiers, int, int) {
        EXPECT_EQ(b, Qt::RightButton);
        ++rightClicks;
    };
    tray.PopupMenu = &menu;
    tray.SetActive(true);
    EXPECT_FALSE(tray.IconShown()) << "a normal window shows no icon";
    tray.SetHint(std::string(80, 'h'));
    EXPECT_EQ(tray.Tip(), std::string(63, 'h'));

    // A right click while the window is visible opens no menu.
    tray.Window()->Send(TTrayIcon::WM_TRAYNOTIFY, 0, TTrayIcon::WM_RBUTTONUP);
    EXPECT_FALSE(menu.isVisible());
    EXPECT_EQ(rightClicks, 1);

    tray.Minimize();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return IconWindow() != nullptr; }, 20000)) << "the icon never reached the tray";
    EXPECT_TRUE(tray.IconShown());
    EXPECT_FALSE(application.isVisible()) << "the taskbar entry went with the window";
    EXPECT_EQ(minimized, 1);

    // A real right click on the embedded icon opens the menu.
    QWidget* icon = IconWindow();
    QTest::mouseClick(icon, Qt::RightButton, Qt::NoModifier, icon->rect().center());
    ASSERT_TRUE(testsupport::PumpUntil([&] { return menu.isVisible(); }, 20000));
    EXPECT_EQ(rightClicks, 2);
    menu.hide();

    tray.SetHint("");
    EXPECT_EQ(tray.Tip(), "") << "an empty hint clears the tip";

    tray.Restore();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return application.isVisible() && !tray.IconShown(); }, 20000));
    EXPECT_EQ(restored, 1);
    EXPECT_FALSE(tray.IsMinimized());

    // With a separate icon it stays after a restore.
    tray.SetSeparateIcon(true);
    EXPECT_TRUE(tray.IconShown());
    tray.Minimize();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !application.isVisible(); }, 20000));
    tray.SetActive(true);
    EXPECT_TRUE(tray.IconShown());
    tray.Restore();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return application.isVisible(); }, 20000));
    EXPECT_TRUE(tray.IconShown());
}

TEST_F(TrayKeepAlive, ADoubleClickOnTheIconRestoresTheWindowAndEndsTheMode)
{
    Store("web_page", "");
    TformVexmor& w = Open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    Click(w.bScan);
    EXPECT_EQ(errors, std::vector<std::string>{"Couldn't resolve hostname "});
    ASSERT_TRUE(testsupport::PumpUntil([&] { return IconWindow() != nullptr && !w.isVisible(); }, 20000));
    EXPECT_TRUE(w.KeepAlive().Timer().Enabled());
    EXPECT_EQ(w.trayicon->Tip(), "VexmorPing! v1.0");

    // The menu, as the notification area opens it.
    QWidget* icon = IconWindow();
    QTest::mouseClick(icon, Qt::RightButton, Qt::NoModifier, icon->rect().center());
    ASSERT_TRUE(testsupport::PumpUntil([&] { return w.traymenu->isVisible(); }, 20000));
    EXPECT_FALSE(w.pmAliveBegin->isEnabled());
    EXPECT_TRUE(w.pmAliveEnd->isEnabled());
    w.traymenu->hide();

    QTest::mouseDClick(IconWindow(), Qt::LeftButton, Qt::NoModifier, IconWindow()->rect().center());
    ASSERT_TRUE(testsupport::PumpUntil([&] { return w.isVisible() && !w.trayicon->IconShown(); }, 20000));
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.bScan->isEnabled());
    EXPECT_TRUE(w.pmAliveBegin->isEnabled());
    EXPECT_FALSE(w.pmAliveEnd->isEnabled());
}

TEST_F(TrayKeepAlive, BeginOnAWindowMinimisedByHandKeepsItInTheTrayWithItsMenu)
{
    Store("web_page", "");
    TformVexmor& w = Open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.setWindowState(w.windowState() | Qt::WindowMinimized); // as the window manager's button does
    ASSERT_TRUE(testsupport::PumpUntil([&] { return IconWindow() != nullptr && !w.isVisible(); }, 20000));
    auto openMenu = [&] {
        QWidget* icon = IconWindow();
        QTest::mouseClick(icon, Qt::RightButton, Qt::NoModifier, icon->rect().center());
        return testsupport::PumpUntil([&] { return w.traymenu->isVisible(); }, 20000);
    };
    ASSERT_TRUE(openMenu());
    w.traymenu->hide();
    w.pmAliveBegin->trigger();
    EXPECT_EQ(errors, std::vector<std::string>{"Couldn't resolve hostname "});
    EXPECT_TRUE(w.KeepAlive().Timer().Enabled());
    EXPECT_FALSE(w.isVisible()) << "the window stays in the notification area";
    ASSERT_TRUE(openMenu()) << "the icon's menu still opens";
    EXPECT_TRUE(w.pmAliveEnd->isEnabled());
    w.traymenu->hide();

    // Shown again by other means than the icon: the mode ends as a restore does.
    w.showNormal();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return w.isVisible() && !w.trayicon->IconShown(); }, 20000));
    EXPECT_FALSE(w.KeepAlive().Timer().Enabled());
    EXPECT_TRUE(w.bScan->isEnabled() && w.pmAliveBegin->isEnabled() && !w.pmAliveEnd->isEnabled());
}

namespace {

// Takes the shortcut events meant for the command buttons, so a key's
// command is seen without starting it.
class ShortcutRecorder final : public QObject {
public:
    std::vector<QObject*> hits;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Shortcut)
            return false;
        hits.push_back(watched);
        return true;
    }
};

} // namespace

// On this display the desktop's own key scheme (X11) is in force, where the
// line edits bind more keys than elsewhere.
TEST_F(WindowFixture, EveryFieldKeepsItsEditingKeysAndEveryCommandKeyWorksFromEachField)
{
    TformVexmor& w = Open();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const std::vector<QToolButton*> commands = {w.bExit,   w.bConfig, w.bPing, w.bTrace,   w.bStop,
                                                w.bMail,   w.bFinger, w.bScan, w.bResolve, w.bTime,
                                                w.bAbout,  w.bAdd,    w.bDelete};
    ShortcutRecorder recorder;
    for (QToolButton* b : commands) {
        b->installEventFilter(&recorder);
        EXPECT_TRUE(b->toolTip().endsWith(" (" + b->shortcut().toString(QKeySequence::NativeText) + ")"))
            << b->objectName().toStdString() << ": " << b->toolTip().toStdString();
    }
    EXPECT_EQ(w.bScan->shortcut(), QKeySequence("Ctrl+Shift+K"));
    const bool x11 = QKeySequence::keyBindings(QKeySequence::DeleteEndOfLine).contains(QKeySequence("Ctrl+K"));
    // From "abc def" with the cursor after "abc"; nullptr: the effect is not checked.
    const struct {
        const char* keys;
        const char* text;
        int cursor;
    } edits[] = {
        {"Ctrl+K", "abc", 3},        {"Ctrl+D", "abcdef", 3},   {"Ctrl+U", "", 0},         {"Ctrl+E", "abc def", 7},
        {"Ctrl+A", "abc def", 7},    {"Ctrl+C", nullptr, -1},   {"Ctrl+V", nullptr, -1},   {"Ctrl+X", nullptr, -1},
        {"Ctrl+Y", nullptr, -1},     {"Ctrl+Z", nullptr, -1},   {"Ctrl+Shift+Z", nullptr, -1},
        {"Home", "abc def", 0},      {"End", "abc def", 7},     {"Ctrl+Left", "abc def", 0},
        {"Ctrl+Right", nullptr, -1}, {"Ctrl+Backspace", " def", 0}, {"Ctrl+Delete", nullptr, -1},
        {"Shift+Insert", nullptr, -1},
    };
    for (QLineEdit* field : {w.hostname, w.savename, w.username, w.password, w.packets, w.block_size,
                             w.time_to_live, w.timeout}) {
        SCOPED_TRACE(field->objectName().toStdString());
        auto reset = [&] {
            field->setFocus();
            field->setText("abc def");
            field->setCursorPosition(3);
            for (QToolButton* b : commands)
                b->setEnabled(true); // a disabled button takes no key; here every one is asked
            recorder.hits.clear();
        };
        for (const auto& edit : edits) {
            SCOPED_TRACE(edit.keys);
            reset();
            QTest::keySequence(field, QKeySequence(edit.keys));
            EXPECT_TRUE(recorder.hits.empty()) << "a field's own key started "
                                               << recorder.hits.front()->objectName().toStdString();
            if (x11 && edit.text) {
                EXPECT_EQ(field->text().toStdString(), edit.text);
                EXPECT_EQ(field->cursorPosition(), edit.cursor);
            }
        }
        for (QToolButton* b : commands) {
            SCOPED_TRACE(b->objectName().toStdString());
            reset();
            QTest::keySequence(field, b->shortcut());
            EXPECT_EQ(recorder.hits, std::vector<QObject*>{b});
            EXPECT_EQ(field->text(), "abc def") << "the field was left as it was";
            EXPECT_EQ(field->cursorPosition(), 3);
        }
    }
}

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
    EXPECT_TRUE(w.ftptimer->Enabled());
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
    EXPECT_FALSE(w.ftptimer->Enabled());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.bScan->isEnabled());
    EXPECT_TRUE(w.pmAliveBegin->isEnabled());
    EXPECT_FALSE(w.pmAliveEnd->isEnabled());
}

#include "app/Program.h"
#include "framework/Application.h"
#include "platform/winsock.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

TEST(Program, ShowsTheMainWindowAndEndsTheModulesOnExit)
{
    QString title;
    bool visible = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == "formVexmor") {
                title = w->windowTitle();
                visible = w->isVisible();
            }
        App()->Terminate();
    });
    EXPECT_EQ(RunProgram(*App()), 0);
    EXPECT_EQ(title, "VexmorPing! v1.0");
    EXPECT_TRUE(visible);
    EXPECT_EQ(App()->Title, "VexmorPing! v1.0");
    EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET)
        << "every start was balanced by a clean-up";
}

TEST(Program, ASocketLayerThatCannotStartEndsTheProgramWithTheMessage)
{
    std::string message;
    App()->SetErrorReporter([&](const std::string&, const std::string& m) { message = m; });
    winsock::testing::FailStartupWith(WSASYSNOTREADY);
    const int rc = RunProgram(*App());
    winsock::testing::FailStartupWith(0);
    App()->SetErrorReporter({});

    EXPECT_NE(rc, 0);
    EXPECT_EQ(message, "WSAStartup - Could Not Initialize WinSock");
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
    EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
}

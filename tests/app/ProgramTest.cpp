#include "app/Program.h"
#include "framework/Application.h"
#include "platform/registry.h"
#include "platform/winsock.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The program creates its configuration keys at start: never in the user's folder.
class Program : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit().constData(), 1); }
    QTemporaryDir configDir;
};

} // namespace

TEST_F(Program, ShowsTheMainWindowAndEndsTheModulesOnExit)
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
    HKEY hosts = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zembrova!\\VexmorPing!\\Config\\Hosts", 0,
                            KEY_ALL_ACCESS, &hosts),
              ERROR_SUCCESS)
        << "the first start creates the configuration keys";
    RegCloseKey(hosts);
}

TEST_F(Program, ASocketLayerThatCannotStartEndsTheProgramWithTheMessage)
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

TEST_F(Program, AnUnusableSettingsFileIsNamedAtStartAndTheProgramStillRuns)
{
    const QString dir = configDir.path() + "/VexmorPing";
    ASSERT_TRUE(QDir().mkpath(dir));
    QFile garbage(dir + "/registry.db");
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(2048, 'g'));
    garbage.close();
    std::vector<std::string> messages;
    App()->SetErrorReporter([&](const std::string&, const std::string& m) { messages.push_back(m); });
    QTimer::singleShot(0, [] { App()->Terminate(); });
    EXPECT_EQ(RunProgram(*App()), 0);
    App()->SetErrorReporter({});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find((dir + "/registry.db").toStdString() + " is damaged"), std::string::npos) << messages[0];
}

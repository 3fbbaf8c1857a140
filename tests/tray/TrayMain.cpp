#include "framework/Application.h"
#include "support/Display.h"

#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

// A display of our own with a real XEmbed notification area on it, started
// before the application object so the program sees it as a desktop would.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    testsupport::TrayDisplay display(!listing);
    if (!display.Problem().empty())
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    else
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    Application app(argc, argv);
    if (display.Problem().empty())
        display.WaitForTray();
    testsupport::TrayDisplay::Current = &display;
    return RUN_ALL_TESTS();
}

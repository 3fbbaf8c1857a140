#include "framework/Application.h"
#include "support/Display.h"

#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

// Under LeakSanitizer: libdbus keeps one buffer for the process's life (the
// tray is found over D-Bus first); it is the library's, not ours.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so";
}

// A display of our own with a real XEmbed notification area on it, started
// before the application object so the program sees it as a desktop would.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    if (listing)
        return RUN_ALL_TESTS(); // no display and no application needed for a list
    testsupport::TrayDisplay display(true);
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

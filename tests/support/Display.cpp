#include "support/Display.h"

#include <QCoreApplication>
#include <QFile>
#include <QSystemTrayIcon>
#include <QThread>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TrayDisplay* TrayDisplay::Current = nullptr;

TrayDisplay::TrayDisplay(bool start)
{
    if (!start) {
        problem_ = "no display while listing the tests";
        return;
    }
    if (!QFile::exists("/usr/bin/Xvfb") || !QFile::exists("/usr/bin/trayer")) {
        problem_ = "Xvfb and trayer are needed (tools/install-deps.sh installs xvfb and trayer)";
        return;
    }
    StartServer();
    if (!problem_.empty())
        return;
    trayer_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    trayer_.start("/usr/bin/trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                                      "32", "--SetDockType", "true", "--expand", "true"});
    if (!trayer_.waitForStarted(5000))
        problem_ = "trayer did not start";
}

// Xvfb writes the display number it chose to the descriptor -displayfd names,
// once it accepts connections: no number is guessed and no race with other tests.
void TrayDisplay::StartServer()
{
    int fds[2];
    if (::pipe(fds) != 0) {
        problem_ = "no pipe for Xvfb";
        return;
    }
    serverPid_ = ::fork();
    if (serverPid_ == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (::read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
        problem_ = "Xvfb did not start";
        return;
    }
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
}

void TrayDisplay::WaitForTray()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (std::chrono::steady_clock::now() > deadline) {
            problem_ = "trayer started, but no notification area appeared";
            return;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
}

TrayDisplay::~TrayDisplay()
{
    if (trayer_.state() != QProcess::NotRunning) {
        trayer_.terminate();
        trayer_.waitForFinished(3000);
    }
    if (serverPid_ > 0) {
        ::kill(serverPid_, SIGTERM);
        ::waitpid(serverPid_, nullptr, 0);
    }
}

} // namespace testsupport

// Start-up (process start to main window shown with its banner) and one log
// save of a 10,000-line transcript. Run by hand; prints the figures.

#include "app/ProgramModules.h"
#include "app/TformVexmor.h"
#include "framework/Application.h"

#include <QDir>
#include <QFile>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double NowMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The measured child: the program's start-up up to the banner.
int Child(int argc, char** argv)
{
    Application app(argc, argv);
    ProgramModules modules;
    TformVexmor window;
    window.show();
    while (window.verbose->document()->blockCount() < 2)
        Application::ProcessMessages();
    std::printf("%.3f\n", NowMs());
    return 0;
}

double StartupMs(const char* self)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return -1;
    const double start = NowMs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::execl(self, self, "--child", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char text[64] = {};
    const ssize_t n = ::read(pipeFds[0], text, sizeof text - 1);
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    return n > 0 ? std::atof(text) - start : -1;
}

double LogSaveMs(int argc, char** argv)
{
    Application app(argc, argv);
    ProgramModules modules;
    TformVexmor window;
    window.Record().SetLogFolder(QDir::tempPath());
    for (int i = 0; i < 10000; ++i) {
        if (i % 10 == 0)
            window.WriteHeading("Attempting to PING host" + std::to_string(i) + "...");
        else
            window.WriteLine("  ! 0: Packet #" + std::to_string(i) + ": 127.0.0.1: 0ms");
    }
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) {
        const double t0 = NowMs();
        window.Record().SaveLog();
        times.push_back(NowMs() - t0);
    }
    std::sort(times.begin(), times.end());
    QFile::remove(window.Record().LogFilePath());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--child")
        return Child(argc, argv);
    std::vector<double> starts;
    for (int i = 0; i < 10; ++i)
        starts.push_back(StartupMs(argv[0]));
    std::sort(starts.begin(), starts.end());
    std::printf("start-up to banner: median %.1f ms (min %.1f, max %.1f) over 10 runs\n",
                starts[5], starts[0], starts[9]);
    std::printf("log save of 10,000 lines: median %.1f ms\n", LogSaveMs(argc, argv));
    return 0;
}

// Host-list rebuild with 1,000 entries and one settings read and write, in a
// temporary configuration folder. Run by hand; prints the figures.

#include "app/ProgramModules.h"
#include "app/TformVexmor.h"
#include "framework/Application.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"
#include "settings/Regi1632.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename Fn>
double MedianMs(int runs, Fn fn)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        fn(i);
        times.push_back(Ms(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir folder;
    ::setenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit().constData(), 1);
    Application app(argc, argv);
    ProgramModules modules;
    EnsureConfigurationKeys();

    TRegistry1632 reg;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = "host" + std::to_string(i);
        HKEY key = 0;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(HostsPath) + "\\" + name).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
        RegCloseKey(key);
        const std::string path = std::string(HostsPath) + "\\" + name;
        reg.WriteKeyLM(path, "ip_address", "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
        reg.WriteKeyLM(path, "username", "user" + std::to_string(i));
        reg.WriteKeyLM(path, "password", "pw" + std::to_string(i));
    }

    TformVexmor window;
    const double rebuild = MedianMs(9, [&](int) { window.LoadHostList(); });
    const double write = MedianMs(201, [&](int i) { reg.WriteKeyLM(ConfigPath, "smtp_server", "mail" + std::to_string(i)); });
    const double read = MedianMs(201, [&](int) { reg.ReadKeyLM(ConfigPath, "smtp_server"); });
    std::printf("LoadHostList with 1,000 entries: median %.1f ms\n", rebuild);
    std::printf("ReadKeyLM: median %.3f ms; WriteKeyLM (durably committed): median %.3f ms\n", read, write);
    return 0;
}

#include "platform/linux/SettingsFolder.h"

#include <sys/stat.h>

#include <cstdlib>

std::string SettingsFolder()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg)
        base = xdg;
    else
        base = std::string(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") + "/.config";
    return base + "/VexmorPing";
}

bool EnsureSettingsFolder()
{
    const std::string folder = SettingsFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    ::mkdir(parent.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    struct stat st{};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

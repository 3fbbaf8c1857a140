#include "platform/profile.h"
#include "framework/Lines.h"
#include "platform/linux/SettingsFolder.h"

#include <QSaveFile>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return SplitLines(text.str(), LastLine::IfNotEmpty);
}

bool IsSection(const std::string& line, std::string* name)
{
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']')
        return false;
    if (name)
        *name = Trim(t.substr(1, t.size() - 2));
    return true;
}

// Splits "key=value"; false for lines that are no entry.
bool IsEntry(const std::string& line, std::string& key, std::string& value)
{
    const size_t eq = line.find('=');
    if (eq == std::string::npos || Trim(line).rfind(';', 0) == 0)
        return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return true;
}

bool OneLine(const char* text)
{
    return !text || (std::strchr(text, '\n') == nullptr && std::strchr(text, '\r') == nullptr);
}

} // namespace

std::string ProfilePath(const std::string& fileName)
{
    if (fileName.find('/') != std::string::npos)
        return fileName;
    return SettingsFolder() + "/" + fileName;
}

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultText,
                                  char* buffer, uint32_t size, const char* fileName)
{
    std::string result = defaultText ? defaultText : "";
    bool inSection = false;
    for (const std::string& line : ReadLines(ProfilePath(fileName ? fileName : ""))) {
        std::string name, k, v;
        if (IsSection(line, &name)) {
            inSection = SameName(name, section ? section : "");
        } else if (inSection && IsEntry(line, k, v) && SameName(k, key ? key : "")) {
            result = v;
            break;
        }
    }
    if (!buffer || size == 0)
        return 0;
    const size_t n = std::min<size_t>(result.size(), size - 1);
    std::memcpy(buffer, result.data(), n);
    buffer[n] = '\0';
    return uint32_t(n);
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName)
{
    if (!section || !key || !OneLine(section) || !OneLine(key) || !OneLine(value) || !fileName)
        return false;
    const std::string path = ProfilePath(fileName);
    if (path.find('/') == std::string::npos || path.rfind(SettingsFolder(), 0) == 0)
        EnsureSettingsFolder();
    // A lock file beside the profile serialises two copies of the program.
    const int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return false;
    ::flock(lock, LOCK_EX);

    std::vector<std::string> lines = ReadLines(path);
    std::vector<std::string> out;
    bool inSection = false, sectionSeen = false, written = false;
    const std::string entry = std::string(key) + "=" + (value ? value : "");
    for (const std::string& line : lines) {
        std::string name, k, v;
        if (IsSection(line, &name)) {
            if (inSection && !written && value) {
                out.push_back(entry);
                written = true;
            }
            inSection = SameName(name, section);
            sectionSeen = sectionSeen || inSection;
        } else if (inSection && IsEntry(line, k, v) && SameName(k, key)) {
            if (value && !written)
                out.push_back(entry);
            written = true;
            continue;
        }
        out.push_back(line);
    }
    if (!written && value) {
        if (!sectionSeen)
            out.push_back("[" + std::string(section) + "]");
        out.push_back(entry);
    }

    QSaveFile file(QString::fromStdString(path));
    bool ok = file.open(QIODevice::WriteOnly);
    for (const std::string& line : out) {
        if (!ok)
            break;
        const std::string text = line + "\r\n";
        ok = file.write(text.data(), qint64(text.size())) == qint64(text.size());
    }
    ok = ok && file.commit();
    ::flock(lock, LOCK_UN);
    ::close(lock);
    return ok;
}

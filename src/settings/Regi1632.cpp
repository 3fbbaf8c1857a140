#include "settings/Regi1632.h"
#include "platform/profile.h"

#include <vector>

namespace {

// What a read gets back for an entry that is not there.
const char* const MissingMarker = "xyxyxyxyxyxyxyxyxyxyxyxyxyx";
constexpr uint32_t IniReadBuffer = 1024;

std::string SectionName(HKEY root, const std::string& path)
{
    return (root == HKEY_LOCAL_MACHINE ? "LM_" : "CU_") + path;
}

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

} // namespace

void TRegistry1632::Fail(const std::string& message)
{
    errorMessage_ = message;
    errorOccurred_ = true;
}

void TRegistry1632::WriteKey(HKEY root, const std::string& path, const std::string& key,
                             const std::string& value)
{
    errorOccurred_ = false;
    if (RunningWin31) {
        WriteIni(root, path, key, value);
        return;
    }
    HKEY handle = 0;
    if (path.size() > MaxText ||
        RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) {
        Fail("Openkey failed for path " + Quoted(path));
        return;
    }
    // Over-long names or values are refused whole rather than cut short.
    if (key.size() > MaxText || value.size() > MaxText ||
        RegSetValueExA(handle, key.c_str(), 0, REG_SZ, reinterpret_cast<const uint8_t*>(value.data()),
                       DWORD(value.size())) != ERROR_SUCCESS)
        Fail("RegSetValueEX failed for path " + Quoted(path) + " key " + Quoted(key));
    RegCloseKey(handle);
}

std::string TRegistry1632::ReadKey(HKEY root, const std::string& path, const std::string& key)
{
    errorOccurred_ = false;
    if (RunningWin31)
        return ReadIni(root, path, key);
    std::string result;
    HKEY handle = 0;
    if (path.size() > MaxText ||
        RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) {
        Fail("Openkey failed for path " + Quoted(path));
        return result;
    }
    std::vector<uint8_t> buffer(ReadBufferSize);
    DWORD size = ReadBufferSize;
    DWORD type = REG_NONE;
    if (key.size() > MaxText ||
        RegQueryValueExA(handle, key.c_str(), nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS) {
        Fail("Key " + Quoted(key) + " not found in path " + Quoted(path) + "; FileName: " +
             Quoted(IniFileName));
    } else {
        // Taken by the reported length, less the terminator the platform adds
        // to text, so a value holding a zero byte comes back whole.
        DWORD length = size;
        if (type == REG_SZ && length > 0 && buffer[length - 1] == 0)
            --length;
        result.assign(reinterpret_cast<const char*>(buffer.data()), length);
    }
    RegCloseKey(handle);
    return result;
}

void TRegistry1632::WriteKeyLM(const std::string& path, const std::string& key, const std::string& value)
{
    WriteKey(HKEY_LOCAL_MACHINE, path, key, value);
}

std::string TRegistry1632::ReadKeyLM(const std::string& path, const std::string& key)
{
    return ReadKey(HKEY_LOCAL_MACHINE, path, key);
}

bool TRegistry1632::HasKeyLM(const std::string& path, const std::string& key)
{
    if (RunningWin31) {
        const bool failed = errorOccurred_;
        const std::string message = errorMessage_;
        ReadIni(HKEY_LOCAL_MACHINE, path, key);
        const bool missing = errorOccurred_;
        errorOccurred_ = failed;
        errorMessage_ = message;
        return !missing;
    }
    HKEY handle = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    const LONG rc = RegQueryValueExA(handle, key.c_str(), nullptr, nullptr, nullptr, &size);
    RegCloseKey(handle);
    return rc != ERROR_FILE_NOT_FOUND;
}

void TRegistry1632::WriteIni(HKEY root, const std::string& path, const std::string& key,
                             const std::string& value)
{
    const std::string section = SectionName(root, path);
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), IniFileName.c_str()))
        Fail("Writekey to Inifile failed: " + section + key + " set to " + value + " in file " + IniFileName);
}

std::string TRegistry1632::ReadIni(HKEY root, const std::string& path, const std::string& key)
{
    const std::string section = SectionName(root, path);
    try {
        std::vector<char> buffer(IniReadBuffer);
        const uint32_t n = GetPrivateProfileStringA(section.c_str(), key.c_str(), MissingMarker,
                                                    buffer.data(), IniReadBuffer, IniFileName.c_str());
        const std::string text(buffer.data(), n);
        if (text == MissingMarker) {
            Fail("Key " + Quoted(key) + " not found in pathh " + Quoted(section) + "; FileName: " +
                 Quoted(IniFileName));
            return "";
        }
        return text;
    } catch (const std::exception&) {
        Fail("Key " + Quoted(key) + " not found in path " + Quoted(section) + "; FileName: " +
             Quoted(IniFileName));
        return "";
    }
}

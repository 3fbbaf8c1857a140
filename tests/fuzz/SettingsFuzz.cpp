// A setting's value on its way to the hive or the INI file and back, as the
// configuration dialog takes it: typed text to 8-bit text, the password
// scrambled, ports and numbers as decimal text, then written and read again.
#include "framework/Ansi.h"
#include "framework/SysUtils.h"
#include "fuzz/FuzzCheck.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/MailSettings.h"
#include "settings/Regi1632.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

namespace {

std::string folder;

void RemoveFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// The characters the code page has a byte for.
const std::set<char16_t>& Representable()
{
    static const std::set<char16_t> all = [] {
        std::set<char16_t> out;
        for (int b = 0; b < 256; ++b)
            out.insert(FromAnsi(std::string(1, char(b)))[0].unicode());
        return out;
    }();
    return all;
}

void TypedText(const uint8_t* data, size_t size)
{
    QString typed;
    for (size_t i = 0; i + 1 < size; i += 2)
        typed += QChar(char16_t(data[i] | data[i + 1] << 8));
    bool storable = true;
    for (QChar ch : typed)
        storable = storable && Representable().count(ch.unicode());
    try {
        const std::string bytes = ToAnsi(typed);
        Check(storable && FromAnsi(bytes) == typed);
    } catch (const EAnsiError&) {
        Check(!storable);
    }
}

void Numbers(const std::string& value, uint32_t number)
{
    const std::optional<uint16_t> port = PortNumber(value);
    if (port) {
        const size_t digits = value.find_first_not_of('0');
        Check(value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos);
        Check(digits != std::string::npos && value.substr(digits) == std::to_string(*port) && *port >= 1);
    }
    const uint16_t n = uint16_t(number);
    Check(PortNumber(std::to_string(n)) == (n ? std::optional<uint16_t>(n) : std::nullopt));
    Check(StrToInt(IntToStr(int32_t(number))) == int32_t(number));
    try {
        const int32_t parsed = StrToInt(value);
        Check(value.find_first_of("0123456789") != std::string::npos);
        Check(StrToInt(IntToStr(parsed)) == parsed);
    } catch (const EConvertError&) {
    }
}

// Registry mode: up to 254 bytes come back exactly (zero bytes too); 255 and
// 256 are written but cannot be read into the 255-byte buffer; a longer value
// is refused and the one before stays.
void Hive(const std::string& key, const std::string& stored)
{
    TRegistry1632 reg;
    const std::string before = reg.ReadKeyLM(ConfigPath, key);
    const bool hadValue = !reg.ErrorOccurred();
    reg.WriteKeyLM(ConfigPath, key, stored);
    Check(reg.ErrorOccurred() == (stored.size() > TRegistry1632::MaxText));
    const std::string back = reg.ReadKeyLM(ConfigPath, key);
    if (stored.size() < TRegistry1632::ReadBufferSize)
        Check(!reg.ErrorOccurred() && back == stored);
    else if (stored.size() <= TRegistry1632::MaxText)
        Check(reg.ErrorOccurred() && back.empty());
    else if (hadValue)
        Check(!reg.ErrorOccurred() && back == before);
}

// INI mode: text up to its first zero byte, one line only; what the file
// keeps as written (not blank-padded, not quoted, not the missing-entry
// marker) reads back the same.
void Profile(const std::string& key, const std::string& stored)
{
    TRegistry1632 reg;
    reg.RunningWin31 = true;
    reg.IniFileName = "fuzz.ini";
    reg.WriteKeyLM(ConfigPath, key, stored);
    const std::string text = stored.substr(0, stored.find('\0'));
    const bool oneLine = text.find_first_of("\r\n") == std::string::npos;
    Check(reg.ErrorOccurred() == !oneLine);
    const std::string back = reg.ReadKeyLM(ConfigPath, key);
    const bool plain = oneLine && text.size() < 1024 &&
                       (text.empty() || (std::strchr(" \t", text.front()) == nullptr &&
                                         std::strchr(" \t", text.back()) == nullptr)) &&
                       !(text.size() >= 2 && text.front() == text.back() &&
                         (text.front() == '"' || text.front() == '\'')) &&
                       text != "xyxyxyxyxyxyxyxyxyxyxyxyxyx";
    if (plain)
        Check(!reg.ErrorOccurred() && back == text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A hive of its own, in memory where there is a tmpfs.
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/vexmor-fuzz-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    std::atexit(RemoveFolder);
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    EnsureConfigurationKeys();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    static const char* const keys[] = {"smtp_server", "smtp_port", "pop_password", "full_name", "log_transactions"};
    const std::string key = keys[data[0] % 5];
    const bool password = key == "pop_password";
    uint32_t number;
    std::memcpy(&number, data + 1, 4);
    const std::string value(reinterpret_cast<const char*>(data + 5), size - 5);

    TypedText(data + 5, size - 5);
    // Every byte of stored text is one character in a field.
    Check(ToAnsi(FromAnsi(value)) == value);
    Numbers(value, number);

    // The password is kept scrambled, the same length.
    const std::string scrambled = Encrypt(value, CryptKey, CryptMultiplier, CryptIncrement);
    Check(scrambled.size() == value.size());
    Check(Decrypt(scrambled, CryptKey, CryptMultiplier, CryptIncrement) == value);
    const int key16 = int(number & 0xFFFF), multiplier = int(number >> 8), increment = int(number >> 16);
    Check(Decrypt(Encrypt(value, key16, multiplier, increment), key16, multiplier, increment) == value);

    const std::string stored = password ? scrambled : value;
    if (data[0] & 0x80)
        Profile(key, stored);
    else
        Hive(key, stored);
    return 0;
}

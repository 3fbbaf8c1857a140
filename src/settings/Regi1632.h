#pragma once

#include "framework/Component.h"
#include "platform/registry.h"

#include <string>

// Named string values in the registry (below a root key) or, in INI-file mode,
// in a private profile. Failures never raise: they are recorded in
// ErrorOccurred and ErrorMessage, and a failed read returns "".
class TRegistry1632 final : public TComponent {
public:
    void WriteKey(HKEY root, const std::string& path, const std::string& key, const std::string& value);
    std::string ReadKey(HKEY root, const std::string& path, const std::string& key);
    void WriteKeyLM(const std::string& path, const std::string& key, const std::string& value);
    std::string ReadKeyLM(const std::string& path, const std::string& key);
    // Whether the value was ever stored (an empty one counts); a read that
    // fails for another reason (too long, no access) still counts as stored.
    bool HasKeyLM(const std::string& path, const std::string& key);

    bool ErrorOccurred() const { return errorOccurred_; }
    const std::string& ErrorMessage() const { return errorMessage_; }

    bool RunningWin31 = false;
    std::string IniFileName = "registry.ini";

    // Each of path, key and written value holds at most this many characters.
    static constexpr size_t MaxText = 256;
    // A read offers the platform this many bytes, terminator included.
    static constexpr DWORD ReadBufferSize = 255;

private:
    void WriteIni(HKEY root, const std::string& path, const std::string& key, const std::string& value);
    std::string ReadIni(HKEY root, const std::string& path, const std::string& key);
    void Fail(const std::string& message);

    bool errorOccurred_ = false;
    std::string errorMessage_;
};

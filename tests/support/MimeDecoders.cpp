#include "support/MimeDecoders.h"

#include "mail/HeaderText.h"

#include <cstdint>

namespace testsupport {

namespace {

// Upper case only, as RFC 2045 has writers use: a writer's lower-case digits
// must fail here, though the header reader takes them.
int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::string> DecodeBase64(const std::string& text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pads = (text[i + 3] == '=') + (text[i + 2] == '=');
        if (pads && !last)
            return std::nullopt;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = k >= 4 - pads ? 0 : Base64Value(text[i + size_t(k)]);
            if (d < 0)
                return std::nullopt;
            v = v << 6 | uint32_t(d);
        }
        out += char(v >> 16);
        if (pads < 2)
            out += char((v >> 8) & 0xFF);
        if (pads < 1)
            out += char(v & 0xFF);
    }
    return out;
}

std::optional<std::string> DecodeQuotedPrintable(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        if (text.compare(i, 3, "=\r\n") == 0) {
            i += 2;
            continue;
        }
        if (i + 2 >= text.size() + 0 || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
            return std::nullopt;
        out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

std::optional<std::string> DecodeUuencode(const std::string& lines)
{
    std::string out;
    size_t at = 0;
    while (at < lines.size()) {
        const size_t end = lines.find("\r\n", at);
        if (end == std::string::npos)
            return std::nullopt;
        const std::string line = lines.substr(at, end - at);
        at = end + 2;
        if (line.empty())
            return std::nullopt;
        // Zero is written "`": a blank would be lost where a mail system strips line ends.
        for (const char c : line)
            if (c <= ' ' || c > '`')
                return std::nullopt;
        const int n = (line[0] - 32) & 63;
        const size_t groups = size_t(n + 2) / 3;
        if (line.size() != 1 + groups * 4)
            return std::nullopt;
        std::string bytes;
        for (size_t g = 0; g < groups; ++g) {
            uint32_t v = 0;
            for (size_t k = 0; k < 4; ++k)
                v = v << 6 | uint32_t((line[1 + g * 4 + k] - 32) & 63);
            bytes += char(v >> 16);
            bytes += char((v >> 8) & 0xFF);
            bytes += char(v & 0xFF);
        }
        out += bytes.substr(0, size_t(n));
    }
    return out;
}

} // namespace testsupport

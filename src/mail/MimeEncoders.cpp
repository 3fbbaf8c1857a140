#include "mail/MimeEncoders.h"

#include <algorithm>
#include <cstdint>

namespace {

const char Hex[] = "0123456789ABCDEF";
const char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendEscape(std::string& out, unsigned char b)
{
    out += '=';
    out += Hex[b >> 4];
    out += Hex[b & 0xF];
}

bool HasEightBit(const std::string& text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 127)
            return true;
    return false;
}

} // namespace

std::string EncodeHeaderWord(const std::string& text)
{
    if (!HasEightBit(text))
        return text;
    std::string out = "=?ISO-8859-1?Q?";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == ' ')
            out += '_';
        else if (b >= 33 && b <= 126 && b != '=' && b != '?' && b != '_')
            out += c;
        else
            AppendEscape(out, b);
    }
    return out + "?=";
}

std::string EncodeHeaderLine(const std::string& line)
{
    const size_t colon = line.find(": ");
    if (colon == std::string::npos)
        return line;
    return line.substr(0, colon + 2) + EncodeHeaderWord(line.substr(colon + 2, 999)) + "  ";
}

std::string OneLine(const std::string& text)
{
    std::string line = text.substr(0, 253);
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line + "\r\n";
}

bool NeedsQuotedPrintable(const std::string& text)
{
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b != 10 && b != 13 && (b < 32 || b > 126))
            return true;
    }
    return false;
}

void QuotedPrintableEncoder::Encode(const char* data, size_t size, std::string& out)
{
    out.reserve(out.size() + size * 3 + size / 20 + 3);
    for (size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        if (b <= 32 || b == '=' || b >= 127) {
            AppendEscape(out, b);
            column_ += 3;
        } else {
            out += char(b);
            column_ += 1;
        }
        if (column_ > 70) {
            out += "=\r\n";
            column_ = 0;
        }
    }
}

void EncodeBase64(const char* data, size_t size, std::string& out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    const size_t start = out.size();
    out.resize(start + (size + 2) / 3 * 4);
    char* to = &out[start];
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        *to++ = Base64Alphabet[v >> 18];
        *to++ = Base64Alphabet[(v >> 12) & 63];
        *to++ = Base64Alphabet[(v >> 6) & 63];
        *to++ = Base64Alphabet[v & 63];
    }
    if (i < size) {
        const uint32_t v = uint32_t(in[i]) << 16 | (i + 1 < size ? uint32_t(in[i + 1]) << 8 : 0);
        *to++ = Base64Alphabet[v >> 18];
        *to++ = Base64Alphabet[(v >> 12) & 63];
        *to++ = i + 1 < size ? Base64Alphabet[(v >> 6) & 63] : '=';
        *to++ = '=';
    }
}

void EncodeUuencode(const char* data, size_t size, std::string& out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    const auto put = [&out](unsigned v) { out += char(32 + (v & 63)); };
    for (size_t line = 0; line < size; line += UuencodeLineBytes) {
        const size_t n = std::min(UuencodeLineBytes, size - line);
        out += char(32 + n);
        for (size_t i = line; i < line + n; i += 3) {
            // A short last group is padded with blanks: the line's length character
            // tells a decoder how many bytes are real, so the pad is never decoded.
            const unsigned a = in[i], b = i + 1 < line + n ? in[i + 1] : 32, c = i + 2 < line + n ? in[i + 2] : 32;
            put(a >> 2);
            put((a << 4) | (b >> 4));
            put((b << 2) | (c >> 6));
            put(c);
        }
        out += "\r\n";
    }
}

std::string DotStuffer::Stuff(const std::string& data)
{
    std::string out;
    out.reserve(data.size() + 16);
    for (const char c : data) {
        if (atLineStart_ && c == '.')
            out += '.';
        out += c;
        atLineStart_ = c == '\n';
    }
    return out;
}

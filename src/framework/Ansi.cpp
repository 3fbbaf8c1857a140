#include "framework/Ansi.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Bytes 0x80-0x9F. The five the code page leaves undefined map to the C1
// controls of the same value, as Windows' own conversion does.
constexpr std::array<char16_t, 32> High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool ByteOf(char16_t u, unsigned char& byte)
{
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        byte = static_cast<unsigned char>(u);
        return true;
    }
    const auto it = std::find(High.begin(), High.end(), u);
    if (it == High.end())
        return false;
    byte = static_cast<unsigned char>(0x80 + (it - High.begin()));
    return true;
}

} // namespace

QString FromAnsi(const std::string& text)
{
    QString out(qsizetype(text.size()), Qt::Uninitialized);
    QChar* to = out.data();
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        *to++ = QChar(b >= 0x80 && b < 0xA0 ? High[b - 0x80] : char16_t(b));
    }
    return out;
}

std::string ToAnsi(const QString& text, const std::string& what)
{
    std::string out;
    out.reserve(size_t(text.size()));
    for (const QChar ch : text) {
        unsigned char byte = 0;
        if (!ByteOf(ch.unicode(), byte)) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", unsigned(ch.unicode()));
            throw EAnsiError(what + " holds the character " + code +
                             ", which cannot be stored: only Western European letters and signs "
                             "(Windows code page 1252) can be. Nothing was changed.");
        }
        out += char(byte);
    }
    return out;
}

QString FromSystem(const std::string& bytes)
{
    return QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size()));
}

std::string AnsiFromSystem(const QString& text)
{
    std::string out;
    out.reserve(size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        unsigned char byte = 0;
        if (ByteOf(text[i].unicode(), byte)) {
            out += char(byte);
        } else {
            out += '?';
            if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                ++i; // one character, one sign
        }
    }
    return out;
}

QString VisibleText(const QString& text)
{
    QString out = text;
    for (QChar& ch : out) {
        const char16_t u = ch.unicode();
        if (u < 0x20 && u != '\t')
            ch = QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            ch = QChar(char16_t(0x2421));
        else if (u >= 0x80 && u < 0xA0)
            ch = QChar(char16_t(0xFFFD)); // the code page's five undefined bytes
    }
    return out;
}

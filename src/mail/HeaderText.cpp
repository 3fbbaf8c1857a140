#include "mail/HeaderText.h"
#include "framework/Ansi.h"

#include <QByteArray>
#include <QStringDecoder>

#include <optional>

namespace {

// One encoded word found in the text: its charset and the bytes it stands for.
struct EncodedWord {
    size_t end = 0; // just past "?="
    std::string charset;
    std::string bytes;
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Base64 of one word; nullopt when it is not base64, so the word stays as sent.
std::optional<std::string> DecodeB(const std::string& text)
{
    std::string out;
    unsigned bits = 0;
    int held = 0;
    size_t at = 0;
    for (; at < text.size() && text[at] != '='; ++at) {
        const int v = Base64Value(text[at]);
        if (v < 0)
            return std::nullopt;
        bits = (bits << 6) | unsigned(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out += char((bits >> held) & 0xFF);
        }
    }
    for (; at < text.size(); ++at)
        if (text[at] != '=')
            return std::nullopt;
    // Six bits left over cannot end base64; missing padding is forgiven.
    if (held == 6)
        return std::nullopt;
    return out;
}

// Quoted-printable of one word: "_" is a space; a "=" without two hex digits
// is kept as it is.
std::string DecodeQ(const std::string& text)
{
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && at + 2 < text.size() && HexValue(text[at + 1]) >= 0 &&
                   HexValue(text[at + 2]) >= 0) {
            out += char(HexValue(text[at + 1]) * 16 + HexValue(text[at + 2]));
            at += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// "=?charset?B|Q?text?=" at text[at]; nullopt when there is none there.
std::optional<EncodedWord> EncodedWordAt(const std::string& text, size_t at)
{
    if (text.compare(at, 2, "=?") != 0)
        return std::nullopt;
    const size_t charsetEnd = text.find('?', at + 2);
    if (charsetEnd == std::string::npos || charsetEnd == at + 2 || charsetEnd + 2 >= text.size() ||
        text[charsetEnd + 2] != '?')
        return std::nullopt;
    const char encoding = text[charsetEnd + 1];
    const size_t textStart = charsetEnd + 3;
    const size_t textEnd = text.find('?', textStart);
    if (textEnd == std::string::npos || textEnd + 1 >= text.size() || text[textEnd + 1] != '=')
        return std::nullopt;
    std::string charset = text.substr(at + 2, charsetEnd - at - 2);
    const std::string encoded = text.substr(textStart, textEnd - textStart);
    for (const char c : charset + encoded)
        if (c == '?' || static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E)
            return std::nullopt;
    // RFC 2231 lets a language follow the charset: "utf-8*de".
    charset = charset.substr(0, charset.find('*'));
    EncodedWord word;
    word.end = textEnd + 2;
    word.charset = charset;
    if (encoding == 'Q' || encoding == 'q') {
        word.bytes = DecodeQ(encoded);
    } else if (encoding == 'B' || encoding == 'b') {
        std::optional<std::string> bytes = DecodeB(encoded);
        if (!bytes)
            return std::nullopt;
        word.bytes = std::move(*bytes);
    } else {
        return std::nullopt;
    }
    return word;
}

bool SameCharset(const std::string& a, const std::string& b)
{
    return QByteArray::fromStdString(a).compare(QByteArray::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// Bytes not labelled with a charset: UTF-8 when they are, else the code page.
QString RawText(const std::string& bytes)
{
    if (IsUtf8(bytes.data(), bytes.size()))
        return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    return FromAnsi(bytes);
}

QString InCharset(const std::string& charset, const std::string& bytes)
{
    QStringDecoder decoder(charset.c_str());
    if (!decoder.isValid())
        return RawText(bytes); // an unknown label: the bytes may still read
    return decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

} // namespace

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool IsUtf8(const char* data, size_t size)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size;) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0)
                low = 0xA0;
            else if (b == 0xED)
                high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0)
                low = 0x90;
            else if (b == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (size - i < length || p[i + 1] < low || p[i + 1] > high)
            return false;
        for (size_t k = 2; k < length; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return false;
        i += length;
    }
    return true;
}

QString DecodeHeaderText(const std::string& value)
{
    if (value.find("=?") == std::string::npos)
        return RawText(value); // most headers: no word to look for
    QString out;
    std::string raw;          // bytes waiting to be read as unlabelled text
    std::string wordCharset;  // the run of encoded words waiting to be converted
    std::string wordBytes;
    bool inWords = false;
    const auto flushRaw = [&] {
        out += RawText(raw);
        raw.clear();
    };
    // Adjacent words of one charset are converted together: a sender may split
    // one character's bytes between two words.
    const auto flushWords = [&] {
        if (inWords)
            out += InCharset(wordCharset, wordBytes);
        wordBytes.clear();
        inWords = false;
    };
    size_t at = 0;
    while (at < value.size()) {
        if (std::optional<EncodedWord> word = EncodedWordAt(value, at)) {
            if (inWords && !SameCharset(wordCharset, word->charset))
                flushWords();
            if (!inWords) {
                flushRaw();
                wordCharset = word->charset;
                inWords = true;
            }
            wordBytes += word->bytes;
            at = word->end;
            // Only white space up to the next encoded word: it is dropped.
            size_t next = at;
            while (next < value.size() && IsSpace(value[next]))
                ++next;
            if (next > at && next < value.size() && EncodedWordAt(value, next))
                at = next;
            continue;
        }
        flushWords();
        raw += value[at++];
    }
    flushWords();
    flushRaw();
    return out;
}

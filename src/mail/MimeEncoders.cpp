#include "mail/MimeEncoders.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace {

const char Hex[] = "0123456789ABCDEF";
const char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const std::string WordOpen = std::string("=?") + TextCharset + "?Q?";
const std::string WordClose = "?=";
// A folded header line holding encoded words may have 76 characters (RFC 2047).
constexpr size_t FoldAt = 76;
constexpr size_t MaxWord = 75;

void AppendEscape(std::string& out, unsigned char b, char mark = '=')
{
    out += mark;
    out += Hex[b >> 4];
    out += Hex[b & 0xF];
}

bool IsAsciiLetterOrDigit(unsigned char b)
{
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
}

// What a "Q" word may carry as itself anywhere, a display name included
// (RFC 2047 section 5, rule 3).
bool QLiteral(unsigned char b)
{
    return IsAsciiLetterOrDigit(b) || b == '!' || b == '*' || b == '+' || b == '-' || b == '/';
}

// RFC 5322 atext: a display name of these and blanks needs no quotes.
bool AText(unsigned char b)
{
    return IsAsciiLetterOrDigit(b) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(char(b)) != std::string_view::npos;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Line breaks typed into a value would start a header of their own.
std::string Blanked(std::string text)
{
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> SplitAtBlanks(const std::string& text)
{
    std::vector<std::string> pieces;
    size_t at = 0;
    for (size_t blank; (blank = text.find(' ', at)) != std::string::npos; at = blank + 1)
        pieces.push_back(text.substr(at, blank - at));
    pieces.push_back(text.substr(at));
    return pieces;
}

// Whether a value must go as encoded words: 8-bit or control bytes, a piece a
// reader would decode as an encoded word, or a word too long for any line.
bool NeedsWords(const std::string& text)
{
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 32 || b >= 127)
            return true;
    }
    if (text.find("=?") != std::string::npos)
        return true;
    for (const std::string& piece : SplitAtBlanks(text))
        if (piece.size() > FoldAt - 2)
            return true;
    return false;
}

// One encoded word of at most `most` characters, taking bytes of text from
// `at` on; at least one byte is always taken.
std::string EncodeWord(const std::string& text, size_t& at, size_t most)
{
    std::string word = WordOpen;
    const size_t limit = std::max(most, WordOpen.size() + WordClose.size() + 3) - WordClose.size();
    while (at < text.size()) {
        const auto b = static_cast<unsigned char>(text[at]);
        const size_t cost = b == ' ' || QLiteral(b) ? 1 : 3;
        if (word.size() + cost > limit && word.size() > WordOpen.size())
            break;
        if (b == ' ')
            word += '_';
        else if (QLiteral(b))
            word += char(b);
        else
            AppendEscape(word, b);
        ++at;
    }
    return word + WordClose;
}

// Builds one header field, breaking lines before a blank where the next
// piece would pass the fold limit. A line is never folded before it holds
// text, so no line is blanks alone.
class Folder final {
public:
    explicit Folder(const std::string& field) : out_(field + ":"), line_(out_.size()) {}

    // A piece after one blank.
    void Add(const std::string& piece)
    {
        if (lineHasText_ && line_ + 1 + piece.size() > FoldAt)
            Break();
        out_ += ' ';
        out_ += piece;
        line_ += 1 + piece.size();
        lineHasText_ = lineHasText_ || !piece.empty();
    }
    // Text as encoded words, each sized to the room left on its line.
    void AddWords(const std::string& text)
    {
        for (size_t at = 0; at < text.size();) {
            size_t room = line_ + 1 < FoldAt ? FoldAt - line_ - 1 : 0;
            if (room < WordOpen.size() + WordClose.size() + 6 && lineHasText_) {
                Break();
                room = FoldAt - 1;
            }
            const std::string word = EncodeWord(text, at, std::min(room, MaxWord));
            out_ += ' ' + word;
            line_ += 1 + word.size();
            lineHasText_ = true;
        }
    }
    // A phrase (display name): atoms as they are, quoted when it holds
    // punctuation, encoded words when it is not plain ASCII.
    void AddPhrase(const std::string& name)
    {
        bool atoms = true;
        for (const char c : name)
            atoms = atoms && (c == ' ' || AText(static_cast<unsigned char>(c)));
        std::string quoted = "\"";
        for (const char c : name) {
            if (c == '"' || c == '\\')
                quoted += '\\';
            quoted += c;
        }
        quoted += '"';
        if (NeedsWords(name) || (!atoms && quoted.size() > FoldAt - 6)) {
            AddWords(name);
        } else if (atoms) {
            for (const std::string& piece : SplitAtBlanks(name))
                if (!piece.empty())
                    Add(piece);
        } else {
            Add(quoted);
        }
    }
    const std::string& Text() const { return out_; }

private:
    void Break()
    {
        out_ += "\r\n";
        line_ = 0;
        lineHasText_ = false;
    }

    std::string out_;
    size_t line_;
    bool lineHasText_ = false;
};

bool IsAddressField(const std::string& field)
{
    const std::string name = Lower(field);
    return name == "from" || name == "sender" || name == "reply-to" || name == "to" || name == "cc" ||
           name == "bcc";
}

// Fields whose values are tokens of their own syntax: folded at blanks, never encoded.
bool IsStructuredField(const std::string& field)
{
    const std::string name = Lower(field);
    return name == "date" || name == "message-id" || name == "in-reply-to" || name == "references" ||
           name == "mime-version" || (name.rfind("content-", 0) == 0 && name != "content-description");
}

void AddMailbox(Folder& folder, const std::string& name, const std::string& address, bool last)
{
    const std::string tail = last ? "" : ",";
    if (name.empty()) {
        folder.Add(address + tail);
        return;
    }
    folder.AddPhrase(name);
    folder.Add("<" + address + ">" + tail);
}

std::string AddressValue(const std::string& field, const std::vector<std::pair<std::string, std::string>>& boxes)
{
    Folder folder(field);
    for (size_t i = 0; i < boxes.size(); ++i)
        AddMailbox(folder, boxes[i].first, boxes[i].second, i + 1 == boxes.size());
    return folder.Text();
}

} // namespace

std::string EncodeHeaderWord(const std::string& text)
{
    if (!NeedsWords(text))
        return text;
    std::string out;
    for (size_t at = 0; at < text.size();)
        out += (out.empty() ? "" : " ") + EncodeWord(text, at, MaxWord);
    return out;
}

std::string EncodeHeaderLine(const std::string& line)
{
    const size_t colon = line.find(": ");
    if (colon == std::string::npos)
        return line;
    const std::string field = line.substr(0, colon);
    const std::string value = Trimmed(Blanked(line.substr(colon + 2)));
    if (IsAddressField(field)) {
        std::vector<std::pair<std::string, std::string>> boxes;
        for (const std::string& item : SplitMailboxList(value)) {
            std::string name, address;
            if (ParseMailbox(item, name, address))
                boxes.emplace_back(name, address);
            else if (!Trimmed(item).empty())
                boxes.emplace_back(std::string(), Trimmed(item)); // as typed: the reader judges it
        }
        return AddressValue(field, boxes);
    }
    Folder folder(field);
    if (!IsStructuredField(field) && NeedsWords(value)) {
        folder.AddWords(value);
    } else {
        for (const std::string& piece : SplitAtBlanks(value))
            folder.Add(piece);
    }
    return folder.Text();
}

std::string AddressHeader(const std::string& field, const std::vector<std::string>& entries)
{
    std::vector<std::pair<std::string, std::string>> boxes;
    for (const std::string& entry : entries) {
        std::string address, name;
        SplitMailEntry(Blanked(entry), address, name);
        if (!address.empty())
            boxes.emplace_back(name, address);
    }
    return AddressValue(field, boxes);
}

std::string OneLine(const std::string& text)
{
    return Blanked(text.substr(0, 253)) + "\r\n";
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

bool FitsSevenBitLines(const std::string& text)
{
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n')
                return false;
        } else if (b == '\n') {
            if (i == 0 || text[i - 1] != '\r')
                return false;
            column = 0;
        } else if (b < 32 || b > 126 || ++column > MaxLineLength) {
            return false;
        }
    }
    return true;
}

bool IsAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
}

void SplitMailEntry(const std::string& entry, std::string& address, std::string& name)
{
    const size_t bar = entry.find('|');
    address = Trimmed(entry.substr(0, bar));
    name = bar == std::string::npos ? std::string() : Trimmed(entry.substr(bar + 1, 999));
}

bool ParseMailbox(const std::string& text, std::string& name, std::string& address)
{
    name.clear();
    address.clear();
    const std::string typed = Trimmed(Blanked(text));
    const size_t open = typed.rfind('<');
    if (open == std::string::npos) {
        // A bare address: blanks inside it are slips of the keyboard.
        for (const char c : typed)
            if (c != ' ' && c != '\t')
                address += c;
        return address.find('@') != std::string::npos && address.find_first_of("<>\",;") == std::string::npos;
    }
    const size_t close = typed.find('>', open);
    if (close == std::string::npos || close + 1 != typed.size())
        return false;
    address = Trimmed(typed.substr(open + 1, close - open - 1));
    std::string phrase = Trimmed(typed.substr(0, open));
    if (phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"') {
        for (size_t i = 1; i + 1 < phrase.size(); ++i) {
            if (phrase[i] == '\\' && i + 2 < phrase.size())
                ++i;
            name += phrase[i];
        }
    } else {
        name = phrase;
    }
    return address.find('@') != std::string::npos && address.find_first_of(" <>\",;") == std::string::npos;
}

std::string MailboxText(const std::string& name, const std::string& address)
{
    if (name.empty())
        return address;
    bool plain = true;
    for (const char c : name)
        plain = plain && (c == ' ' || AText(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 128);
    if (plain)
        return name + " <" + address + ">";
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\" <" + address + ">";
}

std::vector<std::string> SplitMailboxList(const std::string& text)
{
    std::vector<std::string> items(1);
    bool quoted = false, angled = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\' && i + 1 < text.size()) {
            items.back() += c;
            items.back() += text[++i];
            continue;
        }
        if (c == '"' && !angled)
            quoted = !quoted;
        else if (!quoted && c == '<')
            angled = true;
        else if (!quoted && c == '>')
            angled = false;
        if (c == ',' && !quoted && !angled)
            items.emplace_back();
        else
            items.back() += c;
    }
    return items;
}

bool IsUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t more = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 && b >= 0xC2 ? 1 : (b & 0xF0) == 0xE0 ? 2
                          : (b & 0xF8) == 0xF0 && b <= 0xF4                ? 3
                                                                           : 4;
        if (more == 4)
            return false;
        for (size_t k = 1; k <= more; ++k)
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += 1 + more;
    }
    return true;
}

std::string MimeParameter(const std::string& name, const std::string& value, const char* charset)
{
    bool printable = true;
    for (const char c : value)
        printable = printable && static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127;
    if (printable) {
        std::string out = name + "=\"";
        for (const char c : value) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + "\"";
    }
    std::string out = name + "*=" + charset + "''";
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (IsAsciiLetterOrDigit(b) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos)
            out += c;
        else
            AppendEscape(out, b, '%');
    }
    return out;
}

void QuotedPrintableEncoder::Encode(const char* data, size_t size, std::string& out)
{
    out.reserve(out.size() + size * 3 + size / 20 + 3);
    for (size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        if (heldCr_) {
            heldCr_ = false;
            if (b == '\n') {
                out += "\r\n";
                column_ = 0;
                continue;
            }
            Escaped('\r', out);
        }
        if (textBreaks_ && b == '\r') {
            heldCr_ = true; // a line break if LF follows, perhaps in the next block
            continue;
        }
        if (b <= 32 || b == '=' || b >= 127) {
            Escaped(b, out);
        } else {
            out += char(b);
            column_ += 1;
            SoftBreakIfDue(out);
        }
    }
}

void QuotedPrintableEncoder::Finish(std::string& out)
{
    if (heldCr_) {
        heldCr_ = false;
        Escaped('\r', out);
    }
}

void QuotedPrintableEncoder::Escaped(unsigned char b, std::string& out)
{
    AppendEscape(out, b);
    column_ += 3;
    SoftBreakIfDue(out);
}

void QuotedPrintableEncoder::SoftBreakIfDue(std::string& out)
{
    if (column_ > 70) {
        out += "=\r\n";
        column_ = 0;
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
    const auto put = [&out](unsigned v) { out += (v & 63) ? char(32 + (v & 63)) : '`'; };
    for (size_t line = 0; line < size; line += UuencodeLineBytes) {
        const size_t n = std::min(UuencodeLineBytes, size - line);
        put(unsigned(n));
        for (size_t i = line; i < line + n; i += 3) {
            // The line's length character tells a decoder how many bytes are
            // real, so the zero pad of a short last group is never decoded.
            const unsigned a = in[i], b = i + 1 < line + n ? in[i + 1] : 0, c = i + 2 < line + n ? in[i + 2] : 0;
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

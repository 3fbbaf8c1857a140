// A message composed from fuzzed names, subject, body lines and attachment
// bytes in each transfer encoding, read back with the independent decoders:
// every line ends in CR LF, header lines fold within 78 characters with no
// blank at their end, one From and at most one To field give back the names
// and subject typed, and the body and every attachment decode to what went in.
#include "fuzz/FuzzCheck.h"
#include "mail/MimeWriter.h"
#include "support/MimeDecoders.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// A typed field: one line, any other byte.
std::string Field(FuzzedDataProvider& in, size_t most)
{
    std::string text = in.ConsumeRandomLengthString(most);
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

std::string Address(FuzzedDataProvider& in)
{
    std::string text = in.ConsumeRandomLengthString(30);
    for (char& c : text)
        if (c < '!' || c > '~' || c == '<' || c == '>' || c == '|')
            c = 'x';
    return text;
}

// Printable ASCII in lines ending CR LF.
bool PlainText(const std::string& text)
{
    for (char c : text)
        if (c != '\r' && c != '\n' && (uint8_t(c) < 32 || uint8_t(c) > 126))
            return false;
    return true;
}

const std::string Open = "=?windows-1252?Q?";

// A value made of encoded words separated by blanks, as a reader decodes it:
// the words' texts run together.
bool Unwords(const std::string& value, std::string& out)
{
    out.clear();
    for (size_t at = 0; at < value.size();) {
        if (value.compare(at, Open.size(), Open) != 0)
            return false;
        const size_t end = value.find("?=", at + Open.size());
        if (end == std::string::npos || end + 2 - at > 75)
            return false;
        for (size_t i = at + Open.size(); i < end; ++i) {
            const char c = value[i];
            if (c == '_') {
                out += ' ';
            } else if (c == '=' && i + 2 < end) {
                out += char(std::strtol(value.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
            } else {
                Check(std::isalnum(static_cast<unsigned char>(c)) || std::string("!*+-/").find(c) != std::string::npos);
                out += c;
            }
        }
        at = end + 2;
        if (at < value.size()) {
            if (value[at] != ' ')
                return false;
            ++at;
        }
    }
    return true;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A display name as a reader gets it back: from encoded words, a quoted
// string, or atoms (runs of blanks between them read as one).
std::string Phrase(const std::string& phrase)
{
    std::string out;
    if (Unwords(phrase, out))
        return out;
    if (!phrase.empty() && phrase[0] == '"') {
        Check(phrase.size() >= 2 && phrase.back() == '"');
        for (size_t i = 1; i + 1 < phrase.size(); ++i) {
            if (phrase[i] == '\\')
                ++i;
            out += phrase[i];
        }
        return out;
    }
    return phrase;
}

std::string Collapsed(const std::string& name)
{
    std::string out;
    for (const char c : name)
        if (c != ' ' || (!out.empty() && out.back() != ' '))
            out += c;
    return out;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines, size_t from = 0, size_t to = std::string::npos)
{
    std::string text;
    for (size_t i = from; i < lines.size() && i < to; ++i)
        text += lines[i] + "\r\n";
    return text;
}

// A plain part's text: its lines with CR LF; false when the file cannot go
// as lines unchanged (a NUL or 8-bit byte, a CR of its own, a line over 998
// characters), and so goes base64.
bool PlainLines(const std::string& bytes, std::string& out)
{
    for (const char c : bytes)
        if (c == 0 || uint8_t(c) >= 127)
            return false;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        std::string line = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r' && end != std::string::npos)
            line.pop_back();
        if (line.size() > 998 || line.find('\r') != std::string::npos)
            return false;
        out += line + "\r\n";
        at = end == std::string::npos ? bytes.size() : end + 1;
    }
    return true;
}

// The header's fields, unfolded: a line that begins with a blank goes on the one before.
std::vector<std::pair<std::string, std::string>> Fields(const std::vector<std::string>& head)
{
    std::vector<std::pair<std::string, std::string>> fields;
    for (const std::string& line : head) {
        Check(line.size() <= 78 && !line.empty() && line.back() != ' ');
        if (line[0] == ' ') {
            Check(!fields.empty());
            fields.back().second += line;
            continue;
        }
        const size_t colon = line.find(':');
        Check(colon != std::string::npos);
        fields.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    }
    for (auto& field : fields)
        field.second = Trimmed(field.second);
    return fields;
}

std::vector<std::string> Values(const std::vector<std::pair<std::string, std::string>>& fields, const std::string& name)
{
    std::vector<std::string> values;
    for (const auto& field : fields)
        if (field.first == name)
            values.push_back(field.second);
    return values;
}

void CheckHeader(const std::vector<std::string>& head, const std::string& name, const std::string& value)
{
    bool found = false;
    for (const std::string& line : head)
        found = found || line == name + ": " + value;
    Check(found);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    MailMessage m;
    m.fromName = Field(in, 40);
    m.fromAddress = Address(in);
    m.subject = Field(in, 60);
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        const std::string address = Address(in);
        m.to.push_back(address + "|" + Field(in, 30));
    }
    for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n)
        m.text.push_back(Field(in, 200));
    std::map<std::string, std::string> files;
    std::vector<TAttachmentDescriptor> descriptors(in.ConsumeIntegralInRange(0, 3));
    for (size_t i = 0; i < descriptors.size(); ++i) {
        TAttachmentDescriptor& d = descriptors[i];
        d.path = "/attached/a" + std::to_string(i) + ".bin";
        d.encoding = in.ConsumeIntegralInRange<uint8_t>(0, 4);
        files[d.path] = in.ConsumeRandomLengthString(3000);
        m.attachments.push_back(d.path);
        m.descriptors.push_back(&d);
    }
    std::vector<uint8_t> expectedEncoding;
    std::vector<bool> asLines;
    for (const TAttachmentDescriptor& d : descriptors) {
        std::string lines;
        const bool plain = PlainLines(files[d.path], lines);
        expectedEncoding.push_back(d.encoding ? d.encoding : plain ? 3 : 1);
        asLines.push_back(plain);
    }

    const std::string message = ComposeMessage(m, files);

    // Lines end in CR LF and nowhere else.
    Check(message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0);
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\n')
            Check(i > 0 && message[i - 1] == '\r');
        if (message[i] == '\r')
            Check(i + 1 < message.size() && message[i + 1] == '\n');
    }
    for (size_t i = 0; i < descriptors.size(); ++i)
        Check(descriptors[i].encoding == expectedEncoding[i]);

    const std::vector<std::string> lines = Lines(message);
    for (const std::string& line : lines)
        Check(line.size() <= 998);
    size_t blank = 0;
    while (blank < lines.size() && !lines[blank].empty())
        ++blank;
    Check(blank < lines.size());
    const std::vector<std::string> head(lines.begin(), lines.begin() + long(blank));
    const auto fields = Fields(head);

    // Who and what: a reader gets back the names and the subject typed.
    const std::vector<std::string> from = Values(fields, "From");
    Check(from.size() == 1);
    std::string address, name;
    SplitMailEntry(m.fromAddress + "|" + m.fromName, address, name);
    if (address.empty()) {
        Check(from[0].empty());
    } else if (name.empty()) {
        Check(from[0] == address);
    } else {
        const std::string tail = " <" + address + ">";
        Check(from[0].size() > tail.size() && from[0].compare(from[0].size() - tail.size(), tail.size(), tail) == 0);
        const std::string phrase = from[0].substr(0, from[0].size() - tail.size());
        const std::string back = Phrase(phrase);
        Check(back == name || (phrase[0] != '"' && back == Collapsed(name)));
    }
    const std::vector<std::string> to = Values(fields, "To");
    bool anyTo = false;
    for (const std::string& entry : m.to) {
        SplitMailEntry(entry, address, name);
        anyTo = anyTo || !address.empty();
        if (!address.empty())
            Check(!to.empty() && to[0].find(address) != std::string::npos);
    }
    Check(to.size() == (anyTo ? 1u : 0u));
    const std::vector<std::string> subject = Values(fields, "Subject");
    const std::string typed = Trimmed(m.subject);
    Check(subject.size() == (typed.empty() ? 0u : 1u));
    if (!typed.empty()) {
        std::string back;
        Check(Unwords(subject[0], back) ? back == typed : subject[0] == typed);
    }

    const std::string text = Joined(m.text);
    const bool qp = !PlainText(text);
    bool ascii = true;
    for (const char c : text)
        ascii = ascii && uint8_t(c) < 128;
    const std::string charset = std::string("text/plain; charset=\"") + (ascii ? "us-ascii" : "windows-1252") + "\"";
    const std::vector<std::string> rest(lines.begin() + long(blank) + 1, lines.end());
    // The body: quoted-printable when it holds anything but printable ASCII.
    auto checkBody = [&](const std::vector<std::string>& partHead, const std::string& content) {
        bool said = false;
        for (const std::string& line : partHead)
            said = said || line == "Content-Transfer-Encoding: quoted-printable";
        Check(said == qp);
        CheckHeader(partHead, "Content-Type", charset);
        Check(content.size() >= 2);
        const std::string body = content.substr(0, content.size() - 2);
        if (qp)
            Check(testsupport::DecodeQuotedPrintable(body) == text);
        else
            Check(body == text);
    };
    if (descriptors.empty()) {
        if (text.empty())
            Check(rest.empty());
        else
            checkBody(head, Joined(rest));
        return 0;
    }

    const std::vector<std::string> type = Values(fields, "Content-Type");
    Check(type.size() == 1 && type[0].rfind("multipart/mixed;", 0) == 0);
    const size_t quote = type[0].find("boundary=\"");
    Check(quote != std::string::npos && type[0].back() == '"');
    const std::string Mark = "--" + type[0].substr(quote + 10, type[0].size() - quote - 11);
    // What goes as it is never holds the boundary.
    Check(text.find(Mark) == std::string::npos);
    for (size_t i = 0; i < descriptors.size(); ++i)
        Check(!(expectedEncoding[i] == 3 && asLines[i]) || files[descriptors[i].path].find(Mark) == std::string::npos);

    Check(rest.size() >= 2 && rest[rest.size() - 2] == Mark + "--" && rest.back().empty());
    std::vector<std::vector<std::string>> parts;
    for (size_t i = 0; i + 2 < rest.size(); ++i) {
        if (rest[i] == Mark) {
            parts.emplace_back();
        } else {
            Check(!parts.empty());
            parts.back().push_back(rest[i]);
        }
    }
    Check(parts.size() == (text.empty() ? 0 : 1) + descriptors.size());
    for (size_t p = 0; p < parts.size(); ++p) {
        const std::vector<std::string>& part = parts[p];
        size_t end = 0;
        while (end < part.size() && !part[end].empty())
            ++end;
        Check(end < part.size());
        const std::vector<std::string> partHead(part.begin(), part.begin() + long(end));
        const std::string content = Joined(part, end + 1);
        if (!text.empty() && p == 0) {
            checkBody(partHead, content);
            continue;
        }
        const size_t i = p - (text.empty() ? 0 : 1);
        const std::string& bytes = files[descriptors[i].path];
        const std::string file = "a" + std::to_string(i);
        switch (expectedEncoding[i]) {
        case 1: {
            CheckHeader(partHead, "Content-Transfer-Encoding", "base64");
            std::string joined;
            for (size_t k = end + 1; k < part.size(); ++k) {
                Check(part[k].size() <= 76);
                joined += part[k];
            }
            Check(testsupport::DecodeBase64(joined) == bytes);
            break;
        }
        case 2:
            CheckHeader(partHead, "Content-Transfer-Encoding", "Quoted-Printable");
            Check(content.size() >= 2);
            Check(testsupport::DecodeQuotedPrintable(content.substr(0, content.size() - 2)) == bytes);
            break;
        case 3: {
            CheckHeader(partHead, "Content-Disposition", "attachment; filename=\"" + file + ".bin\"");
            std::string expected;
            if (PlainLines(bytes, expected)) {
                Check(content == expected);
            } else {
                // A file whose lines would change goes base64 instead.
                CheckHeader(partHead, "Content-Transfer-Encoding", "base64");
                std::string joined;
                for (size_t k = end + 1; k < part.size(); ++k)
                    joined += part[k];
                Check(testsupport::DecodeBase64(joined) == bytes);
            }
            break;
        }
        case 4:
            CheckHeader(partHead, "Content-Type", "application/octet-stream; name=\"" + file + ".uue\"");
            Check(part.size() >= end + 5 && part[end + 1] == std::string(61, '='));
            Check(part[end + 2] == "begin 666 " + file + ".bin");
            Check(part[part.size() - 2] == "`" && part.back() == "end");
            Check(testsupport::DecodeUuencode(Joined(part, end + 3, part.size() - 2)) == bytes);
            break;
        }
    }
    return 0;
}

// A message composed from fuzzed names, subject, body lines and attachment
// bytes in each transfer encoding, read back with the independent decoders:
// every line ends in CR LF, the headers name who and what was sent, and the
// body and every attachment decode to what went in.
#include "fuzz/FuzzCheck.h"
#include "mail/MimeWriter.h"
#include "support/MimeDecoders.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string Mark = std::string("--") + MimeWriter::Boundary;

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

// A header value as a reader sees it: an "=?ISO-8859-1?Q?...?=" word decoded.
std::string Unword(const std::string& value)
{
    const std::string open = "=?ISO-8859-1?Q?";
    if (value.rfind(open, 0) != 0 || value.size() < open.size() + 2 || value.compare(value.size() - 2, 2, "?=") != 0)
        return value;
    const std::string word = value.substr(open.size(), value.size() - open.size() - 2);
    std::string out;
    for (size_t at = 0; at < word.size(); ++at) {
        if (word[at] == '_') {
            out += ' ';
        } else if (word[at] == '=' && at + 2 < word.size()) {
            out += char(std::strtol(word.substr(at + 1, 2).c_str(), nullptr, 16));
            at += 2;
        } else {
            out += word[at];
        }
    }
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

// A plain part's text: its lines with CR LF; false when a line is too long
// to go as one (it is cut at 253 characters) or holds a CR of its own.
bool PlainLines(const std::string& bytes, std::string& out)
{
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        std::string line = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 253 || line.find('\r') != std::string::npos)
            return false;
        out += line + "\r\n";
        at = end == std::string::npos ? bytes.size() : end + 1;
    }
    return true;
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
    for (const TAttachmentDescriptor& d : descriptors) {
        bool plain = true;
        for (char c : files[d.path])
            plain = plain && uint8_t(c) < 127;
        expectedEncoding.push_back(d.encoding ? d.encoding : plain ? 3 : 1);
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
    size_t blank = 0;
    while (blank < lines.size() && !lines[blank].empty())
        ++blank;
    Check(blank < lines.size());
    const std::vector<std::string> head(lines.begin(), lines.begin() + long(blank));

    // Who and what: a reader gets back the names and the subject typed. A
    // plain value that looks like an encoded word is read as one.
    Check(head[0].rfind("From: ", 0) == 0 && head[0].back() == '>');
    const size_t lt = head[0].rfind(" <");
    Check(lt != std::string::npos && head[0].substr(lt + 2, head[0].size() - lt - 3) == m.fromAddress);
    if (m.fromName.find("=?") == std::string::npos)
        Check(Unword(head[0].substr(6, lt - 6)) == m.fromName);
    Check(head.size() > m.to.size());
    for (size_t i = 0; i < m.to.size(); ++i) {
        const size_t bar = m.to[i].find('|');
        const std::string address = m.to[i].substr(0, bar), name = m.to[i].substr(bar + 1);
        const std::string& line = head[1 + i];
        if (name.empty()) {
            Check(line == "To: " + address + ";");
        } else {
            Check(line.rfind("To: ", 0) == 0 && line.size() > address.size() + 7);
            Check(line.compare(line.size() - address.size() - 3, std::string::npos, " <" + address + ">") == 0);
            if (name.find("=?") == std::string::npos)
                Check(Unword(line.substr(4, line.size() - address.size() - 7)) == name);
        }
    }
    if (!m.subject.empty() && m.subject.find("=?") == std::string::npos) {
        bool found = false;
        for (const std::string& line : head)
            if (line.rfind("Subject: ", 0) == 0) {
                Check(line.size() >= 11 && line.compare(line.size() - 2, 2, "  ") == 0);
                Check(Unword(line.substr(9, line.size() - 11)) == m.subject);
                found = true;
            }
        Check(found);
    }

    // A text line or a plain attachment that holds the boundary line would
    // end its part early; the fixed boundary cannot avoid that.
    const std::string text = Joined(m.text);
    if (text.find(MimeWriter::Boundary) != std::string::npos)
        return 0;
    for (size_t i = 0; i < descriptors.size(); ++i)
        if (expectedEncoding[i] == 3 && files[descriptors[i].path].find(MimeWriter::Boundary) != std::string::npos)
            return 0;

    const bool qp = !PlainText(text);
    const std::vector<std::string> rest(lines.begin() + long(blank) + 1, lines.end());
    // The body: quoted-printable when it holds anything but printable ASCII.
    auto checkBody = [&](const std::vector<std::string>& partHead, const std::string& content) {
        bool said = false;
        for (const std::string& line : partHead)
            said = said || line == "Content-Transfer-Encoding: quoted-printable";
        Check(said == qp);
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

    CheckHeader(head, "Content-Type", std::string("multipart/mixed; boundary=\"") + MimeWriter::Boundary + "\"");
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
            if (PlainLines(bytes, expected))
                Check(content == expected);
            break;
        }
        case 4:
            CheckHeader(partHead, "Content-Type", "application/octet-stream; name=\"" + file + ".uue\"");
            Check(part.size() >= end + 5 && part[end + 1] == std::string(61, '='));
            Check(part[end + 2] == "begin 666 " + file + ".bin");
            Check(part[part.size() - 2].empty() && part.back() == "end");
            Check(testsupport::DecodeUuencode(Joined(part, end + 3, part.size() - 2)) == bytes);
            break;
        }
    }
    return 0;
}

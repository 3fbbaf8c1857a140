#include "mail/MimeWriter.h"
#include "framework/Lines.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace {

constexpr size_t TextBlock = 2048;
constexpr size_t Base64Block = 2280; // 40 lines of 57 bytes
constexpr size_t QpBlock = 2048;
constexpr size_t UuBlock = 1800; // 40 lines of 45 bytes

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

// FNV-1a, 64 bits: the same message gives the same boundary, another one
// another boundary.
uint64_t Mixed(uint64_t hash, const std::string& text)
{
    for (const char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return (hash ^ 0xff) * 1099511628211ull;
}

std::string HexOf(uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4)
        out[size_t(i)] = digits[value & 15];
    return out;
}

// A file name from a path is in the system's encoding, UTF-8; a name given in
// a descriptor is the program's text.
const char* CharsetOfFileName(const std::string& name)
{
    return IsUtf8(name) ? "utf-8" : TextCharset;
}

// The parameter goes on a line of its own when the header would pass 76 characters.
std::string WithParameter(const std::string& head, const std::string& parameter)
{
    return head + (head.size() + 2 + parameter.size() > 76 ? ";\r\n " : "; ") + parameter;
}

} // namespace

MimeWriter::MimeWriter(Sink sink) : sink_(std::move(sink)) {}

void MimeWriter::SplitEntry(const std::string& entry, std::string& address, std::string& name)
{
    SplitMailEntry(entry, address, name);
}

bool MimeWriter::IsPlainText(std::istream& in)
{
    char block[TextBlock];
    size_t column = 0;
    bool afterCr = false;
    while (in) {
        in.read(block, sizeof block);
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            const auto b = static_cast<unsigned char>(block[i]);
            if (afterCr && b != '\n')
                return false; // a CR of its own would not come back
            afterCr = b == '\r';
            if (b == '\n')
                column = 0;
            else if (b == 0 || b >= 127 || (!afterCr && ++column > MaxLineLength))
                return false;
        }
    }
    return !afterCr && !in.bad();
}

bool MimeWriter::Holds(std::istream& in, const std::string& text)
{
    std::string window;
    char block[TextBlock];
    while (in) {
        in.read(block, sizeof block);
        window.append(block, size_t(in.gcount()));
        if (window.find(text) != std::string::npos)
            return true;
        if (window.size() >= text.size())
            window.erase(0, window.size() - text.size() + 1);
    }
    return false;
}

bool MimeWriter::FitsPlainPart(const std::string& path) const
{
    const std::unique_ptr<std::istream> in = OpenFile(path);
    return in && *in && IsPlainText(*in);
}

void MimeWriter::ChooseBoundary(const MailMessage& m, const std::string& text)
{
    uint64_t a = 14695981039346656037ull, b = 0x9e3779b97f4a7c15ull;
    for (const std::string* field : {&m.fromName, &m.fromAddress, &m.subject, &text}) {
        a = Mixed(a, *field);
        b = Mixed(b, *field);
    }
    for (const std::vector<std::string>* list : {&m.to, &m.cc, &m.headers, &m.attachments})
        for (const std::string& item : *list) {
            a = Mixed(a, item);
            b = Mixed(b, item);
        }
    // "=_" never stands in base64 or quoted-printable, small letters never in
    // uuencode; only what goes as it is can hold it, and that is looked at.
    for (int salt = 0;; ++salt) {
        boundary_ = "=_vexmor_" + HexOf(a) + HexOf(b + uint64_t(salt));
        const std::string mark = "--" + boundary_;
        bool held = text.find(mark) != std::string::npos;
        for (size_t i = 0; i < m.attachments.size() && !held; ++i) {
            const TAttachmentDescriptor* d = i < m.descriptors.size() ? m.descriptors[i] : nullptr;
            if (d && (d->encoding == 0 || d->encoding == 3)) {
                const std::unique_ptr<std::istream> in = OpenFile(d->path);
                held = in && *in && Holds(*in, mark);
            }
        }
        if (!held)
            return;
    }
}

void MimeWriter::Info(SendMailInfo info, const std::string& text)
{
    if (OnInfo)
        OnInfo(info, text);
}

std::unique_ptr<std::istream> MimeWriter::OpenFile(const std::string& path) const
{
    if (Open)
        return Open(path);
    return std::make_unique<std::ifstream>(path, std::ios::binary);
}

void MimeWriter::Line(const std::string& text)
{
    Send(OneLine(text));
}

void MimeWriter::Header(const std::string& folded)
{
    size_t at = 0;
    for (size_t end; at <= folded.size(); at = end + 2) {
        end = folded.find("\r\n", at);
        if (end == std::string::npos)
            end = folded.size();
        // Cut only as a last resort: no folded line comes near the limit.
        Send(folded.substr(at, std::min(end - at, MaxLineLength)) + "\r\n");
    }
}

void MimeWriter::Write(const MailMessage& m)
{
    const std::string text = Joined(m.text);
    // Anything but short lines of printable ASCII goes quoted-printable.
    const bool bodyNeedsQp = !FitsSevenBitLines(text);
    ChooseBoundary(m, text);
    HeaderBlock(m, bodyNeedsQp);
    FeedData();
    Body(text, bodyNeedsQp);
    if (!m.attachments.empty())
        Attachments(m);
}

void MimeWriter::HeaderBlock(const MailMessage& m, bool bodyNeedsQp)
{
    Header(AddressHeader("From", {m.fromAddress + "|" + m.fromName}));
    // One field per kind, every recipient in it (a second To is no message).
    const auto recipients = [this](const char* field, const std::vector<std::string>& entries) {
        std::string address, name;
        for (const std::string& entry : entries) {
            SplitEntry(entry, address, name);
            if (!address.empty()) {
                Header(AddressHeader(field, entries));
                return;
            }
        }
    };
    if (Halted())
        return;
    recipients("To", m.to);
    if (Halted())
        return;
    recipients("cc", m.cc);
    if (m.subject.find_first_not_of(" \t\r\n") != std::string::npos)
        Header(EncodeHeaderLine("Subject: " + m.subject));
    Line("Mime-Version: 1.0");
    const bool multipart = !m.attachments.empty();
    const std::string textType = std::string("Content-Type: text/plain; charset=\"") +
                                 (IsAscii(Joined(m.text)) ? "us-ascii" : TextCharset) + "\"";
    if (multipart) {
        Header(WithParameter("Content-Type: multipart/mixed", "boundary=\"" + boundary_ + "\""));
    } else {
        Line(textType);
        if (bodyNeedsQp)
            Line("Content-Transfer-Encoding: quoted-printable");
    }
    for (const std::string& line : m.headers)
        Header(EncodeHeaderLine(line));
    Line("");
    if (multipart && !m.text.empty()) {
        Line("--" + boundary_);
        Line(textType);
        if (bodyNeedsQp)
            Line("Content-Transfer-Encoding: quoted-printable");
        Line("");
    }
}

void MimeWriter::FeedData()
{
    size_t count = 0;
    bool more = true;
    while (OnFeedData && more && !Halted()) {
        std::string data;
        OnFeedData(data);
        if (data.empty()) {
            more = false;
        } else {
            count += data.size();
            Info(Info_DataProgress, std::to_string(count));
            Send(data);
        }
    }
}

void MimeWriter::Body(const std::string& text, bool bodyNeedsQp)
{
    if (text.empty())
        return;
    Info(Info_TextSize, std::to_string(text.size()));
    qp_.Reset(true);
    for (size_t at = 0; at < text.size() && !Halted(); at += TextBlock) {
        const size_t n = std::min(TextBlock, text.size() - at);
        if (bodyNeedsQp)
            QuotedPrintable(text.data() + at, n);
        else
            Send(std::string_view(text.data() + at, n));
        Info(Info_DataProgress, std::to_string(at + n));
    }
    if (bodyNeedsQp && !Halted()) {
        std::string rest;
        qp_.Finish(rest);
        if (!rest.empty())
            Send(rest);
    }
    Line("");
}

void MimeWriter::Attachments(const MailMessage& m)
{
    for (size_t i = 0; i < m.attachments.size() && !Halted(); ++i) {
        TAttachmentDescriptor* d = i < m.descriptors.size() ? m.descriptors[i] : nullptr;
        TAttachmentDescriptor plain;
        if (!d) {
            plain.encoding = 1;
            plain.contentType = "application/octet-stream";
            plain.disposition = "attachment";
            plain.path = m.attachments[i];
            d = &plain;
        } else {
            if (d->encoding == 0) {
                // The choice is kept in the descriptor for the next message.
                const std::unique_ptr<std::istream> in = OpenFile(d->path);
                const bool readable = in && *in;
                d->encoding = !readable || IsPlainText(*in) ? 3 : 1; // lines that would change go base64
                if (!readable) {
                    Info(Info_AttachmentError, d->path);
                    continue;
                }
            }
            if (d->contentType.empty())
                d->contentType = "application/octet-stream";
            if (d->disposition.empty())
                d->disposition = "attachment";
        }
        if (!Attachment(*d))
            Info(Info_AttachmentError, d == &plain ? m.attachments[i] : d->path);
    }
    if (Halted())
        return;
    Line("--" + boundary_ + "--");
    Line("");
}

bool MimeWriter::Attachment(const TAttachmentDescriptor& d)
{
    switch (d.encoding) {
    case 1: return Base64Part(d);
    case 2: return QuotedPrintablePart(d);
    case 3: return FitsPlainPart(d.path) ? PlainPart(d) : Base64Part(d);
    case 4: return UuencodePart(d);
    default: return true; // no part for an unknown encoding
    }
}

void MimeWriter::PartHead(const std::string& type, const std::string& name, const char* encoding,
                          const std::string& disposition, const std::string& filename,
                          const std::string& description)
{
    Line("--" + boundary_);
    Header(WithParameter("Content-Type: " + type, MimeParameter("name", name, CharsetOfFileName(name))));
    if (encoding)
        Line(std::string("Content-Transfer-Encoding: ") + encoding);
    if (!disposition.empty())
        Header(WithParameter("Content-Disposition: " + disposition,
                             MimeParameter("filename", filename, CharsetOfFileName(filename))));
    if (!description.empty())
        Header(EncodeHeaderLine("Content-Description: " + description));
}

std::unique_ptr<std::istream> MimeWriter::OpenPart(const TAttachmentDescriptor& d, const char* encoding)
{
    Info(Info_Attachment, d.path);
    std::unique_ptr<std::istream> file = OpenFile(d.path);
    if (!file || !*file)
        return nullptr;
    const std::string name = FileNameOf(d.path);
    PartHead(d.contentType, d.name.empty() ? name : d.name, encoding, d.disposition, name, d.description);
    Line("");
    return file;
}

bool MimeWriter::Base64Part(const TAttachmentDescriptor& d)
{
    const std::unique_ptr<std::istream> file = OpenPart(d, "base64");
    if (!file)
        return false;
    std::istream& in = *file;
    in.seekg(0, std::ios::end);
    const auto size = static_cast<long long>(in.tellg());
    in.seekg(0);
    Info(Info_AttachmentSize, std::to_string(size));
    long long encoded = 0;
    std::string out;
    const bool read = EachBlock(in, Base64Block, [&](const char* block, size_t n) {
        out.clear();
        // Whole lines of 57 bytes go out as one block of 76-character lines.
        for (size_t at = 0; at < n; at += Base64LineBytes) {
            const size_t take = std::min(Base64LineBytes, n - at);
            EncodeBase64(block + at, take, out);
            out += "\r\n";
            encoded += static_cast<long long>(take);
            if (take == Base64LineBytes)
                Info(Info_AttachmentProgress, std::to_string(encoded));
        }
        Send(out);
    });
    if (!read)
        return false;
    Info(Info_AttachmentProgress, std::to_string(encoded));
    return true;
}

bool MimeWriter::QuotedPrintablePart(const TAttachmentDescriptor& d)
{
    const std::unique_ptr<std::istream> file = OpenPart(d, "Quoted-Printable");
    if (!file)
        return false;
    qp_.Reset();
    const bool read = EachBlock(*file, QpBlock, [this](const char* block, size_t n) { QuotedPrintable(block, n); });
    Line("");
    return read;
}

bool MimeWriter::PlainPart(const TAttachmentDescriptor& d)
{
    if (Halted())
        return true;
    const std::unique_ptr<std::istream> file = OpenPart(d, nullptr);
    if (!file)
        return false;
    std::istream& in = *file;
    std::string line;
    // Line by line from the file, so a large one is never held whole; the
    // file was found to hold only lines that travel unchanged.
    while (!Halted() && ReadLine(in, line))
        Send(line + "\r\n");
    return !in.bad();
}

bool MimeWriter::UuencodePart(const TAttachmentDescriptor& d)
{
    Info(Info_Attachment, d.path);
    const std::unique_ptr<std::istream> file = OpenFile(d.path);
    if (!file || !*file)
        return false;
    const std::string name = d.name.empty() ? FileNameOf(d.path) : d.name;
    const size_t dot = name.rfind('.');
    const std::string part = (dot == std::string::npos ? name : name.substr(0, dot)) + ".uue";
    PartHead("application/octet-stream", part, nullptr, d.disposition, part, d.description);
    Line("");
    Line(std::string(61, '='));
    // The name a decoder writes to: 8-bit letters and controls would make
    // the part's text 8-bit, so they become "_".
    std::string begin = name;
    for (char& c : begin)
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) >= 127)
            c = '_';
    Line("begin 666 " + begin);
    std::string out;
    const bool read = EachBlock(*file, UuBlock, [&](const char* block, size_t n) {
        out.clear();
        EncodeUuencode(block, n, out);
        Send(out);
    });
    Line("`"); // the zero-length line uudecode wants before "end"
    Line("end");
    return read;
}

bool MimeWriter::EachBlock(std::istream& in, size_t size, const std::function<void(const char*, size_t)>& take)
{
    std::vector<char> block(size);
    while (!Halted() && in) {
        in.read(block.data(), std::streamsize(size));
        if (in.gcount() <= 0)
            break;
        take(block.data(), size_t(in.gcount()));
    }
    return !in.bad();
}

void MimeWriter::QuotedPrintable(const char* data, size_t size)
{
    std::string out;
    qp_.Encode(data, size, out);
    Send(out);
}

std::string ComposeMessage(const MailMessage& message, const std::map<std::string, std::string>& files)
{
    std::string text;
    MimeWriter writer([&text](std::string_view bytes) { text.append(bytes); });
    writer.Open = [&files](const std::string& path) -> std::unique_ptr<std::istream> {
        const auto found = files.find(path);
        if (found != files.end())
            return std::make_unique<std::istringstream>(found->second, std::ios::in | std::ios::binary);
        return std::make_unique<std::ifstream>(path, std::ios::binary);
    };
    writer.Write(message);
    return text;
}

#include "mail/MimeWriter.h"
#include "framework/Lines.h"

#include <algorithm>
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

std::string Boundary(const char* tail = "")
{
    return std::string("--") + MimeWriter::Boundary + tail;
}

} // namespace

MimeWriter::MimeWriter(Sink sink) : sink_(std::move(sink)) {}

void MimeWriter::SplitEntry(const std::string& entry, std::string& address, std::string& name)
{
    const size_t bar = entry.find('|');
    address = entry.substr(0, bar);
    name = bar == std::string::npos ? std::string() : entry.substr(bar + 1, 999);
}

bool MimeWriter::IsPlainText(std::istream& in)
{
    char block[TextBlock];
    while (in) {
        in.read(block, sizeof block);
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            if (static_cast<unsigned char>(block[i]) >= 127)
                return false;
    }
    return true;
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

void MimeWriter::Write(const MailMessage& m)
{
    const std::string text = Joined(m.text);
    const bool bodyNeedsQp = NeedsQuotedPrintable(text);
    HeaderBlock(m, bodyNeedsQp);
    FeedData();
    Body(text, bodyNeedsQp);
    if (!m.attachments.empty())
        Attachments(m);
}

void MimeWriter::HeaderBlock(const MailMessage& m, bool bodyNeedsQp)
{
    Line("From: " + EncodeHeaderWord(m.fromName) + " <" + m.fromAddress + ">");
    for (const std::string& entry : m.to) {
        if (Halted())
            return;
        std::string address, name;
        SplitEntry(entry, address, name);
        Line(name.empty() ? "To: " + address + ";" : "To: " + EncodeHeaderWord(name) + " <" + address + ">");
    }
    for (const std::string& entry : m.cc) {
        if (Halted())
            return;
        std::string address, name;
        SplitEntry(entry, address, name);
        Line(name.empty() ? "cc: " + address : "cc: " + EncodeHeaderWord(name) + " <" + address + ">");
    }
    if (!m.subject.empty())
        Line(EncodeHeaderLine("Subject: " + m.subject));
    Line("Mime-Version: 1.0");
    const bool multipart = !m.attachments.empty();
    if (multipart) {
        Line(std::string("Content-Type: multipart/mixed; boundary=\"") + Boundary + "\"");
    } else {
        Line("Content-Type: text/plain; charset=\"us-ascii\"");
        if (bodyNeedsQp)
            Line("Content-Transfer-Encoding: quoted-printable");
    }
    for (const std::string& line : m.headers)
        Line(EncodeHeaderLine(line));
    Line("");
    if (multipart && !m.text.empty()) {
        Line(::Boundary());
        Line("Content-Type: text/plain; charset=\"us-ascii\"");
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
    qp_.Reset();
    for (size_t at = 0; at < text.size() && !Halted(); at += TextBlock) {
        const size_t n = std::min(TextBlock, text.size() - at);
        if (bodyNeedsQp)
            QuotedPrintable(text.data() + at, n);
        else
            Send(std::string_view(text.data() + at, n));
        Info(Info_DataProgress, std::to_string(at + n));
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
                d->encoding = !readable || IsPlainText(*in) ? 3 : 1;
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
    Line(::Boundary("--"));
    Line("");
}

bool MimeWriter::Attachment(const TAttachmentDescriptor& d)
{
    switch (d.encoding) {
    case 1: return Base64Part(d);
    case 2: return QuotedPrintablePart(d);
    case 3: return PlainPart(d);
    case 4: return UuencodePart(d);
    default: return true; // no part for an unknown encoding
    }
}

void MimeWriter::PartHead(const std::string& type, const std::string& name, const char* encoding,
                          const std::string& disposition, const std::string& filename,
                          const std::string& description)
{
    Line(::Boundary());
    Line("Content-Type: " + type + "; name=\"" + name + "\"");
    if (encoding)
        Line(std::string("Content-Transfer-Encoding: ") + encoding);
    if (!disposition.empty())
        Line("Content-Disposition: " + disposition + "; filename=\"" + filename + "\"");
    if (!description.empty())
        Line("Content-Description: " + description);
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
    std::vector<char> block(Base64Block);
    long long encoded = 0;
    std::string out;
    while (!Halted() && in) {
        in.read(block.data(), std::streamsize(block.size()));
        const size_t n = size_t(in.gcount());
        if (n == 0)
            break;
        out.clear();
        // Whole lines of 57 bytes go out as one block of 76-character lines.
        for (size_t at = 0; at < n; at += Base64LineBytes) {
            const size_t take = std::min(Base64LineBytes, n - at);
            EncodeBase64(block.data() + at, take, out);
            out += "\r\n";
            encoded += static_cast<long long>(take);
            if (take == Base64LineBytes)
                Info(Info_AttachmentProgress, std::to_string(encoded));
        }
        Send(out);
    }
    if (in.bad())
        return false;
    Info(Info_AttachmentProgress, std::to_string(encoded));
    return true;
}

bool MimeWriter::QuotedPrintablePart(const TAttachmentDescriptor& d)
{
    const std::unique_ptr<std::istream> file = OpenPart(d, "Quoted-Printable");
    if (!file)
        return false;
    std::istream& in = *file;
    qp_.Reset();
    std::vector<char> block(QpBlock);
    while (!Halted() && in) {
        in.read(block.data(), std::streamsize(block.size()));
        if (in.gcount() > 0)
            QuotedPrintable(block.data(), size_t(in.gcount()));
    }
    Line("");
    return !in.bad();
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
    // Line by line from the file, so a large one is never held whole.
    while (!Halted() && std::getline(in, line)) {
        line.resize(LineLength(std::string_view(line), 0, line.size()));
        Line(line);
    }
    return !in.bad();
}

bool MimeWriter::UuencodePart(const TAttachmentDescriptor& d)
{
    Info(Info_Attachment, d.path);
    const std::unique_ptr<std::istream> file = OpenFile(d.path);
    if (!file || !*file)
        return false;
    std::istream& in = *file;
    const std::string name = d.name.empty() ? FileNameOf(d.path) : d.name;
    const size_t dot = name.rfind('.');
    const std::string part = (dot == std::string::npos ? name : name.substr(0, dot)) + ".uue";
    Line(::Boundary());
    Line("Content-Type: application/octet-stream; name=\"" + part + "\"");
    if (!d.disposition.empty())
        Line("Content-Disposition: " + d.disposition + "; filename=\"" + part + "\"");
    if (!d.description.empty())
        Line("Content-Description: " + d.description);
    Line("");
    Line(std::string(61, '='));
    Line("begin 666 " + name);
    std::vector<char> block(UuBlock);
    std::string out;
    while (!Halted() && in) {
        in.read(block.data(), std::streamsize(block.size()));
        if (in.gcount() <= 0)
            break;
        out.clear();
        EncodeUuencode(block.data(), size_t(in.gcount()), out);
        Send(out);
    }
    Line("");
    Line("end");
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

#pragma once

#include "mail/MimeEncoders.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a send reports as it goes; the writer raises those about the message.
enum SendMailInfo {
    Info_Connected, Info_Received, Info_Sending, Info_Disconnected, Info_Sent, Info_Attachment,
    Info_AttachmentSize, Info_AttachmentProgress, Info_RecipientRejected, Info_Recipient, Info_TextSize,
    Info_DataProgress, Info_AttachmentError, Info_Busy, Info_Resolved, Info_Resolving
};

// An optional description of one attachment.
struct TAttachmentDescriptor {
    std::string name;
    uint8_t encoding = 0; // 0 choose, 1 base64, 2 quoted-printable, 3 plain, 4 uuencode
    std::string contentType;
    std::string disposition;
    std::string description;
    std::string path;
};

// The fields of one message. Recipient entries are "address" or "address|name".
struct MailMessage {
    std::string fromName, fromAddress, subject;
    std::vector<std::string> to, cc; // Bcc recipients never appear in the message
    std::vector<std::string> text;   // body lines
    std::vector<std::string> headers;
    std::vector<std::string> attachments; // file paths
    // descriptors[i], when there and not null, describes attachments[i]; an
    // encoding of 0 in it is replaced by the one chosen for the file.
    std::vector<TAttachmentDescriptor*> descriptors;
};

// Writes one MIME message, headers to closing boundary, into a sink, block by
// block, so no attachment is ever held in memory whole. It escapes nothing
// for a transport: SMTP's dot-stuffing belongs to the sender.
class MimeWriter final {
public:
    using Sink = std::function<void(std::string_view bytes)>;

    explicit MimeWriter(Sink sink);

    // Told of the message's progress (Info_TextSize, Info_Attachment...).
    std::function<void(SendMailInfo info, const std::string& text)> OnInfo;
    // Asked for data to write after the headers until it leaves data empty.
    std::function<void(std::string& data)> OnFeedData;
    // When it holds, the writer stops at its next test, the message unfinished.
    std::function<bool()> Stopped;
    // Opens an attachment; the file on disk when unset.
    std::function<std::unique_ptr<std::istream>(const std::string& path)> Open;

    void Write(const MailMessage& message);
    // The boundary of the message written last: made from the message itself,
    // in a form no base64, quoted-printable or uuencoded line can hold, and
    // checked against the text and the files that go as they are.
    const std::string& Boundary() const { return boundary_; }

    // "address|name" split at the bar, blanks around each taken off; the name
    // taken up to 999 characters.
    static void SplitEntry(const std::string& entry, std::string& address, std::string& name);
    // Whether a file can go as a plain part, line by line, unchanged: no NUL
    // and no byte of 127 or more, CR only before LF, no line over 998 characters.
    static bool IsPlainText(std::istream& in);

private:
    bool Halted() const { return Stopped && Stopped(); }
    void Info(SendMailInfo info, const std::string& text);
    std::unique_ptr<std::istream> OpenFile(const std::string& path) const;
    void Send(std::string_view bytes) { sink_(bytes); }
    void Line(const std::string& text);
    // A folded header field, line by line.
    void Header(const std::string& folded);
    void ChooseBoundary(const MailMessage& m, const std::string& text);
    // Whether the stream holds the text anywhere.
    static bool Holds(std::istream& in, const std::string& text);
    bool FitsPlainPart(const std::string& path) const;
    void HeaderBlock(const MailMessage& m, bool bodyNeedsQp);
    void FeedData();
    void Body(const std::string& text, bool bodyNeedsQp);
    void Attachments(const MailMessage& m);
    bool Attachment(const TAttachmentDescriptor& d);
    void PartHead(const std::string& type, const std::string& name, const char* encoding,
                  const std::string& disposition, const std::string& filename, const std::string& description);
    // Opens an attachment and writes its part's head; nullptr when it cannot be read.
    std::unique_ptr<std::istream> OpenPart(const TAttachmentDescriptor& d, const char* encoding);
    bool Base64Part(const TAttachmentDescriptor& d);
    bool QuotedPrintablePart(const TAttachmentDescriptor& d);
    bool PlainPart(const TAttachmentDescriptor& d);
    bool UuencodePart(const TAttachmentDescriptor& d);
    // Hands the rest of an attachment to take in blocks of size bytes, until
    // its end or a stop; false when the file could not be read.
    bool EachBlock(std::istream& in, size_t size, const std::function<void(const char*, size_t)>& take);
    void QuotedPrintable(const char* data, size_t size);

    Sink sink_;
    QuotedPrintableEncoder qp_;
    std::string boundary_;
};

// The whole message as one text, without a socket or an event loop: an
// attachment path found in files is read from there, any other from disk.
std::string ComposeMessage(const MailMessage& message, const std::map<std::string, std::string>& files = {});

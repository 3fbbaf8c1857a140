#pragma once

// The encoders of outgoing mail, as this program writes them. All are pure and
// work block by block, so no attachment is ever held in memory as a whole.
// The program's 8-bit text is Windows code page 1252, and is labelled so.

#include <cstddef>
#include <string>
#include <vector>

constexpr const char* TextCharset = "windows-1252";
// RFC 5322's limit of a line, CR LF not counted.
constexpr size_t MaxLineLength = 998;

// A header value: unchanged when it is plain ASCII, else RFC 2047 "Q" words
// "=?windows-1252?Q?...?=" of at most 75 characters, separated by blanks.
std::string EncodeHeaderWord(const std::string& text);
// "Name: value" made ready to send: address fields (From, To, cc, Reply-To...)
// as a list of mailboxes with their display names quoted or encoded, other
// values encoded when they are not plain ASCII, and all folded into lines of at
// most 76 characters where a break is allowed, joined by CR LF (none at the
// end). Line breaks typed into the value become blanks; nothing is cut. A line
// without ": " is returned unchanged.
std::string EncodeHeaderLine(const std::string& line);
// One folded header of mailboxes, each "address" or "address|display name";
// entries with no address are left out.
std::string AddressHeader(const std::string& field, const std::vector<std::string>& entries);
// One line of a command: the first 253 characters, CR and LF blanked so that
// a line typed into a name, subject or address can start no command of its
// own, then CR LF.
std::string OneLine(const std::string& text);
// Whether a text holds anything but CR, LF and printable ASCII (a tab counts).
bool NeedsQuotedPrintable(const std::string& text);
// Whether a text can travel as it is in a message body: printable ASCII, CR
// only before LF and LF only after CR, no line longer than MaxLineLength.
bool FitsSevenBitLines(const std::string& text);
// Whether every byte is below 128.
bool IsAscii(const std::string& text);

// "address|name" split at the bar, blanks around each taken off; the name up
// to 999 characters.
void SplitMailEntry(const std::string& entry, std::string& address, std::string& name);
// Reads "address", "Name <address>" or "\"Quoted, Name\" <address>" as typed;
// false when no address can be found in it.
bool ParseMailbox(const std::string& text, std::string& name, std::string& address);
// The reverse of ParseMailbox, for a header line given through Headers: the
// name quoted when it holds anything a reader would take for punctuation.
std::string MailboxText(const std::string& name, const std::string& address);
// A text of comma-separated mailboxes split where a comma stands outside
// quotes and angle brackets.
std::vector<std::string> SplitMailboxList(const std::string& text);

// A MIME parameter: name="value" for printable ASCII, else RFC 2231's
// name*=charset''%XX... so that 8-bit letters keep their meaning.
std::string MimeParameter(const std::string& name, const std::string& value, const char* charset = TextCharset);
// Whether a text is well-formed UTF-8 (file names on this system are).
bool IsUtf8(const std::string& text);

// Quoted-printable as this program writes it: every byte <= 32, "=" and every
// byte >= 127 escaped (so CR and LF travel as =0D=0A), a soft line break once
// a line passes 70 characters. The column runs on from block to block. For a
// text part, textBreaks keeps each CR LF a real line break, as RFC 2045 asks of
// text (readers otherwise see a stray CR); a lone CR or LF stays escaped.
class QuotedPrintableEncoder final {
public:
    explicit QuotedPrintableEncoder(bool textBreaks = false) : textBreaks_(textBreaks) {}
    // Starts a new part, a text one when textBreaks.
    void Reset(bool textBreaks = false)
    {
        textBreaks_ = textBreaks;
        column_ = 0;
        heldCr_ = false;
    }
    // Appends the encoding of size bytes to out.
    void Encode(const char* data, size_t size, std::string& out);
    // Appends what is still held back (a CR whose LF never came).
    void Finish(std::string& out);

private:
    void Escaped(unsigned char b, std::string& out);
    void SoftBreakIfDue(std::string& out);

    bool textBreaks_;
    bool heldCr_ = false;
    int column_ = 0;
};

// Base64 (RFC 2045 alphabet, "=" pad) of size bytes, with no line breaks.
void EncodeBase64(const char* data, size_t size, std::string& out);
constexpr size_t Base64LineBytes = 57; // source bytes of one 76-character line

// Uuencode of one block: each full 45 bytes give "M" and 60 characters, a
// rest of n bytes the length character 32 + n and its groups padded with
// zero bytes; every line ends in CR LF. 0 is written as "`", not a blank, so
// no line ends in blanks that a mail system may strip.
void EncodeUuencode(const char* data, size_t size, std::string& out);
constexpr size_t UuencodeLineBytes = 45;

// SMTP transparency: a line of the message that begins with "." goes out with
// one more "." in front, wherever the line comes from. Tracks line starts
// across the blocks it is given.
class DotStuffer final {
public:
    void Reset() { atLineStart_ = true; }
    std::string Stuff(const std::string& data);

private:
    bool atLineStart_ = true;
};

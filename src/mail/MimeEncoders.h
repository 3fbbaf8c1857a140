#pragma once

// The encoders of outgoing mail, as this program writes them. All are pure and
// work block by block, so no attachment is ever held in memory as a whole.

#include <cstddef>
#include <string>

// A header value: unchanged when it is plain ASCII, else one RFC 2047 "Q" word
// "=?ISO-8859-1?Q?...?=" (blank as "_", = ? _ controls and 8-bit bytes as =XX).
std::string EncodeHeaderWord(const std::string& text);
// "Name: value" with the value encoded as above and two blanks after it (the
// value taken up to 999 characters); a line without ": " is returned unchanged.
std::string EncodeHeaderLine(const std::string& line);
// One line of a command or a header: the first 253 characters, CR and LF
// blanked so that a line typed into a name, subject or address can start no
// header and no command of its own, then CR LF.
std::string OneLine(const std::string& text);
// Whether a text holds anything but CR, LF and printable ASCII (a tab counts).
bool NeedsQuotedPrintable(const std::string& text);

// Quoted-printable as this program writes it: every byte <= 32, "=" and every
// byte >= 127 escaped (so CR and LF travel as =0D=0A), a soft line break once
// a line passes 70 characters. The column runs on from block to block.
class QuotedPrintableEncoder final {
public:
    void Reset() { column_ = 0; }
    // Appends the encoding of size bytes to out.
    void Encode(const char* data, size_t size, std::string& out);

private:
    int column_ = 0;
};

// Base64 (RFC 2045 alphabet, "=" pad) of size bytes, with no line breaks.
void EncodeBase64(const char* data, size_t size, std::string& out);
constexpr size_t Base64LineBytes = 57; // source bytes of one 76-character line

// Uuencode of one block: each full 45 bytes give "M" and 60 characters, a
// rest of n bytes the length character 32 + n and its groups padded with
// blanks; every line ends in CR LF. 0 is written as a blank.
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

#pragma once

#include <QString>

#include <string>

// A header value (already unfolded) as a reader shows it: RFC 2047 encoded
// words decoded by their charset (B and Q, any charset the converter knows),
// white space between two adjacent encoded words dropped, and the other bytes
// read as UTF-8 when they are valid UTF-8, else as the program's 8-bit text.
// What cannot be decoded stays as it was sent, so it remains readable.
// Control characters are kept; how they are shown is the caller's choice.
QString DecodeHeaderText(const std::string& value);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsUtf8(const char* data, size_t size);

// The value of one base64 digit (RFC 2045's alphabet), -1 for any other
// character, "=" included.
int Base64Value(char c);

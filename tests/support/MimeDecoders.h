#pragma once

// Decoders for checking what the mail encoders wrote: written from the RFCs,
// independently of the encoders, and strict, so a malformed encoding fails.
// Base64 digits are read by the header reader's table, which has its own
// tests and shares nothing with the encoders' alphabet.

#include <optional>
#include <string>

namespace testsupport {

std::optional<std::string> DecodeBase64(const std::string& text);          // no line breaks
std::optional<std::string> DecodeQuotedPrintable(const std::string& text);  // "=" CR LF is a soft break
std::optional<std::string> DecodeUuencode(const std::string& lines);        // lines ending in CR LF

} // namespace testsupport

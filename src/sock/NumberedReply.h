#pragma once

#include <string>

// The reply rules FTP and SMTP share: a reply is one or more lines, each
// led by a three-digit code.

// The code of a reply's first line: its first three characters as a number,
// 999 when they are not three digits.
int ReplyCode(const std::string& line);

// Whether `line` is the last line of the reply that began with `first`. A reply
// opened "ddd-" runs until a line "ddd " (or just "ddd") with the same code;
// lines between may hold anything. Any other first line is a reply by itself.
bool ReplyIsFinal(const std::string& first, const std::string& line);

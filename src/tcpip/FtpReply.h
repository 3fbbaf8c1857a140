#pragma once

#include <cstdint>
#include <string>

// The FTP reply rules, as pure functions.

// The code of a reply's first line: its first three characters as a number,
// 999 when they are not three digits.
int FtpReplyCode(const std::string& line);

// Whether `line` is the last line of the reply that began with `first`. A reply
// opened "ddd-" runs until a line "ddd " (or just "ddd") with the same code;
// lines between may hold anything. Any other first line is a reply by itself.
bool FtpReplyIsFinal(const std::string& first, const std::string& line);

// The data address of a PASV answer's text ("Entering Passive Mode
// (h1,h2,h3,h4,p1,p2)"): the dotted address the server named and the port
// p1 * 256 + p2. False when the text holds no such group.
bool ParsePassiveAnswer(const std::string& text, std::string& address, uint16_t& port);

// The argument of PORT for an address (network order) and port:
// "a1,a2,a3,a4,p1,p2" in decimal.
std::string PortArgument(uint32_t address, uint16_t port);

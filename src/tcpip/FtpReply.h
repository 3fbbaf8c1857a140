#pragma once

#include <cstdint>
#include <string>

// The FTP data-address rules, as pure functions.

// The data address of a PASV answer's text ("Entering Passive Mode
// (h1,h2,h3,h4,p1,p2)"): the dotted address the server named and the port
// p1 * 256 + p2. False when the text holds no such group.
bool ParsePassiveAnswer(const std::string& text, std::string& address, uint16_t& port);

// The argument of PORT for an address (network order) and port:
// "a1,a2,a3,a4,p1,p2" in decimal.
std::string PortArgument(uint32_t address, uint16_t port);

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

// The port of an EPSV answer's text ("Entering Extended Passive Mode
// (|||6446|)", RFC 2428): the delimiter is the character after "(", and the
// answer names no address, only the port (1..65535). False when the text
// holds no such group.
bool ParseExtendedPassiveAnswer(const std::string& text, uint16_t& port);

// The argument of EPRT for an address of either family and a port:
// "|1|132.235.1.2|6275|" or "|2|1080::8:800:200c:417a|5282|".
std::string ExtendedPortArgument(int family, const std::string& address, uint16_t port);

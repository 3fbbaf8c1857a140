#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How a client protects its connection: not at all (the plain protocol), by
// upgrading a plain one (POP3 STLS, SMTP STARTTLS, FTP AUTH TLS), or from the
// first byte (implicit TLS on its own port).
enum class TlsMode { Plain, StartTls, Implicit };

// The mode a port implies when the user chose none: 995, 465 and 990 speak
// TLS from the start, 587 requires STARTTLS, every other port is plain.
TlsMode TlsModeForPort(uint16_t port);

// What a client needs to know to protect one connection.
struct TlsOptions {
    TlsMode Mode = TlsMode::Plain;
    // SHA-256 fingerprints (upper-case hex pairs joined by ':') of
    // certificates the user chose to trust for this server although they
    // failed verification.
    std::vector<std::string> Trusted;
    // SMTP only: the user allows AUTH over a plain connection.
    bool AllowPlainAuth = false;
};

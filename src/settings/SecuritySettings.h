#pragma once

#include "settings/Regi1632.h"
#include "sock/TlsOptions.h"

#include <cstdint>
#include <string>
#include <vector>

// The protocols whose protection the configuration sets.
enum class SecuredProtocol { Pop3, Smtp, Ftp };

// The TLS options for a connection to host:port by protocol: the mode the
// user chose for the protocol (or the one the port implies when the choice
// is "follow the port"), the certificates trusted for that host, and for
// SMTP whether AUTH may go over a plain connection.
TlsOptions ConfiguredTls(TRegistry1632& settings, SecuredProtocol protocol, const std::string& host, uint16_t port);

// The SMTP login (user name, password unscrambled); an empty user name means
// no AUTH.
struct SmtpLogin {
    std::string User;
    std::string Password;
};
SmtpLogin ConfiguredSmtpLogin(TRegistry1632& settings);

// A certificate the user chose to trust for one server.
struct TrustedCertificate {
    std::string Host;
    std::string Fingerprint;
};
// Remembers fingerprint as trusted for host (replacing an earlier one).
void TrustCertificate(TRegistry1632& settings, const std::string& host, const std::string& fingerprint);
std::vector<TrustedCertificate> TrustedCertificates(TRegistry1632& settings);
void ForgetCertificate(TRegistry1632& settings, const std::string& host);

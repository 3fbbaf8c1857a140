#pragma once

#include "settings/Regi1632.h"
#include "sock/TlsOptions.h"

#include <cstdint>
#include <string>
#include <vector>

// The protocols whose protection the configuration sets.
enum class SecuredProtocol { Pop3, Smtp, Ftp };

// What the user chose for a protocol, in the order the dialog offers it.
// Stored as "port", "plain", "starttls" or "implicit" under the protocol's
// value name; a value never stored (or unknown) follows the port.
enum class TlsChoice { FollowPort, Plain, StartTls, Implicit };
// "pop_tls", "smtp_tls", "ftp_tls".
const char* TlsSettingName(SecuredProtocol protocol);
const char* TlsChoiceWord(TlsChoice choice);
TlsChoice TlsChoiceFromWord(const std::string& word);
TlsChoice ConfiguredTlsChoice(TRegistry1632& settings, SecuredProtocol protocol);

// The TLS options for a connection to host:port by protocol: the mode the
// user chose for the protocol (or the one the port implies when the choice
// is "follow the port"), the certificates trusted for that host, and for
// SMTP whether AUTH may go over a plain connection.
TlsOptions ConfiguredTls(TRegistry1632& settings, SecuredProtocol protocol, const std::string& host, uint16_t port);

// The SMTP login (user name, password unscrambled); an empty user name means
// no AUTH. Stored as "smtp_username" and "smtp_password", the password
// scrambled with Encrypt like "pop_password"; "smtp_plain_auth" = "1" allows
// AUTH without TLS.
struct SmtpLogin {
    std::string User;
    std::string Password;
};
SmtpLogin ConfiguredSmtpLogin(TRegistry1632& settings);

// The subkey of the configuration key holding one subkey per trusted
// server (its name the host as the user gave it), with the fingerprint as
// the value "sha256". It lives in the settings hive even for a store
// instance in INI-file mode, which has no subkeys to enumerate. A host name
// holding a backslash is refused, never escaped: no host name has one.
constexpr const char* TrustedCertificatesKey = "Trusted Certificates";

// A certificate the user chose to trust for one server.
struct TrustedCertificate {
    std::string Host;
    std::string Fingerprint;
};
// Remembers fingerprint as trusted for host (replacing an earlier one; host
// names match without regard to case). Raises Exception saying why when the
// host name holds a backslash or is empty, the fingerprint is not a SHA-256
// one, or the settings cannot be written.
void TrustCertificate(TRegistry1632& settings, const std::string& host, const std::string& fingerprint);
// Every trusted certificate, hosts in case-insensitive order.
std::vector<TrustedCertificate> TrustedCertificates(TRegistry1632& settings);
// The fingerprint trusted for host, or "".
std::string TrustedFingerprint(TRegistry1632& settings, const std::string& host);
// Forgets the certificate trusted for host; nothing happens when there is none.
void ForgetCertificate(TRegistry1632& settings, const std::string& host);

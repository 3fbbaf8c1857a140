#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a server said it can do in its answer to EHLO (RFC 5321 4.1.1.1):
// the first line greets, every further line names one extension.
struct SmtpExtensions {
    bool StartTls = false;
    bool AuthPlain = false;
    bool AuthLogin = false;
    // The largest message it takes (SIZE), 0 when it names none.
    uint64_t MaxSize = 0;
    // Every keyword, upper-cased, in the order given.
    std::vector<std::string> Keywords;

    bool Has(const std::string& keyword) const;
};

// Reads the lines of a positive EHLO reply ("250-host", "250-STARTTLS",
// "250 AUTH PLAIN LOGIN"). Unknown keywords are kept, malformed lines skipped.
SmtpExtensions ParseEhloReply(const std::vector<std::string>& lines);

// The name this machine greets with: its host name when fully qualified,
// else the canonical name the resolver gives for it when that is, else the
// address literal of the connection's local end ("[127.0.0.1]"), which
// servers that refuse bare names accept (RFC 5321 4.1.3).
std::string GreetingName(const std::string& hostName, const std::string& canonicalName,
                         const std::string& localAddress);

// The base64 forms that AUTH sends: PLAIN's initial response (RFC 4616:
// no authorisation identity, the user, the password, split by NULs) and one
// field of LOGIN.
std::string AuthPlainResponse(const std::string& user, const std::string& password);
std::string Base64(const std::string& bytes);

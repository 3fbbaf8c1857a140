#pragma once

#include "sock/ESockException.h"

#include <string>

// A server's certificate failed verification. The message says which check
// failed and shows the fingerprint; the window may offer to trust exactly
// this certificate for this server.
class ECertificateError : public ESockException {
public:
    enum Check { Expired, NotYetValid, WrongName, UnknownIssuer, SelfSigned, Other };

    ECertificateError(const std::string& message, Check failed, std::string host, std::string fingerprint)
        : ESockException(message), Failed(failed), Host(std::move(host)), Fingerprint(std::move(fingerprint))
    {
    }

    Check Failed;
    // The server's name (or address) as the user gave it.
    std::string Host;
    // SHA-256 of the certificate's DER form, upper-case hex pairs joined by ':'.
    std::string Fingerprint;
};

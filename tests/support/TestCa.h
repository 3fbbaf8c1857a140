#pragma once

// A certificate authority made at test time, and server certificates it
// signs, written as PEM files in a temporary folder. Tests point OpenSSL at
// the authority through SSL_CERT_FILE (see TrustScope), so nothing of the
// system's trust store changes.

#include <QTemporaryDir>

#include <memory>
#include <string>

namespace testsupport {

class TestCa {
public:
    struct Issued {
        std::string certificate; // PEM file path
        std::string key;         // PEM file path
        std::string chain;       // certificate and key in one PEM file (servers that want one file)
        std::string fingerprint; // SHA-256, upper-case hex pairs joined by ':'
    };
    enum Validity { Valid, Expired, NotYetValid };

    TestCa();
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    // The authority's certificate (PEM file path).
    const std::string& Authority() const { return authority_; }
    // A server certificate for name (a DNS name, or an IP address literal
    // put in as an IP subject alternative name), signed by the authority.
    Issued Issue(const std::string& name, Validity validity = Valid);
    // A certificate for name that signs itself.
    Issued SelfSigned(const std::string& name);

private:
    struct Keys;
    QTemporaryDir dir_;
    std::string authority_;
    std::unique_ptr<Keys> keys_;
    int issued_ = 0;
};

// Points OpenSSL's default verify paths at one authority for its lifetime
// (SSL_CERT_FILE, and SSL_CERT_DIR at the authority's folder so the system's
// store stays out), restoring what was set before.
class TrustScope {
public:
    explicit TrustScope(const std::string& authorityPem);
    ~TrustScope();
    TrustScope(const TrustScope&) = delete;
    TrustScope& operator=(const TrustScope&) = delete;

private:
    std::string previous_;
    bool hadPrevious_ = false;
    std::string previousDir_;
    bool hadPreviousDir_ = false;
};

} // namespace testsupport

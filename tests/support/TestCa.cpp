#include "support/TestCa.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace testsupport {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("test authority: ") + what + " failed");
}

Key NewKey()
{
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Require(key != nullptr, "EC key generation");
    return key;
}

bool IsAddress(const std::string& name)
{
    unsigned char buffer[16];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 || inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Require(ext != nullptr, "certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for subject's key, valid from `from` to `to` seconds from now;
// issuer null makes it sign itself.
Cert NewCertificate(const std::string& commonName, EVP_PKEY* key, long serial, long from, long to)
{
    Cert cert(X509_new());
    Require(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("VexmorPing tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_pubkey(cert.get(), key);
    return cert;
}

void Sign(X509* cert, EVP_PKEY* key)
{
    Require(X509_sign(cert, key, EVP_sha256()) > 0, "signing");
}

std::string WriteFile(const std::string& path, X509* cert, EVP_PKEY* key)
{
    FILE* f = std::fopen(path.c_str(), "w");
    Require(f != nullptr, "writing a PEM file");
    bool ok = true;
    if (cert)
        ok = PEM_write_X509(f, cert) == 1;
    if (key)
        ok = ok && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(f);
    Require(ok, "writing PEM");
    // Servers that drop their privileges read these as another user.
    ::chmod(path.c_str(), 0644);
    return path;
}

std::string Fingerprint(X509* cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(X509_digest(cert, EVP_sha256(), md, &length) == 1, "fingerprint");
    std::string text;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", md[i]);
        text += (i ? ":" : "") + std::string(pair);
    }
    return text;
}

constexpr long Hour = 3600;
constexpr long Day = 24 * Hour;

} // namespace

struct TestCa::Keys {
    Key key;
    Cert cert;
};

TestCa::TestCa() : keys_(std::make_unique<Keys>())
{
    Require(dir_.isValid(), "temporary folder");
    ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
    keys_->key = NewKey();
    keys_->cert = NewCertificate("VexmorPing test authority", keys_->key.get(), 1, -Hour, 30 * Day);
    X509* ca = keys_->cert.get();
    X509_set_issuer_name(ca, X509_get_subject_name(ca));
    AddExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca, ca, NID_subject_key_identifier, "hash");
    Sign(ca, keys_->key.get());
    authority_ = WriteFile(dir_.filePath("authority.pem").toStdString(), ca, nullptr);
}

TestCa::~TestCa() = default;

TestCa::Issued TestCa::Issue(const std::string& name, Validity validity)
{
    const int n = ++issued_;
    long from = -Hour, to = Day;
    if (validity == Expired) {
        from = -10 * Day;
        to = -Day;
    } else if (validity == NotYetValid) {
        from = Day;
        to = 10 * Day;
    }
    Key key = NewKey();
    Cert cert = NewCertificate(name, key.get(), 100 + n, from, to);
    X509* ca = keys_->cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca));
    AddExtension(cert.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), ca, NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), ca, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), ca, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), ca, NID_authority_key_identifier, "keyid");
    AddExtension(cert.get(), ca, NID_subject_alt_name, (IsAddress(name) ? "IP:" : "DNS:") + name);
    Sign(cert.get(), keys_->key.get());

    const std::string base = dir_.filePath(QString("server%1").arg(n)).toStdString();
    return {WriteFile(base + ".crt", cert.get(), nullptr), WriteFile(base + ".key", nullptr, key.get()),
            WriteFile(base + ".pem", cert.get(), key.get()), Fingerprint(cert.get())};
}

// No key usage, so that OpenSSL sees a certificate that could have signed
// itself and says "self-signed" rather than "unknown issuer".
TestCa::Issued TestCa::SelfSigned(const std::string& name)
{
    const int n = ++issued_;
    Key key = NewKey();
    Cert cert = NewCertificate(name, key.get(), 100 + n, -Hour, Day);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    AddExtension(cert.get(), cert.get(), NID_subject_alt_name, (IsAddress(name) ? "IP:" : "DNS:") + name);
    Sign(cert.get(), key.get());

    const std::string base = dir_.filePath(QString("self%1").arg(n)).toStdString();
    return {WriteFile(base + ".crt", cert.get(), nullptr), WriteFile(base + ".key", nullptr, key.get()),
            WriteFile(base + ".pem", cert.get(), key.get()), Fingerprint(cert.get())};
}

TrustScope::TrustScope(const std::string& authorityPem)
{
    if (const char* file = std::getenv("SSL_CERT_FILE")) {
        hadPrevious_ = true;
        previous_ = file;
    }
    if (const char* dir = std::getenv("SSL_CERT_DIR")) {
        hadPreviousDir_ = true;
        previousDir_ = dir;
    }
    ::setenv("SSL_CERT_FILE", authorityPem.c_str(), 1);
    // Only the test's authority, nothing of the system's store: unset, the
    // folder would fall back to the system's, so it names the authority's
    // own, which holds no hashed names.
    const size_t slash = authorityPem.rfind('/');
    ::setenv("SSL_CERT_DIR", slash == std::string::npos ? "." : authorityPem.substr(0, slash).c_str(), 1);
}

TrustScope::~TrustScope()
{
    if (hadPrevious_)
        ::setenv("SSL_CERT_FILE", previous_.c_str(), 1);
    else
        ::unsetenv("SSL_CERT_FILE");
    if (hadPreviousDir_)
        ::setenv("SSL_CERT_DIR", previousDir_.c_str(), 1);
    else
        ::unsetenv("SSL_CERT_DIR");
}

} // namespace testsupport

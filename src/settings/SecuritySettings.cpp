#include "settings/SecuritySettings.h"
#include "framework/Exception.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"

#include <QString>

#include <algorithm>
#include <cctype>

namespace {

constexpr const char* ChoiceWords[] = {"port", "plain", "starttls", "implicit"};
constexpr const char* FingerprintValue = "sha256";

std::string TrustPath()
{
    return std::string(ConfigPath) + "\\" + TrustedCertificatesKey;
}

bool SameHost(const std::string& a, const std::string& b)
{
    return QString::fromLatin1(a.data(), int(a.size())).compare(QString::fromLatin1(b.data(), int(b.size())),
                                                                 Qt::CaseInsensitive) == 0;
}

// A registry key opened (never created) for one operation.
class OpenKey {
public:
    OpenKey(HKEY root, const std::string& path)
    {
        ok_ = RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS;
    }
    ~OpenKey()
    {
        if (ok_)
            RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    bool ok() const { return ok_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = 0;
    bool ok_ = false;
};

std::vector<std::string> TrustedHosts()
{
    std::vector<std::string> hosts;
    OpenKey key(HKEY_LOCAL_MACHINE, TrustPath());
    DWORD count = 0, longest = 0;
    if (!key.ok() || RegQueryInfoKeyA(key.get(), &count, &longest) != ERROR_SUCCESS)
        return hosts;
    std::vector<char> name(longest + 1);
    for (DWORD i = 0; i < count; ++i) {
        DWORD size = DWORD(name.size());
        if (RegEnumKeyExA(key.get(), i, name.data(), &size) == ERROR_SUCCESS)
            hosts.emplace_back(name.data(), size);
    }
    return hosts;
}

std::string StoredFingerprint(const std::string& host)
{
    OpenKey key(HKEY_LOCAL_MACHINE, TrustPath() + "\\" + host);
    if (!key.ok())
        return "";
    // A fingerprint is 95 characters; anything much longer is not one.
    uint8_t buffer[128];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key.get(), FingerprintValue, nullptr, &type, buffer, &size) != ERROR_SUCCESS)
        return "";
    if (size > 0 && buffer[size - 1] == 0)
        --size;
    return std::string(reinterpret_cast<const char*>(buffer), size);
}

// "AB:CD:..." with 32 pairs, in upper case; "" when text is not one.
std::string NormalFingerprint(const std::string& text)
{
    if (text.size() != 32 * 3 - 1)
        return "";
    std::string result = text;
    for (size_t i = 0; i < result.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(result[i]);
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(c))
            return "";
        result[i] = char(std::toupper(c));
    }
    return result;
}

void Failed(const std::string& what)
{
    throw Exception(what + " " + RegistryLastFailure());
}

} // namespace

const char* TlsSettingName(SecuredProtocol protocol)
{
    switch (protocol) {
    case SecuredProtocol::Pop3:
        return "pop_tls";
    case SecuredProtocol::Smtp:
        return "smtp_tls";
    case SecuredProtocol::Ftp:
        break;
    }
    return "ftp_tls";
}

const char* TlsChoiceWord(TlsChoice choice)
{
    return ChoiceWords[int(choice)];
}

TlsChoice TlsChoiceFromWord(const std::string& word)
{
    for (int i = 0; i < int(std::size(ChoiceWords)); ++i)
        if (word == ChoiceWords[i])
            return TlsChoice(i);
    return TlsChoice::FollowPort;
}

TlsChoice ConfiguredTlsChoice(TRegistry1632& settings, SecuredProtocol protocol)
{
    return TlsChoiceFromWord(settings.ReadKeyLM(ConfigPath, TlsSettingName(protocol)));
}

TlsOptions ConfiguredTls(TRegistry1632& settings, SecuredProtocol protocol, const std::string& host, uint16_t port)
{
    TlsOptions options;
    switch (ConfiguredTlsChoice(settings, protocol)) {
    case TlsChoice::FollowPort:
        options.Mode = TlsModeForPort(port);
        break;
    case TlsChoice::Plain:
        options.Mode = TlsMode::Plain;
        break;
    case TlsChoice::StartTls:
        options.Mode = TlsMode::StartTls;
        break;
    case TlsChoice::Implicit:
        options.Mode = TlsMode::Implicit;
        break;
    }
    const std::string trusted = TrustedFingerprint(settings, host);
    if (!trusted.empty())
        options.Trusted.push_back(trusted);
    options.AllowPlainAuth =
        protocol == SecuredProtocol::Smtp && settings.ReadKeyLM(ConfigPath, "smtp_plain_auth") == "1";
    return options;
}

SmtpLogin ConfiguredSmtpLogin(TRegistry1632& settings)
{
    SmtpLogin login;
    login.User = settings.ReadKeyLM(ConfigPath, "smtp_username");
    login.Password =
        Decrypt(settings.ReadKeyLM(ConfigPath, "smtp_password"), CryptKey, CryptMultiplier, CryptIncrement);
    return login;
}

// The trust store lives in the settings hive whatever mode the store
// instance is in: it needs subkeys, which a private profile has not.
void TrustCertificate(TRegistry1632&, const std::string& host, const std::string& fingerprint)
{
    if (host.empty())
        throw Exception("The certificate was not trusted: the server has no name.");
    // A backslash would make a nested key, or one outside the trust store.
    if (host.find('\\') != std::string::npos)
        throw Exception("The certificate was not trusted: the server name \"" + host +
                        "\" holds a backslash, which no host name has. Correct the server name.");
    const std::string normal = NormalFingerprint(fingerprint);
    if (normal.empty())
        throw Exception("The certificate was not trusted: \"" + fingerprint + "\" is not a SHA-256 fingerprint.");

    RegistryTransaction transaction;
    if (transaction.Began() != ERROR_SUCCESS)
        Failed("The certificate was not trusted.");
    EnsureConfigurationKeys();
    HKEY store = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, TrustPath().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &store, nullptr) != ERROR_SUCCESS)
        Failed("The certificate was not trusted.");
    // The earlier entry goes first, so the host keeps the spelling given now.
    for (const std::string& known : TrustedHosts())
        if (SameHost(known, host))
            RegDeleteKeyA(store, known.c_str());
    HKEY entry = 0;
    const bool stored =
        RegCreateKeyExA(store, host.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &entry,
                        nullptr) == ERROR_SUCCESS &&
        RegSetValueExA(entry, FingerprintValue, 0, REG_SZ, reinterpret_cast<const uint8_t*>(normal.data()),
                       DWORD(normal.size())) == ERROR_SUCCESS;
    if (entry)
        RegCloseKey(entry);
    RegCloseKey(store);
    if (!stored || transaction.Commit() != ERROR_SUCCESS)
        Failed("The certificate was not trusted.");
}

std::vector<TrustedCertificate> TrustedCertificates(TRegistry1632&)
{
    RegistryTransaction snapshot(false);
    std::vector<TrustedCertificate> result;
    for (const std::string& host : TrustedHosts()) {
        const std::string fingerprint = StoredFingerprint(host);
        if (!fingerprint.empty())
            result.push_back({host, fingerprint});
    }
    return result;
}

std::string TrustedFingerprint(TRegistry1632&, const std::string& host)
{
    if (host.empty() || host.find('\\') != std::string::npos)
        return "";
    // Key names match without regard to case.
    return NormalFingerprint(StoredFingerprint(host));
}

void ForgetCertificate(TRegistry1632&, const std::string& host)
{
    if (host.empty() || host.find('\\') != std::string::npos)
        return;
    OpenKey store(HKEY_LOCAL_MACHINE, TrustPath());
    if (!store.ok())
        return;
    const LONG rc = RegDeleteKeyA(store.get(), host.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        Failed("The certificate for " + host + " was not forgotten.");
}

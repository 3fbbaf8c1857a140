#include "framework/Exception.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/SecuritySettings.h"
#include "settings/TrustPrompt.h"
#include "support/ConfigFolder.h"
#include "support/Loopback.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

const std::string FingerprintA = "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:"
                                 "23:45:67:89";
const std::string FingerprintB = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:"
                                 "BB:CC:DD:EE:FF";

class SecuritySettings : public ConfigFolderTest {
protected:
    void SetUp() override
    {
        ConfigFolderTest::SetUp();
        EnsureConfigurationKeys();
    }
    TlsMode Mode(SecuredProtocol p, uint16_t port) { return ConfiguredTls(store, p, "host", port).Mode; }
    std::vector<std::string> Listed()
    {
        std::vector<std::string> lines;
        for (const TrustedCertificate& c : TrustedCertificates(store))
            lines.push_back(c.Host + " " + c.Fingerprint);
        return lines;
    }
    // Answers the prompt the next modal message box shows with its button
    // of that name; what the box said is kept.
    void Answer(const char* button)
    {
        QTimer::singleShot(0, [this, button] {
            testsupport::PumpUntil([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); },
                                   5000);
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            shown = box->objectName() + "|" + box->text() + "|" + box->informativeText();
            auto* pressed = box->findChild<QPushButton*>(button);
            defaultName = box->defaultButton() ? box->defaultButton()->objectName() : QString();
            if (pressed)
                pressed->click();
            else
                box->reject(); // fails below, never hangs
        });
    }

    TRegistry1632 store;
    QString shown, defaultName;
};

} // namespace

TEST_F(SecuritySettings, TheModeFollowsThePortUntilTheUserChoosesOne)
{
    EXPECT_EQ(Mode(SecuredProtocol::Pop3, 995), TlsMode::Implicit);
    EXPECT_EQ(Mode(SecuredProtocol::Pop3, 110), TlsMode::Plain);
    EXPECT_EQ(Mode(SecuredProtocol::Smtp, 465), TlsMode::Implicit);
    EXPECT_EQ(Mode(SecuredProtocol::Smtp, 587), TlsMode::StartTls);
    EXPECT_EQ(Mode(SecuredProtocol::Smtp, 25), TlsMode::Plain);
    EXPECT_EQ(Mode(SecuredProtocol::Ftp, 990), TlsMode::Implicit);
    EXPECT_EQ(Mode(SecuredProtocol::Ftp, 21), TlsMode::Plain);

    store.WriteKeyLM(ConfigPath, "pop_tls", "starttls");
    store.WriteKeyLM(ConfigPath, "smtp_tls", "plain");
    store.WriteKeyLM(ConfigPath, "ftp_tls", "implicit");
    EXPECT_EQ(Mode(SecuredProtocol::Pop3, 995), TlsMode::StartTls);
    EXPECT_EQ(Mode(SecuredProtocol::Smtp, 465), TlsMode::Plain);
    EXPECT_EQ(Mode(SecuredProtocol::Ftp, 21), TlsMode::Implicit);
    store.WriteKeyLM(ConfigPath, "smtp_tls", "port");
    EXPECT_EQ(Mode(SecuredProtocol::Smtp, 587), TlsMode::StartTls);
    store.WriteKeyLM(ConfigPath, "smtp_tls", "nonsense");
    EXPECT_EQ(Mode(SecuredProtocol::Smtp, 465), TlsMode::Implicit) << "an unknown word follows the port";

    // Plain AUTH only when allowed, and only for SMTP.
    EXPECT_FALSE(ConfiguredTls(store, SecuredProtocol::Smtp, "h", 25).AllowPlainAuth);
    store.WriteKeyLM(ConfigPath, "smtp_plain_auth", "1");
    EXPECT_TRUE(ConfiguredTls(store, SecuredProtocol::Smtp, "h", 25).AllowPlainAuth);
    EXPECT_FALSE(ConfiguredTls(store, SecuredProtocol::Pop3, "h", 110).AllowPlainAuth);
    store.WriteKeyLM(ConfigPath, "smtp_plain_auth", "0");
    EXPECT_FALSE(ConfiguredTls(store, SecuredProtocol::Smtp, "h", 25).AllowPlainAuth);
}

TEST_F(SecuritySettings, TheSmtpPasswordIsStoredScrambled)
{
    EXPECT_EQ(ConfiguredSmtpLogin(store).User, "") << "no user name: no AUTH";
    const std::string password = "pa\xDF w\xF6rd:1";
    store.WriteKeyLM(ConfigPath, "smtp_username", "me@zembrova.example");
    store.WriteKeyLM(ConfigPath, "smtp_password", Encrypt(password, CryptKey, CryptMultiplier, CryptIncrement));
    EXPECT_NE(store.ReadKeyLM(ConfigPath, "smtp_password"), password);
    const SmtpLogin login = ConfiguredSmtpLogin(store);
    EXPECT_EQ(login.User, "me@zembrova.example");
    EXPECT_EQ(login.Password, password);
}

TEST_F(SecuritySettings, TrustedCertificatesAreKeptPerHostWhateverItsCase)
{
    EXPECT_TRUE(Listed().empty());
    TrustCertificate(store, "mail.zembrova.example", FingerprintA);
    TrustCertificate(store, "127.0.0.1", "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:"
                                         "99:aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"127.0.0.1 " + FingerprintB, "mail.zembrova.example " + FingerprintA}))
        << "upper-case, hosts in order";
    EXPECT_EQ(ConfiguredTls(store, SecuredProtocol::Pop3, "MAIL.Zembrova.example", 995).Trusted,
              std::vector<std::string>{FingerprintA});
    EXPECT_TRUE(ConfiguredTls(store, SecuredProtocol::Pop3, "other.example", 995).Trusted.empty());

    // A new certificate for the same server replaces the old one.
    TrustCertificate(store, "Mail.Zembrova.Example", FingerprintB);
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"127.0.0.1 " + FingerprintB, "Mail.Zembrova.Example " + FingerprintB}));

    ForgetCertificate(store, "mail.zembrova.example");
    ForgetCertificate(store, "never.trusted.example");
    EXPECT_EQ(Listed(), std::vector<std::string>{"127.0.0.1 " + FingerprintB});
    EXPECT_EQ(TrustedFingerprint(store, "mail.zembrova.example"), "");

    // What cannot be a host or a fingerprint is refused with its reason.
    EXPECT_THROW(TrustCertificate(store, "a\\b", FingerprintA), Exception);
    EXPECT_THROW(TrustCertificate(store, "", FingerprintA), Exception);
    EXPECT_THROW(TrustCertificate(store, "h", "AB:CD"), Exception);
    EXPECT_EQ(Listed().size(), 1u);
}

TEST_F(SecuritySettings, ThePromptTrustsOnYesOnly)
{
    const ECertificateError e("The certificate of 127.0.0.1 is self-signed.", ECertificateError::SelfSigned,
                              "127.0.0.1", FingerprintA);
    Answer("bDontTrust");
    EXPECT_FALSE(OfferTrust(nullptr, e, store));
    EXPECT_TRUE(shown.startsWith("trustPrompt|The certificate of 127.0.0.1 is self-signed.|")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString::fromStdString(FingerprintA)));
    EXPECT_EQ(defaultName, "bDontTrust");
    EXPECT_TRUE(Listed().empty());

    Answer("bTrust");
    EXPECT_TRUE(OfferTrust(nullptr, e, store));
    EXPECT_EQ(Listed(), std::vector<std::string>{"127.0.0.1 " + FingerprintA});
}

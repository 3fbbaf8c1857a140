#include "DialogFixture.h"
#include "settings/AddressOrder.h"
#include "settings/Crypt32.h"
#include "settings/SecuritySettings.h"
#include "settings/TformConfig.h"
#include "settings/TformSecurity.h"
#include "support/Loopback.h"

#include <QCheckBox>
#include <QComboBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace {

const std::string FingerprintB = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:"
                                 "BB:CC:DD:EE:FF";

std::string Pairs(char c)
{
    std::string text;
    for (int i = 0; i < 32; ++i)
        text += std::string(i ? ":" : "") + c + c;
    return text;
}

class SecurityDialog : public DialogFixture<TformSecurity> {
protected:
    std::vector<std::string> Rows()
    {
        std::vector<std::string> rows;
        for (int i = 0; i < dialog.trusted_certificates->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = dialog.trusted_certificates->topLevelItem(i);
            rows.push_back((row->text(0) + " " + row->text(1)).toStdString());
        }
        return rows;
    }
};

} // namespace

TEST_F(SecurityDialog, OkStoresTheChoicesAndTheNextShowingShowsThem)
{
    Show();
    for (QComboBox* c : {dialog.pop_tls, dialog.smtp_tls, dialog.ftp_tls})
        EXPECT_EQ(c->currentText(), "Follow the port") << c->objectName().toStdString();
    EXPECT_EQ(dialog.smtp_username->text(), "");
    EXPECT_EQ(dialog.smtp_password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(dialog.smtp_plain_auth->isChecked());
    EXPECT_EQ(dialog.smtp_plain_auth->text(), "Allow login without TLS");

    dialog.pop_tls->setCurrentIndex(dialog.pop_tls->findText("Implicit TLS"));
    dialog.smtp_tls->setCurrentIndex(dialog.smtp_tls->findText("STARTTLS"));
    dialog.ftp_tls->setCurrentIndex(dialog.ftp_tls->findText("Plain"));
    Type(dialog.smtp_username, "me@zembrova.example");
    Type(dialog.smtp_password, "s3cret!");
    QTest::mouseClick(dialog.smtp_plain_auth, Qt::LeftButton, {}, QPoint(4, dialog.smtp_plain_auth->height() / 2));
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(dialog.isVisible());

    EXPECT_EQ(Stored("pop_tls") + "/" + Stored("smtp_tls") + "/" + Stored("ftp_tls") + "/" + Stored("smtp_plain_auth"),
              "implicit/starttls/plain/1");
    EXPECT_EQ(Stored("smtp_username"), "me@zembrova.example");
    EXPECT_EQ(Stored("smtp_password"), Encrypt("s3cret!", CryptKey, CryptMultiplier, CryptIncrement));
    EXPECT_NE(Stored("smtp_password"), "s3cret!");
    EXPECT_EQ(ConfiguredSmtpLogin(store).Password, "s3cret!");
    EXPECT_EQ(ConfiguredTls(store, SecuredProtocol::Smtp, "h", 25).Mode, TlsMode::StartTls);

    Show();
    EXPECT_EQ(dialog.pop_tls->currentText(), "Implicit TLS");
    EXPECT_EQ(dialog.smtp_password->text(), "s3cret!");
    EXPECT_TRUE(dialog.smtp_plain_auth->isChecked());

    // Cancel stores nothing.
    Type(dialog.smtp_username, "edited");
    Press(dialog.bCancel);
    EXPECT_EQ(Stored("smtp_username"), "me@zembrova.example");
}

// Another copy of the program (or a prompt) saved meanwhile: Ok writes only
// what changed here, and a password too long to read back is refused.
TEST_F(SecurityDialog, OkWritesOnlyWhatChangedHere)
{
    store.WriteKeyLM(ConfigPath, "smtp_tls", "plain");
    store.WriteKeyLM(ConfigPath, "smtp_username", "old");
    Show();
    store.WriteKeyLM(ConfigPath, "smtp_tls", "implicit");
    Type(dialog.smtp_password, std::string(255, 'x').c_str());
    Press(dialog.bOk);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "The SMTP password may be at most 254 characters long. Nothing was saved.");
    EXPECT_TRUE(dialog.isVisible());

    Type(dialog.smtp_username, "new");
    Type(dialog.smtp_password, "");
    Press(dialog.bOk);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(Stored("smtp_username") + "/" + Stored("smtp_tls"), "new/implicit");
}

TEST_F(SecurityDialog, TheTrustedCertificatesAreListedAndRemovedOnOk)
{
    TrustCertificate(store, "pop.zembrova.example", Pairs('A'));
    TrustCertificate(store, "127.0.0.1", FingerprintB);
    Show();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"127.0.0.1 " + FingerprintB, "pop.zembrova.example " + Pairs('A')}));

    EXPECT_FALSE(dialog.bRemove->isEnabled()) << "nothing selected, nothing to remove";
    dialog.trusted_certificates->topLevelItem(1)->setSelected(true);
    Press(dialog.bRemove);
    EXPECT_EQ(Rows(), std::vector<std::string>{"127.0.0.1 " + FingerprintB});
    EXPECT_FALSE(dialog.bRemove->isEnabled()) << "the removed row took the selection with it";
    Press(dialog.bCancel);
    EXPECT_EQ(TrustedCertificates(store).size(), 2u) << "Cancel forgets nothing";

    Show();
    ASSERT_EQ(Rows().size(), 2u);
    dialog.trusted_certificates->topLevelItem(0)->setSelected(true);
    dialog.trusted_certificates->topLevelItem(1)->setSelected(true);
    Press(dialog.bRemove);
    // The certificate for this server was replaced meanwhile: the new one stays.
    TrustCertificate(store, "POP.zembrova.example", Pairs('C'));
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(TrustedCertificates(store).size(), 1u);
    EXPECT_EQ(TrustedCertificates(store)[0].Fingerprint, Pairs('C'));
    EXPECT_EQ(TrustedFingerprint(store, "127.0.0.1"), "");
}

// The address order shows what is stored and is written only when changed
// here: an order saved meanwhile by another copy stays.
TEST_F(SecurityDialog, TheAddressOrderShowsTheStoredOneAndIsWrittenOnlyWhenChanged)
{
    Show();
    EXPECT_EQ(dialog.address_order->currentText(), "System order");
    EXPECT_EQ(dialog.address_order->count(), 3);
    dialog.address_order->setCurrentIndex(dialog.address_order->findText("IPv6 first"));
    Press(dialog.bOk);
    EXPECT_EQ(Stored(AddressOrderValue), "ipv6");
    EXPECT_EQ(ConfiguredAddressOrder(store), AddressOrder::IPv6First);

    Show();
    EXPECT_EQ(dialog.address_order->currentText(), "IPv6 first");
    store.WriteKeyLM(ConfigPath, AddressOrderValue, "ipv4");
    Type(dialog.smtp_username, "someone");
    Press(dialog.bOk);
    EXPECT_EQ(Stored(AddressOrderValue) + "/" + Stored("smtp_username"), "ipv4/someone");

    Show();
    EXPECT_EQ(dialog.address_order->currentText(), "IPv4 first");
    dialog.address_order->setCurrentIndex(dialog.address_order->findText("System order"));
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Stored(AddressOrderValue), "system");
}

// The configuration dialog keeps its fields and size and opens this one.
TEST_F(SecurityDialog, TheConfigurationDialogOpensIt)
{
    TformConfig config;
    config.show();
    testsupport::PumpFor(10);
    EXPECT_EQ(config.size(), QSize(266, 389));
    EXPECT_EQ(config.bSecurity->text(), "Security...");
    EXPECT_EQ(config.bSecurity->y(), config.bOk->y());
    EXPECT_TRUE(config.rect().contains(config.bSecurity->geometry()));
    bool opened = false;
    QTimer::singleShot(0, [&] {
        testsupport::PumpUntil([&] { return QApplication::activeModalWidget() == config.formSecurity; }, 5000);
        opened = QApplication::activeModalWidget() == config.formSecurity;
        config.formSecurity->reject(); // never hangs
    });
    Press(config.bSecurity);
    EXPECT_TRUE(opened);
    EXPECT_FALSE(config.formSecurity->isVisible());
}

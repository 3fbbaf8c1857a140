#include "DialogFixture.h"
#include "platform/registry.h"
#include "settings/Crypt32.h"
#include "settings/MailSettings.h"
#include "settings/TformConfig.h"
#include "support/Loopback.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QTest>

#include <sqlite3.h>

namespace {

class ConfigDialog : public DialogFixture<TformConfig> {};

} // namespace

TEST_F(ConfigDialog, AFreshStartShowsTheInitialTextsAndOkStoresThem)
{
    Show();
    EXPECT_EQ(dialog.smtp_port->text(), "25");
    EXPECT_EQ(dialog.pop_port->text(), "110");
    EXPECT_EQ(dialog.web_page->text(), "ftp.zembrova.example");
    for (QLineEdit* f : {dialog.smtp_server, dialog.pop_server, dialog.full_name, dialog.email_address,
                         dialog.pop_username, dialog.pop_password})
        EXPECT_TRUE(f->text().isEmpty()) << f->objectName().toStdString();
    EXPECT_FALSE(dialog.cbLog->isChecked());
    EXPECT_FALSE(dialog.cbResolve->isChecked());
    EXPECT_EQ(dialog.windowTitle(), "VexmorPing! v1.0; Configuration");
    EXPECT_EQ(dialog.size(), QSize(266, 389));
    EXPECT_EQ(dialog.pop_password->echoMode(), QLineEdit::Password);
    // The check boxes sit below the group's title and line, inside its frame.
    for (QCheckBox* box : {dialog.cbLog, dialog.cbResolve})
        EXPECT_TRUE(dialog.gbMisc->contentsRect().contains(box->geometry())) << box->objectName().toStdString();
    EXPECT_LE(dialog.bOk->geometry().bottom(), dialog.height());
    EXPECT_GT(dialog.bOk->y(), dialog.gbMisc->geometry().bottom());

    Press(dialog.bOk);
    EXPECT_EQ(Stored("smtp_port") + "/" + Stored("pop_port") + "/" + Stored("web_page") + "/" + Stored("log_transactions"),
              "25/110/ftp.zembrova.example/1");

    // A value stored empty stays empty.
    store.WriteKeyLM(ConfigPath, "smtp_port", "");
    Show();
    EXPECT_EQ(dialog.smtp_port->text(), "");
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty()) << errors[0];
    EXPECT_EQ(Stored("smtp_port"), "");
    EXPECT_FALSE(store.ErrorOccurred());
}

TEST_F(ConfigDialog, APortOutsideOneTo65535IsRefusedAndNothingIsSaved)
{
    Show();
    Type(dialog.smtp_server, "smtp.zembrova.example");
    Type(dialog.smtp_port, "68061");
    Press(dialog.bOk);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "The SMTP port must be a number from 1 to 65535; \"68061\" is not. Nothing was saved.");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Stored("smtp_server"), "");
    EXPECT_TRUE(store.ErrorOccurred()) << "nothing was stored";
    Type(dialog.smtp_port, "2525");
    Type(dialog.pop_port, "0");
    Press(dialog.bOk);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1].rfind("The POP3 port must be", 0), 0u) << errors[1];
    Type(dialog.pop_port, "995");
    Press(dialog.bOk);
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(Stored("smtp_port") + "/" + Stored("pop_port"), "2525/995");
}

// Two copies of the program, each with the dialog open: each Ok writes only
// what changed in its own dialog.
TEST_F(ConfigDialog, TwoCopiesKeepWhatTheOtherSaved)
{
    store.WriteKeyLM(ConfigPath, "smtp_server", "old");
    TformConfig other;
    Show();
    other.show();
    testsupport::PumpFor(10);
    Type(other.smtp_server, "from-the-other");
    Type(other.smtp_port, "2525");
    Press(other.bOk);
    Type(dialog.full_name, "Mine");
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Stored("smtp_server") + "/" + Stored("smtp_port") + "/" + Stored("full_name"),
              "from-the-other/2525/Mine")
        << "a value never stored is written only while it is still not stored";
}

TEST_F(ConfigDialog, OkStoresEveryValueAndTheNextShowingShowsThemAgain)
{
    Show();
    const struct {
        QLineEdit* field;
        const char* name;
        const char* text;
    } values[] = {{dialog.smtp_server, "smtp_server", "smtp.zembrova.example"}, {dialog.smtp_port, "smtp_port", "2525"},
                  {dialog.pop_server, "pop_server", "pop.zembrova.example"},   {dialog.pop_port, "pop_port", "1100"},
                  {dialog.full_name, "full_name", "Test User"},
                  {dialog.email_address, "email_address", "user@zembrova.example"},
                  {dialog.pop_username, "pop_username", "user"},               {dialog.web_page, "web_page", "ftp.zembrova.example"}};
    for (const auto& v : values)
        Type(v.field, v.text);
    Type(dialog.pop_password, "s3cret!");
    QTest::mouseClick(dialog.cbLog, Qt::LeftButton, {}, QPoint(4, dialog.cbLog->height() / 2));
    Press(dialog.bOk);
    EXPECT_FALSE(dialog.isVisible());

    for (const auto& v : values)
        EXPECT_EQ(Stored(v.name), v.text) << v.name;
    EXPECT_EQ(Stored("pop_password"), Encrypt("s3cret!", CryptKey, CryptMultiplier, CryptIncrement))
        << "scrambled and stored raw";
    EXPECT_EQ(Stored("log_transactions"), "0");
    EXPECT_EQ(Stored("resolve_trace"), "1");

    Show();
    EXPECT_EQ(dialog.smtp_server->text(), "smtp.zembrova.example");
    EXPECT_EQ(dialog.pop_password->text(), "s3cret!");
    EXPECT_TRUE(dialog.cbLog->isChecked());
    EXPECT_FALSE(dialog.cbResolve->isChecked());
}

TEST_F(ConfigDialog, CancelStoresNothingAndTheNextShowingReloads)
{
    store.WriteKeyLM(ConfigPath, "smtp_server", "kept");
    store.WriteKeyLM(ConfigPath, "resolve_trace", "true");
    Show();
    EXPECT_FALSE(dialog.cbResolve->isChecked()) << "only \"0\" means on";
    Type(dialog.smtp_server, "edited");
    Press(dialog.bCancel);
    EXPECT_EQ(Stored("smtp_server"), "kept");
    EXPECT_EQ(Stored("full_name"), "");
    EXPECT_TRUE(store.ErrorOccurred()) << "Cancel wrote nothing at all";
    Show();
    EXPECT_EQ(dialog.smtp_server->text(), "kept");
}

// The key is missing where start-up could not write the settings (a full
// disk, a lock); saving later makes it.
TEST_F(ConfigDialog, WithoutTheConfigurationKeyOkMakesItAndSaves)
{
    HKEY software = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(software, "Zembrova!"), ERROR_SUCCESS);
    RegCloseKey(software);
    Show();
    Type(dialog.smtp_server, "x");
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(Stored("smtp_server") + "/" + Stored("smtp_port"), "x/25");
}

TEST_F(ConfigDialog, OkSavesEverythingOrNothing)
{
    Show();
    Type(dialog.smtp_server, "before");
    Press(dialog.bOk);
    ASSERT_TRUE(errors.empty());

    // Text the code page cannot hold is refused before anything is written.
    Show();
    Type(dialog.smtp_server, "after");
    dialog.full_name->setText(QString::fromUtf8("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"));
    Press(dialog.bOk);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The field full_name holds the character U+0418", 0), 0u) << errors[0];
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Stored("smtp_server"), "before");

    // Another program holding the settings file: Ok fails whole, says why, and
    // works once the file is free again.
    dialog.full_name->setText("Ivan");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((folder.path().toStdString() + "/VexmorPing/registry.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    errors.clear();
    Press(dialog.bOk);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Another program is using the settings file"), std::string::npos) << errors[0];
    EXPECT_TRUE(dialog.isVisible());
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(Stored("smtp_server"), "before");
    EXPECT_EQ(Stored("full_name"), "");

    errors.clear();
    Press(dialog.bOk);
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(Stored("smtp_server") + "/" + Stored("full_name"), "after/Ivan");
}

TEST_F(ConfigDialog, SendingSaysWhichSettingIsMissingOrWrong)
{
    auto problem = [this]() -> std::string {
        try {
            const MailSender sender = ConfiguredMailSender(store);
            return sender.Server + ":" + std::to_string(sender.Port) + " from " + sender.Address;
        } catch (const Exception& e) {
            return e.Message;
        }
    };
    EXPECT_EQ(problem(), "The message was not sent: set the SMTP server (\"SMTP Server:\"), the SMTP port (the small "
                         "field beside it, usually 25) and your e-mail address (\"E-Mail Address:\") in the "
                         "configuration (the Configure button), then send again.");
    Show();
    Type(dialog.smtp_server, "smtp.zembrova.example");
    Press(dialog.bOk);
    EXPECT_EQ(problem(), "The message was not sent: set your e-mail address (\"E-Mail Address:\") in the "
                         "configuration (the Configure button), then send again.");
    store.WriteKeyLM(ConfigPath, "email_address", "me@zembrova.example");
    EXPECT_EQ(problem(), "smtp.zembrova.example:25 from me@zembrova.example");
    store.WriteKeyLM(ConfigPath, "smtp_port", "68061");
    EXPECT_EQ(problem().rfind("The message was not sent: the SMTP port \"68061\" is not a port number", 0), 0u);
}

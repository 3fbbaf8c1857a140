#include "framework/Application.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"
#include "settings/Crypt32.h"
#include "settings/TformConfig.h"
#include "support/ConfigFolder.h"
#include "support/Loopback.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sqlite3.h>

namespace {

class ConfigDialog : public ConfigFolderTest {
protected:
    void SetUp() override
    {
        ConfigFolderTest::SetUp();
        EnsureConfigurationKeys();
        App()->SetErrorReporter([this](const std::string&, const std::string& m) { errors.push_back(m); });
    }
    void TearDown() override { App()->SetErrorReporter({}); }
    void Show()
    {
        dialog.show();
        testsupport::PumpFor(10);
    }
    void Press(QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }
    void Type(QLineEdit* field, const char* text)
    {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }
    std::string Stored(const char* name) { return store.ReadKeyLM(ConfigPath, name); }

    TformConfig dialog;
    TRegistry1632 store;
    std::vector<std::string> errors;
};

} // namespace

TEST_F(ConfigDialog, AFreshStartShowsEmptyFieldsAndUncheckedBoxes)
{
    EXPECT_EQ(dialog.smtp_port->text(), "25") << "before the first showing";
    Show();
    for (QLineEdit* f : {dialog.smtp_server, dialog.smtp_port, dialog.pop_server, dialog.pop_port,
                         dialog.full_name, dialog.email_address, dialog.pop_username, dialog.pop_password,
                         dialog.web_page})
        EXPECT_TRUE(f->text().isEmpty()) << f->objectName().toStdString();
    EXPECT_FALSE(dialog.cbLog->isChecked());
    EXPECT_FALSE(dialog.cbResolve->isChecked());
    EXPECT_EQ(dialog.windowTitle(), "VexmorPing! v1.0; Configuration");
    EXPECT_EQ(dialog.size(), QSize(266, 389));
    EXPECT_EQ(dialog.pop_password->echoMode(), QLineEdit::Password);
}

TEST_F(ConfigDialog, OkStoresEveryValueAndTheNextShowingShowsThemAgain)
{
    Show();
    Type(dialog.smtp_server, "smtp.zembrova.example");
    Type(dialog.smtp_port, "2525");
    Type(dialog.pop_server, "pop.zembrova.example");
    Type(dialog.pop_port, "1100");
    Type(dialog.full_name, "Test User");
    Type(dialog.email_address, "user@zembrova.example");
    Type(dialog.pop_username, "user");
    Type(dialog.pop_password, "s3cret!");
    Type(dialog.web_page, "ftp.zembrova.example");
    QTest::mouseClick(dialog.cbLog, Qt::LeftButton, {}, QPoint(4, dialog.cbLog->height() / 2));
    Press(dialog.bOk);
    EXPECT_FALSE(dialog.isVisible());

    EXPECT_EQ(Stored("smtp_server"), "smtp.zembrova.example");
    EXPECT_EQ(Stored("smtp_port"), "2525");
    EXPECT_EQ(Stored("pop_port"), "1100");
    EXPECT_EQ(Stored("full_name"), "Test User");
    EXPECT_EQ(Stored("email_address"), "user@zembrova.example");
    EXPECT_EQ(Stored("pop_username"), "user");
    EXPECT_EQ(Stored("pop_password"), Encrypt("s3cret!", CryptKey, CryptMultiplier, CryptIncrement))
        << "scrambled and stored raw";
    EXPECT_EQ(Stored("web_page"), "ftp.zembrova.example");
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

TEST_F(ConfigDialog, WithoutTheConfigurationKeyOkSaysNothingWasSavedAndStaysOpen)
{
    HKEY software = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(software, "Zembrova!"), ERROR_SUCCESS);
    RegCloseKey(software);
    Show();
    Type(dialog.smtp_server, "x");
    Press(dialog.bOk);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The settings were not saved: Openkey failed for path", 0), 0u) << errors[0];
    EXPECT_TRUE(dialog.isVisible()) << "a save that did not happen is never reported as done";
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

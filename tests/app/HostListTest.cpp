#include "WindowFixture.h"
#include "platform/registry.h"
#include "settings/TformConfig.h"

#include <QCheckBox>
#include <QPushButton>

namespace {

class HostList : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Open();
    }
    void Add(const char* name, const char* address, const char* user = "", const char* pass = "")
    {
        Type(window->hostname, address);
        Type(window->savename, name);
        Type(window->username, user);
        Type(window->password, pass);
        ASSERT_TRUE(window->bAdd->isEnabled());
        Click(window->bAdd);
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (int i = 0; i < window->hosts->topLevelItemCount(); ++i)
            names.push_back(window->hosts->topLevelItem(i)->text(0).toStdString());
        return names;
    }
    QTreeWidgetItem* Item(const char* name) const
    {
        const auto found = window->hosts->findItems(name, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.first();
    }
    void ClickItem(const char* name)
    {
        QTreeWidgetItem* item = Item(name);
        const QRect r = window->hosts->visualItemRect(item);
        QTest::mouseClick(window->hosts->viewport(), Qt::LeftButton, {}, QPoint(r.right() - 4, r.center().y()));
    }
    void CheckItem(const char* name)
    {
        QTreeWidgetItem* item = Item(name);
        item->setCheckState(0, Qt::Checked);
        Application::RunHandler([this] { window->hostsClick(); });
    }
    bool AnyMarked() const
    {
        for (int i = 0; i < window->hosts->topLevelItemCount(); ++i)
            if (window->hosts->topLevelItem(i)->isSelected() ||
                window->hosts->topLevelItem(i)->checkState(0) != Qt::Unchecked)
                return true;
        return false;
    }
    std::string StoredAddress(const std::string& name)
    {
        TRegistry1632 store;
        return store.ReadKeyLM(std::string(HostsPath) + "\\" + name, "ip_address");
    }
    static bool Stored(const std::string& name)
    {
        HKEY key = 0;
        const bool found = RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(HostsPath) + "\\" + name).c_str(), 0,
                                         KEY_ALL_ACCESS, &key) == ERROR_SUCCESS;
        RegCloseKey(key);
        return found;
    }
};

} // namespace

TEST_F(HostList, EntriesAreAddedSortedOverwrittenByNameAndSurviveARestart)
{
    Add("zulu", "10.0.0.26", "zed", "pw1");
    Add("alpha", "127.0.0.1", "al", "p*ss");
    Add("Mike", "localhost");
    EXPECT_EQ(Names(), (std::vector<std::string>{"alpha", "Mike", "zulu"}));
    EXPECT_EQ(Item("alpha")->text(1), "127.0.0.1");
    EXPECT_EQ(Item("alpha")->text(2), "al");
    EXPECT_EQ(Item("alpha")->text(3), "p*ss");
    EXPECT_EQ(window->msg_body->toPlainText(), "alpha\nMike\nzulu");

    Add("ZULU", "10.0.0.99", "new", "");
    EXPECT_EQ(Names(), (std::vector<std::string>{"alpha", "Mike", "zulu"})) << "same entry, any case";
    EXPECT_EQ(Item("zulu")->text(1), "10.0.0.99");
    EXPECT_EQ(StoredAddress("zulu"), "10.0.0.99");

    window.reset();
    Open();
    EXPECT_EQ(Names(), (std::vector<std::string>{"alpha", "Mike", "zulu"}));
    EXPECT_EQ(Item("zulu")->text(2), "new");
}

TEST_F(HostList, AddFollowsTheHostAndNameFieldsAndClickingAnEntryFillsThemAndEnablesDelete)
{
    EXPECT_FALSE(window->bAdd->isEnabled());
    Type(window->hostname, "127.0.0.1");
    EXPECT_FALSE(window->bAdd->isEnabled());
    Type(window->savename, "local");
    EXPECT_TRUE(window->bAdd->isEnabled());
    Type(window->hostname, "");
    EXPECT_FALSE(window->bAdd->isEnabled());

    Add("router", "10.201.1.1", "admin", "s3cret");
    Type(window->hostname, "");
    Type(window->savename, "");
    EXPECT_FALSE(window->bDelete->isEnabled());
    ClickItem("router");
    EXPECT_EQ(window->hostname->text(), "10.201.1.1");
    EXPECT_EQ(window->savename->text(), "router");
    EXPECT_EQ(window->username->text(), "admin");
    EXPECT_EQ(window->password->text(), "s3cret");
    EXPECT_TRUE(window->bDelete->isEnabled());
    EXPECT_TRUE(window->bAdd->isEnabled()) << "the entry can be stored again at once";
}

TEST_F(HostList, DeleteFollowsTheMarksAndDeletingRebuildsWithoutThem)
{
    for (const char* name : {"one", "two", "three", "four"})
        Add(name, "127.0.0.1");
    // With nothing selected, Delete follows the check marks.
    CheckItem("one");
    EXPECT_TRUE(window->bDelete->isEnabled());
    Item("one")->setCheckState(0, Qt::Unchecked);
    Application::RunHandler([this] { window->hostsClick(); });
    EXPECT_FALSE(window->bDelete->isEnabled());

    ClickItem("two");
    Click(window->bDelete);
    EXPECT_EQ(Names(), (std::vector<std::string>{"four", "one", "three"}));
    EXPECT_FALSE(AnyMarked());

    CheckItem("one");
    CheckItem("four");
    ClickItem("three");
    window->delmenuChecked->trigger();
    EXPECT_EQ(Names(), std::vector<std::string>{"three"});
    EXPECT_FALSE(AnyMarked()) << "selection and check marks are gone after a rebuild";
    EXPECT_FALSE(Stored("one"));

    window->delmenuChecked->trigger();
    EXPECT_EQ(Names(), std::vector<std::string>{"three"}) << "nothing checked, nothing deleted";
}

TEST_F(HostList, AnEntryMadeOutsideTheProgramShowsEmptyValuesAndWithoutTheKeyNothingIsStored)
{
    HKEY bare = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(HostsPath) + "\\bare").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &bare, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(bare);
    window->LoadHostList();
    ASSERT_NE(Item("bare"), nullptr);
    for (int c = 1; c <= 3; ++c)
        EXPECT_EQ(Item("bare")->text(c), "");

    // Without the hosts key nothing is stored, and the user is told.
    HKEY config = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ConfigPath, 0, KEY_ALL_ACCESS, &config), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(config, "Hosts"), ERROR_SUCCESS);
    RegCloseKey(config);
    Add("x", "127.0.0.1");
    EXPECT_EQ(Item("x"), nullptr);
    EXPECT_FALSE(Stored("x"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The host list cannot be changed.", 0), 0u) << errors[0];
}

TEST_F(HostList, NamesThatCannotBeKeptWholeAreRefusedAndNothingIsOverwritten)
{
    Type(window->hostname, "127.0.0.1");
    Type(window->savename, "a\\b");
    Click(window->bAdd);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("a\\b"), std::string::npos) << errors[0];
    EXPECT_TRUE(Names().empty());
    EXPECT_FALSE(Stored("a"));
    errors.clear();

    // Two Cyrillic names must not both become "??????", the second replacing the first.
    window->savename->setText(QString::fromUtf8("\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80"));
    Click(window->bAdd);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The entry name holds the character U+0421", 0), 0u) << errors[0];

    // The values' path has room for 212 characters of name.
    const std::string longest(212, 'n');
    Add(longest.c_str(), "10.longest");
    Add(std::string(213, 'n').c_str(), "10.too.long");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1], "The entry name is 213 characters long; at most 212 fit. Nothing was saved.");
    EXPECT_EQ(Names(), std::vector<std::string>{longest});
    EXPECT_EQ(StoredAddress(longest), "10.longest");

    // The code page's own signs are kept exactly: "pass" followed by the euro sign.
    window->password->setText(QString::fromUtf8("pass\xE2\x82\xAC"));
    Add("euro", "127.0.0.1", "u", "");
    window->password->setText(QString::fromUtf8("pass\xE2\x82\xAC"));
    Click(window->bAdd);
    TRegistry1632 store;
    EXPECT_EQ(store.ReadKeyLM(std::string(HostsPath) + "\\euro", "password"), "pass\x80");
    EXPECT_EQ(errors.size(), 2u);
}

TEST_F(HostList, EntriesSortAsWordsWithAccentsBesideTheirLetters)
{
    for (const char* name : {"zeta", "\xC3\x89" "cole", "co-op", "coal", "Eta", "echo"})
        Add(name, "127.0.0.1");
    EXPECT_EQ(Names(), (std::vector<std::string>{"coal", "co-op", "echo", "\xC3\x89" "cole", "Eta", "zeta"}));
}

TEST_F(HostList, TwoCheckedEntriesArePingedAndTraced)
{
    if (IcmpMode() != imLibrary && IcmpMode() != imRawPingLibraryTrace)
        GTEST_SKIP() << "no ICMP library facility for this user (needs root or ping_group_range)";
    Add("first", "127.0.0.1");
    Add("second", "localhost");
    Add("unchecked", "127.0.0.1");
    CheckItem("first");
    CheckItem("second");
    window->timer->setInterval(60);
    window->ping_checked->trigger();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !window->timer->isActive(); }));
    EXPECT_GE(IndexOf("Attempting to PING 127.0.0.1..."), 0);
    EXPECT_GE(IndexOf("Attempting to PING localhost..."), 0);

    window->trace_checked->trigger();
    EXPECT_GE(IndexOf("Attempting to TRACE 127.0.0.1..."), 0);
    EXPECT_GE(IndexOf("Attempting to TRACE localhost..."), 0);
    EXPECT_EQ(Lines().back(), "Trace complete: Total HOP Count is 1.");
    EXPECT_EQ(window->hostname->text(), "localhost");
}

TEST_F(HostList, CheckingLoggingInTheDialogTurnsTheLogOnWithoutARestart)
{
    TformConfig dialog(window.get());
    window->configDialogRunner = [&dialog] { dialog.exec(); };
    // Acts on the dialog while it runs modally.
    QTimer::singleShot(50, [&dialog] {
        QTest::mouseClick(dialog.cbLog, Qt::LeftButton, {}, QPoint(4, dialog.cbLog->height() / 2));
        QTest::mouseClick(dialog.bOk, Qt::LeftButton);
    });
    EXPECT_FALSE(window->Record().Logging());
    Click(window->bConfig);
    EXPECT_TRUE(window->Record().Logging());
    window->WriteLine("after configuration");
    window->SaveLogIfOn();
    EXPECT_NE(LogFile().find("after configuration"), std::string::npos);
}

#include "platform/profile.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"
#include "settings/Regi1632.h"
#include "support/ConfigFolder.h"

#include <string>

namespace {

class Store : public ConfigFolderTest {
protected:
    void SetUp() override
    {
        ConfigFolderTest::SetUp();
        EnsureConfigurationKeys();
    }
    TRegistry1632 reg;
};

const std::string Missing(const std::string& key, const std::string& path)
{
    return "Key \"" + key + "\" not found in path \"" + path + "\"; FileName: \"registry.ini\"";
}

} // namespace

TEST_F(Store, RegistryModeRoundTripsAndReportsEachFailure)
{
    EXPECT_FALSE(reg.RunningWin31);
    EXPECT_EQ(reg.IniFileName, "registry.ini");
    reg.WriteKeyLM(ConfigPath, "smtp_server", "mail.example");
    EXPECT_FALSE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "smtp_server"), "mail.example");
    reg.WriteKeyLM(ConfigPath, "empty", "");
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "empty"), "");
    EXPECT_FALSE(reg.ErrorOccurred());

    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "never_written"), "");
    EXPECT_TRUE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), Missing("never_written", ConfigPath));

    reg.WriteKeyLM("SOFTWARE\\Nowhere", "k", "v");
    EXPECT_TRUE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), "Openkey failed for path \"SOFTWARE\\Nowhere\"");
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere", 0, KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND) << "a write creates no key";
    EXPECT_EQ(reg.ReadKeyLM("SOFTWARE\\Nowhere", "k"), "");
    EXPECT_EQ(reg.ErrorMessage(), "Openkey failed for path \"SOFTWARE\\Nowhere\"");

    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "smtp_server"), "mail.example");
    EXPECT_FALSE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), "Openkey failed for path \"SOFTWARE\\Nowhere\"")
        << "a success leaves the last failure text";
}

TEST_F(Store, RegistryModeLimitsAreEnforcedNeverTruncated)
{
    for (size_t length : {254u, 255u, 256u}) {
        const std::string name = "v" + std::to_string(length);
        reg.WriteKeyLM(ConfigPath, name, std::string(length, 'x'));
        EXPECT_FALSE(reg.ErrorOccurred()) << length;
        const std::string back = reg.ReadKeyLM(ConfigPath, name);
        if (length == 254) {
            EXPECT_EQ(back, std::string(254, 'x'));
        } else {
            EXPECT_EQ(back, "") << length;
            EXPECT_EQ(reg.ErrorMessage(), Missing(name, ConfigPath));
        }
    }
    reg.WriteKeyLM(ConfigPath, "v254", std::string(257, 'y'));
    EXPECT_TRUE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), "RegSetValueEX failed for path \"" + std::string(ConfigPath) + "\" key \"v254\"");
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "v254"), std::string(254, 'x')) << "the old value stays whole";
}

TEST_F(Store, AValueHoldingAZeroByteReadsBackWhole)
{
    const std::string scrambled("ab\0cd", 5);
    reg.WriteKeyLM(ConfigPath, "pop_password", scrambled);
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "pop_password"), scrambled);
}

TEST_F(Store, IniModeRoundTripsWithItsSectionsAndTexts)
{
    reg.RunningWin31 = true;
    reg.WriteKeyLM(ConfigPath, "smtp_server", "mail.example");
    EXPECT_FALSE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "smtp_server"), "mail.example");
    reg.WriteKeyLM(ConfigPath, "empty", "");
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "empty"), "");
    EXPECT_FALSE(reg.ErrorOccurred());

    char buf[64];
    GetPrivateProfileStringA((std::string("LM_") + ConfigPath).c_str(), "smtp_server", "", buf, sizeof buf,
                             "registry.ini");
    EXPECT_STREQ(buf, "mail.example") << "stored in section LM_ + path";

    reg.WriteKey(HKEY_CURRENT_USER, "P", "k", "user value");
    EXPECT_EQ(reg.ReadKey(HKEY_CURRENT_USER, "P", "k"), "user value");
    EXPECT_EQ(reg.ReadKeyLM("P", "k"), "") << "CU_ and LM_ sections are apart";
    EXPECT_EQ(reg.ErrorMessage(), "Key \"k\" not found in pathh \"LM_P\"; FileName: \"registry.ini\"");

    reg.WriteKeyLM("P", "marker", "xyxyxyxyxyxyxyxyxyxyxyxyxyx");
    EXPECT_EQ(reg.ReadKeyLM("P", "marker"), "");
    EXPECT_TRUE(reg.ErrorOccurred()) << "the default text itself reads as missing";

    reg.IniFileName = "/nonexistent/folder/registry.ini";
    reg.WriteKeyLM("P", "k", "v");
    EXPECT_TRUE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(),
              "Writekey to Inifile failed: LM_Pk set to v in file /nonexistent/folder/registry.ini");
}

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

// What a read of a key that is not there says; the INI mode's text is its own.
const std::string Missing(const std::string& key, const std::string& path, bool ini = false)
{
    return "Key \"" + key + "\" not found in " + (ini ? "pathh \"LM_" : "path \"") + path +
           "\"; FileName: \"registry.ini\"";
}

// The registry, and (RunningWin31) the INI file.
class BothModes : public Store, public ::testing::WithParamInterface<bool> {};

} // namespace

TEST_P(BothModes, RoundTripAndSayWhyAReadOrAWriteFailed)
{
    const bool ini = GetParam();
    EXPECT_FALSE(reg.RunningWin31) << "the registry unless told";
    reg.RunningWin31 = ini;
    for (const char* value : {"mail.example", ""}) {
        reg.WriteKeyLM(ConfigPath, "smtp_server", value);
        EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "smtp_server"), value);
        EXPECT_FALSE(reg.ErrorOccurred());
    }
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "never_written"), "");
    EXPECT_TRUE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), Missing("never_written", ConfigPath, ini));

    // The registry has no such key to open, the INI file no folder to be written in.
    const std::string nowhere = "SOFTWARE\\Nowhere", unwritable = "/nonexistent/folder/registry.ini";
    const std::string failure = ini ? "Writekey to Inifile failed: LM_" + nowhere + "k set to v in file " + unwritable
                                    : "Openkey failed for path \"" + nowhere + "\"";
    if (ini)
        reg.IniFileName = unwritable;
    reg.WriteKeyLM(nowhere, "k", "v");
    EXPECT_TRUE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), failure);
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nowhere.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND)
        << "a failed write creates no key";
    reg.IniFileName = "registry.ini";
    EXPECT_EQ(reg.ReadKeyLM(nowhere, "k"), "");
    const std::string last = reg.ErrorMessage();
    EXPECT_EQ(last, ini ? Missing("k", nowhere, true) : failure);
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "smtp_server"), "");
    EXPECT_FALSE(reg.ErrorOccurred());
    EXPECT_EQ(reg.ErrorMessage(), last) << "a success leaves the last failure text";
}

INSTANTIATE_TEST_SUITE_P(Store, BothModes, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& mode) { return mode.param ? "Ini" : "Registry"; });

TEST_F(Store, RegistryModeKeepsValuesWholeOrRefusesThem)
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
    const std::string scrambled("ab\0cd", 5);
    reg.WriteKeyLM(ConfigPath, "pop_password", scrambled);
    EXPECT_EQ(reg.ReadKeyLM(ConfigPath, "pop_password"), scrambled) << "a zero byte ends no value";
}

TEST_F(Store, IniModeKeepsEachRootAndPathInASectionOfItsOwn)
{
    reg.RunningWin31 = true;
    reg.WriteKeyLM(ConfigPath, "smtp_server", "mail.example");
    char buf[64];
    GetPrivateProfileStringA((std::string("LM_") + ConfigPath).c_str(), "smtp_server", "", buf, sizeof buf,
                             "registry.ini");
    EXPECT_STREQ(buf, "mail.example") << "stored in section LM_ + path";

    reg.WriteKey(HKEY_CURRENT_USER, "P", "k", "user value");
    EXPECT_EQ(reg.ReadKey(HKEY_CURRENT_USER, "P", "k"), "user value");
    EXPECT_EQ(reg.ReadKeyLM("P", "k"), "") << "CU_ and LM_ sections are apart";
    EXPECT_EQ(reg.ErrorMessage(), Missing("k", "P", true));

    reg.WriteKeyLM("P", "marker", "xyxyxyxyxyxyxyxyxyxyxyxyxyx");
    EXPECT_EQ(reg.ReadKeyLM("P", "marker"), "");
    EXPECT_TRUE(reg.ErrorOccurred()) << "the default text itself reads as missing";
}

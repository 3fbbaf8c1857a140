#include "platform/profile.h"
#include "support/ConfigFolder.h"

#include <QFile>

#include <string>

namespace {

class Profile : public ConfigFolderTest {
protected:
    std::string Read(const char* section, const char* key, uint32_t size = 1024)
    {
        std::vector<char> buf(size);
        const uint32_t n = GetPrivateProfileStringA(section, key, "DEFAULT", buf.data(), size, "test.ini");
        EXPECT_EQ(buf[n], '\0');
        return std::string(buf.data(), n);
    }
};

} // namespace

TEST_F(Profile, EntriesRoundTripMatchWithoutRegardToCaseAndStayOnOneLine)
{
    EXPECT_EQ(Read("Sec", "name"), "DEFAULT") << "no file yet";
    ASSERT_TRUE(WritePrivateProfileStringA("LM_SOFTWARE\\A", "smtp_server", "mail.example", "test.ini"));
    ASSERT_TRUE(WritePrivateProfileStringA("LM_SOFTWARE\\A", "empty", "", "test.ini"));
    ASSERT_TRUE(WritePrivateProfileStringA("CU_SOFTWARE\\A", "smtp_server", "other", "test.ini"));
    EXPECT_EQ(Read("lm_software\\a", "SMTP_SERVER"), "mail.example");
    EXPECT_EQ(Read("CU_SOFTWARE\\A", "smtp_server"), "other");
    EXPECT_EQ(Read("LM_SOFTWARE\\A", "empty"), "");
    EXPECT_EQ(Read("LM_SOFTWARE\\A", "missing"), "DEFAULT");

    ASSERT_TRUE(WritePrivateProfileStringA("lm_software\\a", "Smtp_Server", "changed", "test.ini"));
    EXPECT_EQ(Read("LM_SOFTWARE\\A", "smtp_server"), "changed");
    EXPECT_EQ(Read("LM_SOFTWARE\\A", "smtp_server", 4), "cha") << "cut to the buffer";
    EXPECT_TRUE(QFile::exists(QString::fromStdString(ProfilePath("test.ini"))));

    // Text that cannot stay on one line is refused.
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "two\nlines", "test.ini"));
    EXPECT_EQ(Read("S", "k"), "DEFAULT");
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", "/nonexistent/folder/x.ini"));
}

#include "settings/Crypt32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Enc(const std::string& s) { return Encrypt(s, CryptKey, CryptMultiplier, CryptIncrement); }
std::string Dec(const std::string& s) { return Decrypt(s, CryptKey, CryptMultiplier, CryptIncrement); }

} // namespace

TEST(Crypt32, MatchesVectorsWorkedOutByHand)
{
    // k = 3857 = 0x0F11: 'A' ^ 0x0F = 0x4E. Then k = ((3857 + 0x4E) * 183921 + 140237) mod 65536
    // = 723869372 mod 65536 = 0x5EBC, so 'B' ^ 0x5E = 0x1C.
    EXPECT_EQ(Enc("AB"), std::string("\x4E\x1C", 2));
    // 0 ^ 0x0F = 0x0F; k = ((3857 + 15) * 183921 + 140237) mod 65536 = 0x90ED; 0 ^ 0x90 = 0x90.
    EXPECT_EQ(Enc(std::string("\0\0", 2)), std::string("\x0F\x90", 2));
    EXPECT_EQ(Dec(std::string("\x4E\x1C", 2)), "AB");
}

TEST(Crypt32, RoundTripsWholeTextsOfEveryLengthWithAKeyThatAdvancesEveryByte)
{
    for (size_t length : {0u, 1u, 255u, 256u, 1000u}) {
        std::string text;
        for (size_t i = 0; i < length; ++i)
            text.push_back(char('a' + i % 26));
        const std::string scrambled = Enc(text);
        EXPECT_EQ(scrambled.size(), length);
        EXPECT_EQ(Dec(scrambled), text) << length;
    }
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(char(b));
    EXPECT_EQ(Dec(Enc(all)), all);

    // The key advances with every byte.
    const std::string same(8, 'z');
    const std::string scrambled = Enc(same);
    EXPECT_NE(scrambled.find_first_not_of(scrambled[0]), std::string::npos);
    EXPECT_EQ(Enc("zzzzzzzzq").substr(0, 8), scrambled) << "a prefix scrambles the same";
    EXPECT_EQ(Enc("z")[0], Dec("z")[0]) << "both directions start from the initial key";
}

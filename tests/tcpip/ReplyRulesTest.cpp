#include "sock/NumberedReply.h"
#include "tcpip/FtpReply.h"
#include "tcpip/Pop3Reply.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <vector>

TEST(Pop3Reply, StatusLinesAreTakenByTheirFirstCharacters)
{
    const struct {
        const char* line;
        Pop3Status status;
    } table[] = {
        {"+OK", Pop3Status::Positive},           {"+OK 2 messages", Pop3Status::Positive},
        {"-ERR", Pop3Status::Negative},          {"-ERR [AUTH] failed", Pop3Status::Negative},
        {"", Pop3Status::Unexpected},            {"+ok", Pop3Status::Unexpected},
        {" +OK", Pop3Status::Unexpected},        {"250 OK", Pop3Status::Unexpected},
        {"-ER", Pop3Status::Unexpected},         {"+O", Pop3Status::Unexpected},
    };
    for (const auto& row : table)
        EXPECT_EQ(ClassifyPop3Reply(row.line), row.status) << '"' << row.line << '"';
}

TEST(Pop3Reply, AMultiLineAnswerEndsOnlyAtALoneDotAndDoubledDotsAreUndone)
{
    const struct {
        const char* line;
        bool data;
        const char* text;
    } table[] = {
        {".", false, ""},       {"..", true, "."},        {"...dotted", true, "..dotted"},
        {".x", true, "x"},      {"", true, ""},           {" .", true, " ."},
        {"plain", true, "plain"}, {". ", true, " "},
    };
    for (const auto& row : table) {
        std::string line = row.line;
        EXPECT_EQ(Pop3DataLine(line), row.data) << '"' << row.line << '"';
        if (row.data) {
            EXPECT_EQ(line, row.text) << '"' << row.line << '"';
        }
    }
}

TEST(NumberedReply, AMultiLineReplyEndsAtItsOwnCodeFollowedByASpace)
{
    const struct {
        const char* first;
        const char* line;
        bool final;
    } table[] = {
        {"220 ready", "220 ready", true},        {"220-welcome", "220-welcome", false},
        {"220-welcome", "220-more", false},      {"220-welcome", "   indented", false},
        {"220-welcome", "no code at all", false}, {"220-welcome", "230 other code", false},
        {"220-welcome", "220 done", true},       {"220-welcome", "220", true},
        {"220-welcome", "22", false},            {"22-0 odd", "22-0 odd", true},
        {"", "", true},                          {"abc-", "abc-", true},
    };
    for (const auto& row : table)
        EXPECT_EQ(ReplyIsFinal(row.first, row.line), row.final) << '"' << row.first << "\" / \"" << row.line << '"';
    for (const auto& [line, code] : std::vector<std::pair<std::string, int>>{
             {"220 ok", 220}, {"530", 530}, {"99", 999}, {"2x0 ok", 999}, {"", 999}, {" 22 ok", 999}})
        EXPECT_EQ(ReplyCode(line), code) << line;
}

TEST(FtpReply, PassiveAnswersAndPortArgumentsCarryAddressAndPortInDecimalBytes)
{
    std::string address;
    uint16_t port = 0;
    ASSERT_TRUE(ParsePassiveAnswer("Entering Passive Mode (192,168,1,2,7,138).", address, port));
    EXPECT_EQ(address, "192.168.1.2");
    EXPECT_EQ(port, 1930);
    ASSERT_TRUE(ParsePassiveAnswer("=(127,0,0,1,255,255)", address, port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"Entering Passive Mode", "(1,2,3,4,5)", "(1,2,3,4,5,x)", "(1,2,3,4,5,256)",
                            "(1,2,3,4,5,6", "(1,,3,4,5,6)", "(1,2,3,4,5,6,7)", "(-1,2,3,4,5,6)"})
        EXPECT_FALSE(ParsePassiveAnswer(bad, address, port)) << bad;

    const uint32_t local = htonl(0x0A000005); // 10.0.0.5
    EXPECT_EQ(PortArgument(local, 1025), "10,0,0,5,4,1");
    EXPECT_EQ(PortArgument(htonl(0x7F000001), 65535), "127,0,0,1,255,255");
}

TEST(FtpReply, ExtendedPassiveAnswersCarryOnlyAPortAndEprtNamesTheFamily)
{
    uint16_t port = 0;
    ASSERT_TRUE(ParseExtendedPassiveAnswer("Entering Extended Passive Mode (|||6446|)", port));
    EXPECT_EQ(port, 6446);
    ASSERT_TRUE(ParseExtendedPassiveAnswer("ok (!!!65535!)", port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"Entering Extended Passive Mode", "(|||)", "(||6446|)", "(|||6446)", "(|||65536|)",
                            "(|||0|)", "(|||64x6|)", "(|2|::1|6446|)", "(1116441)", "(", "(|||6446|"})
        EXPECT_FALSE(ParseExtendedPassiveAnswer(bad, port)) << bad;

    EXPECT_EQ(ExtendedPortArgument(AF_INET6, "::1", 5282), "|2|::1|5282|");
    EXPECT_EQ(ExtendedPortArgument(AF_INET, "132.235.1.2", 6275), "|1|132.235.1.2|6275|");
}

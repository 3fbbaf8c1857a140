#include "tcpip/Pop3Reply.h"

#include <gtest/gtest.h>

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

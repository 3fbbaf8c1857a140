#include "sock/NumberedReply.h"

int ReplyCode(const std::string& line)
{
    const auto digit = [&line](size_t i) { return line[i] >= '0' && line[i] <= '9'; };
    if (line.size() < 3 || !digit(0) || !digit(1) || !digit(2))
        return 999;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool ReplyIsFinal(const std::string& first, const std::string& line)
{
    const bool multiLine = first.size() >= 4 && ReplyCode(first) != 999 && first[3] == '-';
    if (!multiLine)
        return true;
    if (line.compare(0, 3, first, 0, 3) != 0)
        return false;
    return line.size() == 3 || line[3] == ' ';
}

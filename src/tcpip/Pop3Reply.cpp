#include "tcpip/Pop3Reply.h"

Pop3Status ClassifyPop3Reply(const std::string& line)
{
    if (line.rfind("+OK", 0) == 0)
        return Pop3Status::Positive;
    if (line.rfind("-ERR", 0) == 0)
        return Pop3Status::Negative;
    return Pop3Status::Unexpected;
}

bool Pop3DataLine(std::string& line)
{
    if (line == ".")
        return false;
    if (!line.empty() && line[0] == '.')
        line.erase(0, 1);
    return true;
}

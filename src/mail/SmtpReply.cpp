#include "mail/SmtpReply.h"

bool SmtpReplyIsFinal(const std::string& line)
{
    return line.size() < 4 || line[3] != '-';
}

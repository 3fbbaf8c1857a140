#include "mail/SmtpReply.h"
#include "sock/NumberedReply.h"

bool SmtpReplyIsFinal(const std::string& line)
{
    // Every line of an SMTP reply repeats its code, so each line can stand
    // for the first line of what is left of the reply.
    return ReplyIsFinal(line, line);
}

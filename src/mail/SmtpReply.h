#pragma once

#include <string>

// Whether an SMTP reply line is the last of its reply ("250 ok", or any line
// not led by "ddd-") rather than a continuation ("250-more").
bool SmtpReplyIsFinal(const std::string& line);

#pragma once

#include <string>

// The POP3 reply rules, as pure functions.
enum class Pop3Status { Positive, Negative, Unexpected };

// A status line: "+OK ..." or "-ERR ..."; anything else is unexpected.
Pop3Status ClassifyPop3Reply(const std::string& line);

// A line of a multi-line answer: false for the "." that ends the answer;
// otherwise true, with a leading dot the server doubled taken off again.
bool Pop3DataLine(std::string& line);

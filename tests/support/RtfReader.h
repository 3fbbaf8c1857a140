#pragma once

// A small RTF reader for checking the log file: text with bold and colour per
// run, lines split at \par. Font and colour tables are read, not shown.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct RtfRun {
    std::string text;
    bool bold = false;
    uint32_t rgb = 0;
};

struct RtfDocument {
    bool valid = false;              // starts with {\rtf1 and its groups balance
    std::vector<std::vector<RtfRun>> lines;
    std::string PlainText() const;   // lines joined with '\n'
};

RtfDocument ReadRtf(const std::string& rtf);

} // namespace testsupport

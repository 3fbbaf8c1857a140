#include "support/RtfReader.h"

#include <cctype>
#include <cstdlib>

namespace testsupport {

std::string RtfDocument::PlainText() const
{
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i)
            out += '\n';
        for (const RtfRun& r : lines[i])
            out += r.text;
    }
    return out;
}

namespace {

struct State {
    bool bold = false;
    int colour = 0;
    bool skip = false; // inside a table group
};

} // namespace

RtfDocument ReadRtf(const std::string& rtf)
{
    RtfDocument doc;
    if (rtf.rfind("{\\rtf1", 0) != 0)
        return doc;
    std::vector<uint32_t> colours; // index 0 is the leading empty entry
    std::vector<State> stack;
    State st;
    std::vector<RtfRun> line;
    int red = 0, green = 0, blue = 0;
    bool inColourTable = false;
    int colourTableDepth = -1;
    int depth = 0;

    auto put = [&](char c) {
        if (st.skip)
            return;
        const uint32_t rgb = size_t(st.colour) < colours.size() ? colours[size_t(st.colour)] : 0;
        if (line.empty() || line.back().bold != st.bold || line.back().rgb != rgb)
            line.push_back({"", st.bold, rgb});
        line.back().text += c;
    };

    for (size_t i = 0; i < rtf.size(); ++i) {
        const char c = rtf[i];
        if (c == '{') {
            stack.push_back(st);
            ++depth;
        } else if (c == '}') {
            if (stack.empty())
                return doc;
            if (inColourTable && depth == colourTableDepth)
                inColourTable = false;
            st = stack.back();
            stack.pop_back();
            --depth;
        } else if (c == '\\') {
            const char n = i + 1 < rtf.size() ? rtf[i + 1] : '\0';
            if (n == '\\' || n == '{' || n == '}') {
                put(n);
                ++i;
            } else if (n == '\'') {
                put(char(std::strtol(rtf.substr(i + 2, 2).c_str(), nullptr, 16)));
                i += 3;
            } else {
                size_t j = i + 1;
                std::string word;
                while (j < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[j])))
                    word += rtf[j++];
                std::string num;
                if (j < rtf.size() && (rtf[j] == '-' || std::isdigit(static_cast<unsigned char>(rtf[j]))))
                    do
                        num += rtf[j++];
                    while (j < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[j])));
                if (j < rtf.size() && rtf[j] == ' ')
                    ++j;
                i = j - 1;
                const int value = num.empty() ? 1 : std::atoi(num.c_str());
                if (word == "fonttbl") {
                    st.skip = true;
                } else if (word == "colortbl") {
                    st.skip = true;
                    inColourTable = true;
                    colourTableDepth = depth;
                } else if (word == "red") {
                    red = value;
                } else if (word == "green") {
                    green = value;
                } else if (word == "blue") {
                    blue = value;
                } else if (word == "b") {
                    st.bold = value != 0;
                } else if (word == "cf") {
                    st.colour = value;
                } else if (word == "par") {
                    if (!st.skip) {
                        doc.lines.push_back(line);
                        line.clear();
                    }
                } else if (word == "tab") {
                    put('\t');
                } else if (word == "u") {
                    put('?');
                    if (i + 1 < rtf.size() && rtf[i + 1] == '?')
                        ++i;
                }
            }
        } else if (c == ';' && inColourTable) {
            colours.push_back(uint32_t(red << 16 | green << 8 | blue));
            red = green = blue = 0;
        } else if (c == '\n' || c == '\r') {
            // Line breaks in the file are not text.
        } else {
            put(c);
        }
    }
    doc.valid = depth == 0 && stack.empty();
    if (!line.empty())
        doc.lines.push_back(line);
    return doc;
}

} // namespace testsupport

#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

// The one rule for text lines, whatever they come from (a peer, a file, a
// text box): a line ends at LF, and a CR just before the LF belongs to the
// line end, not to the line. A CR anywhere else is text.

// Where the line starting at from ends: its length, and where the next line
// starts (npos when no LF follows, i.e. the line is not finished yet).
struct LineCut {
    size_t length;
    size_t next;
};

// The length of the line from `from` up to the LF at lf, its CR left out.
template <class Char>
size_t LineLength(std::basic_string_view<Char> text, size_t from, size_t lf)
{
    return lf > from && text[lf - 1] == Char('\r') ? lf - from - 1 : lf - from;
}

template <class Char>
LineCut CutLine(std::basic_string_view<Char> text, size_t from)
{
    const size_t end = text.find(Char('\n'), from);
    if (end == std::basic_string_view<Char>::npos)
        return {text.size() - from, end};
    return {LineLength(text, from, end), end + 1};
}

// What to do with the text after the last LF.
enum class LastLine {
    IfNotEmpty, // a file or a reply: "a\n" is one line, "" none
    Always      // typed text or a transcript entry: "a\n" is "a" and "", "" is one empty line
};

template <class Char, class Each>
void ForEachLine(std::basic_string_view<Char> text, LastLine last, Each each)
{
    size_t from = 0;
    for (;;) {
        const LineCut cut = CutLine(text, from);
        if (cut.next == std::basic_string_view<Char>::npos) {
            if (cut.length > 0 || last == LastLine::Always)
                each(text.substr(from, cut.length));
            return;
        }
        each(text.substr(from, cut.length));
        from = cut.next;
    }
}

inline std::vector<std::string> SplitLines(std::string_view text, LastLine last)
{
    std::vector<std::string> lines;
    ForEachLine(text, last, [&lines](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

// The next line of a stream by the same rule, read without holding the rest;
// false past the last line (as LastLine::IfNotEmpty counts them).
inline bool ReadLine(std::istream& in, std::string& line)
{
    if (!std::getline(in, line))
        return false;
    // eof: the stream ended before an LF, so a CR there is text.
    if (!in.eof() && !line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

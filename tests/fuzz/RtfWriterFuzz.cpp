// A transcript of fuzzed runs (bold or not, any colour, 8-bit or any 16-bit
// text, new lines anywhere) saved as RTF: the file is 7-bit, its groups
// balance, and reading it back gives every character with its bold and colour.
#include "framework/Ansi.h"
#include "framework/RtfWriter.h"
#include "fuzz/FuzzCheck.h"
#include "support/RtfReader.h"

#include <QTextCursor>
#include <QTextDocument>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sign {
    char c;
    bool bold;
    uint32_t rgb;
    bool operator==(const Sign& o) const { return c == o.c && bold == o.bold && rgb == o.rgb; }
};
using Lines = std::vector<std::vector<Sign>>;

// How a character comes back: 7-bit and the code page's upper half as
// themselves, anything else as the \u fallback "?".
char ReadBack(char16_t u)
{
    if (u < 0x80 || (u >= 0xA0 && u < 0x100))
        return char(u);
    return '?';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QTextDocument document;
    QTextCursor cursor(&document);
    Lines expected(1);
    for (size_t at = 0; at + 3 <= size;) {
        const uint8_t flags = data[at], colour = data[at + 1];
        const size_t length = std::min<size_t>(data[at + 2], size - at - 3);
        const char* bytes = reinterpret_cast<const char*>(data + at + 3);
        at += 3 + length;

        const bool bold = flags & 1, wide = flags & 2, newLine = flags & 4;
        // Few enough colours that runs share them.
        const uint32_t rgb = uint32_t(colour & 0xE0) << 16 | uint32_t(colour & 0x1C) << 11 | uint32_t(colour & 0x03) << 6;
        QString text;
        if (wide) {
            for (size_t i = 0; i + 1 < length; i += 2) {
                const char16_t u = char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
                // What the document takes as a paragraph or frame break.
                if (u != 0x2029 && u != 0xFDD0 && u != 0xFDD1)
                    text += QChar(u);
            }
        } else {
            text = FromAnsi(std::string(bytes, length));
        }
        QTextCharFormat format;
        format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
        format.setForeground(QColor(QRgb(rgb)));
        // As the transcript writes: a new block per line, the text made visible.
        if (newLine) {
            cursor.insertBlock(QTextBlockFormat(), format);
            expected.emplace_back();
        }
        text = VisibleText(text);
        cursor.insertText(text, format);
        for (QChar ch : text)
            expected.back().push_back({ReadBack(ch.unicode()), bold, rgb});
    }

    const std::string rtf = RtfFromDocument(document);
    for (char c : rtf)
        Check(uint8_t(c) < 0x80);
    const testsupport::RtfDocument read = testsupport::ReadRtf(rtf);
    Check(read.valid);
    Lines got;
    for (const auto& line : read.lines) {
        got.emplace_back();
        for (const testsupport::RtfRun& run : line)
            for (char c : run.text)
                got.back().push_back({c, run.bold, run.rgb});
    }
    Check(got == expected);
    return 0;
}

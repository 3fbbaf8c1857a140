#include "framework/RtfWriter.h"
#include "framework/Ansi.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

#include <algorithm>
#include <vector>

namespace {

// Colours in order of first use; the table's index 0 is the reader's default.
class ColourTable {
public:
    int IndexOf(QRgb rgb)
    {
        auto it = std::find(colours_.begin(), colours_.end(), rgb);
        if (it != colours_.end())
            return int(it - colours_.begin()) + 1;
        colours_.push_back(rgb);
        return int(colours_.size());
    }
    std::string Rtf() const
    {
        std::string out = "{\\colortbl ;";
        for (QRgb c : colours_)
            out += "\\red" + std::to_string(qRed(c)) + "\\green" + std::to_string(qGreen(c)) +
                   "\\blue" + std::to_string(qBlue(c)) + ";";
        return out + "}";
    }

private:
    std::vector<QRgb> colours_;
};

void AppendEscaped(std::string& out, const QString& text)
{
    static const char hex[] = "0123456789abcdef";
    // Same characters as the screen shows: control bytes as their symbols.
    for (QChar ch : VisibleText(text)) {
        const char16_t u = ch.unicode();
        if (u == '\\' || u == '{' || u == '}') {
            out += '\\';
            out += char(u);
        } else if (u == '\t') {
            out += "\\tab ";
        } else if (u < 0x80) {
            out += char(u);
        } else if (u >= 0xA0 && u < 0x100) {
            // The same byte in the declared code page.
            out += "\\'";
            out += hex[u >> 4];
            out += hex[u & 0xF];
        } else {
            // \uN takes a signed 16-bit number, then one fallback character;
            // the code page's own 0x80-0x9F signs go this way too, unambiguously.
            out += "\\u" + std::to_string(int16_t(u)) + "?";
        }
    }
}

} // namespace

std::string RtfFromDocument(const QTextDocument& document)
{
    ColourTable colours;
    std::string body;
    bool bold = false;
    int colour = -1;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            const bool fragmentBold = format.fontWeight() >= QFont::Bold;
            const QRgb rgb = format.foreground().style() == Qt::NoBrush
                                 ? qRgb(0, 0, 0)
                                 : format.foreground().color().rgb();
            const int fragmentColour = colours.IndexOf(rgb & 0xFFFFFF);
            std::string switches;
            if (fragmentColour != colour)
                switches += "\\cf" + std::to_string(fragmentColour);
            if (fragmentBold != bold)
                switches += fragmentBold ? "\\b" : "\\b0";
            if (!switches.empty())
                body += switches + " ";
            colour = fragmentColour;
            bold = fragmentBold;
            AppendEscaped(body, fragment.text());
        }
        if (block.next().isValid())
            body += "\\par\n";
    }
    return "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Tahoma;}}\n" +
           colours.Rtf() + "\n\\viewkind4\\uc1\\pard\\f0\\fs16 " + body + "\\par\n}\n";
}

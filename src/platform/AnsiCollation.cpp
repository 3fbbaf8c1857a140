#include "platform/AnsiCollation.h"

#include <array>
#include <string>

namespace {

// Upper case of each byte across the code page.
const std::array<unsigned char, 256>& UpperTable()
{
    static const std::array<unsigned char, 256> table = [] {
        std::array<unsigned char, 256> t{};
        for (int b = 0; b < 256; ++b)
            t[b] = static_cast<unsigned char>(b);
        for (int b = 'a'; b <= 'z'; ++b)
            t[b] = static_cast<unsigned char>(b - 32);
        for (int b = 0xE0; b <= 0xFE; ++b)
            if (b != 0xF7) // division sign
                t[b] = static_cast<unsigned char>(b - 32);
        t[0x9A] = 0x8A; // s caron
        t[0x9C] = 0x8C; // oe
        t[0x9E] = 0x8E; // z caron
        t[0xFF] = 0x9F; // y diaeresis
        return t;
    }();
    return table;
}

// The unaccented upper-case letters an (upper-case) byte stands for.
std::string_view Base(unsigned char u)
{
    static const char* const latin[] = {
        "A", "A", "A", "A", "A", "A", "AE", "C", "E", "E", "E", "E", "I", "I", "I", "I", // C0-CF
        "D", "N", "O", "O", "O", "O", "O",  "",  "O", "U", "U", "U", "U", "Y", "TH", "SS"}; // D0-DF
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    if (u >= 'A' && u <= 'Z')
        return std::string_view(letters + (u - 'A'), 1);
    if (u >= 0xC0 && u <= 0xDF && u != 0xD7)
        return latin[u - 0xC0];
    switch (u) {
    case 0x8A: return "S";
    case 0x8C: return "OE";
    case 0x8E: return "Z";
    case 0x9F: return "Y";
    default: return {};
    }
}

bool Ignored(unsigned char b) { return b == '-' || b == '\''; }

// Primary weight of one character: punctuation, then digits, then letters.
int Weight(char c)
{
    const auto b = static_cast<unsigned char>(c);
    if (c >= 'A' && c <= 'Z')
        return 0x300 + (c - 'A');
    if (b >= '0' && b <= '9')
        return 0x200 + (b - '0');
    return 0x100 + b;
}

} // namespace

// Letters' base forms (primary), their accented forms (secondary), their case
// (tertiary), then the bytes themselves; each part ends in a zero that sorts
// below anything inside it.
std::string AnsiWordKey(std::string_view text)
{
    std::string primary, accents, cases;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (Ignored(b))
            continue;
        const unsigned char upper = UpperTable()[b];
        const std::string_view base = Base(upper);
        for (const char letter : base.empty() ? std::string_view(reinterpret_cast<const char*>(&upper), 1) : base) {
            const int w = Weight(letter);
            primary += char(w >> 8);
            primary += char(w & 0xFF);
        }
        // Unaccented letters (A-Z) before their accented forms.
        accents += char(upper >= 'A' && upper <= 'Z' ? 1 : upper);
        cases += char(b == upper ? 2 : 1);
    }
    return primary + std::string(2, '\0') + accents + '\0' + cases + '\0' + std::string(text);
}

namespace {

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

} // namespace

std::string AnsiUpper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = char(UpperTable()[static_cast<unsigned char>(c)]);
    return out;
}

int AnsiCompareNoCase(std::string_view a, std::string_view b)
{
    const auto& upper = UpperTable();
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int d = int(upper[static_cast<unsigned char>(a[i])]) - int(upper[static_cast<unsigned char>(b[i])]);
        if (d != 0)
            return Sign(d);
    }
    return Sign(int(a.size() > b.size()) - int(a.size() < b.size()));
}

int AnsiCompareWords(std::string_view a, std::string_view b)
{
    return Sign(AnsiWordKey(a).compare(AnsiWordKey(b)));
}

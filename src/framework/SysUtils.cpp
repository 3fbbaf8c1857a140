#include "framework/SysUtils.h"

#include <limits>

namespace {

[[noreturn]] void RaiseNotInteger(const std::string& text)
{
    throw EConvertError("'" + text + "' is not a valid integer value");
}

} // namespace

int32_t StrToInt(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        RaiseNotInteger(text);

    // Accumulate as a magnitude so that the most negative value still fits.
    const int64_t limit = negative ? -int64_t(std::numeric_limits<int32_t>::min())
                                   : int64_t(std::numeric_limits<int32_t>::max());
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            RaiseNotInteger(text);
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit)
            RaiseNotInteger(text);
    }
    return int32_t(negative ? -magnitude : magnitude);
}

std::string IntToStr(int64_t value)
{
    return std::to_string(value);
}

#include "framework/SysUtils.h"

#include <QDateTime>
#include <QLocale>

#include <cmath>

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

std::string DateTimeToStr(double value)
{
    const auto ms = static_cast<qint64>(std::llround(value * 86400000.0));
    const QDateTime at = QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC).addMSecs(ms);
    const QLocale locale = QLocale::system();
    std::string text = locale.toString(at.date(), QLocale::ShortFormat).toStdString();
    if (at.time() != QTime(0, 0)) {
        // The long time format without its time-zone name: the value has no zone.
        QString format = locale.timeFormat(QLocale::LongFormat);
        format.remove(QLatin1Char('t'));
        text += " " + at.time().toString(format.trimmed()).toStdString();
    }
    return text;
}

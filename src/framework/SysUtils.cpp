#include "framework/SysUtils.h"

#include <QDateTime>
#include <QLocale>

#include <cmath>

#include <limits>
#include <vector>

namespace {

[[noreturn]] void RaiseNotInteger(const std::string& text)
{
    throw EConvertError("'" + text + "' is not a valid integer value");
}

// A time format without its time-zone field: the unquoted "t" letters go,
// with brackets left holding nothing and the spaces they leave; quoted words
// ("'ch'.") stay as they are.
QString WithoutTimeZone(const QString& format)
{
    struct Piece {
        QString text;
        bool literal;
    };
    std::vector<Piece> pieces;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == '\'')
            quoted = !quoted; // '' inside a quote toggles twice and stays literal
        if (quoted || c == '\'') {
            if (pieces.empty() || !pieces.back().literal)
                pieces.push_back({QString(), true});
            pieces.back().text += c;
        } else if (c != 't') {
            pieces.push_back({QString(c), false});
        }
    }
    auto isSpace = [](const Piece& p) { return !p.literal && p.text[0].isSpace(); };
    // "( )" or "[]" that held the zone.
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].literal || (pieces[i].text != "(" && pieces[i].text != "["))
            continue;
        size_t j = i + 1;
        while (j < pieces.size() && isSpace(pieces[j]))
            ++j;
        const QString close = pieces[i].text == "(" ? ")" : "]";
        if (j < pieces.size() && !pieces[j].literal && pieces[j].text == close)
            pieces.erase(pieces.begin() + std::ptrdiff_t(i), pieces.begin() + std::ptrdiff_t(j) + 1);
    }
    QString out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (isSpace(pieces[i]) && (out.isEmpty() || out.back().isSpace()))
            continue;
        out += pieces[i].text;
    }
    while (!out.isEmpty() && out.back().isSpace())
        out.chop(1);
    return out;
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

QString DateTimeToStr(double value, const QLocale& locale)
{
    const auto ms = static_cast<qint64>(std::llround(value * 86400000.0));
    const QDateTime at = QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC).addMSecs(ms);
    QString text = locale.toString(at.date(), QLocale::ShortFormat);
    if (at.time() != QTime(0, 0))
        text += ' ' + at.time().toString(WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    return text;
}

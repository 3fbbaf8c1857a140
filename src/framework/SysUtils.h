#pragma once

#include "framework/Exception.h"

#include <QLocale>
#include <QString>

#include <cstdint>
#include <string>

// Raised by the text-to-number conversions.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Decimal text to a 32-bit integer: optional leading blanks, an optional sign,
// then digits only. Anything else raises EConvertError.
int32_t StrToInt(const std::string& text);

std::string IntToStr(int64_t value);

// A date-time value (days since 1899-12-30, the time of day as the fraction)
// as the locale's short date, a space and its long time without the time
// zone (the value has none); the time is left out at exactly midnight. The
// locale's words may hold any characters, so the text stays a QString.
QString DateTimeToStr(double value, const QLocale& locale = QLocale());

#include "platform/localtime.h"

#include <ctime>
#include <sys/time.h>

void GetLocalTime(SYSTEMTIME* t)
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    t->wYear = uint16_t(local.tm_year + 1900);
    t->wMonth = uint16_t(local.tm_mon + 1);
    t->wDayOfWeek = uint16_t(local.tm_wday);
    t->wDay = uint16_t(local.tm_mday);
    t->wHour = uint16_t(local.tm_hour);
    t->wMinute = uint16_t(local.tm_min);
    t->wSecond = uint16_t(local.tm_sec);
    t->wMilliseconds = uint16_t(now.tv_usec / 1000);
}

uint32_t GetTimeZoneInformation(TIME_ZONE_INFORMATION* tz)
{
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    // tm_gmtoff is the offset in force right now, daylight saving included.
    const int32_t current = int32_t(-local.tm_gmtoff / 60);
    tz->Bias = current;
    tz->StandardBias = 0;
    tz->DaylightBias = 0;
    return local.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

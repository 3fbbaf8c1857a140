#pragma once

// The clock and zone of the C library: gettimeofday for the time, localtime_r
// (TZ, else /etc/localtime) for the zone, tm_gmtoff for the offset in force now.

#include <cstdint>

struct SYSTEMTIME {
    uint16_t wYear = 0, wMonth = 0, wDayOfWeek = 0, wDay = 0;
    uint16_t wHour = 0, wMinute = 0, wSecond = 0, wMilliseconds = 0;
};

// Biases in minutes: UTC = local time + bias.
struct TIME_ZONE_INFORMATION {
    int32_t Bias = 0;
    int32_t StandardBias = 0;
    int32_t DaylightBias = 0;
};

constexpr uint32_t TIME_ZONE_ID_UNKNOWN = 0;
constexpr uint32_t TIME_ZONE_ID_STANDARD = 1;
constexpr uint32_t TIME_ZONE_ID_DAYLIGHT = 2;

void GetLocalTime(SYSTEMTIME* t);
// Reports whether standard or daylight time is in force now; the bias fields are
// set so that Bias plus the matching extra bias is the current offset.
uint32_t GetTimeZoneInformation(TIME_ZONE_INFORMATION* tz);

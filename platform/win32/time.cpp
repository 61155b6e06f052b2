// Local time and time-zone information from the C library's time-zone data.
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <cstring>
#include <ctime>
#include <mutex>

namespace {

std::mutex gTimeHooksLock;
platform::testing::TimeZoneQuery gTimeZoneQuery;
platform::testing::LocalTimeQuery gLocalTimeQuery;

void CopyName(char16_t (&dst)[32], const char* src) {
    std::memset(dst, 0, sizeof dst);
    for (int i = 0; src && src[i] && i < 31; ++i)
        dst[i] = static_cast<unsigned char>(src[i]);
}

DWORD QueryCLibrary(TIME_ZONE_INFORMATION* tzi) {
    tzset();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return TIME_ZONE_ID_INVALID;

    // `timezone` is the standard offset in seconds west of Greenwich, which is
    // the Windows sign convention for the bias.
    tzi->Bias = static_cast<LONG>(timezone / 60);
    tzi->StandardBias = 0;
    CopyName(tzi->StandardName, tzname[0]);
    CopyName(tzi->DaylightName, tzname[1]);
    if (!daylight) {
        tzi->DaylightBias = 0;
        return TIME_ZONE_ID_UNKNOWN;
    }

    // The daylight offset: now when daylight time is in force, otherwise the
    // first daylight moment found in the coming year.
    long daylightEast = local.tm_isdst > 0 ? local.tm_gmtoff : 0;
    for (int week = 1; week <= 53 && daylightEast == 0; ++week) {
        std::time_t t = now + static_cast<std::time_t>(week) * 7 * 86400;
        std::tm probe{};
        if (localtime_r(&t, &probe) && probe.tm_isdst > 0)
            daylightEast = probe.tm_gmtoff;
    }
    tzi->DaylightBias =
        daylightEast ? static_cast<LONG>(-daylightEast / 60 - tzi->Bias) : static_cast<LONG>(-60);
    return local.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

} // namespace

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* tzi) {
    if (!tzi)
        return TIME_ZONE_ID_INVALID;
    platform::testing::TimeZoneQuery hook;
    {
        std::lock_guard lock(gTimeHooksLock);
        hook = gTimeZoneQuery;
    }
    return hook ? hook(tzi) : QueryCLibrary(tzi);
}

void GetLocalTime(SYSTEMTIME* st) {
    platform::testing::LocalTimeQuery hook;
    {
        std::lock_guard lock(gTimeHooksLock);
        hook = gLocalTimeQuery;
    }
    if (hook) {
        hook(st);
        return;
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    st->wYear = static_cast<WORD>(local.tm_year + 1900);
    st->wMonth = static_cast<WORD>(local.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st->wDay = static_cast<WORD>(local.tm_mday);
    st->wHour = static_cast<WORD>(local.tm_hour);
    st->wMinute = static_cast<WORD>(local.tm_min);
    st->wSecond = static_cast<WORD>(local.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

namespace platform::testing {

void SetTimeZoneQuery(TimeZoneQuery query) {
    std::lock_guard lock(gTimeHooksLock);
    gTimeZoneQuery = std::move(query);
}

void SetLocalTimeQuery(LocalTimeQuery query) {
    std::lock_guard lock(gTimeHooksLock);
    gLocalTimeQuery = std::move(query);
}

} // namespace platform::testing

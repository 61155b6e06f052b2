// The clock and time-zone information, from the C library's time-zone data.
//
// Every reading of the clock goes through ReadClock, once per call of the
// functions below, and the zone is read anew (tzset) at each call, so that a
// zone changed while the program runs (TZ, /etc/localtime) is seen at once
// and never mixed with the one before.
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

using TInstant = std::chrono::system_clock::time_point;

std::mutex gTimeHooksLock;
platform::testing::TimeZoneQuery gTimeZoneQuery;
platform::testing::ClockQuery gClockQuery;

TInstant ReadClock() {
    platform::testing::ClockQuery hook;
    {
        std::lock_guard lock(gTimeHooksLock);
        hook = gClockQuery;
    }
    return hook ? hook() : std::chrono::system_clock::now();
}

platform::testing::TimeZoneQuery ZoneHook() {
    std::lock_guard lock(gTimeHooksLock);
    return gTimeZoneQuery;
}

void CopyName(char16_t (&dst)[32], const char* src) {
    std::memset(dst, 0, sizeof dst);
    for (int i = 0; src && src[i] && i < 31; ++i)
        dst[i] = static_cast<unsigned char>(src[i]);
}

// Seconds since the Unix epoch (rounded down) and the milliseconds past them.
void Split(TInstant instant, std::time_t& seconds, int& msec) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count();
    std::int64_t s = ms / 1000, rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        --s;
    }
    seconds = static_cast<std::time_t>(s);
    msec = static_cast<int>(rest);
}

void ToSystemTime(const std::tm& tm, int msec, SYSTEMTIME* st) {
    st->wYear = static_cast<WORD>(tm.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st->wDay = static_cast<WORD>(tm.tm_mday);
    st->wHour = static_cast<WORD>(tm.tm_hour);
    st->wMinute = static_cast<WORD>(tm.tm_min);
    st->wSecond = static_cast<WORD>(tm.tm_sec);
    st->wMilliseconds = static_cast<WORD>(msec);
}

// The zone's information with the rules in force at `seconds`.
DWORD QueryCLibrary(std::time_t seconds, TIME_ZONE_INFORMATION* tzi) {
    tzset();
    std::tm local{};
    if (!localtime_r(&seconds, &local))
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

    // The daylight offset: at `seconds` when daylight time is in force then,
    // otherwise the first daylight moment found in the following year. An
    // offset of 0 is one like any other: Irish winter time is daylight time
    // at +0 against a standard time of +1.
    bool found = local.tm_isdst > 0;
    long daylightEast = found ? local.tm_gmtoff : 0;
    for (int week = 1; week <= 53 && !found; ++week) {
        std::time_t t = seconds + static_cast<std::time_t>(week) * 7 * 86400;
        std::tm probe{};
        if (localtime_r(&t, &probe) && probe.tm_isdst > 0) {
            found = true;
            daylightEast = probe.tm_gmtoff;
        }
    }
    tzi->DaylightBias =
        found ? static_cast<LONG>(-daylightEast / 60 - tzi->Bias) : static_cast<LONG>(-60);
    return local.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

// The local time of an instant by the rules in force at it; false when the
// zone cannot be determined.
bool LocalTimeAt(TInstant instant, SYSTEMTIME* local) {
    std::time_t seconds;
    int msec;
    Split(instant, seconds, msec);
    if (auto hook = ZoneHook()) {
        // The zone a test gives: its biases, as in force now.
        TIME_ZONE_INFORMATION tzi{};
        const DWORD answer = hook(&tzi);
        if (answer == TIME_ZONE_ID_INVALID)
            return false;
        const LONG bias =
            tzi.Bias + (answer == TIME_ZONE_ID_DAYLIGHT ? tzi.DaylightBias : tzi.StandardBias);
        seconds -= static_cast<std::time_t>(bias) * 60;
        std::tm tm{};
        if (!gmtime_r(&seconds, &tm))
            return false;
        ToSystemTime(tm, msec, local);
        return true;
    }
    tzset();
    std::tm tm{};
    if (!localtime_r(&seconds, &tm))
        return false;
    ToSystemTime(tm, msec, local);
    return true;
}

// The instant a UTC system time names.
TInstant InstantOf(const SYSTEMTIME& utc) {
    std::tm tm{};
    tm.tm_year = utc.wYear - 1900;
    tm.tm_mon = utc.wMonth - 1;
    tm.tm_mday = utc.wDay;
    tm.tm_hour = utc.wHour;
    tm.tm_min = utc.wMinute;
    tm.tm_sec = utc.wSecond;
    return TInstant(std::chrono::seconds(timegm(&tm))) +
           std::chrono::milliseconds(utc.wMilliseconds);
}

} // namespace

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* tzi) {
    if (!tzi)
        return TIME_ZONE_ID_INVALID;
    if (auto hook = ZoneHook())
        return hook(tzi);
    std::time_t seconds;
    int msec;
    Split(ReadClock(), seconds, msec);
    return QueryCLibrary(seconds, tzi);
}

void GetSystemTime(SYSTEMTIME* st) {
    std::time_t seconds;
    int msec;
    Split(ReadClock(), seconds, msec);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    ToSystemTime(tm, msec, st);
}

void GetLocalTime(SYSTEMTIME* st) {
    const TInstant now = ReadClock();
    // The local time never fails on Windows: without a zone it is UTC.
    if (!LocalTimeAt(now, st)) {
        std::time_t seconds;
        int msec;
        Split(now, seconds, msec);
        std::tm tm{};
        gmtime_r(&seconds, &tm);
        ToSystemTime(tm, msec, st);
    }
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                     SYSTEMTIME* local) {
    // Only the current zone: an explicit one would need its transition dates.
    if (zone || !utc || !local || !LocalTimeAt(InstantOf(*utc), local)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

namespace platform::testing {

void SetTimeZoneQuery(TimeZoneQuery query) {
    std::lock_guard lock(gTimeHooksLock);
    gTimeZoneQuery = std::move(query);
}

void SetClockQuery(ClockQuery query) {
    std::lock_guard lock(gTimeHooksLock);
    gClockQuery = std::move(query);
}

} // namespace platform::testing

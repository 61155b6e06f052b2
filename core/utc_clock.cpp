#include "core/utc_clock.h"

#include "platform/win32/windows.h"

TClockReading ReadClock() {
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        throw EConvertError("Error converting to UTC time. Time zone could not be determined");
    return {SystemTimeToDateTime(utc), SystemTimeToDateTime(local)};
}

TDateTime UtcNow() {
    return ReadClock().Utc;
}

#include "core/utc_clock.h"

#include "platform/win32/windows.h"

TDateTime LocalToUtc(TDateTime local) {
    TIME_ZONE_INFORMATION tzi{};
    long double bias;
    switch (GetTimeZoneInformation(&tzi)) {
    case TIME_ZONE_ID_UNKNOWN:
    case TIME_ZONE_ID_STANDARD:
        bias = static_cast<long double>(tzi.Bias) + tzi.StandardBias;
        break;
    case TIME_ZONE_ID_DAYLIGHT:
        bias = static_cast<long double>(tzi.Bias) + tzi.DaylightBias;
        break;
    default:
        throw EConvertError("Error converting to UTC time. Time zone could not be determined");
    }
    return static_cast<TDateTime>(static_cast<long double>(local) + bias / 1440.0L);
}

TDateTime UtcNow() {
    return LocalToUtc(Now());
}

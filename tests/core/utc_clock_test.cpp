#include "core/utc_clock.h"

#include "platform/win32/testing.h"
#include "tests/support/pinned_clock.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace {

using testpeer::InstantOfUtc;

TDateTime At(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
    return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, ms);
}

std::string Text(TDateTime t) {
    return FormatDateTime("YYYY-MM-DD HH:NN:SS.ZZZ", t);
}

// Sets TZ for one test and puts the old value, and the real clock, back.
class ClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadTz = old != nullptr;
        if (old)
            savedTz = old;
    }
    void TearDown() override {
        platform::testing::SetTimeZoneQuery({});
        platform::testing::SetClockQuery({});
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void UseZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    static void PinUtc(TDateTime utc) {
        const auto instant = InstantOfUtc(utc);
        platform::testing::SetClockQuery([instant] { return instant; });
    }

    bool hadTz = false;
    std::string savedTz;
};

// One instant in one zone: the local time it reads, and the zone's
// information agreeing with it (UTC = local + bias in force).
struct TZoneCase {
    const char* Name;
    const char* Tz;
    TDateTime Utc;
    TDateTime Local;
    DWORD InForce;
};

void PrintTo(const TZoneCase& c, std::ostream* os) {
    *os << c.Name;
}

class ClockInZone : public ClockTest, public ::testing::WithParamInterface<TZoneCase> {};

TEST_P(ClockInZone, ReadsTheInstantInUtcAndByTheRulesInForce) {
    const TZoneCase& c = GetParam();
    UseZone(c.Tz);
    PinUtc(c.Utc);
    const TClockReading now = ReadClock();
    EXPECT_EQ(Text(now.Utc), Text(c.Utc));
    EXPECT_EQ(Text(now.Local), Text(c.Local));
    EXPECT_EQ(Text(UtcNow()), Text(c.Utc));

    TIME_ZONE_INFORMATION tzi{};
    const DWORD answer = GetTimeZoneInformation(&tzi);
    EXPECT_EQ(answer, c.InForce);
    const LONG bias =
        tzi.Bias + (answer == TIME_ZONE_ID_DAYLIGHT ? tzi.DaylightBias : tzi.StandardBias);
    EXPECT_EQ(bias, std::lround((c.Utc - c.Local) * 1440));
}

const TZoneCase kZoneCases[] = {
    // UTC+2 with daylight saving in force all year: base bias -120, daylight
    // bias -60.
    {"DaylightAllYear", "XXX-2YYY,J1/0,J365/25", At(2026, 7, 1, 12, 30), At(2026, 7, 1, 15, 30),
     TIME_ZONE_ID_DAYLIGHT},
    {"NoDaylightRules", "EST5", At(2026, 7, 1, 20, 30), At(2026, 7, 1, 15, 30),
     TIME_ZONE_ID_UNKNOWN},
    {"Utc", "UTC0", At(2026, 7, 1, 15, 30), At(2026, 7, 1, 15, 30), TIME_ZONE_ID_UNKNOWN},
    // Local midnight east of Greenwich is still the day before in UTC.
    {"MidnightEast", "AAA-3", At(2026, 12, 7, 21, 0), At(2026, 12, 8, 0, 0), TIME_ZONE_ID_UNKNOWN},
    {"BucharestSummer", "Europe/Bucharest", At(2026, 7, 1, 12, 0), At(2026, 7, 1, 15, 0),
     TIME_ZONE_ID_DAYLIGHT},
    // Irish winter time is daylight time at +0 against a standard time of +1.
    {"DublinWinter", "Europe/Dublin", At(2026, 12, 8, 14, 12), At(2026, 12, 8, 14, 12),
     TIME_ZONE_ID_DAYLIGHT},
    {"DublinSummer", "Europe/Dublin", At(2026, 7, 1, 12, 0), At(2026, 7, 1, 13, 0),
     TIME_ZONE_ID_STANDARD},
};

INSTANTIATE_TEST_SUITE_P(ReadClock, ClockInZone, ::testing::ValuesIn(kZoneCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ClockTest, StandardTimeInForceUsesTheStandardBias) {
    PinUtc(At(2026, 7, 1, 14, 30));
    platform::testing::SetTimeZoneQuery([](TIME_ZONE_INFORMATION* tzi) {
        tzi->Bias = -60;
        tzi->StandardBias = 0;
        tzi->DaylightBias = -60;
        return TIME_ZONE_ID_STANDARD;
    });
    EXPECT_EQ(Text(ReadClock().Local), Text(At(2026, 7, 1, 15, 30)));
}

TEST_F(ClockTest, FailedTimeZoneQueryRaises) {
    platform::testing::SetTimeZoneQuery(
        [](TIME_ZONE_INFORMATION*) { return TIME_ZONE_ID_INVALID; });
    try {
        ReadClock();
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Error converting to UTC time. Time zone could not be determined");
    }
}

// The zone changes while the program runs (a laptop travelling): the next
// reading is wholly in the new zone, never the old local time with the new
// rules.
TEST_F(ClockTest, AZoneChangedWhileRunningIsSeenAtTheNextReading) {
    UseZone("Europe/Bucharest");
    PinUtc(At(2026, 12, 8, 14, 0));
    EXPECT_EQ(Text(ReadClock().Local), Text(At(2026, 12, 8, 16, 0)));
    setenv("TZ", "America/New_York", 1); // no tzset: the program is not told
    const TClockReading now = ReadClock();
    EXPECT_EQ(Text(now.Utc), Text(At(2026, 12, 8, 14, 0)));
    EXPECT_EQ(Text(now.Local), Text(At(2026, 12, 8, 9, 0)));
}

// A reading is one instant converted by the rules in force at it, even when
// the clock moves on across a change to daylight-saving time meanwhile.
TEST_F(ClockTest, OneReadingAtAChangeOfDaylightSavingTime) {
    UseZone("Europe/Bucharest");
    // Each look at the clock finds it a millisecond later; at 01:00 UTC
    // Bucharest goes from 02:59:59.999 to 04:00.
    auto next = InstantOfUtc(At(2026, 3, 29, 0, 59, 59, 999));
    platform::testing::SetClockQuery([&next] {
        const auto now = next;
        next += std::chrono::milliseconds(1);
        return now;
    });
    const TClockReading now = ReadClock();
    EXPECT_EQ(Text(now.Utc), Text(At(2026, 3, 29, 0, 59, 59, 999)));
    EXPECT_EQ(Text(now.Local), Text(At(2026, 3, 29, 2, 59, 59, 999)));
}

} // namespace

#include "core/utc_clock.h"

#include "platform/win32/testing.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace {

// Sets TZ for one test and puts the old value back.
class LocalToUtcTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadTz = old != nullptr;
        if (old)
            savedTz = old;
    }
    void TearDown() override {
        platform::testing::SetTimeZoneQuery({});
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
    static std::string Text(TDateTime t) { return FormatDateTime("YYYY-MM-DD HH:NN:SS", t); }

    bool hadTz = false;
    std::string savedTz;
    const TDateTime local = EncodeDate(2026, 7, 1) + EncodeTime(15, 30, 0, 0);
};

TEST_F(LocalToUtcTest, DaylightTimeAddsTheDaylightBias) {
    // UTC+2 with daylight saving in force all year: base bias -120, daylight
    // bias -60, so 15:30 local is 12:30 UTC.
    UseZone("XXX-2YYY,J1/0,J365/25");
    TIME_ZONE_INFORMATION tzi{};
    ASSERT_EQ(GetTimeZoneInformation(&tzi), TIME_ZONE_ID_DAYLIGHT);
    EXPECT_EQ(tzi.Bias, -120);
    EXPECT_EQ(tzi.DaylightBias, -60);
    EXPECT_EQ(Text(LocalToUtc(local)), "2026-07-01 12:30:00");
}

TEST_F(LocalToUtcTest, ZonesWithoutDaylightRulesUseTheBaseBias) {
    UseZone("UTC0");
    EXPECT_EQ(Text(LocalToUtc(local)), "2026-07-01 15:30:00");
    UseZone("EST5");
    TIME_ZONE_INFORMATION tzi{};
    EXPECT_EQ(GetTimeZoneInformation(&tzi), TIME_ZONE_ID_UNKNOWN);
    EXPECT_EQ(Text(LocalToUtc(local)), "2026-07-01 20:30:00");
}

TEST_F(LocalToUtcTest, StandardTimeInForceUsesTheStandardBias) {
    platform::testing::SetTimeZoneQuery([](TIME_ZONE_INFORMATION* tzi) {
        tzi->Bias = -60;
        tzi->StandardBias = 0;
        tzi->DaylightBias = -60;
        return TIME_ZONE_ID_STANDARD;
    });
    EXPECT_EQ(Text(LocalToUtc(local)), "2026-07-01 14:30:00");
}

TEST_F(LocalToUtcTest, LocalMidnightEastOfGreenwichIsStillThePreviousDay) {
    UseZone("AAA-3");
    TDateTime midnight = EncodeDate(2026, 12, 8);
    EXPECT_EQ(FormatDateTime("DD/MM/YYYY", LocalToUtc(midnight)).substr(0, 2), "07");
    EXPECT_EQ(Text(LocalToUtc(midnight)), "2026-12-07 21:00:00");
}

TEST_F(LocalToUtcTest, FailedTimeZoneQueryRaises) {
    platform::testing::SetTimeZoneQuery(
        [](TIME_ZONE_INFORMATION*) { return TIME_ZONE_ID_INVALID; });
    try {
        LocalToUtc(local);
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Error converting to UTC time. Time zone could not be determined");
    }
}

} // namespace

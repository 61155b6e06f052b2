#include "framework/datetime.h"

#include <gtest/gtest.h>

namespace {

// Restores the process-wide regional settings after each test.
class DateTimeFormat : public ::testing::Test {
protected:
    void SetUp() override { saved = FormatSettings(); }
    void TearDown() override { FormatSettings() = saved; }
    TFormatSettings saved;
};

const TDateTime kDialogValue = 40732.57068913194; // 8 July 2011, 13:41:47.541

TEST_F(DateTimeFormat, PatternsOfTheProgram) {
    FormatSettings().DateSeparator = '/';
    FormatSettings().TimeSeparator = ':';
    EXPECT_EQ(FormatDateTime("DD/MM/YYYY", kDialogValue), "08/07/2011");
    EXPECT_EQ(FormatDateTime("HH:mm:ss", kDialogValue), "13:41:47");
    EXPECT_EQ(FormatDateTime("YYYYMMDD", kDialogValue), "20110708");
    EXPECT_EQ(FormatDateTime("HHmmss", kDialogValue), "134147");
}

TEST_F(DateTimeFormat, MAfterAnHourLetterMeansMinutes) {
    TDateTime t = EncodeDate(2024, 3, 9) + EncodeTime(14, 5, 9, 0);
    EXPECT_EQ(FormatDateTime("HH:MM:SS", t), "14:05:09");
    EXPECT_EQ(FormatDateTime("hh:mm:ss", t), "14:05:09");
    EXPECT_EQ(FormatDateTime("MM", t), "03");
    EXPECT_EQ(FormatDateTime("dd.mm.yy", t), "09.03.24");
}

TEST_F(DateTimeFormat, SeparatorsComeFromTheRegionalSettings) {
    FormatSettings().DateSeparator = '.';
    FormatSettings().TimeSeparator = '.';
    TDateTime t = EncodeDate(2024, 3, 9) + EncodeTime(14, 5, 9, 0);
    EXPECT_EQ(FormatDateTime("HH:MM:SS", t), "14.05.09");
    EXPECT_EQ(FormatDateTime("DD/MM/YYYY", t), "09.03.2024");
    // Patterns without separators are not affected.
    EXPECT_EQ(FormatDateTime("YYYYMMDD", t), "20240309");
}

TEST_F(DateTimeFormat, WidthsClockAndCopiedText) {
    TDateTime t = EncodeDate(2005, 1, 2) + EncodeTime(0, 7, 3, 45);
    EXPECT_EQ(FormatDateTime("d/m/yyyy h:n:s", t), "2/1/2005 0:7:3");
    EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz", t), "00:07:03.045");
    EXPECT_EQ(FormatDateTime("\"at\" hh 'h' x", t), "at 00 h x");
    TDateTime pm = EncodeDate(2005, 1, 2) + EncodeTime(13, 0, 0, 0);
    EXPECT_EQ(FormatDateTime("hh AM/PM", pm), "01 PM");
    EXPECT_EQ(FormatDateTime("hh", pm), "13");
}

TEST(DateTime, EncodeDecodeRoundTrips) {
    struct Case {
        int y, m, d;
        double serial;
    } cases[] = {{1899, 12, 30, 0},
                 {1900, 1, 1, 2},
                 {2011, 7, 8, 40732},
                 {2000, 2, 29, 36585},
                 {2026, 12, 8, 46364}};
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeDate(c.y, c.m, c.d), c.serial) << c.y << "-" << c.m << "-" << c.d;
        int y, m, d;
        DecodeDate(c.serial + 0.75, y, m, d);
        EXPECT_EQ(y * 10000 + m * 100 + d, c.y * 10000 + c.m * 100 + c.d);
    }
    int h, n, s, ms;
    DecodeTime(kDialogValue, h, n, s, ms);
    EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 134147541);
    EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 8)), 3); // a Tuesday
}

TEST(DateTime, RoundingUpToMidnightCarriesIntoTheNextDay) {
    TDateTime almost = EncodeDate(2020, 12, 31) + 0.9999999999;
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", almost), "2021-01-01 00:00:00");
}

} // namespace

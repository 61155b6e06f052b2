#include "core/logbook_list.h"
#include "core/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iomanip>
#include <random>
#include <utility>
#include <vector>

namespace {

class LogbookList : public ::testing::Test {
protected:
    void SetUp() override {
        saved = FormatSettings();
        FormatSettings().DateSeparator = '/';
        FormatSettings().TimeSeparator = ':';
    }
    void TearDown() override { FormatSettings() = saved; }

    TLogbookData* Add(TLogbookList& list, const std::string& call) {
        TLogbookData* r = list.NewRecord();
        r->Id = list.Count();
        r->QsoDate = EncodeDate(2011, 7, 15) + 0.25;
        r->QsoTime = EncodeDate(1999, 1, 1) + EncodeTime(13, 45, 1, 0);
        r->Callsign = call;
        r->Rx = "57";
        r->Tx = "59";
        r->Locator = "AB12CD";
        r->Band = "20m";
        r->Mode = "SSB";
        list.AppendRow(r);
        return r;
    }
    TFormatSettings saved;
};

TEST_F(LogbookList, RefreshOfAnEmptyListChangesNothing) {
    TLogbookList list;
    int changes = 0;
    list.OnChange = [&](int, int) { ++changes; };
    list.RefreshListView();
    EXPECT_EQ(changes, 0);
}

TEST_F(LogbookList, RendersEveryRowFromItsRecord) {
    TLogbookList list;
    Add(list, "test1");
    TLogbookData* second = Add(list, "YO9ABC");
    second->QsoId = "12";
    second->Uploaded = 1;
    list.RefreshListView();

    const std::vector<std::string> first = {"0000",   "15/07/2011", "13:45:01", "test1", "57", "59",
                                            "AB12CD", "20m",        "SSB",      "NO",    ""};
    for (int c = 0; c < kLogbookColumnCount; ++c)
        EXPECT_EQ(list.Row(0).Cell(c), first[static_cast<size_t>(c)]) << "column " << c;
    EXPECT_EQ(list.Row(1).Cell(0), "0001");
    EXPECT_EQ(list.Row(1).Cell(9), "YES");
    EXPECT_EQ(list.Row(1).Cell(10), "12");
    // Rows keep their records and their order.
    EXPECT_EQ(list.Row(1).Data, second);
}

TEST_F(LogbookList, CaptionIsTheIdPaddedToFourDigits) {
    struct Case {
        int id;
        const char* caption;
    } cases[] = {{0, "0000"}, {37, "0037"}, {10000, "10000"}, {12345, "12345"}};
    for (const auto& c : cases) {
        TLogbookData r;
        r.Id = c.id;
        TLogbookRow row;
        RenderRow(r, row);
        EXPECT_EQ(row.Caption, c.caption);
        EXPECT_EQ(row.SubItems.size(), 10u);
    }
}

TEST_F(LogbookList, DateAndTimeCellsFollowTheRegionalSeparators) {
    TLogbookList list;
    TLogbookData* r = Add(list, "A");
    const TDateTime date = r->QsoDate, time = r->QsoTime;
    FormatSettings().DateSeparator = '.';
    FormatSettings().TimeSeparator = '.';
    list.RefreshListView();
    EXPECT_EQ(list.Row(0).Cell(1), "15.07.2011");
    EXPECT_EQ(list.Row(0).Cell(2), "13.45.01");
    EXPECT_EQ(r->QsoDate, date);
    EXPECT_EQ(r->QsoTime, time);
}

TEST_F(LogbookList, RowWithoutRecordIsLeftAlone) {
    TLogbookList list;
    list.AppendRow(nullptr);
    list.Row(0).Caption = "kept";
    list.RefreshListView();
    EXPECT_EQ(list.Row(0).Caption, "kept");
}

TEST_F(LogbookList, RefreshRendersAndSignalsOnlyRowsWhoseRecordChanged) {
    TLogbookList list;
    std::vector<std::pair<int, int>> changes;
    list.OnChange = [&](int first, int last) { changes.emplace_back(first, last); };
    std::vector<TLogbookData*> records;
    for (const char* call : {"A", "B", "C", "D", "E"})
        records.push_back(Add(list, call));
    list.RefreshListView();
    EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{0, 4}}));

    struct Case {
        const char* what;
        std::function<void()> change;
        std::vector<std::pair<int, int>> signalled;
    } cases[] = {
        {"nothing changed", [] {}, {}},
        {"an identifier", [&] { records[2]->QsoId = "77"; }, {{2, 2}}},
        {"the same text again", [&] { records[2]->Callsign = std::string("C"); }, {}},
        {"a date", [&] { records[1]->QsoDate += 1; }, {{1, 1}}},
        {"a time", [&] { records[4]->QsoTime += 1.0 / 86400; }, {{4, 4}}},
        {"the upload flag", [&] { records[0]->Uploaded = 1; }, {{0, 0}}},
        {"another non-zero flag", [&] { records[0]->Uploaded = 5; }, {}},
        {"two rows apart",
         [&] {
             records[1]->Band = "40m";
             records[3]->Mode = "CW";
         },
         {{1, 3}}},
        {"the date separator", [] { FormatSettings().DateSeparator = '.'; }, {{0, 4}}},
        {"the time separator", [] { FormatSettings().TimeSeparator = '-'; }, {{0, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        changes.clear();
        c.change();
        list.RefreshListView();
        EXPECT_EQ(changes, c.signalled);
        // Whatever was skipped, every row shows what its record renders to.
        for (int i = 0; i < list.Count(); ++i) {
            TLogbookRow fresh;
            RenderRow(*list.Row(i).Data, fresh);
            for (int column = 0; column < kLogbookColumnCount; ++column)
                EXPECT_EQ(list.Row(i).Cell(column), fresh.Cell(column)) << i << "," << column;
        }
    }
    EXPECT_EQ(list.Row(2).Cell(10), "77");
    EXPECT_EQ(list.Row(0).Cell(9), "YES");
    EXPECT_EQ(list.Row(3).Cell(1), "15.07.2011");
}

// The caption and the date and time cells are written without snprintf for
// the common case and without the pattern parser: they must be what "%.4d"
// and FormatDateTime give, to the byte, for every value.
TEST_F(LogbookList, CaptionIsWhatPercentPoint4dGives) {
    for (std::int32_t id : {0, 7, 37, 999, 1000, 9999, 10000, 12345, 99999999, 2147483647, -1, -37,
                            -12345, -2147483647 - 1}) {
        TLogbookData r;
        r.Id = id;
        TLogbookRow row;
        RenderRow(r, row);
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.4d", id);
        EXPECT_EQ(row.Caption, expected);
    }
}

TEST_F(LogbookList, DateAndTimeTextsAreTheGenericFormattersToTheByte) {
    std::vector<TDateTime> values = {0,
                                     -0.0,
                                     0.5,
                                     -0.5,
                                     -1,
                                     -1.25,
                                     1,
                                     2958465.99999999, // 31 December 9999, last instant
                                     EncodeDate(1, 1, 1),
                                     EncodeDate(1, 1, 1) - 1e-9,
                                     EncodeDate(1, 1, 1) - 0.5,
                                     EncodeDate(9999, 12, 31),
                                     EncodeDate(9999, 12, 31) + 0.9999999999, // rounds into 10000
                                     EncodeDate(10000, 1, 1) + 0.25,
                                     EncodeDate(2024, 2, 29) + 0.75,
                                     EncodeDate(1900, 2, 28) + 1,
                                     EncodeDate(2000, 2, 29),
                                     EncodeDate(1899, 12, 30) - 1e-12,
                                     EncodeDate(2011, 7, 15) + 0.25,
                                     EncodeTime(23, 59, 59, 999),
                                     EncodeTime(23, 59, 59, 999) + 0.4 / 86400000.0,
                                     EncodeTime(23, 59, 59, 999) + 0.6 / 86400000.0,
                                     EncodeTime(12, 0, 0, 0) - 1e-15,
                                     1e7 - 1,
                                     -1e7 + 1,
                                     1e7,
                                     1e7 + 5,
                                     -1e7,
                                     -1e7 - 5,
                                     123456.789,
                                     -123456.789};
    // Midnight and every whole second of a day, each a hair to either side,
    // where the rounding to milliseconds decides.
    for (int second = 0; second <= 86400; second += second < 120 || second > 86280 ? 1 : 37) {
        const double t = second / 86400.0;
        for (double delta : {0.0, 4e-9, -4e-9, 6e-9, -6e-9})
            values.push_back(EncodeDate(2026, 12, 8) + t + delta);
    }
    // A spread over the whole range the fast texts take, and a little more.
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> anyDay(EncodeDate(1, 1, 1) - 400,
                                                  EncodeDate(9999, 12, 31) + 400);
    for (int i = 0; i < 40000; ++i)
        values.push_back(anyDay(random));

    // Every value with the usual separators, a share of them with others.
    const std::pair<char, char> separators[] = {{'/', ':'}, {'.', '.'}, {'-', 'h'}, {' ', ':'}};
    std::size_t share = values.size();
    for (const auto& [date, time] : separators) {
        FormatSettings().DateSeparator = date;
        FormatSettings().TimeSeparator = time;
        int mismatches = 0;
        for (std::size_t i = 0; i < share; ++i) {
            const TDateTime v = values[i];
            const std::string wantDate = FormatDateTime("DD/MM/YYYY", v);
            const std::string wantTime = FormatDateTime("HH:mm:ss", v);
            char text[kListTextRoom];
            const std::string gotDate(text, ListDateTextTo(v, text));
            const std::string gotTime(text, ListTimeTextTo(v, text));
            if ((gotDate != wantDate || gotTime != wantTime || ListDateText(v) != wantDate ||
                 ListTimeText(v) != wantTime) &&
                ++mismatches <= 5)
                ADD_FAILURE() << std::setprecision(17) << v << ": " << gotDate << " " << gotTime
                              << " instead of " << wantDate << " " << wantTime;
        }
        EXPECT_EQ(mismatches, 0) << "separators " << date << time;
        share = 3000;
    }
}

TEST(TLogbookData, StartsWithTheInitialValues) {
    TLogbookData r;
    EXPECT_EQ(r.Id, -1);
    EXPECT_EQ(r.QsoDate, 0);
    EXPECT_EQ(r.QsoTime, 0);
    EXPECT_TRUE(r.Callsign.empty() && r.Rx.empty() && r.Tx.empty() && r.Locator.empty() &&
                r.Band.empty() && r.QsoId.empty() && r.Mode.empty());
    EXPECT_EQ(r.Uploaded, 0);
}

TEST(TLogbookData, SnapshotCopiesContentAndQsoIdButNeverIdOrUploaded) {
    TLogbookData a, b, snapshot;
    a.Id = 3;
    a.Callsign = "AAA";
    a.QsoId = "7";
    a.Uploaded = 1;
    b.Id = 4;
    b.Callsign = "BBB";
    b.Band = "40m";
    b.QsoDate = 1234.5;
    TakeSnapshot(a, snapshot);
    TakeSnapshot(b, snapshot);
    EXPECT_EQ(snapshot.Callsign, "BBB");
    EXPECT_EQ(snapshot.Band, "40m");
    EXPECT_EQ(snapshot.QsoDate, 1234.5);
    EXPECT_EQ(snapshot.QsoId, "");
    EXPECT_EQ(snapshot.Id, -1);
    EXPECT_EQ(snapshot.Uploaded, 0);
}

TEST(Settings, StartValues) {
    LogbookCallsign = DisplayCallsign = UploadCode = "changed";
    SetStartSettings();
    EXPECT_EQ(LogbookCallsign, "QQ9XYZ");
    EXPECT_EQ(DisplayCallsign, "QQ9XYZ");
    EXPECT_EQ(UploadCode, "9999999999");
}

} // namespace

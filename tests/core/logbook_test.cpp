#include "core/logbook_list.h"
#include "core/settings.h"

#include <gtest/gtest.h>

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
    list.OnChange = [&] { ++changes; };
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

    const std::vector<std::string> first = {"0000", "15/07/2011", "13:45:01", "test1", "57", "59",
                                            "AB12CD", "20m", "SSB", "NO", ""};
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

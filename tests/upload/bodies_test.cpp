#include "upload/bodies.h"

#include <gtest/gtest.h>

namespace {

class UploadBodies : public ::testing::Test {
protected:
    void SetUp() override {
        saved = FormatSettings();
        contact.Callsign = "TEST1";
        contact.QsoDate = EncodeDate(2011, 7, 15) + 0.4; // only the date part counts
        contact.QsoTime = EncodeDate(2020, 1, 1) + EncodeTime(13, 45, 1, 700);
        contact.Band = "20m";
        contact.Mode = "SSB";
        contact.Tx = "59";
        contact.Rx = "57";
        contact.Locator = "AB12CD";
        settings = {"QQ9XYZ", "9999999999", "QQ9XYZ"};
    }
    void TearDown() override { FormatSettings() = saved; }

    TFormatSettings saved;
    TLogbookData contact;
    TUploadSettings settings;
};

TEST_F(UploadBodies, AddBodyByteForByte) {
    EXPECT_EQ(BuildAddBody(contact, settings),
              "Callsign=QQ9XYZ&Code=9999999999"
              "&ADIFData=<call:10>TEST1<qso_date:8>20110715<time_on:6>134501 <band:3>20m"
              "<mode:10>SSB<rst_sent:3>59<rst_rcvd:3>57<GRIDSQUARE:6> AB12CD"
              "<station_callsign:11>QQ9XYZ<EOR>");
}

TEST_F(UploadBodies, EmptyValuesLeaveTheirTagsFollowedByTheNextLiteral) {
    TLogbookData empty;
    EXPECT_EQ(BuildAddBody(empty, {"QQ9XYZ", "", ""}),
              "Callsign=QQ9XYZ&Code=&ADIFData=<call:10><qso_date:8>18991230<time_on:6>000000 "
              "<band:3><mode:10><rst_sent:3><rst_rcvd:3><GRIDSQUARE:6> <station_callsign:11><EOR>");
    // No QsoId: the key part ends with the ID tag.
    EXPECT_EQ(BuildEditKeyPart(contact),
              "&ADIFkey=<call:10>TEST1<qso_date:8>20110715<time_on:6>134501<ID:10>");
}

TEST_F(UploadBodies, ValuesGoOutUnescapedAndUntruncated) {
    contact.Callsign = "ab/QQ9XYZ/P12";
    contact.Locator = "KN 34&x=<y>";
    std::string body = BuildAddBody(contact, settings);
    EXPECT_NE(body.find("<call:10>ab/QQ9XYZ/P12<qso_date:8>"), std::string::npos);
    EXPECT_NE(body.find("<GRIDSQUARE:6> KN 34&x=<y><station_callsign:11>"), std::string::npos);
    contact.Callsign = "A1B";
    EXPECT_NE(BuildAddBody(contact, settings).find("<call:10>A1B<qso_date:8>"), std::string::npos);
}

TEST_F(UploadBodies, DateAndTimeTextsAreDigitsWhateverTheSeparators) {
    FormatSettings().DateSeparator = '.';
    FormatSettings().TimeSeparator = '-';
    EXPECT_EQ(BodyDateText(contact.QsoDate), "20110715");
    EXPECT_EQ(BodyTimeText(contact.QsoTime), "134501");
}

TEST_F(UploadBodies, EditBodyCarriesKeyAndDataTwiceAroundTheCode) {
    TLogbookData key = contact;
    key.QsoId = "4711";
    TLogbookData changed = contact;
    changed.Callsign = "TEST2";
    changed.Band = "40m";
    settings.StationCallsign = "YO9OP";
    const std::string keyPart = BuildEditKeyPart(key);
    const std::string dataPart = BuildEditDataPart(changed, settings);
    EXPECT_EQ(keyPart, "&ADIFkey=<call:10>TEST1<qso_date:8>20110715<time_on:6>134501<ID:10>4711");
    EXPECT_EQ(dataPart, "&ADIFData=<call:10>TEST2<qso_date:8>20110715<time_on:6>134501<band:3>40m"
                        "<mode:10>SSB<rst_sent:3>59<rst_rcvd:3>57<GRIDSQUARE:6> AB12CD"
                        "<station_callsign:11>YO9OP");
    EXPECT_EQ(BuildEditBody(keyPart, dataPart, settings), "Callsign=QQ9XYZ&CMD=UPDATE" + keyPart +
                                                              dataPart + "&Code=9999999999" +
                                                              keyPart + dataPart);
}

TEST_F(UploadBodies, EditOfAnUnchangedContactRepeatsCallDateAndTimeFourTimes) {
    std::string body =
        BuildEditBody(BuildEditKeyPart(contact), BuildEditDataPart(contact, settings), settings);
    auto count = [&](const std::string& s) {
        size_t n = 0;
        for (size_t p = body.find(s); p != std::string::npos; p = body.find(s, p + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("<call:10>TEST1<qso_date:8>20110715<time_on:6>134501"), 4u);
    EXPECT_EQ(body.find("<EOR>"), std::string::npos);
}

} // namespace

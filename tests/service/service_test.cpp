#include "map_image.h"
#include "service.h"

#include <gtest/gtest.h>

namespace {

const std::string kAdd =
    "Callsign=QQ9XYZ&Code=9999999999&ADIFData=<call:10>TEST1<qso_date:8>20110715<time_on:6>134501"
    " <band:3>20m<mode:10>SSB<rst_sent:3>59<rst_rcvd:3>57<GRIDSQUARE:6> AB12CD"
    "<station_callsign:11>QQ9XYZ<EOR>\r\n";

std::string Edit(const std::string& key, const std::string& data, const std::string& code) {
    return "Callsign=QQ9XYZ&CMD=UPDATE" + key + data + "&Code=" + code + key + data + "\r\n";
}

TEST(LogbookServiceParsing, AdifValuesRunToTheNextKnownTag) {
    auto tags = logbook::ParseAdif("<call:10>A<B>&C=1<qso_date:8>20110715<GRIDSQUARE:6> KN<EOR>x");
    EXPECT_EQ(tags["call"], "A<B>&C=1");
    EXPECT_EQ(tags["qso_date"], "20110715");
    EXPECT_EQ(tags["gridsquare"], " KN");
    EXPECT_EQ(tags.count("eor"), 0u);
}

TEST(LogbookServiceParsing, FormFieldsEndOnlyAtKnownKeys) {
    auto form = logbook::ParseUploadForm("Callsign=QQ9XYZ&Code=12&ADIFData=<call:10>A&B=C\r\n");
    EXPECT_EQ(form["Callsign"], "QQ9XYZ");
    EXPECT_EQ(form["Code"], "12");
    EXPECT_EQ(form["ADIFData"], "<call:10>A&B=C");
}

TEST(LogbookService, AnswersAddsWithTheMarkersTheLoggerReads) {
    logbook::Service service(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}});
    EXPECT_EQ(service.HandleUpload(kAdd), "<response><insert>1</insert><id>1001</id></response>");
    std::string noCall = kAdd;
    noCall.replace(noCall.find("TEST1"), 5, "");
    EXPECT_NE(service.HandleUpload(noCall).find("<insert>0</insert>"), std::string::npos);
    std::string wrongCode = kAdd;
    wrongCode.replace(wrongCode.find("9999999999"), 10, "1234");
    EXPECT_NE(service.HandleUpload(wrongCode).find("<error>Unknown user</error>"),
              std::string::npos);
    ASSERT_EQ(service.Contacts("QQ9XYZ").size(), 1u);
    EXPECT_EQ(service.Contacts("QQ9XYZ")[0].Grid, "AB12CD");
}

TEST(LogbookService, UpdatesTheContactNamedByTheKey) {
    logbook::Service service(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}});
    service.HandleUpload(kAdd);
    const std::string key =
        "&ADIFkey=<call:10>TEST1<qso_date:8>20110715<time_on:6>134501<ID:10>1001";
    const std::string data =
        "&ADIFData=<call:10>TEST2<qso_date:8>20110715<time_on:6>134501<band:3>40m<mode:10>CW"
        "<rst_sent:3>599<rst_rcvd:3>579<GRIDSQUARE:6> KN37<station_callsign:11>QQ9XYZ";
    EXPECT_EQ(service.HandleUpload(Edit(key, data, "9999999999")),
              "<response><update>1</update><id>1001</id></response>");
    auto c = service.Contacts("QQ9XYZ").at(0);
    EXPECT_EQ(c.Call, "TEST2");
    EXPECT_EQ(c.Band, "40m");
    // The old key no longer names a contact.
    EXPECT_NE(service.HandleUpload(Edit(key, data, "9999999999"))
                  .find("<error>Unable to find QSO</error>"),
              std::string::npos);
    EXPECT_NE(service.HandleUpload(Edit(key, data, "0")).find("<error>Unknown user</error>"),
              std::string::npos);
}

TEST(LogbookService, LogPageListsNewestFirstAndEscapes) {
    logbook::Service service(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}});
    service.HandleUpload(kAdd);
    std::string second = kAdd;
    second.replace(second.find("TEST1"), 5, "<b>X");
    service.HandleUpload(second);
    std::string page = service.LogPage("QQ9XYZ");
    size_t newer = page.find("&lt;b&gt;X"), older = page.find("TEST1");
    ASSERT_NE(newer, std::string::npos);
    ASSERT_NE(older, std::string::npos);
    EXPECT_LT(newer, older);
    EXPECT_NE(page.find("2011-07-15"), std::string::npos);
}

TEST(LogbookServiceMap, LocatorsAndImage) {
    auto kn = logbook::LocatorToLonLat("kn37");
    ASSERT_TRUE(kn);
    EXPECT_DOUBLE_EQ(kn->first, 27);
    EXPECT_DOUBLE_EQ(kn->second, 47.5);
    EXPECT_FALSE(logbook::LocatorToLonLat("ZZ12"));
    EXPECT_FALSE(logbook::LocatorToLonLat("KN3"));
    std::string jpeg = logbook::MapJpeg({"KN37", "FN31pr", "bogus"});
    ASSERT_GT(jpeg.size(), 1000u);
    EXPECT_EQ(static_cast<unsigned char>(jpeg[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(jpeg[1]), 0xD8);
}

} // namespace

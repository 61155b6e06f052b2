#include "upload/procedures.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

// Records everything the procedures tell the main window, in order.
class RecordingView : public TUploadView {
public:
    std::string summary;
    std::vector<std::string> status, trace, boxes, events;
    bool demo = false;
    int refreshes = 0, resets = 0;
    TLogbookData dialog;
    TUploadSettings settings{"QQ9XYZ", "9999999999", "YO9OP"};

    void SetSummary(const std::string& t) override {
        summary = t;
        status.clear(); // the summary replaces the memo's whole text
        events.push_back("summary");
    }
    void AppendStatus(const std::string& l) override {
        status.push_back(l);
        events.push_back("status:" + l);
    }
    void AppendTrace(const std::string& l) override { trace.push_back(l); }
    void ShowMessage(const std::string& t) override {
        boxes.push_back(t);
        events.push_back("box:" + t);
    }
    bool DemoMode() override { return demo; }
    void SetDemoMode(bool on) override { demo = on; }
    TUploadSettings UploadSettings() override { return settings; }
    void RefreshListView() override { ++refreshes; }
    void ResetEntryAfterAdd() override { ++resets; }
    void LoadQsoDialog(const TLogbookData& r) override { dialog = r; }
};

// A scripted exchange: returns the next answer and records the bodies sent.
struct FakeServer {
    std::deque<std::pair<bool, std::string>> answers;
    std::vector<std::string> bodies;
    TPostToServer Post() {
        return [this](const TStringList& body, std::string& reply) {
            bodies.push_back(body.Text());
            auto [ok, text] = answers.front();
            answers.pop_front();
            reply = text;
            return ok;
        };
    }
};

TLogbookData Contact() {
    TLogbookData r;
    r.Id = 0;
    r.QsoDate = EncodeDate(2011, 7, 15);
    r.QsoTime = EncodeTime(13, 45, 1, 0);
    r.Callsign = "TEST1";
    r.Rx = "57";
    r.Tx = "59";
    r.Locator = "AB12CD";
    r.Band = "20m";
    r.Mode = "SSB";
    return r;
}

class UploadProcedures : public ::testing::Test {
protected:
    void SetUp() override {
        saved = FormatSettings();
        FormatSettings().DateSeparator = '/';
        FormatSettings().TimeSeparator = ':';
    }
    void TearDown() override { FormatSettings() = saved; }
    TFormatSettings saved;
    RecordingView view;
    FakeServer server;
};

TEST_F(UploadProcedures, SummaryLineWithTabs) {
    ShowQsoSummary(view, Contact());
    EXPECT_EQ(view.summary, "QSO -> : Data: 15/07/2011\tOra: 13:45:01\tIndicativ: TEST1\tRX: 57\t"
                            "TX: 59\tLocator: AB12CD\tBanda: 20m\tMod: SSB");
}

TEST(ExtractBetweenTags, TakesTheTextBetweenTheFirstTags) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {{"<insert>1</insert><id>12</id>", "12"},
                 {"<id></id>", ""},
                 {"</id>x<id>", ""}, // closing tag first: empty, not garbage
                 {"<id>5</id><id>6</id>", "5"},
                 {"<id>7", "unchanged"},
                 {"no tags", "unchanged"}};
    for (const auto& c : cases) {
        std::string result = "unchanged";
        ExtractBetweenTags(c.text, "<id>", "</id>", result);
        EXPECT_EQ(result, c.expected) << c.text;
    }
}

TEST_F(UploadProcedures, ValidatedAddStoresTheIdAndMarksTheContactUploaded) {
    server.answers = {{true, "<insert>1</insert><id>12</id>"}};
    TLogbookData r = Contact();
    EXPECT_TRUE(UploadNewQso(view, r, server.Post()));
    EXPECT_EQ(view.status, std::vector<std::string>{"Raspuns server: Validat"});
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(r.QsoId, "12");
    EXPECT_EQ(r.Uploaded, 1);
    EXPECT_EQ(view.refreshes, 1);
    EXPECT_EQ(view.resets, 1);
    ASSERT_EQ(server.bodies.size(), 1u);
    EXPECT_EQ(server.bodies[0].substr(server.bodies[0].size() - 7), "<EOR>\r\n");
    EXPECT_EQ(view.trace,
              (std::vector<std::string>{
                  "----- ADD QSO -----",
                  "ADIF Data trimis -> " + server.bodies[0].substr(0, server.bodies[0].size() - 2),
                  "ADDQSO Raspuns -> <insert>1</insert><id>12</id>", "QSOID -> 12"}));
}

TEST_F(UploadProcedures, EveryMatchingMarkerFiresInTheTablesOrder) {
    server.answers = {{true, "<error>Unknown user</error><insert>0</insert>"}};
    TLogbookData r = Contact();
    EXPECT_TRUE(UploadNewQso(view, r, server.Post()));
    EXPECT_EQ(view.events,
              (std::vector<std::string>{
                  "summary", "status:Raspuns server: Fail", "box:Reintroduceti",
                  std::string("status:Raspuns server: Upload Code gresit! Cereti unul la ") +
                      kMaintainerAddress,
                  "box:Verificati Upload Code"}));
    EXPECT_EQ(r.QsoId, "");
    EXPECT_EQ(r.Uploaded, 0);
}

TEST_F(UploadProcedures, FailedAddIsReportedAndKeepsNoIdentifier) {
    server.answers = {{false, "Not Found <id>99</id>"}};
    TLogbookData r = Contact();
    EXPECT_FALSE(UploadNewQso(view, r, server.Post()));
    EXPECT_EQ(view.status, std::vector<std::string>{"Conexiune Internet inexistenta"});
    EXPECT_EQ(view.boxes, std::vector<std::string>{"n-ai net"});
    EXPECT_EQ(r.QsoId, "");
    EXPECT_EQ(view.trace[2], "ADDQSO Raspuns -> Not Found <id>99</id>");
}

TEST_F(UploadProcedures, AnswersWithoutBothTagsOrMarkersChangeNothing) {
    server.answers = {{true, "<insert>1</insert><id>3"}, {true, ""}};
    TLogbookData r = Contact();
    UploadNewQso(view, r, server.Post());
    EXPECT_EQ(r.QsoId, "");
    UploadNewQso(view, r, server.Post());
    EXPECT_TRUE(view.status.empty());
    EXPECT_EQ(view.resets, 2);
}

TEST_F(UploadProcedures, DemoModeSendsNothingButStillResetsTheEntryRow) {
    view.demo = true;
    TLogbookData r = Contact();
    EXPECT_FALSE(UploadNewQso(view, r, server.Post()));
    EXPECT_TRUE(server.bodies.empty());
    EXPECT_EQ(view.trace.size(), 2u);
    EXPECT_TRUE(view.status.empty());
    EXPECT_EQ(view.resets, 1);
    EXPECT_EQ(view.refreshes, 0);

    TLogbookData changed = Contact();
    UploadEditedQso(view, Contact(), changed, server.Post());
    EXPECT_TRUE(server.bodies.empty());
    EXPECT_EQ(view.trace.size(), 6u);
}

TEST_F(UploadProcedures, EditSendsKeyFromSnapshotAndDataFromTheRecord) {
    server.answers = {{true, "<update>1</update><id>12</id>"}};
    TLogbookData key = Contact();
    key.QsoId = "12";
    TLogbookData changed = Contact();
    changed.Callsign = "TEST2";
    changed.QsoId = "12";
    UploadEditedQso(view, key, changed, server.Post());
    ASSERT_EQ(server.bodies.size(), 1u);
    const std::string& body = server.bodies[0];
    EXPECT_EQ(body.find("Callsign=QQ9XYZ&CMD=UPDATE&ADIFkey=<call:10>TEST1"), 0u);
    EXPECT_NE(body.find("<ID:10>12&ADIFData=<call:10>TEST2"), std::string::npos);
    EXPECT_EQ(view.status, std::vector<std::string>{"Raspuns server: Validat"});
    EXPECT_EQ(changed.Uploaded, 1);
    // Once with STATUS NO while the edit is on its way, once with the answer.
    EXPECT_EQ(view.refreshes, 2);
    EXPECT_EQ(view.trace[0], "----- EDIT QSO -----");
    EXPECT_EQ(view.trace[4], "EDITQSO Raspuns -> <update>1</update><id>12</id>");
}

TEST_F(UploadProcedures, EditAnswersAndFailures) {
    server.answers = {{true, "<error>Unknown user</error><error>Unable to find QSO</error>"},
                      {false, "Request aborted on timeout"},
                      {true, "<update>1</update>"}};
    TLogbookData changed = Contact();
    changed.QsoId = "40";
    UploadEditedQso(view, Contact(), changed, server.Post());
    EXPECT_EQ(view.events, (std::vector<std::string>{"summary", "status:Raspuns server: Fail",
                                                     "box:User / Upload key gresit",
                                                     "status:Raspuns server: QSO Negasit",
                                                     "box:Wrong ADIF Key ?"}));
    // A failed exchange keeps the identifier and says so.
    UploadEditedQso(view, Contact(), changed, server.Post());
    EXPECT_EQ(changed.QsoId, "40");
    EXPECT_EQ(view.status, std::vector<std::string>{"Conexiune Internet inexistenta"});
    EXPECT_EQ(view.boxes.back(), "n-ai net");
    // A validated edit without an identifier keeps the old one too.
    UploadEditedQso(view, Contact(), changed, server.Post());
    EXPECT_EQ(changed.QsoId, "40");
}

TEST_F(UploadProcedures, ResendOfAContactWithAnIdentifierSendsNothing) {
    TLogbookData r = Contact();
    r.QsoId = "77";
    ResendQso(view, &r, server.Post());
    EXPECT_EQ(view.status, (std::vector<std::string>{">77<", "QSO existent pe server"}));
    EXPECT_TRUE(server.bodies.empty());
}

TEST_F(UploadProcedures, ResendUploadsEvenInDemoModeAndRestoresTheBox) {
    server.answers = {{true, "<insert>1</insert><id>5</id>"}, {true, "<insert>1</insert>"}};
    view.demo = true;
    TLogbookData r = Contact();
    ResendQso(view, &r, server.Post());
    EXPECT_EQ(server.bodies.size(), 1u);
    EXPECT_EQ(view.dialog.Callsign, "TEST1");
    EXPECT_EQ(view.status,
              (std::vector<std::string>{"Raspuns server: Validat", "QSO trimis pe server"}));
    EXPECT_TRUE(view.demo);

    view.demo = false;
    TLogbookData incomplete = Contact();
    incomplete.Rx = "";
    ResendQso(view, &incomplete, server.Post());
    EXPECT_EQ(view.status.back(), "Completati campurile inainte de trimitere");
    EXPECT_FALSE(view.demo);
}

TEST_F(UploadProcedures, ResendWithoutSelectionWritesNothing) {
    view.demo = false;
    ResendQso(view, nullptr, server.Post());
    EXPECT_TRUE(view.events.empty());
    EXPECT_FALSE(view.demo);
}

} // namespace

// Uploads from the main window against the stand-in logbook service, or a
// scripted peer for answers the service never gives: what the status memo,
// the message boxes, the list and the service end up with.
#include "tests/ui/upload_fixture.h"

#include "framework/application.h"
#include "platform/win32/testing.h"
#include "ui/UnitLogbookData.h"
#include "upload/bodies.h"
#include "upload/procedures.h"

namespace {

using namespace uitest;
using testpeer::ScriptedPeer;

const std::string kUnknownCodeLine =
    std::string("Raspuns server: Upload Code gresit! Cereti unul la ") + kMaintainerAddress;

class UploadFromMainWindow : public EntryFixture {
protected:
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const TBox& b : Boxes)
            texts.push_back(b.Text);
        return texts;
    }
    // The status lines after the summary line.
    QStringList StatusLines() {
        QStringList lines = MemoLines();
        lines.removeFirst();
        return lines;
    }
    void TriggerResend() { Form1->UploadServer1->trigger(); }
};

TEST_F(UploadFromMainWindow, AddIsValidatedAndTheListShowsItsIdAndYes) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    Main<QComboBox>("BandCombo")->setCurrentText(QStringLiteral("20m"));
    AddContact("YO3ABC", "KN34");

    const QStringList memo = MemoLines();
    ASSERT_EQ(memo.size(), 2);
    EXPECT_EQ(memo[0], QStringLiteral("QSO -> : Data: 10/03/2024\tOra: 13:30:05\tIndicativ: YO3ABC"
                                      "\tRX: 57\tTX: 58\tLocator: KN34\tBanda: 20m\tMod: SSB"));
    EXPECT_EQ(memo[1], QStringLiteral("Raspuns server: Validat"));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Cell(0, 10), QStringLiteral("1001"));
    EXPECT_EQ(Cell(0, 9), QStringLiteral("YES"));
    EXPECT_EQ(Record(0)->QsoId, "1001");

    // The trace: header, body, raw answer and identifier.
    const QStringList trace = MemoLines("DebugMemo");
    ASSERT_EQ(trace.size(), 4);
    EXPECT_EQ(trace[2], QStringLiteral("ADDQSO Raspuns -> "
                                       "<response><insert>1</insert><id>1001</id></response>"));
    EXPECT_EQ(trace[3], QStringLiteral("QSOID -> 1001"));

    auto contacts = service.Service().Contacts("QQ9XYZ");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].Call, "YO3ABC");
    EXPECT_EQ(contacts[0].Band, "20m");

    // Ready for the next contact, band and mode kept, focus on the callsign.
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QString());
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("20m"));
    EXPECT_EQ(Main<QComboBox>("ModCombo")->currentText(), QStringLiteral("SSB"));
    EXPECT_SOON(FocusedControl(Form1) == Main("EditIndicativ"));
}

// The list tells the view of the new row only: before the upload (so it
// shows while the answer is awaited) and after it (with its identifier);
// the rows already there are neither rendered nor signalled again.
TEST_F(UploadFromMainWindow, AddTellsTheListViewOfTheNewRowOnly) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    AddContact("YO3ABC");
    AddContact("YO3ABD");
    std::vector<std::pair<int, int>> signalled;
    QObject::connect(List()->model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                         signalled.emplace_back(topLeft.row(), bottomRight.row());
                     });
    AddContact("YO3ABE");
    EXPECT_EQ(signalled, (std::vector<std::pair<int, int>>{{2, 2}, {2, 2}}));
    EXPECT_EQ(Cell(2, 3), QStringLiteral("YO3ABE"));
    EXPECT_EQ(Cell(2, 10), QStringLiteral("1003"));
    EXPECT_EQ(Cell(0, 10), QStringLiteral("1001"));
}

TEST_F(UploadFromMainWindow, WrongUploadCodeIsToldByLineAndBox) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    UploadCode = "wrong";
    AddContact("YO3ABC");
    EXPECT_EQ(StatusLines(), QStringList{QString::fromStdString(kUnknownCodeLine)});
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Verificati Upload Code");
    EXPECT_EQ(Boxes[0].LastStatusLine, kUnknownCodeLine);
    EXPECT_EQ(Cell(0, 10), QString());
    EXPECT_EQ(Cell(0, 9), QStringLiteral("NO"));
}

// One answer of the upload endpoint and what an add makes of it.
struct TAnswerCase {
    const char* Name;
    std::string Response; // the whole HTTP response
    std::vector<std::string> Lines;
    std::vector<TBox> Boxes;
    std::string QsoId;
    const char* Status;
};

void PrintTo(const TAnswerCase& c, std::ostream* os) {
    *os << c.Name;
}

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::vector<TAnswerCase> AnswerCases() {
    const std::string unknown = kUnknownCodeLine;
    return {
        {"IdTwelve",
         Ok("<insert>1</insert><id>12</id>"),
         {"Raspuns server: Validat"},
         {},
         "12",
         "YES"},
        {"InsertZeroAndUnknownUser",
         Ok("<insert>0</insert><error>Unknown user</error>"),
         {"Raspuns server: Fail", unknown},
         {{"Reintroduceti", "Raspuns server: Fail"}, {"Verificati Upload Code", unknown}},
         "",
         "NO"},
        {"InsertOneAndZeroBothFire",
         Ok("<insert>1</insert><insert>0</insert>"),
         {"Raspuns server: Validat", "Raspuns server: Fail"},
         {{"Reintroduceti", "Raspuns server: Fail"}},
         "",
         "YES"},
        {"OpeningTagWithoutClosing",
         Ok("<insert>1</insert><id>12"),
         {"Raspuns server: Validat"},
         {},
         "",
         "YES"},
        {"NothingBetweenTheTags", Ok("<id></id>"), {}, {}, "", "NO"},
        {"NoMarker", Ok("<response>busy</response>"), {}, {}, "", "NO"},
        {"NoContentLengthIsAnEmptyAnswer",
         "HTTP/1.0 200 OK\r\n\r\n<insert>1</insert><id>5</id>",
         {},
         {},
         "",
         "NO"},
        {"ErrorStatusIsAFailedExchange",
         "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 28\r\n\r\n<insert>1</insert>"
         "<id>9</id>",
         {"Conexiune Internet inexistenta"},
         {{"n-ai net", "Conexiune Internet inexistenta"}},
         "",
         "NO"},
    };
}

class AddAnswers : public UploadFromMainWindow,
                   public ::testing::WithParamInterface<TAnswerCase> {};

TEST_P(AddAnswers, GiveTheirLinesBoxesAndId) {
    const TAnswerCase& c = GetParam();
    ScriptedPeer peer;
    peer.Script({testpeer::WaitFor("<EOR>\r\n"), testpeer::Send(c.Response), testpeer::Close()});
    UseServer(peer.Port());
    Start();
    AddContact("YO3ABC");
    QStringList lines;
    for (const std::string& l : c.Lines)
        lines << QString::fromStdString(l);
    EXPECT_EQ(StatusLines(), lines);
    ASSERT_EQ(Boxes.size(), c.Boxes.size());
    for (size_t i = 0; i < Boxes.size(); ++i) {
        EXPECT_EQ(Boxes[i].Text, c.Boxes[i].Text) << i;
        EXPECT_EQ(Boxes[i].LastStatusLine, c.Boxes[i].LastStatusLine) << i;
    }
    EXPECT_EQ(Record(0)->QsoId, c.QsoId);
    EXPECT_EQ(Cell(0, 10), QString::fromStdString(c.QsoId));
    EXPECT_EQ(Cell(0, 9), QString::fromLatin1(c.Status));
    // Whatever the answer, the row is ready for the next contact.
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QString());
}

INSTANTIATE_TEST_SUITE_P(UploadFromMainWindow, AddAnswers, ::testing::ValuesIn(AnswerCases()),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(UploadFromMainWindow, StoppedServiceIsNoInternetAndTheContactStaysUnsent) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    service.Stop();
    AddContact("YO3ABC");
    EXPECT_EQ(StatusLines(), QStringList{"Conexiune Internet inexistenta"});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"n-ai net"});
    ASSERT_EQ(Form1->Logbook().Count(), 1);
    EXPECT_EQ(Cell(0, 3), QStringLiteral("YO3ABC"));
    EXPECT_EQ(Cell(0, 10), QString());
    EXPECT_EQ(Cell(0, 9), QStringLiteral("NO"));
    EXPECT_TRUE(MemoLines("DebugMemo")[2].startsWith(
        QStringLiteral("ADDQSO Raspuns -> Connection refused")));
}

TEST_F(UploadFromMainWindow, EditSendsTheSelectionTimeKeyAndTheChangedData) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    AddContact("YO3ABC", "KN34");
    ASSERT_EQ(Record(0)->QsoId, "1001");
    const TLogbookData before = *Record(0);

    ClickRow(0);
    Type("YO3ABD", "55", "56", "KN35");
    Main<QComboBox>("ModCombo")->setCurrentText(QStringLiteral("CW"));
    Click("EditBtn");

    const auto bodies = service.Bodies();
    ASSERT_EQ(bodies.size(), 2u);
    const TUploadSettings settings{"QQ9XYZ", "9999999999", "QQ9XYZ"};
    TLogbookData key;
    TakeSnapshot(before, key);
    EXPECT_EQ(bodies[1], BuildEditBody(BuildEditKeyPart(key),
                                       BuildEditDataPart(*Record(0), settings), settings) +
                             "\r\n");
    EXPECT_EQ(Record(0)->Callsign, "YO3ABD");
    EXPECT_EQ(Record(0)->Mode, "CW");
    auto contacts = service.Service().Contacts("QQ9XYZ");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].Call, "YO3ABD");
    EXPECT_EQ(contacts[0].Grid, "KN35");

    EXPECT_EQ(StatusLines(), QStringList{"Raspuns server: Validat"});
    EXPECT_TRUE(Boxes.empty());
    // Shown at once, not only at the next refresh.
    EXPECT_EQ(Cell(0, 3), QStringLiteral("YO3ABD"));
    EXPECT_EQ(Cell(0, 10), QStringLiteral("1001"));
    EXPECT_EQ(Cell(0, 9), QStringLiteral("YES"));
    const QStringList trace = MemoLines("DebugMemo");
    EXPECT_TRUE(trace.contains(QStringLiteral("----- EDIT QSO -----")));
    EXPECT_TRUE(
        trace.contains(QStringLiteral("EDITQSO Raspuns -> "
                                      "<response><update>1</update><id>1001</id></response>")));
}

TEST_F(UploadFromMainWindow, EditOfAContactTheServiceLacksIsQsoNegasit) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    SetDemo(true);
    AddContact("YO3ABC");
    SetDemo(false);
    ClickRow(0);
    Type("YO3ABD");
    Click("EditBtn");
    EXPECT_EQ(StatusLines(), QStringList{"Raspuns server: QSO Negasit"});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Wrong ADIF Key ?"});
    EXPECT_EQ(Cell(0, 9), QStringLiteral("NO"));
}

TEST_F(UploadFromMainWindow, EditWithUnknownUserAndMissingQsoGivesBothInOrder) {
    ScriptedPeer peer;
    AnswerWith(peer, "<error>Unknown user</error><error>Unable to find QSO</error>", kEditBodyEnd);
    UseServer(peer.Port());
    Start();
    SetDemo(true);
    AddContact("YO3ABC");
    Record(0)->QsoId = "42";
    SetDemo(false);
    ClickRow(0);
    Click("EditBtn");
    EXPECT_EQ(StatusLines(), (QStringList{"Raspuns server: Fail", "Raspuns server: QSO Negasit"}));
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[0].Text, "User / Upload key gresit");
    EXPECT_EQ(Boxes[0].LastStatusLine, "Raspuns server: Fail");
    EXPECT_EQ(Boxes[1].Text, "Wrong ADIF Key ?");
    EXPECT_EQ(Boxes[1].LastStatusLine, "Raspuns server: QSO Negasit");
    // No identifier in the answer: the contact keeps the one it had.
    EXPECT_EQ(Record(0)->QsoId, "42");
    EXPECT_TRUE(peer.Received().find("CMD=UPDATE") != std::string::npos);
}

TEST_F(UploadFromMainWindow, EditValidatedWithoutAnIdKeepsTheId) {
    ScriptedPeer peer;
    AnswerWith(peer, "<update>1</update>", kEditBodyEnd);
    UseServer(peer.Port());
    Start();
    SetDemo(true);
    AddContact("YO3ABC");
    Record(0)->QsoId = "42";
    SetDemo(false);
    ClickRow(0);
    Click("EditBtn");
    EXPECT_EQ(StatusLines(), QStringList{"Raspuns server: Validat"});
    EXPECT_EQ(Record(0)->QsoId, "42");
    EXPECT_EQ(Cell(0, 10), QStringLiteral("42"));
    EXPECT_EQ(Cell(0, 9), QStringLiteral("YES"));
}

TEST_F(UploadFromMainWindow, FailedEditIsNoInternetAndKeepsTheId) {
    auto service = std::make_unique<TLocalService>();
    UseServer(service->Port());
    Start();
    AddContact("YO3ABC");
    ASSERT_EQ(Record(0)->QsoId, "1001");
    service.reset();
    ClickRow(0);
    Type("YO3ABD");
    Click("EditBtn");
    EXPECT_EQ(StatusLines(), QStringList{"Conexiune Internet inexistenta"});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"n-ai net"});
    EXPECT_EQ(Record(0)->QsoId, "1001");
    EXPECT_EQ(Cell(0, 10), QStringLiteral("1001"));
    EXPECT_EQ(Cell(0, 3), QStringLiteral("YO3ABD"));
}

TEST_F(UploadFromMainWindow, ResendOfAContactWithAnIdSendsNothing) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    AddContact("YO3ABC");
    ClickRow(0);
    TriggerResend();
    EXPECT_EQ(StatusLines(),
              (QStringList{"Raspuns server: Validat", ">1001<", "QSO existent pe server"}));
    EXPECT_EQ(service.Bodies().size(), 1u);
    // DEMO mode is left as it was: off.
    EXPECT_FALSE(Form2->DemoMode());
}

TEST_F(UploadFromMainWindow, ResendOfADemoContactSendsItAndRestoresDemo) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    SetDemo(true);
    Main<QComboBox>("BandCombo")->setCurrentText(QStringLiteral("80m"));
    AddContact("YO3ABC", "KN34");
    ASSERT_TRUE(service.Bodies().empty());
    ClickRow(0);
    TriggerResend();
    ASSERT_EQ(service.Bodies().size(), 1u);
    EXPECT_EQ(Record(0)->QsoId, "1001");
    EXPECT_EQ(Cell(0, 10), QStringLiteral("1001"));
    // The bracketed line went with the summary that replaced it.
    EXPECT_EQ(StatusLines(), (QStringList{"Raspuns server: Validat", "QSO trimis pe server"}));
    EXPECT_TRUE(MemoLines()[0].startsWith(QStringLiteral("QSO -> : ")));
    // The QSO dialog was filled without showing.
    auto* dialogCallsign = Child<QLineEdit>(FormLogbookData, "EditIndicativ");
    ASSERT_NE(dialogCallsign, nullptr);
    EXPECT_EQ(dialogCallsign->text(), QStringLiteral("YO3ABC"));
    EXPECT_FALSE(FormLogbookData->isVisible());
    EXPECT_TRUE(Form2->DemoMode());
    EXPECT_TRUE(Child<QCheckBox>(Form2, "InternetBox")->isChecked());
}

TEST_F(UploadFromMainWindow, ResendWithoutIdInTheAnswerAsksToCompleteTheFields) {
    ScriptedPeer peer;
    AnswerWith(peer, "<insert>1</insert>");
    UseServer(peer.Port());
    Start();
    SetDemo(true);
    Type("YO3ABC", "", "59");
    Click("AdaugaBtn");
    SetDemo(false);
    ClickRow(0);
    TriggerResend();
    EXPECT_EQ(StatusLines(), (QStringList{"Raspuns server: Validat",
                                          "Completati campurile inainte de trimitere"}));
    EXPECT_FALSE(Form2->DemoMode());
}

TEST_F(UploadFromMainWindow, ResendWithNoSelectionDoesNothing) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    SetDemo(true);
    AddContact("YO3ABC");
    const QString memo = Memo("Memo1")->toPlainText();
    const QString trace = Memo("DebugMemo")->toPlainText();
    TriggerResend();
    EXPECT_EQ(Memo("Memo1")->toPlainText(), memo);
    EXPECT_EQ(Memo("DebugMemo")->toPlainText(), trace);
    EXPECT_TRUE(service.Bodies().empty());
    EXPECT_TRUE(Form2->DemoMode());
}

// A re-send from the pop-up menu while the entry row edits the contact: the
// row keeps showing the contact, now with its identifier, and "Editeaza"
// stores and sends the contact's own values, not an emptied callsign and
// 59 / 59.
TEST_F(UploadFromMainWindow, ResendWhileEditingLeavesTheContactInTheEntryRow) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    SetDemo(true);
    AddContact("YO3ABC", "KN34"); // reports 57 and 58
    SetDemo(false);
    ClickRow(0);
    TriggerResend();
    ASSERT_EQ(Record(0)->QsoId, "1001");
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QStringLiteral("YO3ABC"));
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("57"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("58"));
    EXPECT_FALSE(Main("AdaugaBtn")->isEnabled());
    EXPECT_TRUE(Main("EditBtn")->isEnabled());
    EXPECT_EQ(Form1->SelectedSnapshot->QsoId, "1001");

    Click("EditBtn");
    EXPECT_EQ(Record(0)->Callsign, "YO3ABC");
    EXPECT_EQ(Record(0)->Rx, "57");
    EXPECT_EQ(Record(0)->Tx, "58");
    EXPECT_EQ(StatusLines(), QStringList{"Raspuns server: Validat"});
    EXPECT_EQ(Cell(0, 9), QStringLiteral("YES"));
    const auto contacts = service.Service().Contacts("QQ9XYZ");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].Call, "YO3ABC");
    EXPECT_EQ(contacts[0].RstRcvd, "57");
    EXPECT_EQ(contacts[0].RstSent, "58");
}

// A correction made in the QSO dialog reaches the entry row that shows the
// contact, and its snapshot: the next "Editeaza" keeps the correction.
TEST_F(UploadFromMainWindow, DialogCorrectionReachesTheEntryRowSoEditeazaKeepsIt) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    AddContact("YO3ABC", "KN34");
    ClickRow(0);
    FAnswerer = std::make_unique<TModalAnswerer>([](QWidget* modal) {
        ASSERT_EQ(modal, FormLogbookData);
        Child<QLineEdit>(FormLogbookData, "EditRX")->setText(QStringLiteral("44"));
        Child<QLineEdit>(FormLogbookData, "EditLocator")->setText(QStringLiteral("KN99"));
        Child<QPushButton>(FormLogbookData, "BOk")->click();
    });
    Form1->Editeaza1->trigger();
    ASSERT_EQ(FAnswerer->Count(), 1);
    ASSERT_EQ(service.Service().Contacts("QQ9XYZ").at(0).Grid, "KN99");
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("44"));
    EXPECT_EQ(Main<QLineEdit>("EditLocator")->text(), QStringLiteral("KN99"));
    EXPECT_EQ(Form1->SelectedSnapshot->Rx, "44");
    EXPECT_EQ(Form1->SelectedSnapshot->Locator, "KN99");

    Click("EditBtn");
    EXPECT_EQ(Record(0)->Rx, "44");
    EXPECT_EQ(Record(0)->Locator, "KN99");
    const auto contacts = service.Service().Contacts("QQ9XYZ");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].RstRcvd, "44");
    EXPECT_EQ(contacts[0].Grid, "KN99");
    EXPECT_EQ(Cell(0, 9), QStringLiteral("YES"));
}

// How an edit can fail to change the online log.
struct TRefusal {
    enum class Kind {
        WrongCode,       // "Unknown user"
        NoService,       // the exchange fails
        ContactNotFound, // "Unable to find QSO": the edit reaches a log without it
    };
    const char* Name;
    Kind How;
};

void PrintTo(const TRefusal& r, std::ostream* os) {
    *os << r.Name;
}

class RefusedEdit : public UploadFromMainWindow, public ::testing::WithParamInterface<TRefusal> {};

// A refused edit shows NO: the online log still holds the values it last
// accepted, and the next edit names the contact by those, so the service
// finds it and the validated edit shows YES again.
TEST_P(RefusedEdit, ShowsNoAndTheNextEditIsKeyedByTheAcceptedValues) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    AddContact("YO3ABC", "KN34");
    ASSERT_EQ(Cell(0, 9), QStringLiteral("YES"));

    ClickRow(0);
    Type("YO3ABD", "57", "58", "KN34");
    {
        TLocalService otherLog;
        switch (GetParam().How) {
        case TRefusal::Kind::WrongCode:
            UploadCode = "wrong";
            break;
        case TRefusal::Kind::NoService:
            UseServer(testpeer::RefusedPort());
            break;
        case TRefusal::Kind::ContactNotFound:
            UseServer(otherLog.Port());
            break;
        }
        Click("EditBtn");
        UploadCode = "9999999999";
        UseServer(service.Port());
    }
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Record(0)->Callsign, "YO3ABD");
    EXPECT_EQ(Cell(0, 9), QStringLiteral("NO"));
    EXPECT_EQ(service.Service().Contacts("QQ9XYZ").at(0).Call, "YO3ABC");

    // Selected again, the row shows its own (refused) values; the key is
    // still what the service holds.
    ClickRow(-1);
    ClickRow(0);
    ASSERT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QStringLiteral("YO3ABD"));
    Type("YO3ABE", "57", "58", "KN34");
    Click("EditBtn");
    EXPECT_EQ(StatusLines(), QStringList{"Raspuns server: Validat"});
    EXPECT_EQ(Cell(0, 9), QStringLiteral("YES"));
    const auto bodies = service.Bodies();
    EXPECT_EQ(bodies.back().find("Callsign=QQ9XYZ&CMD=UPDATE&ADIFkey=<call:10>YO3ABC<"), 0u);
    const auto contacts = service.Service().Contacts("QQ9XYZ");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].Call, "YO3ABE");
}

INSTANTIATE_TEST_SUITE_P(UploadFromMainWindow, RefusedEdit,
                         ::testing::Values(TRefusal{"WrongCode", TRefusal::Kind::WrongCode},
                                           TRefusal{"NoService", TRefusal::Kind::NoService},
                                           TRefusal{"ContactNotFound",
                                                    TRefusal::Kind::ContactNotFound}),
                         [](const auto& info) { return std::string(info.param.Name); });

// Closing the main window with contacts the online log lacks: the operator
// is asked once, told how many, and "No" keeps the program open; with none,
// it closes at once.
struct TCloseCase {
    const char* Name;
    int Uploaded, Unsent; // contacts logged with the service up, in DEMO mode
    bool CloseBox;        // the window's close box rather than "Iesire"
    bool AnswerYes;
    const char* Question; // empty: no question
    bool Closes;
};

void PrintTo(const TCloseCase& c, std::ostream* os) {
    *os << c.Name;
}

class ClosingTheProgram : public UploadFromMainWindow,
                          public ::testing::WithParamInterface<TCloseCase> {
protected:
    void TearDown() override {
        Application().ResetTerminated();
        UploadFromMainWindow::TearDown();
    }
};

TEST_P(ClosingTheProgram, AsksOnlyWhenContactsWereNotUploaded) {
    const TCloseCase& c = GetParam();
    TLocalService service;
    UseServer(service.Port());
    Start();
    for (int i = 0; i < c.Uploaded; ++i)
        AddContact("YO3ABC");
    SetDemo(true);
    for (int i = 0; i < c.Unsent; ++i)
        AddContact("YO3ABD");
    std::vector<std::string> questions;
    FAnswerer = std::make_unique<TModalAnswerer>([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        questions.push_back(box->text().toStdString());
        EXPECT_EQ(box->windowTitle(), QStringLiteral("QQ9XYZ Logbook v1.2"));
        box->button(c.AnswerYes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    if (c.CloseBox)
        Form1->close();
    else
        Click("CloseBtn");
    const std::vector<std::string> expected =
        *c.Question ? std::vector<std::string>{c.Question} : std::vector<std::string>{};
    EXPECT_EQ(questions, expected);
    EXPECT_EQ(Form1->isVisible(), !c.Closes);
    EXPECT_EQ(Application().Terminated(), c.Closes);
}

INSTANTIATE_TEST_SUITE_P(
    UploadFromMainWindow, ClosingTheProgram,
    ::testing::Values(
        TCloseCase{"NothingLogged", 0, 0, false, true, "", true},
        TCloseCase{"AllUploaded", 2, 0, true, true, "", true},
        TCloseCase{"TwoUnsentAnsweredNo", 1, 2, false, false,
                   "2 QSO-uri nu au fost trimise pe server (STATUS NO) si se pierd la iesire.\n"
                   "Iesiti oricum?",
                   false},
        TCloseCase{"OneUnsentCloseBoxAnsweredYes", 1, 1, true, true,
                   "1 QSO nu a fost trimis pe server (STATUS NO) si se pierde la iesire.\n"
                   "Iesiti oricum?",
                   true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(UploadFromMainWindow, HttpCli1KeepsWindowsSocketsLoadedAcrossUploads) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    ASSERT_NE(Form1->HttpCli1, nullptr);
    AddContact("YO3ABC");
    ASSERT_EQ(Record(0)->QsoId, "1001");
    // The upload's own client is gone; the form's keeps the library.
    EXPECT_TRUE(platform::testing::ModuleIsLoaded("wsock32.dll"));
    AddContact("YO3ABD");
    EXPECT_EQ(Record(1)->QsoId, "1002");
    EXPECT_TRUE(platform::testing::ModuleIsLoaded("wsock32.dll"));
    // Without the form nothing holds it any more.
    FWindows.reset();
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("wsock32.dll"));
}

} // namespace

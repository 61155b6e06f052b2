// What the operator sees: the status memo's lines after each kind of upload,
// its tab stops and font, the list's rows, the entry row's colours when
// disabled, and the settings dialog's keys and code field.
#include "tests/ui/upload_fixture.h"

#include "framework/qt/datetime_picker.h"
#include "framework/qt/memo.h"
#include "framework/qt/qt_application.h"
#include "upload/procedures.h"

#include <QImage>
#include <QRawFont>
#include <QTextBlock>
#include <QTextLayout>

#include <cmath>

namespace {

using namespace uitest;

// Whether the memo shows its last line whole, with the line before it (the
// last visual line of the block before) whole above it when there is one:
// the two lines a two-line memo can show.
testing::AssertionResult LastLinesInView(QPlainTextEdit* memo) {
    const QTextBlock last = memo->document()->lastBlock();
    QTextCursor cursor(last);
    QRect line = memo->cursorRect(cursor);
    cursor.movePosition(QTextCursor::EndOfBlock);
    line = line.united(memo->cursorRect(cursor));
    QRect previous;
    if (last.previous().isValid()) {
        cursor.setPosition(last.previous().position() + last.previous().length() - 1);
        previous = memo->cursorRect(cursor);
    }
    const QRect viewport = memo->viewport()->rect();
    if (viewport.contains(line) && (previous.isNull() || viewport.contains(previous)))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "last line \"" << last.text().toStdString() << "\" at y " << line.top() << ".."
           << line.bottom() << ", the line before at y " << previous.top() << ".."
           << previous.bottom() << ", viewport 0.." << viewport.bottom();
}

class StatusMemo : public EntryFixture {
protected:
    TMemo* Memo1() { return Main<TMemo>("Memo1"); }
};

// Each way the upload procedures end: the last line they wrote is the one the
// operator reads, whole, at the bottom of the two-line memo.
TEST_F(StatusMemo, LastLineIsWhollyVisibleAfterAddEditResendAndFailure) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    Main<QComboBox>("BandCombo")->setCurrentText(QStringLiteral("160m"));
    Main<QComboBox>("ModCombo")->setCurrentText(QStringLiteral("PSK31"));
    Type("YO9ABC/P", "599", "599", "KN37AB");
    Click("AdaugaBtn");
    ASSERT_EQ(MemoLines().last(), QStringLiteral("Raspuns server: Validat"));
    EXPECT_TRUE(LastLinesInView(Memo1()));

    ClickRow(0);
    Type("YO9ABD/P", "599", "599", "KN37AB");
    Click("EditBtn");
    ASSERT_EQ(MemoLines().last(), QStringLiteral("Raspuns server: Validat"));
    EXPECT_TRUE(LastLinesInView(Memo1()));

    // A re-send of a contact with an identifier only adds two lines.
    ASSERT_EQ(List()->FirstSelectedRow(), 0);
    Form1->UploadServer1->trigger();
    ASSERT_EQ(MemoLines().last(), QStringLiteral("QSO existent pe server"));
    EXPECT_TRUE(LastLinesInView(Memo1()));
    Form1->UploadServer1->trigger();
    ASSERT_EQ(MemoLines().size(), 6);
    EXPECT_TRUE(LastLinesInView(Memo1()));

    // Failed exchanges: an edit, then an add.
    service.Stop();
    ClickRow(-1);
    ClickRow(0);
    Click("EditBtn");
    ASSERT_EQ(MemoLines().last(), QStringLiteral("Conexiune Internet inexistenta"));
    EXPECT_TRUE(LastLinesInView(Memo1()));
    AddContact("YO9ABE");
    ASSERT_EQ(MemoLines().last(), QStringLiteral("Conexiune Internet inexistenta"));
    EXPECT_TRUE(LastLinesInView(Memo1()));
    // Each box came after its line, which was in view already.
    ASSERT_EQ(Boxes.size(), 2u);
}

// A contact as long as the entry row takes it: every band and mode with
// 3-character reports and a 6-character locator.
TLogbookData LongContact(const char* callsign, const char* band, const char* mode) {
    TLogbookData r;
    r.QsoDate = PinnedUtc();
    r.QsoTime = PinnedUtc();
    r.Callsign = callsign;
    r.Rx = "599";
    r.Tx = "599";
    r.Locator = "KN37AB";
    r.Band = band;
    r.Mode = mode;
    return r;
}

const char* const kBands[] = {"160m", "80m", "40m", "20m", "17m",  "15m",
                              "12m",  "10m", "6m",  "2m",  "70cm", "23cm"};
const char* const kModes[] = {"CW", "FM", "PSK31", "RTTY", "SSB"};

TEST_F(StatusMemo, TabStopsAreEightAverageCharactersOfItsBoldFont) {
    TTestWindows windows;
    TMemo* memo = Memo1();
    // Tahoma Bold 8 averages 7 pixels a letter: stops every 56 pixels,
    // where Qt's default would be every 80.
    EXPECT_EQ(AverageCharWidth(memo->font()), 7);
    EXPECT_EQ(memo->tabStopDistance(), 56);

    Form1->ShowQsoSummary(LongContact("YO9ABC", "160m", "PSK31"));
    const QTextBlock summary = memo->document()->firstBlock();
    const QString text = summary.text();
    ASSERT_EQ(text.count(QLatin1Char('\t')), 7);
    const QTextLine line = summary.layout()->lineAt(0);
    for (qsizetype i = text.indexOf(QLatin1Char('\t')); i >= 0;
         i = text.indexOf(QLatin1Char('\t'), i + 1)) {
        const qreal x = line.cursorToX(static_cast<int>(i + 1)) - line.cursorToX(0);
        EXPECT_EQ(std::fmod(x, 56.0), 0.0) << "field after tab " << i << " at " << x;
    }
}

// Summaries of every band and mode with 3-character reports and a
// 6-character locator. With the usual callsigns they fit on one line. A
// callsign wider than about 52 pixels (8 characters with wide letters, the
// 12 of portable operation abroad) moves the fields after it one tab stop
// on, and the last ones over the memo's edge, as Tahoma Bold's widths do on
// Windows: the summary wraps, and the answer below it stays in view.
TEST_F(StatusMemo, UsualSummariesFitOnOneLineAndTheAnswerStaysInViewAfterLongOnes) {
    TTestWindows windows;
    Form1->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1));
    TMemo* memo = Memo1();
    const struct {
        const char* Callsign;
        bool OneLine;
    } cases[] = {{"YO9ABC", true},       {"DL1MWW", true},        {"YO9ABC/P", true},
                 {"DL1MWW/P", false},    {"OH0/DL1ABC/P", false}, {"VK9/DL1MWW/P", false},
                 {"YO/DL1ABC/MM", false}};
    for (const auto& c : cases)
        for (const char* band : kBands)
            for (const char* mode : kModes) {
                Form1->ShowQsoSummary(LongContact(c.Callsign, band, mode));
                const int lines = memo->document()->firstBlock().layout()->lineCount();
                EXPECT_EQ(lines == 1, c.OneLine) << c.Callsign << " " << band << " " << mode;
                EXPECT_LE(lines, 2) << c.Callsign << " " << band << " " << mode;
                memo->AddLine(QStringLiteral("Raspuns server: Validat"));
                EXPECT_TRUE(LastLinesInView(memo)) << c.Callsign << " " << band << " " << mode;
            }
}

TEST(Fonts, BoldIsARealBoldFaceWithTahomaBoldsMetrics) {
    TestApp();
    const QFont regular = TahomaFont(11);
    const QFont bold = TahomaFont(11, true);
    const QRawFont boldFace = QRawFont::fromFont(bold);
    EXPECT_TRUE(boldFace.styleName().contains(QStringLiteral("Bold")))
        << boldFace.styleName().toStdString();
    // Drawn bold, not regular outlines spaced as bold: the stem of an "l" is
    // thicker than the regular face's.
    const QRawFont regularFace = QRawFont::fromFont(regular);
    auto stem = [](const QRawFont& face) {
        return face.boundingRect(face.glyphIndexesForString(QStringLiteral("l")).value(0)).width();
    };
    EXPECT_GT(stem(boldFace), stem(regularFace) * 1.3);
    // Tahoma 8's dialog base units are 6 by 13 pixels, 7 by 13 in bold.
    EXPECT_EQ(AverageCharWidth(regular), 6);
    EXPECT_EQ(WindowsTextHeight(regular), 13);
    EXPECT_EQ(AverageCharWidth(bold), 7);
    EXPECT_EQ(WindowsTextHeight(bold), 13);
    // The status memo is written in it.
    TTestWindows windows;
    EXPECT_EQ(QRawFont::fromFont(Child<QWidget>(Form1, "Memo1")->font()).familyName(),
              boldFace.familyName());
}

TEST(ReportList, RowsAreALineOfTahoma8AndAPixelHigh) {
    TTestWindows windows;
    Form1->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1));
    Form2->SetDemoMode(true);
    Form1->AdaugaBtnClick();
    Form1->AdaugaBtnClick();
    auto* list = Child<TListView>(Form1, "ListView1");
    const QRect first = list->visualRect(list->model()->index(0, 0));
    const QRect second = list->visualRect(list->model()->index(1, 0));
    EXPECT_EQ(first.height(), 14);
    EXPECT_EQ(second.top() - first.top(), 14);
}

class SettingsDialogKeys : public EntryFixture {};

TEST_F(SettingsDialogKeys, EscDoesNothingWhileCancelIsDisabledAndCancelsOnceItIsEnabled) {
    FWindows = std::make_unique<TTestWindows>();
    auto* code = Child<QLineEdit>(Form2, "Edit2");
    bool openAfterEsc = false;
    FAnswerer = std::make_unique<TModalAnswerer>([&](QWidget* modal) {
        ASSERT_EQ(modal, Form2);
        ASSERT_FALSE(Child<QPushButton>(Form2, "Button4")->isEnabled());
        QTest::keyClick(code, Qt::Key_Escape);
        openAfterEsc = Form2->isVisible();
        QTest::keyClick(code, Qt::Key_Return); // "Salveaza"
    });
    Form1->show();
    ASSERT_TRUE(WaitFor([&] { return FAnswerer->Count() == 1 && !Form2->isVisible(); }));
    EXPECT_TRUE(openAfterEsc);
    EXPECT_EQ(Form1->StationCallsign, "QQ9XYZ");

    // With a callsign stored, Cancel is enabled and Esc presses it.
    FAnswerer = std::make_unique<TModalAnswerer>([&](QWidget*) {
        code->setText(QStringLiteral("changed"));
        QTest::keyClick(code, Qt::Key_Escape);
    });
    Click("SetariBtn");
    EXPECT_EQ(FAnswerer->Count(), 1);
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_EQ(UploadCode, "9999999999");
}

TEST_F(SettingsDialogKeys, UploadCodeIsSelectedAtEveryShowingSoTypingReplacesIt) {
    FWindows = std::make_unique<TTestWindows>();
    auto* code = Child<QLineEdit>(Form2, "Edit2");
    QStringList selected;
    // Reads what is selected when the focus is in the field, then types a
    // code and Enter.
    auto typeCode = [&](const char* typed) {
        return std::make_unique<TModalAnswerer>([&, typed](QWidget*) {
            WaitFor([&] { return QApplication::focusWidget() == code; });
            selected << code->selectedText();
            QTest::keyClicks(code, QString::fromLatin1(typed));
            QTest::keyClick(code, Qt::Key_Return);
        });
    };
    FAnswerer = typeCode("1234");
    Form1->show();
    ASSERT_TRUE(WaitFor([&] { return FAnswerer->Count() == 1 && !Form2->isVisible(); }));
    EXPECT_EQ(UploadCode, "1234");
    FAnswerer = typeCode("5678");
    Click("SetariBtn");
    EXPECT_EQ(UploadCode, "5678");
    EXPECT_EQ(selected, (QStringList{"9999999999", "1234"}));
}

// Disabled pickers show the system's disabled colours, not the colour of the
// row's state: here after an edit in real-time mode, which left the sky blue
// of the editing state for the window colour and disabled the pickers.
class EntryColours : public EntryFixture {};

TEST_F(EntryColours, DisabledControlsTakeTheSystemsDisabledColours) {
    Start();
    SetDemo(true);
    AddContact("YO9ABC");
    ClickRow(0);
    Click("EditBtn");
    ASSERT_FALSE(Main("DatePicker")->isEnabled());
    ASSERT_TRUE(Main("EditIndicativ")->isEnabled());

    const QPalette system = QApplication::palette();
    const QColor disabledBase = system.color(QPalette::Disabled, QPalette::Base);
    ASSERT_NE(disabledBase, SystemColor(TSystemColor::clWindow));
    for (const char* name : {"DatePicker", "OraPicker"}) {
        QWidget* picker = Main(name);
        EXPECT_EQ(picker->palette().color(QPalette::Disabled, QPalette::Base), disabledBase)
            << name;
        EXPECT_EQ(picker->palette().color(QPalette::Disabled, QPalette::Text),
                  system.color(QPalette::Disabled, QPalette::Text))
            << name;
        // What is painted: the field's empty right end, left of the arrows.
        const QImage shot = picker->grab().toImage();
        EXPECT_EQ(shot.pixelColor(shot.width() - 24, shot.height() / 2), disabledBase) << name;
    }
    const QImage callsign = Main("EditIndicativ")->grab().toImage();
    EXPECT_EQ(callsign.pixelColor(callsign.width() - 6, callsign.height() / 2),
              SystemColor(TSystemColor::clWindow));
}

} // namespace

// The entry row of the main window driven offscreen: adding in DEMO mode,
// selecting, editing, clearing, the two states and their colours, Enter
// navigation and where the focus goes.
#include "tests/ui/upload_fixture.h"

#include "framework/qt/datetime_picker.h"
#include "framework/qt/qt_application.h"

#include <QLabel>

#include <cmath>

namespace {

using namespace uitest;

const QColor kSkyBlue(166, 202, 240);

class EntryRow : public EntryFixture {
protected:
    QStringList ColouredAs(const QColor& colour) {
        QStringList wrong;
        for (const char* name : kColouredControls)
            if (Background(name) != colour)
                wrong << QString::fromLatin1(name);
        return wrong;
    }
    // Two contacts in DEMO mode: nothing goes out.
    void AddTwo() {
        SetDemo(true);
        Type("YO3AAA", "55", "57", "KN34");
        Main<QComboBox>("BandCombo")->setCurrentText(QStringLiteral("40m"));
        Main<QComboBox>("ModCombo")->setCurrentText(QStringLiteral("CW"));
        Click("AdaugaBtn");
        Type("YO3BBB", "51", "52", "KN25");
        Main<QComboBox>("BandCombo")->setCurrentText(QStringLiteral("20m"));
        Main<QComboBox>("ModCombo")->setCurrentText(QStringLiteral("SSB"));
        Click("AdaugaBtn");
        ASSERT_EQ(Form1->Logbook().Count(), 2);
    }
};

TEST_F(EntryRow, DemoAddNumbersContactsSendsNothingAndResetsTheRow) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    SetDemo(true);
    Main<QComboBox>("BandCombo")->setCurrentText(QStringLiteral("40m"));
    Type("YO3ABC", "55", "57", "KN34");
    Click("AdaugaBtn");
    Type("", "", "", "");
    Click("AdaugaBtn");

    ASSERT_EQ(Form1->Logbook().Count(), 2);
    EXPECT_EQ(Record(0)->Id, 0);
    EXPECT_EQ(Record(1)->Id, 1);
    EXPECT_EQ(Cell(0, 0), QStringLiteral("0000"));
    EXPECT_EQ(Cell(0, 1), QStringLiteral("10/03/2024"));
    EXPECT_EQ(Cell(0, 2), QStringLiteral("13:30:05"));
    EXPECT_EQ(Cell(0, 3), QStringLiteral("YO3ABC"));
    EXPECT_EQ(Cell(0, 4), QStringLiteral("55"));
    EXPECT_EQ(Cell(0, 5), QStringLiteral("57"));
    EXPECT_EQ(Cell(0, 7), QStringLiteral("40m"));
    EXPECT_EQ(Cell(0, 9), QStringLiteral("NO"));
    EXPECT_EQ(Cell(0, 10), QString());
    // Nothing is validated: the empty second contact is stored as it is.
    EXPECT_EQ(Record(1)->Callsign, "");
    EXPECT_EQ(Record(1)->Rx, "");
    EXPECT_EQ(std::floor(Record(0)->QsoDate), EncodeDate(2024, 3, 10));
    EXPECT_EQ(Record(0)->QsoTime, PinnedUtc());

    // The summary alone, no status line; the trace has its two lines per add.
    EXPECT_EQ(Memo("Memo1")->toPlainText(),
              QStringLiteral("QSO -> : Data: 10/03/2024\tOra: 13:30:05\tIndicativ: \tRX: \tTX: "
                             "\tLocator: \tBanda: 40m\tMod: SSB"));
    const QStringList trace = MemoLines("DebugMemo");
    ASSERT_EQ(trace.size(), 4);
    EXPECT_EQ(trace[0], QStringLiteral("----- ADD QSO -----"));
    EXPECT_TRUE(trace[1].startsWith(QStringLiteral("ADIF Data trimis -> Callsign=QQ9XYZ&")));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(service.Bodies().empty());

    // Ready for the next contact: callsign empty, reports 59, the rest kept.
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QString());
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("40m"));
    EXPECT_SOON(FocusedControl(Form1) == Main("EditIndicativ"));
}

TEST_F(EntryRow, AddOutsideRealTimeReturnsFocusToTheDateAndKeepsTheLocator) {
    Start(false);
    SetDemo(true);
    auto* date = Main<TDateTimePicker>("DatePicker");
    date->SetDateTime(EncodeDate(2011, 7, 8) + EncodeTime(1, 2, 3, 0));
    Type("YO3ABC", "55", "57", "KN34");
    Click("AdaugaBtn");
    EXPECT_EQ(Record(0)->QsoDate, EncodeDate(2011, 7, 8) + EncodeTime(1, 2, 3, 0));
    EXPECT_EQ(Main<QLineEdit>("EditLocator")->text(), QStringLiteral("KN34"));
    EXPECT_SOON(FocusedControl(Form1) == Main("DatePicker"));
}

TEST_F(EntryRow, SelectingARowLoadsItColoursTheRowAndTakesTheSnapshot) {
    Start();
    AddTwo();
    // The window colour in the new-contact state.
    EXPECT_EQ(ColouredAs(SystemColor(TSystemColor::clWindow)), QStringList());
    Record(0)->QsoId = "777";

    ClickRow(0);
    EXPECT_FALSE(Form1->RealTimeMode);
    EXPECT_EQ(ColouredAs(kSkyBlue), QStringList());
    EXPECT_FALSE(Main("AdaugaBtn")->isEnabled());
    EXPECT_TRUE(Main("EditBtn")->isEnabled());
    EXPECT_TRUE(Main("DatePicker")->isEnabled());
    EXPECT_TRUE(Main("OraPicker")->isEnabled());
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QStringLiteral("YO3AAA"));
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("55"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("57"));
    EXPECT_EQ(Main<QLineEdit>("EditLocator")->text(), QStringLiteral("KN34"));
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("40m"));
    EXPECT_EQ(Main<QComboBox>("ModCombo")->currentText(), QStringLiteral("CW"));
    EXPECT_EQ(Main<TDateTimePicker>("OraPicker")->DateTime(), PinnedUtc());

    const TLogbookData& snap = *Form1->SelectedSnapshot;
    EXPECT_EQ(snap.Callsign, "YO3AAA");
    EXPECT_EQ(snap.Locator, "KN34");
    EXPECT_EQ(snap.Band, "40m");
    EXPECT_EQ(snap.Mode, "CW");
    EXPECT_EQ(snap.QsoId, "777");
    EXPECT_EQ(snap.QsoTime, PinnedUtc());
    // Id and Uploaded are never copied.
    EXPECT_EQ(snap.Id, -1);
    EXPECT_EQ(snap.Uploaded, 0);
    // The focus stays in the list. The window takes the activation back from
    // the settings dialog only when the platform gets round to it, so the
    // list is the application's focus widget from then on.
    EXPECT_SOON(FocusedControl(Form1) == List());
}

TEST_F(EntryRow, SelectingBAfterALeavesBInTheRowAndTheSnapshot) {
    Start();
    AddTwo();
    std::vector<std::pair<int, bool>> told;
    auto forward = List()->OnSelectItem;
    List()->OnSelectItem = [&](int row, bool selected) {
        told.emplace_back(row, selected);
        forward(row, selected);
    };
    ClickRow(0);
    ClickRow(1);
    const std::vector<std::pair<int, bool>> expected = {{0, true}, {0, false}, {1, true}};
    EXPECT_EQ(told, expected);
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QStringLiteral("YO3BBB"));
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("20m"));
    EXPECT_EQ(Form1->SelectedSnapshot->Callsign, "YO3BBB");
    EXPECT_EQ(Form1->SelectedSnapshot->Locator, "KN25");
}

TEST_F(EntryRow, UnselectingKeepsEditingAndEditeazaThenStoresNothing) {
    TLocalService service;
    UseServer(service.Port());
    Start();
    AddTwo();
    SetDemo(false);
    ClickRow(1);
    ClickRow(-1); // an empty part of the list
    ASSERT_EQ(List()->FirstSelectedRow(), -1);
    // Still the editing state, showing the row that lost the selection.
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QStringLiteral("YO3BBB"));
    EXPECT_FALSE(Main("AdaugaBtn")->isEnabled());
    EXPECT_EQ(ColouredAs(kSkyBlue), QStringList());

    Type("CHANGED");
    Click("EditBtn");
    EXPECT_EQ(Record(1)->Callsign, "YO3BBB");
    EXPECT_TRUE(service.Bodies().empty());
    // Back to the new-contact state, following the ticked real-time box.
    EXPECT_TRUE(Main("AdaugaBtn")->isEnabled());
    EXPECT_FALSE(Main("EditBtn")->isEnabled());
    EXPECT_EQ(ColouredAs(SystemColor(TSystemColor::clWindow)), QStringList());
    EXPECT_TRUE(Form1->RealTimeMode);
    EXPECT_FALSE(Main("DatePicker")->isEnabled());
    EXPECT_FALSE(Main("OraPicker")->isEnabled());
    EXPECT_EQ(Main<TDateTimePicker>("DatePicker")->DateTime(), PinnedUtc());
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QString());
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditLocator")->text(), QString());
    // Band and mode stay those of the contact shown, defaults for the next.
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("20m"));
    EXPECT_SOON(FocusedControl(Form1) == Main("EditIndicativ"));
}

TEST_F(EntryRow, EditeazaReadsTheUntickedBoxEvenAfterCancel) {
    Start();
    AddTwo();
    ClickRow(0);
    // Unticked in the dialog, which is then cancelled: the box still counts.
    Child<QCheckBox>(Form2, "TimeBox")->setChecked(false);
    Click("EditBtn");
    EXPECT_FALSE(Form1->RealTimeMode);
    EXPECT_TRUE(Main("DatePicker")->isEnabled());
    EXPECT_TRUE(Main("OraPicker")->isEnabled());
    EXPECT_SOON(FocusedControl(Form1) == Main("DatePicker"));
}

TEST_F(EntryRow, SergeClearsTheFourFieldsAndNothingElse) {
    Start();
    AddTwo();
    ClickRow(0);
    Main<QCheckBox>("QSLCheckBox")->setChecked(true);
    Click("StergeBtn");
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QString());
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditLocator")->text(), QString());
    // The editing state stays, with the contact's band and mode.
    EXPECT_EQ(ColouredAs(kSkyBlue), QStringList());
    EXPECT_FALSE(Main("AdaugaBtn")->isEnabled());
    EXPECT_TRUE(Main("EditBtn")->isEnabled());
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("40m"));
    EXPECT_EQ(Record(0)->Callsign, "YO3AAA");
    EXPECT_TRUE(Main<QCheckBox>("QSLCheckBox")->isChecked());
    // Outside real-time mode now: the focus ends on the date picker.
    EXPECT_SOON(FocusedControl(Form1) == Main("DatePicker"));
}

TEST_F(EntryRow, EnterWalksToAdaugaAndTheSecondEnterAdds) {
    Start();
    SetDemo(true);
    EXPECT_SOON(FocusedControl(Form1) == Main("EditIndicativ"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("YO3XYZ"));
    QStringList seen;
    for (int i = 0; i < 4; ++i) {
        PressKey(Qt::Key_Return);
        QWidget* control = FocusedControl(Form1);
        seen << (control ? control->objectName() : QStringLiteral("?"));
    }
    EXPECT_EQ(seen, (QStringList{"EditRX", "EditTX", "EditLocator", "AdaugaBtn"}));
    EXPECT_EQ(Form1->Logbook().Count(), 0);
    PressKey(Qt::Key_Return);
    ASSERT_EQ(Form1->Logbook().Count(), 1);
    EXPECT_EQ(Record(0)->Callsign, "YO3XYZ");
    // The Enters never reached the fields.
    EXPECT_EQ(Record(0)->Rx, "59");
    EXPECT_EQ(Record(0)->Locator, "");
}

// A held Enter repeats its key press, marked as a repeat or (as X does) as a
// release and a press of the same instant; only the first press acts, so
// holding it neither runs through the row nor adds a contact at every repeat.
class HeldEnter : public EntryRow, public ::testing::WithParamInterface<bool> {
protected:
    void Hold() {
        const bool markedAsRepeat = GetParam();
        const auto send = [](QEvent::Type type, quint64 at, bool repeat) {
            QKeyEvent key(type, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), repeat);
            key.setTimestamp(at);
            QApplication::sendEvent(QApplication::focusWidget(), &key);
        };
        send(QEvent::KeyPress, 1000, false);
        for (quint64 at = 1600; at < 2000; at += 40) {
            if (!markedAsRepeat)
                send(QEvent::KeyRelease, at, false);
            send(QEvent::KeyPress, at, markedAsRepeat);
        }
        send(QEvent::KeyRelease, 2000, false);
    }
};

TEST_P(HeldEnter, ActsOnce) {
    Start();
    SetDemo(true);
    EXPECT_SOON(FocusedControl(Form1) == Main("EditIndicativ"));
    Hold();
    EXPECT_EQ(FocusedControl(Form1), Main("EditRX"));
    Main("AdaugaBtn")->setFocus();
    EXPECT_SOON(FocusedControl(Form1) == Main("AdaugaBtn"));
    Hold();
    EXPECT_EQ(Form1->Logbook().Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(EntryRow, HeldEnter, ::testing::Values(true, false), [](const auto& info) {
    return info.param ? "MarkedAsRepeat" : "ReleasedAndPressedAtOnce";
});

TEST_F(EntryRow, EnterPathEndsAtEditeazaWhileEditing) {
    Start();
    AddTwo();
    ClickRow(0);
    Main("EditLocator")->setFocus();
    EXPECT_SOON(FocusedControl(Form1) == Main("EditLocator"));
    PressKey(Qt::Key_Return);
    EXPECT_EQ(FocusedControl(Form1), Main("EditBtn"));
}

// Real time applied while a listed contact is being edited does not re-time
// it: the pickers keep showing the contact through the clock's ticks, and
// real time takes over when "Editeaza" ends the editing.
TEST_F(EntryRow, RealTimeAppliedWhileEditingLeavesTheContactsTimeUntilEditeaza) {
    Start();
    AddTwo();
    ClickRow(0);
    ASSERT_FALSE(Form1->RealTimeMode);
    const TLogbookData before = *Record(0);
    // An hour later the settings are applied with the real-time box ticked.
    const TDateTime later = PinnedUtc() + EncodeTime(1, 0, 0, 0);
    PinClock(PinnedLocal() + EncodeTime(1, 0, 0, 0), -120);
    // A fresh answerer: the first one may not have seen the prompt close.
    FAnswerer = std::make_unique<TModalAnswerer>([](QWidget* modal) {
        Child<QCheckBox>(Form2, "TimeBox")->setChecked(true);
        static_cast<QDialog*>(modal)->accept();
    });
    Click("SetariBtn");
    EXPECT_EQ(FAnswerer->Count(), 1);
    EXPECT_EQ(MemoLines(), QStringList{"Setare noua -> Indicativ: QQ9XYZ - Mod: Timp Real"});
    // A tick has passed: the panel reads the later time, the pickers do not.
    EXPECT_WITHIN(3000, Main<QLabel>("Panel1")->text() == QStringLiteral("14:30:05"));
    EXPECT_FALSE(Form1->RealTimeMode);
    EXPECT_TRUE(Main("DatePicker")->isEnabled());
    EXPECT_TRUE(Main("OraPicker")->isEnabled());
    EXPECT_EQ(Main<TDateTimePicker>("DatePicker")->DateTime(), before.QsoDate);
    EXPECT_EQ(Main<TDateTimePicker>("OraPicker")->DateTime(), before.QsoTime);
    EXPECT_EQ(ColouredAs(kSkyBlue), QStringList());
    EXPECT_FALSE(Main("AdaugaBtn")->isEnabled());

    Click("EditBtn");
    EXPECT_EQ(Record(0)->QsoDate, before.QsoDate);
    EXPECT_EQ(Record(0)->QsoTime, before.QsoTime);
    EXPECT_EQ(Record(0)->Callsign, "YO3AAA");
    // Back to a new contact: now the pickers follow the clock.
    EXPECT_TRUE(Form1->RealTimeMode);
    EXPECT_FALSE(Main("DatePicker")->isEnabled());
    EXPECT_EQ(Main<TDateTimePicker>("OraPicker")->DateTime(), later);
}

// Each picker is one tab stop, as on Windows: Tab and Shift+Tab leave it at
// once, whichever section is current; Left and Right step through sections.
TEST_F(EntryRow, EachPickerIsOneTabStopAndArrowsWalkItsSections) {
    Start(false);
    auto* date = Main<TDateTimePicker>("DatePicker");
    EXPECT_SOON(FocusedControl(Form1) == date);
    PressKey(Qt::Key_Right);
    EXPECT_EQ(date->currentSection(), QDateTimeEdit::MonthSection);
    QStringList seen;
    for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_Backtab}) {
        PressKey(key);
        QWidget* control = FocusedControl(Form1);
        seen << (control ? control->objectName() : QStringLiteral("?"));
    }
    EXPECT_EQ(seen, (QStringList{"OraPicker", "BandCombo", "OraPicker", "DatePicker"}));
    auto* time = Main<TDateTimePicker>("OraPicker");
    time->setFocus(Qt::TabFocusReason);
    PressKey(Qt::Key_Right);
    PressKey(Qt::Key_Right);
    EXPECT_EQ(time->currentSection(), QDateTimeEdit::SecondSection);
    PressKey(Qt::Key_Backtab);
    EXPECT_EQ(FocusedControl(Form1), date);
}

// What the operator types into a picker of the entry row, and what the
// picker then shows and the contact added next carries.
struct TTypedCase {
    const char* Name;
    const char* Picker;
    const char* Typed;
    const char* Shown;
    TDateTime Value; // the date, or the time of day
};

void PrintTo(const TTypedCase& c, std::ostream* os) {
    *os << c.Name;
}

class TypedIntoPicker : public EntryRow, public ::testing::WithParamInterface<TTypedCase> {};

TEST_P(TypedIntoPicker, GivesWhatWasTyped) {
    const TTypedCase& c = GetParam();
    Start(false);
    SetDemo(true);
    auto* picker = Main<TDateTimePicker>(c.Picker);
    // A February day before, so a typed 31st must wait for its month.
    picker->SetDateTime(EncodeDate(2011, 2, 3) + EncodeTime(1, 2, 3, 0));
    picker->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(WaitFor([&] { return FocusedControl(Form1) == picker; }));
    // As a keyboard types: Shift goes down on its own before ":".
    for (const char ch : std::string(c.Typed)) {
        QWidget* target = QApplication::focusWidget();
        if (ch == ':') {
            QTest::keyPress(target, Qt::Key_Shift);
            QTest::keyClick(target, ch, Qt::ShiftModifier);
            QTest::keyRelease(target, Qt::Key_Shift);
        } else {
            QTest::keyClick(target, ch);
        }
    }
    Click("AdaugaBtn");
    EXPECT_EQ(picker->text(), QString::fromLatin1(c.Shown));
    ASSERT_EQ(Form1->Logbook().Count(), 1);
    const bool isDate = std::string(c.Picker) == "DatePicker";
    const TDateTime stored = isDate ? Record(0)->QsoDate : Record(0)->QsoTime;
    const TDateTime part = isDate ? std::floor(stored) : stored - std::floor(stored);
    EXPECT_NEAR(part, c.Value, 1e-9) << FormatDateTime("DD/MM/YYYY HH:NN:SS", stored);
}

const TTypedCase kTypedCases[] = {
    {"TimeWithColons", "OraPicker", "12:05:00", "12:05:00", EncodeTime(12, 5, 0, 0)},
    {"TimeWithDots", "OraPicker", "12.05.00", "12:05:00", EncodeTime(12, 5, 0, 0)},
    {"TimeDigitsOnly", "OraPicker", "120500", "12:05:00", EncodeTime(12, 5, 0, 0)},
    {"TimeOneDigitHour", "OraPicker", "9:05:00", "09:05:00", EncodeTime(9, 5, 0, 0)},
    {"TimeShortSections", "OraPicker", "7:5:9", "07:05:09", EncodeTime(7, 5, 9, 0)},
    {"TimeHourOfTwoDigitsFromOne", "OraPicker", "1:30:00", "01:30:00", EncodeTime(1, 30, 0, 0)},
    {"DateWithSlashes", "DatePicker", "08/12/2026", "08/12/2026", EncodeDate(2026, 12, 8)},
    {"DateWithDots", "DatePicker", "08.12.2026", "08/12/2026", EncodeDate(2026, 12, 8)},
    {"DateWithDashes", "DatePicker", "08-12-2026", "08/12/2026", EncodeDate(2026, 12, 8)},
    {"DateDigitsOnly", "DatePicker", "08122026", "08/12/2026", EncodeDate(2026, 12, 8)},
    {"DateOneDigitDayAndMonth", "DatePicker", "8/5/2026", "08/05/2026", EncodeDate(2026, 5, 8)},
    {"DateThirtyFirstBeforeItsMonth", "DatePicker", "31/12/2025", "31/12/2025",
     EncodeDate(2025, 12, 31)},
    {"DateTwoDigitYear", "DatePicker", "08/12/26", "08/12/2026", EncodeDate(2026, 12, 8)},
};

INSTANTIATE_TEST_SUITE_P(EntryRow, TypedIntoPicker, ::testing::ValuesIn(kTypedCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace

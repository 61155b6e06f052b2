// The program's windows driven offscreen: start-up, the settings prompt and
// its flow, the clock, focus and Enter navigation, the error box.
#include "tests/ui/ui_test_support.h"

#include "core/settings.h"
#include "framework/application.h"
#include "framework/qt/datetime_picker.h"
#include "framework/qt/list_view.h"
#include "framework/qt/message_box.h"
#include "platform/win32/testing.h"
#include "tests/support/pinned_clock.h"
#include "ui/Log.h"
#include "ui/Setari.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

const char* const kTitle = "QQ9XYZ Logbook v1.0.4.1 Beta";
const char* const kAppTitle = "QQ9XYZ Logbook v1.2";

// 10 March 2024, 15:30:05.250 local time in a zone two hours east.
TDateTime LocalNow() {
    return EncodeDate(2024, 3, 10) + EncodeTime(15, 30, 5, 250);
}
TDateTime UtcNowThere() {
    return EncodeDate(2024, 3, 10) + EncodeTime(13, 30, 5, 250);
}

// The clock is pinned before the windows exist: their creation reads it.
struct TPinnedClock {
    TPinnedClock() { PinClock(LocalNow(), -120); }
    ~TPinnedClock() { UnpinClock(); }
};

class MainWindowTest : public ::testing::Test {
protected:
    template <class T = QWidget> T* Main(const char* name) {
        T* w = Child<T>(Form1, name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    template <class T = QWidget> T* Settings(const char* name) {
        T* w = Child<T>(Form2, name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    // Shows the main window and lets `answer` handle the settings prompt.
    void StartWithPrompt(std::function<void(QDialog*)> answer) {
        FAnswerer = std::make_unique<TModalAnswerer>([answer](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            answer(dialog);
        });
        Form1->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1));
        ASSERT_TRUE(WaitFor([&] { return FAnswerer->Count() == 1 && !Form2->isVisible(); }));
    }

    TPinnedClock FClock;
    TTestWindows FWindows;
    std::unique_ptr<TModalAnswerer> FAnswerer;
};

QString MemoText(QWidget* memo) {
    return static_cast<QPlainTextEdit*>(memo)->toPlainText();
}

} // namespace

TEST_F(MainWindowTest, CaptionIsVersionTitleWhileMessageBoxesCarryApplicationTitle) {
    EXPECT_EQ(Form1->windowTitle(), QString::fromLatin1(kTitle));
    EXPECT_EQ(Form2->windowTitle(), QString::fromLatin1(kTitle));
    EXPECT_EQ(Form1->size(), QSize(851, 385));

    QString caption, text;
    int buttons = 0;
    TModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        buttons = static_cast<int>(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
    ShowMessage("Verificati Upload Code");
    EXPECT_EQ(caption, QString::fromLatin1(kAppTitle));
    EXPECT_EQ(text, QStringLiteral("Verificati Upload Code"));
    EXPECT_EQ(buttons, 1);
}

TEST_F(MainWindowTest, SettingsPromptOpensOnceByItselfCentredWithCancelDisabled) {
    QElapsedTimer sinceShow;
    sinceShow.start();
    qint64 openedAfter = -1;
    QPoint dialogCentre, screenCentre;
    bool cancelEnabled = true;
    QString focused;
    StartWithPrompt([&](QDialog* dialog) {
        openedAfter = sinceShow.elapsed();
        dialogCentre = dialog->frameGeometry().center();
        screenCentre = dialog->screen()->geometry().center();
        cancelEnabled = Settings<QPushButton>("Button4")->isEnabled();
        if (WaitFor([] { return QApplication::focusWidget() != nullptr; }))
            focused = QApplication::focusWidget()->objectName();
        dialog->close();
    });
    EXPECT_GE(openedAfter, 90);
    EXPECT_LT(openedAfter, 1000);
    EXPECT_LE((dialogCentre - screenCentre).manhattanLength(), 2);
    EXPECT_FALSE(cancelEnabled);
    EXPECT_EQ(focused, QStringLiteral("Edit2"));

    // The prompt's timer stopped itself; a while later nothing has come back.
    EXPECT_FALSE(Form1->Timer2->isActive());
    QTest::qWait(300);
    EXPECT_EQ(FAnswerer->Count(), 1);
}

TEST_F(MainWindowTest, EnterInPromptAppliesClubCallsignMaskedCodeAndRealTime) {
    QString callsign, shownCode;
    bool realTime = false, demo = true;
    StartWithPrompt([&](QDialog*) {
        callsign = Settings<QComboBox>("ComboBox1")->currentText();
        shownCode = Settings<QLineEdit>("Edit2")->displayText();
        realTime = Settings<QCheckBox>("TimeBox")->isChecked();
        demo = Settings<QCheckBox>("InternetBox")->isChecked();
        PressKey(Qt::Key_Return);
    });
    EXPECT_EQ(callsign, QStringLiteral("QQ9XYZ"));
    EXPECT_EQ(shownCode, QStringLiteral("**********"));
    EXPECT_TRUE(realTime);
    EXPECT_FALSE(demo);

    EXPECT_EQ(Form1->StationCallsign, "QQ9XYZ");
    EXPECT_EQ(UploadCode, "9999999999");
    EXPECT_TRUE(Form1->RealTimeMode);
    EXPECT_EQ(MemoText(Main("Memo1")),
              QStringLiteral("Setare noua -> Indicativ: QQ9XYZ - Mod: Timp Real"));
    EXPECT_FALSE(Main("DatePicker")->isEnabled());
    EXPECT_FALSE(Main("OraPicker")->isEnabled());
    EXPECT_SOON(FocusedControl(Form1) == Main("EditIndicativ"));
}

TEST_F(MainWindowTest, ApplyingWithoutRealTimeEnablesPickersAndNamesTheCode) {
    StartWithPrompt([&](QDialog*) {
        Settings<QCheckBox>("TimeBox")->setChecked(false);
        Settings<QLineEdit>("Edit2")->setText(QStringLiteral("K3Y-42"));
        Settings<QComboBox>("ComboBox1")->setCurrentIndex(3);
        Settings<QPushButton>("Button1")->click();
    });
    EXPECT_EQ(Form1->StationCallsign, Settings<QComboBox>("ComboBox1")->itemText(3).toStdString());
    EXPECT_EQ(UploadCode, "K3Y-42");
    EXPECT_FALSE(Form1->RealTimeMode);
    EXPECT_TRUE(Main("DatePicker")->isEnabled());
    EXPECT_TRUE(Main("OraPicker")->isEnabled());
    // The line names the display callsign, not the one just chosen.
    EXPECT_EQ(
        MemoText(Main("Memo1")),
        QStringLiteral("Setare noua -> Indicativ: QQ9XYZ - Upload Code: K3Y-42 - Mod: OFFILE"));
    EXPECT_SOON(FocusedControl(Form1) == Main("DatePicker"));
}

TEST_F(MainWindowTest, ClosingPromptWithCloseBoxStoresNothingAndFocusStaysOnBandList) {
    StartWithPrompt([&](QDialog* dialog) {
        Settings<QLineEdit>("Edit2")->setText(QStringLiteral("changed"));
        Settings<QCheckBox>("TimeBox")->setChecked(false);
        dialog->close();
    });
    EXPECT_EQ(Form1->StationCallsign, "");
    EXPECT_EQ(UploadCode, "9999999999");
    EXPECT_TRUE(Form1->RealTimeMode);
    EXPECT_EQ(MemoText(Main("Memo1")), QStringLiteral("Ready"));
    EXPECT_SOON(FocusedControl(Form1) == Main("BandCombo"));

    // "Setari" opens it again, now with Cancel enabled only once a callsign
    // was stored: still disabled here.
    FAnswerer.reset();
    bool cancelEnabled = true;
    auto again = std::make_unique<TModalAnswerer>([&](QWidget* modal) {
        cancelEnabled = Settings<QPushButton>("Button4")->isEnabled();
        static_cast<QDialog*>(modal)->accept();
    });
    Main<QPushButton>("SetariBtn")->click();
    EXPECT_EQ(again->Count(), 1);
    EXPECT_FALSE(cancelEnabled);
    again.reset();
    TModalAnswerer third([&](QWidget* modal) {
        cancelEnabled = Settings<QPushButton>("Button4")->isEnabled();
        static_cast<QDialog*>(modal)->reject();
    });
    Main<QPushButton>("SetariBtn")->click();
    EXPECT_TRUE(cancelEnabled);
}

TEST_F(MainWindowTest, PanelsReadUtcAndLocalUntilFirstTickThenTheTimes) {
    EXPECT_EQ(Main<QLabel>("Panel1")->text(), QStringLiteral("UTC"));
    EXPECT_EQ(Main<QLabel>("Panel2")->text(), QStringLiteral("Local"));
    StartWithPrompt([](QDialog* dialog) { dialog->reject(); });
    EXPECT_WITHIN(3000, Main<QLabel>("Panel1")->text() == QStringLiteral("13:30:05"));
    EXPECT_EQ(Main<QLabel>("Panel2")->text(), QStringLiteral("15:30:05"));
}

TEST_F(MainWindowTest, PickersFollowUtcInRealTimeModeAndStayDisabled) {
    auto* date = Main<TDateTimePicker>("DatePicker");
    auto* time = Main<TDateTimePicker>("OraPicker");
    // Created with today's UTC date (time of day as the layout had it) and
    // the UTC time.
    EXPECT_EQ(std::floor(date->DateTime()), EncodeDate(2024, 3, 10));
    EXPECT_NEAR(time->DateTime(), UtcNowThere(), 1e-9);

    // Half past midnight local, two hours east: UTC is still the day before.
    PinClock(EncodeDate(2024, 3, 10) + EncodeTime(0, 30, 0, 0), -120);
    StartWithPrompt([](QDialog* dialog) { dialog->close(); });
    EXPECT_WITHIN(3000, date->text() == QStringLiteral("09/03/2024"));
    EXPECT_EQ(time->text(), QStringLiteral("22:30:00"));
    EXPECT_NEAR(date->DateTime(), EncodeDate(2024, 3, 9) + EncodeTime(22, 30, 0, 0), 1e-9);
    EXPECT_FALSE(date->isEnabled());
    EXPECT_FALSE(time->isEnabled());
}

// Each tick reads the clock once: a tick at UTC midnight gives the pickers,
// and so the contact, one instant, never the next day's date with 23:59:59.
// Here every look at the clock finds the other side of midnight.
TEST_F(MainWindowTest, EachTickReadsTheClockOnceSoAContactAtMidnightKeepsItsDay) {
    StartWithPrompt([](QDialog*) { PressKey(Qt::Key_Return); });
    Form2->SetDemoMode(true);
    const TDateTime before = EncodeDate(2024, 3, 9) + EncodeTime(23, 59, 59, 999);
    const TDateTime after = EncodeDate(2024, 3, 10);
    bool late = false;
    platform::testing::SetClockQuery([&] {
        late = !late;
        return testpeer::InstantOfUtc(late ? after : before);
    });
    auto* panel = Main<QLabel>("Panel1");
    ASSERT_TRUE(WaitFor([&] {
        return panel->text() == QStringLiteral("23:59:59") ||
               panel->text() == QStringLiteral("00:00:00");
    }));
    // The local panel reads the same instant, two hours east.
    EXPECT_EQ(Main<QLabel>("Panel2")->text(), panel->text() == QStringLiteral("23:59:59")
                                                  ? QStringLiteral("01:59:59")
                                                  : QStringLiteral("02:00:00"));
    Main<QPushButton>("AdaugaBtn")->click();
    ASSERT_EQ(Form1->Logbook().Count(), 1);
    const TLogbookData& contact = *Form1->Logbook().Row(0).Data;
    const TDateTime logged =
        std::floor(contact.QsoDate) + (contact.QsoTime - std::floor(contact.QsoTime));
    EXPECT_TRUE(std::abs(logged - before) < 1e-9 || std::abs(logged - after) < 1e-9)
        << FormatDateTime("DD/MM/YYYY HH:NN:SS.ZZZ", logged);
}

// In Dublin all winter the zone's data calls the offset of 0 daylight time:
// the panels, the pickers and the contact still read UTC.
TEST_F(MainWindowTest, DublinInWinterReadsUtcInPanelsPickersAndContact) {
    // The zone of the C library, put back however the test ends.
    struct TZone {
        const char* Old = std::getenv("TZ");
        std::string Saved = Old ? Old : "";
        explicit TZone(const char* tz) { setenv("TZ", tz, 1); }
        ~TZone() {
            if (Old)
                setenv("TZ", Saved.c_str(), 1);
            else
                unsetenv("TZ");
            tzset();
        }
    } dublin("Europe/Dublin");
    platform::testing::SetTimeZoneQuery(nullptr);
    const TDateTime utc = EncodeDate(2026, 12, 8) + EncodeTime(14, 12, 0, 0);
    platform::testing::SetClockQuery([utc] { return testpeer::InstantOfUtc(utc); });
    StartWithPrompt([](QDialog*) { PressKey(Qt::Key_Return); });
    Form2->SetDemoMode(true);
    EXPECT_WITHIN(3000, Main<QLabel>("Panel1")->text() == QStringLiteral("14:12:00"));
    EXPECT_EQ(Main<QLabel>("Panel2")->text(), QStringLiteral("14:12:00"));
    EXPECT_EQ(Main<TDateTimePicker>("OraPicker")->text(), QStringLiteral("14:12:00"));
    Main<QPushButton>("AdaugaBtn")->click();
    ASSERT_EQ(Form1->Logbook().Count(), 1);
    EXPECT_EQ(Form1->Logbook().Row(0).Data->QsoTime, utc);
}

TEST_F(MainWindowTest, StartsAt15mSsbWithReportsAndReady) {
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("15m"));
    EXPECT_EQ(Main<QComboBox>("ModCombo")->currentText(), QStringLiteral("SSB"));
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QString());
    EXPECT_EQ(MemoText(Main("Memo1")), QStringLiteral("Ready"));
    // Status lines in bold pure blue; the clock panels in 16-point Tahoma.
    auto* memo = Main<QPlainTextEdit>("Memo1");
    EXPECT_TRUE(QFontInfo(memo->document()->defaultFont()).bold());
    EXPECT_EQ(memo->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_EQ(Main("Panel1")->font().pixelSize(), 21);
    EXPECT_EQ(QFontInfo(Main("EditRX")->font()).family(), QStringLiteral("Tahoma"));
    EXPECT_FALSE(Main("EditBtn")->isEnabled());
    EXPECT_TRUE(Main("AdaugaBtn")->isEnabled());
    EXPECT_TRUE(Form1->RealTimeMode);
    EXPECT_EQ(Form1->SelectedSnapshot->Id, -1);
    EXPECT_TRUE(Form1->Timer1->isActive());
    EXPECT_EQ(Form1->Timer1->interval(), 1000);
}

TEST_F(MainWindowTest, TabWrapsThroughTheHiddenTraceMemoAndSuperDelete) {
    StartWithPrompt([](QDialog* dialog) { dialog->close(); });
    EXPECT_SOON(FocusedControl(Form1) == Main("BandCombo"));
    // The two controls below the client area take the focus without ever
    // showing; the disabled pickers and "Editeaza" are skipped.
    const QStringList expected = {
        "ModCombo",  "EditIndicativ", "EditRX",    "EditTX",     "EditLocator", "AdaugaBtn",
        "SetariBtn", "CloseBtn",      "Memo1",     "WebLogBtn",  "WebMapBtn",   "StergeBtn",
        "ListView1", "QSLCheckBox",   "DebugMemo", "SDeleteBtn", "BandCombo"};
    QStringList seen;
    for (int i = 0; i < expected.size(); ++i) {
        PressKey(Qt::Key_Tab);
        QWidget* control = FocusedControl(Form1);
        seen << (control ? control->objectName() : QStringLiteral("?"));
    }
    EXPECT_EQ(seen, expected);
    EXPECT_GT(Main("DebugMemo")->y(), 385);
    EXPECT_TRUE(Main("DebugMemo")->isVisible());
    EXPECT_EQ(Form1->size(), QSize(851, 385));
}

TEST_F(MainWindowTest, EnterWalksTheEntryRowOutsideRealTimeMode) {
    StartWithPrompt([](QDialog*) {
        Child<QCheckBox>(Form2, "TimeBox")->setChecked(false);
        PressKey(Qt::Key_Return);
    });
    EXPECT_SOON(FocusedControl(Form1) == Main("DatePicker"));
    const QStringList expected = {"OraPicker", "BandCombo", "ModCombo",    "EditIndicativ",
                                  "EditRX",    "EditTX",    "EditLocator", "AdaugaBtn"};
    QStringList seen;
    for (int i = 0; i < expected.size(); ++i) {
        PressKey(Qt::Key_Return);
        QWidget* control = FocusedControl(Form1);
        seen << (control ? control->objectName() : QStringLiteral("?"));
    }
    EXPECT_EQ(seen, expected);
    // The controls never received the Enter: nothing was typed or chosen.
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("15m"));
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
}

TEST_F(MainWindowTest, AutorShowsVersionTitleAndCreditOnTwoLines) {
    QString caption;
    QStringList lines;
    TModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        lines = box->text().split(QLatin1Char('\n'));
        box->accept();
    });
    Settings<QPushButton>("AboutBtn")->click();
    EXPECT_EQ(answerer.Count(), 1);
    EXPECT_EQ(caption, QString::fromLatin1(kAppTitle));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QString::fromLatin1(kTitle));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Autor: "))) << lines[1].toStdString();
}

TEST_F(MainWindowTest, CloseButtonEndsTheProgram) {
    StartWithPrompt([](QDialog* dialog) { dialog->reject(); });
    Main<QPushButton>("CloseBtn")->click();
    EXPECT_FALSE(Form1->isVisible());
    EXPECT_TRUE(Application().Terminated());
    Application().ResetTerminated();
}

// An exception escaping a handler is shown in the error box with the full
// stop of the rule, and the program goes on: here the clock cannot tell the
// time zone, so the creation handler and then every tick fail.
TEST(TForm1Errors, ClockFailureShowsErrorBoxWithFullStopAndGoesOn) {
    TestApp();
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    platform::testing::SetTimeZoneQuery(
        [](TIME_ZONE_INFORMATION*) { return static_cast<DWORD>(TIME_ZONE_ID_INVALID); });
    std::vector<std::pair<QString, QString>> boxes;
    TModalAnswerer answerer([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            EXPECT_EQ(box->icon(), QMessageBox::Critical);
            boxes.emplace_back(box->windowTitle(), box->text());
            box->accept();
        } else {
            static_cast<QDialog*>(modal)->reject();
        }
    });
    {
        TTestWindows windows;
        // The creation handler stopped at the clock, after starting Timer1.
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(Form1->Timer1->isActive());
        EXPECT_EQ(Child<QLabel>(Form1, "Panel1")->text(), QStringLiteral("UTC"));
        Form1->show();
        EXPECT_WITHIN(3000, boxes.size() >= 2);
    }
    platform::testing::SetTimeZoneQuery(nullptr);
    const QString expected =
        QStringLiteral("Error converting to UTC time. Time zone could not be determined.");
    for (const auto& [caption, text] : boxes) {
        EXPECT_EQ(caption, QString::fromLatin1(kAppTitle));
        EXPECT_EQ(text, expected);
    }
}

TEST_F(MainWindowTest, ListShowsTheRenderedRowsUnderItsHeaders) {
    auto* view = Main<TListView>("ListView1");
    QAbstractItemModel* model = view->model();
    ASSERT_NE(model, nullptr);
    ASSERT_EQ(model->columnCount(), 11);
    const char* headers[] = {"ID",      "DATA",  "ORA", "INDICATIV", "RX",   "TX",
                             "LOCATOR", "BANDA", "MOD", "STATUS",    "QSOID"};
    const int widths[] = {50, 70, 70, 150, 50, 50, 70, 70, 60, 60, 70};
    for (int c = 0; c < 11; ++c) {
        EXPECT_EQ(model->headerData(c, Qt::Horizontal).toString(), QString::fromLatin1(headers[c]));
        EXPECT_EQ(view->columnWidth(c), widths[c]) << headers[c];
    }

    TLogbookList& list = Form1->Logbook();
    for (int i = 0; i < 2; ++i) {
        TLogbookData* r = list.NewRecord();
        r->Id = list.Count();
        r->QsoDate = EncodeDate(2011, 7, 8);
        r->QsoTime = EncodeTime(13, 41, 47, 541);
        r->Callsign = i ? "yo9abc" : "QQ9DEF";
        r->Band = "20m";
        r->Mode = "CW";
        list.AppendRow(r);
    }
    EXPECT_EQ(model->rowCount(), 2);
    EXPECT_EQ(model->index(1, 0).data().toString(), QString()); // not rendered yet
    Form1->RefreshListView();
    EXPECT_EQ(model->index(1, 0).data().toString(), QStringLiteral("0001"));
    EXPECT_EQ(model->index(1, 1).data().toString(), QStringLiteral("08/07/2011"));
    EXPECT_EQ(model->index(1, 2).data().toString(), QStringLiteral("13:41:47"));
    EXPECT_EQ(model->index(1, 3).data().toString(), QStringLiteral("yo9abc"));
    EXPECT_EQ(model->index(1, 9).data().toString(), QStringLiteral("NO"));
}

TEST_F(MainWindowTest, SelectingARowLeavesRealTimeModeAndEnablesEditing) {
    StartWithPrompt([](QDialog*) { PressKey(Qt::Key_Return); });
    // A row that carries no record: the handler stops once the pickers are
    // set (a row with a record then loads it, see the entry-row tests).
    TLogbookList& list = Form1->Logbook();
    list.AppendRow(nullptr);
    Form1->RefreshListView();
    auto* view = Main<TListView>("ListView1");
    view->SelectRow(0);
    EXPECT_FALSE(Form1->RealTimeMode);
    EXPECT_TRUE(Main("EditBtn")->isEnabled());
    EXPECT_TRUE(Main("DatePicker")->isEnabled());
    EXPECT_TRUE(Main("OraPicker")->isEnabled());
    // The pickers were set to UTC now and no longer follow the clock.
    EXPECT_NEAR(Main<TDateTimePicker>("OraPicker")->DateTime(), UtcNowThere(), 1e-9);
}

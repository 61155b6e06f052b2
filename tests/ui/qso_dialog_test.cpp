// The QSO dialog, the list's pop-up menu and the two web buttons, driven
// offscreen against the stand-in logbook service.
#include "tests/ui/ui_test_support.h"

#include "core/settings.h"
#include "framework/qt/datetime_picker.h"
#include "framework/qt/list_view.h"
#include "platform/win32/testing.h"
#include "service.h"
#include "tests/support/local_service.h"
#include "ui/Log.h"
#include "ui/Setari.h"
#include "ui/UnitLogbookData.h"
#include "upload/hosts.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <mutex>
#include <thread>

namespace {

// The stand-in service that the main window's uploads go to.
class LocalService : public testpeer::TLocalService {
public:
    LocalService() { Form1->PostSettings.RobotHost = "127.0.0.1:" + std::to_string(Port()); }
};

class QsoDialogTest : public ::testing::Test {
protected:
    void TearDown() override { SetStartSettings(); }

    template <class T = QWidget> T* Main(const char* name) { return Child<T>(Form1, name); }
    template <class T = QWidget> T* Dialog(const char* name) {
        return Child<T>(FormLogbookData, name);
    }
    QString Memo(const char* name) { return Main<QPlainTextEdit>(name)->toPlainText(); }
    void SetDemo(bool on) { Form2->SetDemoMode(on); }

    // Runs `action` on every modal window that comes up while `trigger` runs;
    // message boxes are answered with OK and their texts kept.
    int Answering(const std::function<void()>& trigger, std::function<void(QDialog*)> action) {
        TModalAnswerer answerer([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes.push_back(box->text());
                box->button(QMessageBox::Ok)->click();
                return;
            }
            auto* dialog = qobject_cast<QDialog*>(modal);
            ASSERT_EQ(dialog, FormLogbookData);
            captions.push_back(dialog->windowTitle());
            action(dialog);
        });
        trigger();
        return answerer.Count();
    }
    void PressOk(QDialog*) { Dialog<QPushButton>("BOk")->click(); }
    // Adds a contact through the menu with what the dialog holds.
    void AddThroughMenu() {
        Answering([&] { Form1->Adauga1->trigger(); }, [&](QDialog* d) { PressOk(d); });
        captions.clear();
    }
    // Shows the main window without its settings prompt, for mouse input.
    void ShowMainWindow() {
        Form1->show();
        Form1->Timer2->stop();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1));
    }

    TTestWindows windows;
    std::vector<QString> captions, boxes;
};

TEST_F(QsoDialogTest, MenuAddRightAfterStartAddsExactlyTheDialogsStartValues) {
    LocalService local;
    QString callsign, rx, tx, band, mode;
    TDateTime date = 0, time = 0;
    EXPECT_EQ(Answering([&] { Form1->Adauga1->trigger(); },
                        [&](QDialog* d) {
                            callsign = Dialog<QLineEdit>("EditIndicativ")->text();
                            rx = Dialog<QLineEdit>("EditRX")->text();
                            tx = Dialog<QLineEdit>("EditTX")->text();
                            band = Dialog<QComboBox>("BandCombo")->currentText();
                            mode = Dialog<QComboBox>("ModCombo")->currentText();
                            date = Dialog<TDateTimePicker>("DatePicker")->DateTime();
                            time = Dialog<TDateTimePicker>("OraPicker")->DateTime();
                            EXPECT_EQ(Dialog<TDateTimePicker>("DatePicker")->text(),
                                      QStringLiteral("08/07/2011"));
                            EXPECT_EQ(Dialog<TDateTimePicker>("OraPicker")->text(),
                                      QStringLiteral("13:41:47"));
                            PressOk(d);
                        }),
              1);
    EXPECT_EQ(captions, std::vector<QString>{QStringLiteral("Adaugare")});
    EXPECT_EQ(callsign, QStringLiteral("EditIndicativ"));
    EXPECT_EQ(rx, QStringLiteral("EditRX"));
    EXPECT_EQ(tx, QStringLiteral("EditTX"));
    EXPECT_EQ(band, QStringLiteral("12m"));
    EXPECT_EQ(mode, QStringLiteral("SSB"));
    EXPECT_EQ(date, 40732.57068913194);
    EXPECT_EQ(time, 40732.57068913194);

    ASSERT_EQ(Form1->Logbook().Count(), 1);
    const TLogbookData& r = *Form1->Logbook().Row(0).Data;
    EXPECT_EQ(r.Id, 0);
    EXPECT_EQ(r.QsoDate, 40732.57068913194);
    EXPECT_EQ(r.QsoTime, 40732.57068913194);
    EXPECT_EQ(r.Callsign, "EditIndicativ");
    EXPECT_EQ(r.Band, "12m");
    EXPECT_EQ(r.QsoId, "1001");
    EXPECT_EQ(Form1->Logbook().Row(0).Cell(9), "YES");
    ASSERT_EQ(local.Bodies().size(), 1u);
    EXPECT_NE(local.Bodies()[0].find("<call:10>EditIndicativ<qso_date:8>20110708<time_on:6>134147 "
                                     "<band:3>12m<mode:10>SSB<rst_sent:3>EditTX<rst_rcvd:3>EditRX"),
              std::string::npos);
    EXPECT_TRUE(boxes.empty());
    // The add resets the main window's entry row, not the dialog.
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("59"));
    EXPECT_EQ(Dialog<QLineEdit>("EditRX")->text(), QStringLiteral("EditRX"));
}

TEST_F(QsoDialogTest, DialogBandListStartsAt12mWhileTheMainWindowsStartsAt15m) {
    EXPECT_EQ(Dialog<QComboBox>("BandCombo")->currentText(), QStringLiteral("12m"));
    EXPECT_EQ(Main<QComboBox>("BandCombo")->currentText(), QStringLiteral("15m"));
    EXPECT_EQ(Dialog<QComboBox>("BandCombo")->count(), 12);
    EXPECT_EQ(FormLogbookData->size(), QSize(716, 107));
    EXPECT_FALSE(Dialog("DatePicker")->isEnabled());
    EXPECT_FALSE(Dialog("OraPicker")->isEnabled());
}

TEST_F(QsoDialogTest, EditWithoutSelectionShowsNothing) {
    SetDemo(true);
    AddThroughMenu();
    EXPECT_EQ(Answering([&] { Form1->Editeaza1->trigger(); }, [&](QDialog* d) { PressOk(d); }), 0);
    ShowMainWindow();
    auto* list = Main<TListView>("ListView1");
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(400, 180)); // below the row
    EXPECT_EQ(list->FirstSelectedRow(), -1);
    EXPECT_FALSE(FormLogbookData->isVisible());
    EXPECT_TRUE(captions.empty());
}

TEST_F(QsoDialogTest, DoubleClickEditsTheRowAndCancelChangesNothing) {
    SetDemo(true);
    AddThroughMenu();
    ShowMainWindow();
    auto* list = Main<TListView>("ListView1");
    const QRect row = list->visualRect(list->model()->index(0, 3));
    QString shown;
    EXPECT_EQ(Answering(
                  [&] {
                      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
                      QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
                  },
                  [&](QDialog* d) {
                      shown = Dialog<QLineEdit>("EditIndicativ")->text();
                      Dialog<QLineEdit>("EditIndicativ")->setText(QStringLiteral("CHANGED"));
                      d->reject();
                  }),
              1);
    EXPECT_EQ(captions, std::vector<QString>{QStringLiteral("Editare")});
    EXPECT_EQ(shown, QStringLiteral("EditIndicativ"));
    EXPECT_EQ(Form1->Logbook().Row(0).Data->Callsign, "EditIndicativ");
}

// Each edit names the contact as the service last accepted it, so a second
// edit of the same row, without selecting it again, finds what the first one
// changed.
TEST_F(QsoDialogTest, SecondEditOfTheSameRowIsKeyedByWhatTheServiceAccepted) {
    LocalService local;
    AddThroughMenu();
    Main<TListView>("ListView1")->SelectRow(0);
    auto editTo = [&](const char* call) {
        Answering([&] { Form1->Editeaza1->trigger(); },
                  [&](QDialog* d) {
                      Dialog<QLineEdit>("EditIndicativ")->setText(QString::fromLatin1(call));
                      PressOk(d);
                  });
    };
    editTo("NEW1");
    EXPECT_EQ(local.Service().Contacts("QQ9XYZ").at(0).Call, "NEW1");
    editTo("NEW2");
    auto bodies = local.Bodies();
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(bodies[1].find("Callsign=QQ9XYZ&CMD=UPDATE&ADIFkey=<call:10>EditIndicativ<"), 0u);
    EXPECT_EQ(bodies[2].find("Callsign=QQ9XYZ&CMD=UPDATE&ADIFkey=<call:10>NEW1<"), 0u);
    EXPECT_NE(bodies[2].find("<ID:10>1001&ADIFData=<call:10>NEW2<"), std::string::npos);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(local.Service().Contacts("QQ9XYZ").at(0).Call, "NEW2");
    EXPECT_EQ(Form1->Logbook().Row(0).Data->Callsign, "NEW2");
    EXPECT_EQ(Form1->Logbook().Row(0).Cell(9), "YES");
}

// An add through the dialog leaves an entry row that is editing a listed
// contact on that contact (emptied, its "Editeaza" would store the blanks).
TEST_F(QsoDialogTest, AddingThroughTheDialogWhileEditingKeepsTheEntryRowOnItsContact) {
    SetDemo(true);
    AddThroughMenu();
    Main<TListView>("ListView1")->SelectRow(0);
    ASSERT_FALSE(Main("AdaugaBtn")->isEnabled());
    const QColor editing = Main("EditIndicativ")->palette().color(QPalette::Base);
    AddThroughMenu();
    EXPECT_EQ(Form1->Logbook().Count(), 2);
    EXPECT_EQ(Form1->Logbook().Row(1).Data->Id, 1);
    EXPECT_EQ(Main<QLineEdit>("EditIndicativ")->text(), QStringLiteral("EditIndicativ"));
    EXPECT_EQ(Main<QLineEdit>("EditRX")->text(), QStringLiteral("EditRX"));
    EXPECT_EQ(Main<QLineEdit>("EditTX")->text(), QStringLiteral("EditTX"));
    EXPECT_FALSE(Main("AdaugaBtn")->isEnabled());
    EXPECT_TRUE(Main("EditBtn")->isEnabled());
    EXPECT_EQ(Main("EditIndicativ")->palette().color(QPalette::Base), editing);
    EXPECT_EQ(editing, QColor(166, 202, 240));
    Main<QPushButton>("EditBtn")->click();
    const TLogbookData& first = *Form1->Logbook().Row(0).Data;
    EXPECT_EQ(first.Callsign, "EditIndicativ");
    EXPECT_EQ(first.Rx, "EditRX");
    EXPECT_EQ(first.Tx, "EditTX");
}

TEST_F(QsoDialogTest, DeleteChangesNothing) {
    SetDemo(true);
    AddThroughMenu();
    Main<TListView>("ListView1")->SelectRow(0);
    const std::string before = Form1->Logbook().Row(0).Cell(3);
    EXPECT_EQ(Answering([&] { Form1->Sterge1->trigger(); }, [&](QDialog* d) { PressOk(d); }), 0);
    EXPECT_EQ(Form1->Logbook().Count(), 1);
    EXPECT_EQ(Form1->Logbook().Row(0).Cell(3), before);
}

TEST_F(QsoDialogTest, ResendLoadsTheDialogWithoutShowingIt) {
    SetDemo(true);
    AddThroughMenu();
    Form1->Logbook().Row(0).Data->Callsign = "LOADED";
    Main<TListView>("ListView1")->SelectRow(0);
    LocalService local;
    EXPECT_EQ(Answering([&] { Form1->UploadServer1->trigger(); }, [&](QDialog* d) { PressOk(d); }),
              0);
    EXPECT_EQ(Dialog<QLineEdit>("EditIndicativ")->text(), QStringLiteral("LOADED"));
    EXPECT_EQ(local.Service().Contacts("QQ9XYZ").size(), 1u);
}

class WebButtonsTest : public QsoDialogTest {
protected:
    void SetUp() override {
        platform::testing::RegistryClear();
        platform::testing::SetShellLauncher([this](const platform::testing::ShellLaunch& l) {
            launches.push_back(l);
            return true;
        });
    }
    void TearDown() override {
        platform::testing::SetShellLauncher({});
        platform::testing::RegistryClear();
        QsoDialogTest::TearDown();
    }
    std::vector<platform::testing::ShellLaunch> launches;
};

TEST_F(WebButtonsTest, OpenTheLogPageAndTheMapInTheRegisteredBrowserAlsoInDemoMode) {
    SetDemo(true);
    platform::testing::RegistrySetString(HKEY_CLASSES_ROOT, "htmlfile\\shell\\open\\command", "",
                                         "\"/usr/bin/browser\" --new-window \"%1\"");
    Main<QPushButton>("WebLogBtn")->click();
    Main<QPushButton>("WebMapBtn")->click();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].file, "/usr/bin/browser");
    EXPECT_EQ(launches[0].parameters, "http://" + WebHost() + "/ViewLogbook.aspx?user=QQ9XYZ");
    EXPECT_EQ(launches[1].parameters, "http://" + WebHost() + "/public/cache/map_QQ9XYZ.jpg");
}

TEST_F(WebButtonsTest, NonTextRegistryValueReachesTheErrorBox) {
    platform::testing::RegistrySetValue(HKEY_CLASSES_ROOT, "htmlfile\\shell\\open\\command", "",
                                        REG_DWORD, {1, 0, 0, 0});
    QString caption, text;
    TModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    Main<QPushButton>("WebLogBtn")->click();
    EXPECT_EQ(answerer.Count(), 1);
    EXPECT_EQ(caption, QStringLiteral("QQ9XYZ Logbook v1.2"));
    // The message ends in a quote, which sorts below the full stop: none is added.
    EXPECT_EQ(text, QStringLiteral("Invalid data type for ''"));
    EXPECT_TRUE(launches.empty());
}

} // namespace

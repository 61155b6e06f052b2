// The main window with the settings applied, a test server for the uploads,
// the message boxes answered and recorded, and the list read as the operator
// sees it. Shared by the entry-row and the upload suites.
#pragma once

#include "tests/support/local_service.h"
#include "tests/ui/ui_test_support.h"

#include "core/settings.h"
#include "framework/qt/list_view.h"
#include "tests/support/scripted_peer.h"
#include "ui/Log.h"
#include "ui/Setari.h"
#include "upload/post_to_server.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

namespace uitest {

using testpeer::TLocalService;

// 10 March 2024, 15:30:05 local time, two hours east: 13:30:05 UTC.
inline TDateTime PinnedLocal() {
    return EncodeDate(2024, 3, 10) + EncodeTime(15, 30, 5, 0);
}
inline TDateTime PinnedUtc() {
    return EncodeDate(2024, 3, 10) + EncodeTime(13, 30, 5, 0);
}

// What the operator was told by one message box, and the status memo's last
// line at that moment (the box comes after its status line).
struct TBox {
    std::string Text;
    std::string LastStatusLine;
};

// How the two request bodies end on the wire.
inline const std::string kAddBodyEnd = "<EOR>\r\n";
inline const std::string kEditBodyEnd = "<station_callsign:11>QQ9XYZ\r\n";

class EntryFixture : public ::testing::Test {
protected:
    void SetUp() override { PinClock(PinnedLocal(), -120); }
    void TearDown() override { UnpinClock(); }

    // Shows the main window, with PostSettings for its uploads, and applies
    // the settings with OK: the club callsign, the default upload code,
    // real-time mode as asked, DEMO off.
    void Start(bool realTime = true) {
        FWindows = std::make_unique<TTestWindows>();
        Form1->PostSettings = PostSettings;
        FAnswerer = std::make_unique<TModalAnswerer>([this, realTime](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                const QStringList lines = Memo("Memo1")->toPlainText().split(QLatin1Char('\n'));
                Boxes.push_back({box->text().toStdString(), lines.last().toStdString()});
                box->button(QMessageBox::Ok)->click();
            } else if (modal == Form2) {
                Child<QCheckBox>(Form2, "TimeBox")->setChecked(realTime);
                Child<QPushButton>(Form2, "Button1")->click();
            } else {
                static_cast<QDialog*>(modal)->reject();
            }
        });
        Form1->show();
        ASSERT_TRUE(
            WaitFor([] { return Form1->StationCallsign == "QQ9XYZ" && !Form2->isVisible(); }));
        // On a loaded machine the settings dialog can open before the main
        // window's own activation was processed; the dialog then has no window
        // to hand the activation back to, and the offscreen platform has no
        // window manager to do it. Do what a window manager would.
        if (!WaitFor([] { return QApplication::activeWindow() == Form1; }, 500))
            Form1->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form1));
        ASSERT_EQ(Form1->RealTimeMode, realTime);
    }

    // Points the main window's uploads at a local server, from now on.
    void UseServer(int port) {
        PostSettings.RobotHost = "127.0.0.1:" + std::to_string(port);
        if (FWindows)
            Form1->PostSettings = PostSettings;
    }
    // A peer that answers every upload with `answer` as an HTTP 200 body,
    // once the request has arrived up to `bodyEnd`.
    static void AnswerWith(testpeer::ScriptedPeer& peer, const std::string& answer,
                           const std::string& bodyEnd = kAddBodyEnd) {
        peer.Script({testpeer::WaitFor(bodyEnd),
                     testpeer::Send("HTTP/1.1 200 OK\r\nContent-Length: " +
                                    std::to_string(answer.size()) + "\r\n\r\n" + answer),
                     testpeer::Close()});
    }

    template <class T = QWidget> T* Main(const char* name) {
        T* w = Child<T>(Form1, name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QPlainTextEdit* Memo(const char* name) { return Main<QPlainTextEdit>(name); }
    QStringList MemoLines(const char* name = "Memo1") {
        return Memo(name)->toPlainText().split(QLatin1Char('\n'));
    }
    TListView* List() { return Main<TListView>("ListView1"); }
    QString Cell(int row, int column) {
        return List()->model()->index(row, column).data().toString();
    }
    TLogbookData* Record(int row) { return Form1->Logbook().Row(row).Data; }

    // Fills the entry row as the operator types.
    void Type(const char* callsign, const char* rx = "59", const char* tx = "59",
              const char* locator = "") {
        auto put = [this](const char* name, const char* text) {
            auto* edit = Main<QLineEdit>(name);
            edit->clear();
            QTest::keyClicks(edit, QString::fromLatin1(text));
        };
        put("EditIndicativ", callsign);
        put("EditRX", rx);
        put("EditTX", tx);
        put("EditLocator", locator);
    }
    void Click(const char* button) { QTest::mouseClick(Main<QPushButton>(button), Qt::LeftButton); }
    void AddContact(const char* callsign, const char* locator = "KN34") {
        Type(callsign, "57", "58", locator);
        Click("AdaugaBtn");
    }
    // Clicks a row of the list, or below the last row for -1.
    void ClickRow(int row) {
        TListView* view = List();
        QPoint at;
        if (row >= 0) {
            at = view->visualRect(view->model()->index(row, 3)).center();
        } else {
            at = QPoint(20, view->viewport()->height() - 5);
        }
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    }
    void SetDemo(bool on) { Form2->SetDemoMode(on); }

    // The state's colour of a control, shown while it is enabled.
    QColor Background(const char* name) {
        return Main(name)->palette().color(QPalette::Active, QPalette::Base);
    }

    // How the main window uploads; Start gives it to the window.
    TPostSettings PostSettings;
    std::vector<TBox> Boxes;
    std::unique_ptr<TTestWindows> FWindows;
    std::unique_ptr<TModalAnswerer> FAnswerer;
};

// The nine controls coloured by the entry row's state.
inline const char* const kColouredControls[] = {"DatePicker", "OraPicker", "EditIndicativ",
                                                "EditRX",     "EditTX",    "EditLocator",
                                                "BandCombo",  "ModCombo",  "QSLCheckBox"};

} // namespace uitest

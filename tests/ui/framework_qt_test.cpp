// The framework's Qt pieces on their own: the picker's exact value, Enter
// navigation, the list view's selection notifications, the error box of an
// exception that escapes an event.
#include "tests/ui/ui_test_support.h"

#include "framework/application.h"
#include "framework/exception.h"
#include "framework/qt/datetime_picker.h"
#include "framework/qt/focus_navigation.h"
#include "framework/qt/list_view.h"
#include "framework/qt/message_box.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardItemModel>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <memory>

TEST(TDateTimePicker, ReturnsExactlyTheValueItWasGiven) {
    TestApp();
    TDateTimePicker picker;
    const double values[] = {40732.57068913194, 45361.56256076389123, 0.0, 1e-12,
                             2958465.99999999,  36526.000000001};
    for (double value : values) {
        picker.SetDateTime(value);
        EXPECT_EQ(picker.DateTime(), value);
    }
}

TEST(TDateTimePicker, ShowsValueWithItsPattern) {
    TestApp();
    TDateTimePicker picker;
    picker.SetDateTime(40732.57068913194); // 8 July 2011, 13:41:47.541
    EXPECT_EQ(picker.text(), QStringLiteral("08/07/2011"));
    picker.setDisplayFormat(QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(picker.text(), QStringLiteral("13:41:47"));
}

TEST(TDateTimePicker, SetDateKeepsTheTimeOfDay) {
    TestApp();
    TDateTimePicker picker;
    picker.SetDateTime(EncodeDate(2011, 7, 8) + EncodeTime(13, 41, 47, 541));
    picker.SetDate(EncodeDate(2024, 3, 9) + EncodeTime(22, 30, 0, 0));
    EXPECT_NEAR(picker.DateTime(), EncodeDate(2024, 3, 9) + EncodeTime(13, 41, 47, 541), 1e-9);
}

TEST(TDateTimePicker, OperatorEditChangesOnlyTheShownFields) {
    TestApp();
    TDateTimePicker time;
    time.setDisplayFormat(QStringLiteral("HH:mm:ss"));
    time.SetDateTime(EncodeDate(2011, 7, 8) + EncodeTime(13, 41, 47, 541));
    int changes = 0;
    time.OnChange = [&] { ++changes; };
    time.setCurrentSection(QDateTimeEdit::HourSection);
    time.stepBy(1);
    EXPECT_EQ(changes, 1);
    EXPECT_NEAR(time.DateTime(), EncodeDate(2011, 7, 8) + EncodeTime(14, 41, 47, 541), 1e-9);

    TDateTimePicker date;
    date.SetDateTime(EncodeDate(2011, 7, 8) + EncodeTime(13, 41, 47, 541));
    date.setCurrentSection(QDateTimeEdit::DaySection);
    date.stepBy(-1);
    EXPECT_NEAR(date.DateTime(), EncodeDate(2011, 7, 7) + EncodeTime(13, 41, 47, 541), 1e-9);
}

// Digits typed into a section chosen by a click start afresh there: "1" in
// the hours, then "5" in the minutes is 01:05, not 15 minutes.
TEST(TDateTimePicker, DigitsTypedAfterChoosingAnotherSectionStartAfresh) {
    TestApp();
    TDateTimePicker time;
    time.setDisplayFormat(QStringLiteral("HH:mm:ss"));
    time.SetDateTime(EncodeDate(2011, 7, 8) + EncodeTime(13, 41, 47, 0));
    time.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&time));
    QTest::keyClick(&time, '1');
    time.setCurrentSection(QDateTimeEdit::MinuteSection);
    QTest::keyClick(&time, '5');
    EXPECT_EQ(time.text(), QStringLiteral("01:05:47"));
}

namespace {

// Four fields in a window: Enter moves on, skipping what cannot take the
// focus.
struct TFieldRow {
    QWidget window;
    QLineEdit* fields[4];
    TFieldRow() {
        for (int i = 0; i < 4; ++i) {
            fields[i] = new QLineEdit(&window);
            fields[i]->setObjectName(QStringLiteral("Field%1").arg(i));
            fields[i]->setGeometry(10, 10 + 30 * i, 100, 21);
            SetOnKeyPress(fields[i], EnterMovesToNextControl);
        }
        window.resize(200, 150);
        window.show();
        (void)QTest::qWaitForWindowActive(&window);
    }
};

QString Focused() {
    QWidget* w = QApplication::focusWidget();
    return w ? w->objectName() : QStringLiteral("none");
}

} // namespace

TEST(EnterNavigation, MovesToNextFocusableControlAndWraps) {
    TestApp();
    TFieldRow row;
    row.fields[1]->setEnabled(false);
    row.fields[3]->setText(QStringLiteral("kept"));
    row.fields[0]->setFocus();
    PressKey(Qt::Key_Return);
    EXPECT_EQ(Focused(), QStringLiteral("Field2"));
    PressKey(Qt::Key_Enter);
    EXPECT_EQ(Focused(), QStringLiteral("Field3"));
    PressKey(Qt::Key_Return);
    EXPECT_EQ(Focused(), QStringLiteral("Field0"));
    EXPECT_EQ(row.fields[3]->text(), QStringLiteral("kept"));
}

TEST(EnterNavigation, OtherKeysReachTheControl) {
    TestApp();
    TFieldRow row;
    row.fields[0]->setFocus();
    QTest::keyClicks(row.fields[0], QStringLiteral("yo8"));
    EXPECT_EQ(row.fields[0]->text(), QStringLiteral("yo8"));
    EXPECT_EQ(Focused(), QStringLiteral("Field0"));
}

TEST(EnterNavigation, StaysWhenNoOtherControlCanTakeFocus) {
    TestApp();
    TFieldRow row;
    row.fields[0]->setEnabled(false);
    row.fields[1]->hide();
    row.fields[3]->setFocusPolicy(Qt::ClickFocus); // not a tab stop
    row.fields[2]->setFocus();
    PressKey(Qt::Key_Return);
    EXPECT_EQ(Focused(), QStringLiteral("Field2"));
}

namespace {

struct TListFixture {
    QStandardItemModel model{3, 2};
    TListView view;
    std::vector<std::pair<int, bool>> calls;
    TListFixture() {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 2; ++c)
                model.setItem(r, c, new QStandardItem(QStringLiteral("r%1c%2").arg(r).arg(c)));
        view.setModel(&model);
        view.OnSelectItem = [this](int row, bool selected) { calls.emplace_back(row, selected); };
        view.resize(300, 200);
        view.show();
        (void)QTest::qWaitForWindowExposed(&view);
    }
    void Click(int row, int column = 1) {
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {},
                          view.visualRect(model.index(row, column)).center());
    }
};

} // namespace

TEST(TListView, SelectionChangeTellsTheRowLosingItThenTheRowGainingIt) {
    TestApp();
    TListFixture list;
    list.Click(0);
    EXPECT_EQ(list.calls, (std::vector<std::pair<int, bool>>{{0, true}}));
    list.calls.clear();
    list.Click(2);
    EXPECT_EQ(list.calls, (std::vector<std::pair<int, bool>>{{0, false}, {2, true}}));
    EXPECT_EQ(list.view.FirstSelectedRow(), 2);
    // Whole rows are selected, one at a time.
    EXPECT_EQ(list.view.selectionModel()->selectedIndexes().size(), 2);
}

TEST(TListView, ClickBelowTheRowsClearsTheSelection) {
    TestApp();
    TListFixture list;
    list.Click(1);
    list.calls.clear();
    QTest::mouseClick(list.view.viewport(), Qt::LeftButton, {},
                      QPoint(10, list.view.viewport()->height() - 3));
    EXPECT_EQ(list.calls, (std::vector<std::pair<int, bool>>{{1, false}}));
    EXPECT_EQ(list.view.FirstSelectedRow(), -1);
}

namespace {

class TPaintCounter : public QObject {
public:
    int Count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++Count;
        return false;
    }
};

} // namespace

// New texts in many rows at once: the list repaints what it shows (without
// uniting the rectangles of every changed cell), a single row as before.
TEST(TListView, NewTextsInRowsAreRepainted) {
    TestApp();
    TListFixture list;
    TPaintCounter paints;
    list.view.viewport()->installEventFilter(&paints);
    QCoreApplication::processEvents();
    for (const auto& [first, last] : {std::pair{0, 2}, std::pair{1, 1}}) {
        SCOPED_TRACE(first == last ? "one row" : "several rows");
        list.model.blockSignals(true);
        for (int r = first; r <= last; ++r)
            list.model.item(r, 0)->setText(QStringLiteral("new %1 %2").arg(r).arg(first));
        list.model.blockSignals(false);
        paints.Count = 0;
        emit list.model.dataChanged(list.model.index(first, 0), list.model.index(last, 1),
                                    {Qt::DisplayRole});
        EXPECT_SOON(paints.Count > 0);
    }
}

namespace {

class TThrowingObject : public QObject {
public:
    explicit TThrowingObject(std::string message) : FMessage(std::move(message)) {}
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw Exception(FMessage);
        return QObject::event(e);
    }

private:
    std::string FMessage;
};

struct TErrorBoxCase {
    const char* message;
    const char* shown;
};

void PrintTo(const TErrorBoxCase& c, std::ostream* os) {
    *os << '"' << c.message << '"';
}

class ErrorBox : public ::testing::TestWithParam<TErrorBoxCase> {};

} // namespace

TEST_P(ErrorBox, ExceptionEscapingAnEventIsShownWithTheFullStopRule) {
    TestApp();
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    TModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        box->accept();
    });
    TThrowingObject object(GetParam().message);
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    EXPECT_SOON(answerer.Count() == 1);
    EXPECT_EQ(caption, QStringLiteral("QQ9XYZ Logbook v1.2"));
    EXPECT_EQ(text, QString::fromLatin1(GetParam().shown));
    EXPECT_EQ(icon, QMessageBox::Critical);

    // The loop goes on with the next event.
    bool delivered = false;
    QTimer::singleShot(0, [&] { delivered = true; });
    EXPECT_SOON(delivered);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ErrorBox,
    ::testing::Values(TErrorBoxCase{"Socket closed", "Socket closed."},
                      TErrorBoxCase{"Connection refused (#10061)", "Connection refused (#10061)"},
                      TErrorBoxCase{"Already ends.", "Already ends."},
                      TErrorBoxCase{"Error 404", "Error 404."}, TErrorBoxCase{"Stop!", "Stop!"}));

TEST(MessageBox, CarriageReturnBreaksTheLine) {
    EXPECT_EQ(MessageBoxText("a\rb"), QStringLiteral("a\nb"));
    EXPECT_EQ(MessageBoxText("a\r\nb\nc"), QStringLiteral("a\nb\nc"));
}

// A box is as wide as its caption or its text needs, whichever is wider: the
// caption, in the platform's title font, shows whole beside the close box
// however short the text.
TEST(MessageBox, IsAsWideAsItsCaptionOrItsTextNeeds) {
    TestApp();
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    const QFontMetrics caption(titleFont);
    const std::string longText =
        "Raspuns server: Upload Code gresit! Cereti unul la logbook@qq9xyz.example.org";
    std::vector<int> widths, captionRoom, textRoom;
    TModalAnswerer answerer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        widths.push_back(box->width());
        captionRoom.push_back(box->width() - caption.horizontalAdvance(box->windowTitle()));
        textRoom.push_back(box->width() - QFontMetrics(box->font()).horizontalAdvance(box->text()));
        box->accept();
    });
    ShowMessage("n-ai net");
    ShowMessage(longText);
    ASSERT_EQ(widths.size(), 2u);
    // Room for a close box and the title bar's margins beside the caption.
    EXPECT_GE(captionRoom[0], 40) << widths[0];
    // A text wider than the caption sets the width itself, and shows whole.
    EXPECT_GE(textRoom[1], 0) << widths[1];
    EXPECT_GT(widths[1], widths[0]);
}

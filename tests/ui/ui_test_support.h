// Helpers of the GUI tests: the application, the three windows as the
// program entry builds them, answering modal windows from inside their own
// loop, and keys sent where the focus is.
#pragma once

#include "framework/datetime.h"

#include <QApplication>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <ostream>
#include <vector>

class QTimer;

// The application with the program's glue, created on first use.
QApplication& TestApp();

// Creates Form1, Form2 and FormLogbookData in the program's order, with the
// application title set; frees them at the end of the test. The main window
// is not shown.
class TTestWindows {
public:
    TTestWindows();
    ~TTestWindows();
};

// Pins the clock: the local time, and a zone east of Greenwich by
// `biasMinutes` (Windows sign: negative east) without daylight saving.
void PinClock(TDateTime local, int biasMinutes);
void UnpinClock();

// Answers modal windows as they appear: `action` runs once for each new modal
// window, from inside its loop, and is expected to close it.
class TModalAnswerer {
public:
    explicit TModalAnswerer(std::function<void(QWidget* modal)> action);
    ~TModalAnswerer();
    int Count() const { return FCount; }

private:
    std::function<void(QWidget*)> FAction;
    QTimer* FPoll;
    QPointer<QWidget> FLast;
    int FCount = 0;
};

// Services events until `condition` holds or `timeoutMs` has passed; returns
// whether it holds.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000);
#define EXPECT_SOON(condition) EXPECT_TRUE(WaitFor([&] { return static_cast<bool>(condition); }))
#define EXPECT_WITHIN(ms, condition)                                                               \
    EXPECT_TRUE(WaitFor([&] { return static_cast<bool>(condition); }, ms))

// Sends a key press and release to the widget that holds the focus.
void PressKey(Qt::Key key);

// The control of `window` that holds the focus: the focus widget, or the
// composite control whose inner widget it is.
QWidget* FocusedControl(QWidget* window);

template <class T = QWidget> T* Child(QWidget* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
}

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

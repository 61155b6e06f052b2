#include "tests/ui/ui_test_support.h"

#include "framework/application.h"
#include "framework/qt/qt_application.h"
#include "framework/qt/runtime_dir.h"
#include "platform/win32/testing.h"
#include "tests/support/pinned_clock.h"
#include "ui/Log.h"
#include "ui/Setari.h"
#include "ui/UnitLogbookData.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

#include <cmath>

QApplication& TestApp() {
    static TQtApplication* app = [] {
        static int argc = 1;
        static char name[] = "ui_tests";
        static char* argv[] = {name, nullptr};
        // Run directly (not through CTest) the tests still need no display.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        NameRuntimeDirWhenUnset();
        auto* a = new TQtApplication(argc, argv);
        InstallQtGlue();
        return a;
    }();
    return *app;
}

TTestWindows::TTestWindows() {
    TestApp();
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    Form1 = new TForm1();
    Form2 = new TForm2();
    FormLogbookData = new TFormLogbookData();
}

TTestWindows::~TTestWindows() {
    delete FormLogbookData;
    delete Form2;
    delete Form1;
}

void PinClock(TDateTime local, int biasMinutes) {
    const auto instant = testpeer::InstantOfUtc(local + biasMinutes / 1440.0);
    platform::testing::SetClockQuery([instant] { return instant; });
    platform::testing::SetTimeZoneQuery([biasMinutes](TIME_ZONE_INFORMATION* tzi) {
        tzi->Bias = biasMinutes;
        tzi->StandardBias = 0;
        tzi->DaylightBias = 0;
        return static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN);
    });
}

void UnpinClock() {
    platform::testing::SetClockQuery(nullptr);
    platform::testing::SetTimeZoneQuery(nullptr);
}

TModalAnswerer::TModalAnswerer(std::function<void(QWidget*)> action)
    : FAction(std::move(action)), FPoll(new QTimer()) {
    TestApp();
    FPoll->setInterval(5);
    QObject::connect(FPoll, &QTimer::timeout, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (FLast && !FLast->isVisible())
            FLast = nullptr; // closed: a later showing is a new one
        if (!modal || modal == FLast || !modal->isVisible())
            return;
        FLast = modal;
        ++FCount;
        // Keys go where the focus is: wait until the window has it.
        (void)QTest::qWaitForWindowActive(modal, 2000);
        FAction(modal);
    });
    FPoll->start();
}

TModalAnswerer::~TModalAnswerer() {
    delete FPoll;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QTest::qWait(5);
    }
    return true;
}

void PressKey(Qt::Key key) {
    QWidget* target = QApplication::focusWidget();
    if (target)
        QTest::keyClick(target, key);
}

QWidget* FocusedControl(QWidget* window) {
    QWidget* w = QApplication::focusWidget();
    while (w && w->parentWidget() && w->parentWidget() != window)
        w = w->parentWidget();
    return w && w->parentWidget() == window ? w : nullptr;
}

// Fontconfig keeps caches it never frees; the leak checker of sanitizer
// builds is told so (the function is looked up by the sanitizer runtime).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

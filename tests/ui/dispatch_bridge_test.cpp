// Qt's loop driving the platform's messages and timers, and a synchronous
// platform wait keeping the windows alive.
#include "tests/ui/ui_test_support.h"

#include "framework/application.h"
#include "framework/qt/qt_dispatch_bridge.h"
#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"
#include "ui/Log.h"
#include "ui/Setari.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <poll.h>

namespace {

constexpr UINT kPing = WM_USER + 7;

struct TReceived {
    int pings = 0;
    int ticks = 0;
    int pingsInWait = 0;
    bool inWait = false;
};
TReceived* gReceived = nullptr;

LRESULT TestWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (gReceived && msg == kPing) {
        ++gReceived->pings;
        if (gReceived->inWait)
            ++gReceived->pingsInWait;
        return 0;
    }
    if (gReceived && msg == WM_TIMER) {
        ++gReceived->ticks;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// A hidden platform window of the test's own.
class TPlatformWindow {
public:
    TPlatformWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = TestWndProc;
        wc.lpszClassName = "BridgeTestWindow";
        RegisterClassA(&wc);
        FHandle = CreateWindowExA(0, "BridgeTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
        gReceived = &FReceived;
    }
    ~TPlatformWindow() {
        gReceived = nullptr;
        DestroyWindow(FHandle);
        UnregisterClassA("BridgeTestWindow", nullptr);
    }
    HWND Handle() const { return FHandle; }
    TReceived& Received() { return FReceived; }

private:
    HWND FHandle = nullptr;
    TReceived FReceived;
};

} // namespace

TEST(TQtDispatchBridge, QtLoopDispatchesPostedMessagesAndTimers) {
    TestApp();
    TPlatformWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    PostMessageA(window.Handle(), kPing, 0, 0);
    PostMessageA(window.Handle(), kPing, 0, 0);
    EXPECT_SOON(window.Received().pings == 2);

    ASSERT_NE(SetTimer(window.Handle(), 1, 20, nullptr), 0u);
    EXPECT_SOON(window.Received().ticks >= 3);
    KillTimer(window.Handle(), 1);
}

TEST(TQtDispatchBridge, ProcessMessagesServesQtEventsAndPlatformMessages) {
    TestApp();
    TPlatformWindow window;
    bool qtEvent = false;
    QTimer::singleShot(0, [&] { qtEvent = true; });
    PostMessageA(window.Handle(), kPing, 0, 0);
    Application().ProcessMessages();
    EXPECT_TRUE(qtEvent);
    EXPECT_EQ(window.Received().pings, 1);
    EXPECT_FALSE(Application().Terminated());
}

// A handler dispatched by the pump posts to its own thread (no wake-up is
// written for that) and then runs a loop of its own, as a modal dialog does:
// Qt's loop, about to block, finds the message and serves it.
TEST(TQtDispatchBridge, OwnPostMadeInsideThePumpIsServedByANestedQtLoop) {
    TestApp();
    TPlatformWindow window;
    Application().ProcessMessages();
    platform::PumpScope pumping; // as inside the handler
    PostMessageA(window.Handle(), kPing, 0, 0);
    pollfd handle{platform::ThreadWaitHandle(), POLLIN, 0};
    EXPECT_EQ(::poll(&handle, 1, 0), 0);
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (window.Received().pings > 0)
            loop.quit();
    });
    check.start(20);
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(window.Received().pings, 1);
}

// A handler that waits synchronously (as an upload does) for 1.5 seconds in
// a platform MsgWaitForMultipleObjects loop: meanwhile the clock ticks, a
// button click opens and closes the settings dialog, and the platform's
// messages reach the waiting loop.
TEST(TQtDispatchBridge, SynchronousWaitKeepsClockAndButtonsAlive) {
    TestApp();
    TTestWindows windows;
    TPlatformWindow platformWindow;
    int dialogs = 0;
    TModalAnswerer answerer([&](QWidget* modal) {
        ++dialogs;
        static_cast<QDialog*>(modal)->reject();
    });
    Form1->show();
    ASSERT_TRUE(WaitFor([&] { return dialogs == 1 && !Form2->isVisible(); }));

    int clockTicks = 0;
    QObject::connect(Form1->Timer1, &QTimer::timeout, [&] { ++clockTicks; });
    TReceived& received = platformWindow.Received();
    HWND hwnd = platformWindow.Handle();
    DWORD waited = 0;
    int ticksDuringWait = -1;
    bool waitDone = false;

    QTimer::singleShot(0, [&] {
        received.inWait = true;
        // Things happening while the handler waits.
        QTimer::singleShot(200, [] { Child<QPushButton>(Form1, "SetariBtn")->click(); });
        QTimer::singleShot(400, [hwnd] { PostMessageA(hwnd, kPing, 0, 0); });
        const DWORD start = GetTickCount();
        for (;;) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= 1500)
                break;
            if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 1500 - elapsed, QS_ALLINPUT) ==
                WAIT_OBJECT_0) {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
            }
        }
        waited = GetTickCount() - start;
        ticksDuringWait = clockTicks;
        received.inWait = false;
        waitDone = true;
    });
    EXPECT_WITHIN(5000, waitDone);
    EXPECT_GE(waited, 1500u);
    EXPECT_LT(waited, 2500u);
    EXPECT_GE(ticksDuringWait, 1);
    EXPECT_EQ(dialogs, 2);
    EXPECT_EQ(received.pingsInWait, 1);
    EXPECT_NE(Child<QLabel>(Form1, "Panel1")->text(), QStringLiteral("UTC"));
}

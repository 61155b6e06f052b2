// Windows, classes, message queues, timers and the per-thread reactor.
#include "platform/win32/reactor.h"
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Seen {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
thread_local std::vector<Seen> tSeen;

LRESULT CALLBACK_Record(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    tSeen.push_back({hwnd, msg, wParam, lParam});
    return static_cast<LRESULT>(msg) + 1000;
}

HINSTANCE Instance() {
    return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(0x400000));
}

WNDCLASSA MakeClass(const char* name, int extra = 16) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = CALLBACK_Record;
    wc.cbWndExtra = extra;
    wc.hInstance = Instance();
    wc.lpszClassName = name;
    return wc;
}

HWND MakeWindow(const char* cls) {
    return CreateWindowExA(WS_EX_TOOLWINDOW, cls, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           Instance(), nullptr);
}

void Drain() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// A registered class and one window, torn down even when an assertion fails.
struct WindowFixture : ::testing::Test {
    HWND hwnd = nullptr;
    void SetUp() override {
        Drain();
        tSeen.clear();
        WNDCLASSA wc = MakeClass("TestWindowClass");
        ASSERT_NE(RegisterClassA(&wc), 0);
        hwnd = MakeWindow("TestWindowClass");
        ASSERT_NE(hwnd, nullptr);
    }
    void TearDown() override {
        if (IsWindow(hwnd))
            DestroyWindow(hwnd);
        UnregisterClassA("TestWindowClass", Instance());
        Drain();
    }
};

bool Readable(int fd) {
    epoll_event ev{};
    int ep = epoll_create1(0);
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    int n = epoll_wait(ep, &ev, 1, 0);
    close(ep);
    return n == 1;
}

// ---- classes and windows ----

TEST(WindowClass, RegisterTwiceFailsAndUnregisterWithWindowsIsRefused) {
    WNDCLASSA wc = MakeClass("ClassRulesTest");
    ATOM atom = RegisterClassA(&wc);
    ASSERT_NE(atom, 0);
    EXPECT_GE(atom, 0xC000);
    EXPECT_EQ(RegisterClassA(&wc), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    WNDCLASSA info{};
    EXPECT_TRUE(GetClassInfoA(Instance(), "classrulestest", &info)); // names ignore case
    EXPECT_EQ(info.lpfnWndProc, &CALLBACK_Record);
    EXPECT_EQ(info.cbWndExtra, 16);
    EXPECT_FALSE(GetClassInfoA(nullptr, "ClassRulesTest", &info)); // other instance

    HWND w = MakeWindow("ClassRulesTest");
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(UnregisterClassA("ClassRulesTest", Instance()));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_TRUE(UnregisterClassA("ClassRulesTest", Instance()));
    EXPECT_FALSE(UnregisterClassA("ClassRulesTest", Instance()));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
    EXPECT_FALSE(GetClassInfoA(Instance(), "ClassRulesTest", &info));
    EXPECT_EQ(MakeWindow("ClassRulesTest"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

// The class atom table holds 16,384 atoms (0xC000 to 0xFFFF). Unregistering
// gives the atom back, so a class may come and go any number of times.
TEST(WindowClass, UnregisteringReturnsTheAtomForReuse) {
    WNDCLASSA wc = MakeClass("AtomReuseTest");
    ATOM first = RegisterClassA(&wc);
    ASSERT_NE(first, 0);
    ASSERT_TRUE(UnregisterClassA("AtomReuseTest", Instance()));
    for (int i = 0; i < 20000; ++i) {
        ATOM atom = RegisterClassA(&wc);
        ASSERT_NE(atom, 0) << "cycle " << i << ", error " << GetLastError();
        ASSERT_EQ(atom, first) << "cycle " << i;
        ASSERT_TRUE(UnregisterClassA("AtomReuseTest", Instance()));
    }
    // A class that stays keeps its atom; others do not get it.
    ATOM kept = RegisterClassA(&wc);
    WNDCLASSA other = MakeClass("AtomReuseOther");
    ATOM second = RegisterClassA(&other);
    EXPECT_NE(second, 0);
    EXPECT_NE(second, kept);
    EXPECT_TRUE(UnregisterClassA("AtomReuseOther", Instance()));
    EXPECT_TRUE(UnregisterClassA("AtomReuseTest", Instance()));
}

TEST_F(WindowFixture, StaleHandleIsRefusedEvenWhenItsSlotIsReused) {
    HWND old = hwnd;
    ASSERT_TRUE(DestroyWindow(old));
    ASSERT_EQ(tSeen.size(), 1u);
    EXPECT_EQ(tSeen[0].msg, WM_DESTROY);
    hwnd = MakeWindow("TestWindowClass");
    ASSERT_NE(hwnd, nullptr);
    EXPECT_NE(hwnd, old);
    EXPECT_FALSE(IsWindow(old));
    EXPECT_FALSE(PostMessageA(old, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(DestroyWindow(old));
    EXPECT_EQ(GetWindowLongPtrA(old, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SetTimer(old, 1, 10, nullptr), 0u);
    EXPECT_FALSE(IsWindow(nullptr));
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x12345))));
}

// The thread's own window that it has just posted and dispatched to (which
// the thread remembers) is refused like any other once destroyed: no post
// goes in, and a message kept for it reaches no procedure.
TEST_F(WindowFixture, AWindowJustUsedIsRefusedOnceDestroyed) {
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    DispatchMessageA(&m);
    ASSERT_TRUE(DestroyWindow(hwnd));
    tSeen.clear();
    EXPECT_FALSE(PostMessageA(m.hwnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(0);
    DispatchMessageA(&m);
    EXPECT_TRUE(tSeen.empty());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowFixture, ExtraBytesHoldValuesWithinTheirSize) {
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), 0);
    EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, 0x1234), 0);
    EXPECT_EQ(SetWindowLongPtrA(hwnd, 8, -7), 0);
    EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, 0x5678), 0x1234); // returns the previous value
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), 0x5678);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 8), -7);
    for (int bad : {9, 16, -1}) {
        SetLastError(0);
        EXPECT_EQ(SetWindowLongPtrA(hwnd, bad, 1), 0) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX) << bad;
    }
}

TEST_F(WindowFixture, DestroyingAWindowDropsItsQueuedMessagesAndTimers) {
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 0, 0));
    ASSERT_NE(SetTimer(hwnd, 5, 10, nullptr), 0u);
    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 2u);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowFixture, OnlyTheOwningThreadDestroysAWindow) {
    BOOL result = TRUE;
    DWORD error = 0, owner = 0;
    std::thread([&] {
        result = DestroyWindow(hwnd);
        error = GetLastError();
        owner = GetWindowThreadProcessId(hwnd, nullptr);
    }).join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(owner, GetCurrentThreadId());
    EXPECT_TRUE(IsWindow(hwnd));
}

TEST(Kernel, ThreadIdsAreNonzeroStableAndDistinct) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(mine, GetCurrentThreadId());
    DWORD other = 0;
    std::thread([&] {
        other = GetCurrentThreadId();
        SetLastError(77);
    }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
    SetLastError(5);
    EXPECT_EQ(GetLastError(), 5u); // per thread: the other thread's 77 is not seen
}

TEST(Kernel, CriticalSectionIsRecursive) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(entered.load()); // still held once
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered.load());
    DeleteCriticalSection(&cs);
}

TEST(Kernel, TickCountWrapsAtTwoToThe32) {
    DWORD now = GetTickCount();
    platform::testing::SetTickCountOffset(0xFFFFFFFFu - now - 20); // 20 ms before the wrap
    DWORD before = GetTickCount();
    EXPECT_GT(before, 0xFFFFFF00u);
    DWORD after = before;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (after >= before && std::chrono::steady_clock::now() < deadline) {
        Sleep(5);
        after = GetTickCount();
    }
    platform::testing::SetTickCountOffset(0);
    EXPECT_LT(after, before);
    EXPECT_LT(static_cast<DWORD>(after - before), 1000u); // unsigned difference still works
}

// ---- messages ----

TEST(RegisterWindowMessage, SameNameSameNumberInTheRegisteredRange) {
    UINT a = RegisterWindowMessageA("TORVELIX_THREAD_TIMER");
    UINT b = RegisterWindowMessageA("torvelix_thread_timer");
    UINT c = RegisterWindowMessageA("SomeOtherMessage");
    EXPECT_GE(a, 0xC000u);
    EXPECT_LE(a, 0xFFFFu);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);
}

TEST_F(WindowFixture, DispatchCallsTheProcedureAndReturnsItsResult) {
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 5, 11, 22));
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.hwnd, hwnd);
    EXPECT_EQ(TranslateMessage(&m), FALSE);
    EXPECT_EQ(DispatchMessageA(&m), static_cast<LRESULT>(WM_USER + 5 + 1000));
    ASSERT_EQ(tSeen.size(), 1u);
    EXPECT_EQ(tSeen[0].wParam, 11u);
    EXPECT_EQ(tSeen[0].lParam, 22);
}

TEST_F(WindowFixture, PeekFiltersByWindowAndNumberAndKeepsOrder) {
    HWND other = MakeWindow("TestWindowClass");
    ASSERT_NE(other, nullptr);
    PostMessageA(hwnd, WM_USER + 1, 1, 0);
    PostMessageA(other, WM_USER + 2, 2, 0);
    PostMessageA(hwnd, WM_USER + 3, 3, 0);
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 4, 4, 0);

    MSG m;
    // Window filter.
    ASSERT_TRUE(PeekMessageA(&m, other, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.wParam, 2u);
    ASSERT_TRUE(PeekMessageA(&m, other, 0, 0, PM_NOREMOVE)); // not removed
    EXPECT_EQ(m.wParam, 2u);
    // Number filter, inclusive range.
    ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_USER + 3, WM_USER + 4, PM_REMOVE));
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_FALSE(PeekMessageA(&m, hwnd, WM_USER + 3, WM_USER + 3, PM_REMOVE));
    // Thread messages only.
    ASSERT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(m.wParam, 4u);
    EXPECT_EQ(m.hwnd, nullptr);
    // What is left comes out in posting order.
    std::vector<WPARAM> order;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        order.push_back(m.wParam);
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2}));
    // A stale window filter is an error, as in Windows.
    ASSERT_TRUE(DestroyWindow(other));
    EXPECT_FALSE(PeekMessageA(&m, other, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowFixture, PurgingOneNumberLeavesTheOthers) {
    for (int i = 0; i < 3; ++i) {
        PostMessageA(hwnd, WM_USER + 7, static_cast<WPARAM>(i), 0);
        PostMessageA(hwnd, WM_USER + 8, static_cast<WPARAM>(i), 0);
    }
    MSG m;
    int purged = 0;
    while (PeekMessageA(&m, hwnd, WM_USER + 7, WM_USER + 7, PM_REMOVE))
        ++purged;
    EXPECT_EQ(purged, 3);
    int left = 0;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        EXPECT_EQ(m.message, WM_USER + 8u);
        ++left;
    }
    EXPECT_EQ(left, 3);
}

TEST_F(WindowFixture, QuitComesAfterPostedMessagesAndEndsGetMessage) {
    PostQuitMessage(3);
    PostMessageA(hwnd, WM_USER, 0, 0);
    MSG m;
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.message, WM_USER);
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowFixture, PostFromAnotherThreadWakesABlockedGetMessage) {
    std::thread poster([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int i = 0; i < 100; ++i)
            PostMessageA(hwnd, WM_USER + 9, static_cast<WPARAM>(i), 0);
    });
    MSG m;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
        EXPECT_EQ(m.wParam, static_cast<WPARAM>(i));
    }
    poster.join();
}

TEST(PostThreadMessage, ReachesAnotherThreadAndFailsForUnknownThreads) {
    std::atomic<DWORD> tid{0};
    std::atomic<int> got{-1};
    std::thread receiver([&] {
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE); // creates the queue
        tid = GetCurrentThreadId();
        if (GetMessageA(&m, nullptr, 0, 0) == 1)
            got = static_cast<int>(m.wParam);
    });
    while (tid == 0)
        std::this_thread::yield();
    EXPECT_TRUE(PostThreadMessageA(tid, WM_USER, 42, 0));
    receiver.join();
    EXPECT_EQ(got, 42);
    // The thread has gone and its queue with it.
    EXPECT_FALSE(PostThreadMessageA(tid, WM_USER, 1, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(ThreadExit, WindowsOfAFinishedThreadAreGone) {
    WNDCLASSA wc = MakeClass("ThreadExitClass");
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND w = nullptr;
    std::thread([&] { w = MakeWindow("ThreadExitClass"); }).join();
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));
    EXPECT_TRUE(UnregisterClassA("ThreadExitClass", Instance()));
}

// ---- timers ----

TEST_F(WindowFixture, TimerTicksOnlyWhenTheQueueIsOtherwiseEmptyAndAtMostOnce) {
    ASSERT_EQ(SetTimer(hwnd, 7, 10, nullptr), 7u);
    EXPECT_LE(platform::MillisecondsToNextTimer(), 10u);
    // Let several intervals pass without retrieving anything.
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 2000, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_EQ(platform::MillisecondsToNextTimer(), 0u);
    Sleep(35);
    PostMessageA(hwnd, WM_USER, 0, 0);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER); // the posted message first
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_EQ(m.hwnd, hwnd);
    EXPECT_EQ(m.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)); // one tick, not three
    EXPECT_GT(platform::MillisecondsToNextTimer(), 0u);
    // The next tick comes again after an interval.
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.message, WM_TIMER);
    DispatchMessageA(&m);
    ASSERT_EQ(tSeen.size(), 1u);
    EXPECT_EQ(tSeen[0].msg, WM_TIMER);
    EXPECT_EQ(tSeen[0].wParam, 7u);
}

TEST_F(WindowFixture, KillTimerStopsIt) {
    ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
    ASSERT_TRUE(KillTimer(hwnd, 1));
    EXPECT_FALSE(KillTimer(hwnd, 1));
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE);
    Sleep(30);
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(platform::HasPendingMessage());
}

thread_local int tTimerProcCalls = 0;
void CountingTimerProc(HWND, UINT msg, UINT_PTR, DWORD) {
    if (msg == WM_TIMER)
        ++tTimerProcCalls;
}

TEST_F(WindowFixture, TimerProcIsCalledByDispatchAndForgedOnesAreNot) {
    tTimerProcCalls = 0;
    ASSERT_NE(SetTimer(hwnd, 3, 10, CountingTimerProc), 0u);
    MSG m;
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    ASSERT_EQ(m.message, WM_TIMER);
    DispatchMessageA(&m);
    EXPECT_EQ(tTimerProcCalls, 1);
    EXPECT_TRUE(tSeen.empty()); // the procedure, not the window, got it
    KillTimer(hwnd, 3);
    DispatchMessageA(&m); // the timer is gone: nothing is called
    EXPECT_EQ(tTimerProcCalls, 1);
}

TEST(ThreadTimer, TimerWithoutWindowGetsItsOwnId) {
    Drain();
    UINT_PTR id = SetTimer(nullptr, 0, 10, CountingTimerProc);
    ASSERT_NE(id, 0u);
    UINT_PTR id2 = SetTimer(nullptr, 0, 10, CountingTimerProc);
    EXPECT_NE(id, id2);
    MSG m;
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_EQ(m.hwnd, nullptr);
    EXPECT_TRUE(KillTimer(nullptr, id));
    EXPECT_TRUE(KillTimer(nullptr, id2));
}

// ---- the reactor ----

TEST_F(WindowFixture, WaitHandleBecomesReadableOnPostFromAnotherThread) {
    int handle = platform::ThreadWaitHandle();
    ASSERT_GE(handle, 0);
    platform::ProcessReadyEvents();
    EXPECT_FALSE(Readable(handle));
    std::thread([this] { PostMessageA(hwnd, WM_USER, 0, 0); }).join();
    EXPECT_TRUE(Readable(handle));
    EXPECT_TRUE(platform::ProcessReadyEvents());
    EXPECT_FALSE(Readable(handle)); // drained
    EXPECT_TRUE(platform::HasPendingMessage());
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(platform::HasPendingMessage());
    EXPECT_FALSE(platform::ProcessReadyEvents());
}

TEST_F(WindowFixture, WaitHandleBecomesReadableAtTheTimerDeadline) {
    int handle = platform::ThreadWaitHandle();
    platform::ProcessReadyEvents();
    ASSERT_NE(SetTimer(hwnd, 1, 20, nullptr), 0u);
    EXPECT_FALSE(Readable(handle));
    EXPECT_FALSE(platform::HasPendingMessage());
    epoll_event ev{};
    int ep = epoll_create1(0);
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, handle, &ev);
    EXPECT_EQ(epoll_wait(ep, &ev, 1, 2000), 1);
    close(ep);
    EXPECT_EQ(platform::MillisecondsToNextTimer(), 0u);
    EXPECT_TRUE(platform::ProcessReadyEvents());
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_TIMER);
}

TEST_F(WindowFixture, WatchedSocketRunsItsCallbackFromProcessReadyEvents) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int calls = 0;
    std::uint32_t seen = 0;
    ASSERT_TRUE(platform::WatchSocket(hwnd, sv[0], EPOLLIN, [&](std::uint32_t ev) {
        ++calls;
        seen = ev;
        char c;
        ASSERT_EQ(read(sv[0], &c, 1), 1);
        PostMessageA(hwnd, WM_USER + 1, 0, 0);
    }));
    platform::ProcessReadyEvents();
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(write(sv[1], "x", 1), 1);
    EXPECT_TRUE(Readable(platform::ThreadWaitHandle()));
    EXPECT_TRUE(platform::ProcessReadyEvents());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(seen & EPOLLIN);
    // Unwatched: data arriving later reaches no callback.
    platform::UnwatchSocket(sv[0]);
    ASSERT_EQ(write(sv[1], "y", 1), 1);
    platform::ProcessReadyEvents();
    EXPECT_EQ(calls, 1);
    close(sv[0]);
    close(sv[1]);
}

TEST_F(WindowFixture, CallbackThatUnwatchesAnotherSocketPreventsItsStaleCallback) {
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    int callsA = 0, callsB = 0;
    // Whichever runs first unwatches the other; only one may run.
    ASSERT_TRUE(platform::WatchSocket(hwnd, a[0], EPOLLIN, [&](std::uint32_t) {
        ++callsA;
        platform::UnwatchSocket(b[0]);
        platform::UnwatchSocket(a[0]);
    }));
    ASSERT_TRUE(platform::WatchSocket(hwnd, b[0], EPOLLIN, [&](std::uint32_t) {
        ++callsB;
        platform::UnwatchSocket(a[0]);
        platform::UnwatchSocket(b[0]);
    }));
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    platform::ProcessReadyEvents();
    platform::ProcessReadyEvents();
    EXPECT_EQ(callsA + callsB, 1);
    for (int fd : {a[0], a[1], b[0], b[1]})
        close(fd);
}

TEST_F(WindowFixture, WatchingAgainReplacesEventsAndCallback) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int first = 0, second = 0;
    ASSERT_TRUE(platform::WatchSocket(hwnd, sv[0], EPOLLIN, [&](std::uint32_t) { ++first; }));
    ASSERT_TRUE(platform::WatchSocket(hwnd, sv[0], EPOLLOUT, [&](std::uint32_t) { ++second; }));
    platform::ProcessReadyEvents(); // writable at once
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    ASSERT_TRUE(platform::WatchSocket(hwnd, sv[0], 0, [&](std::uint32_t) { ++second; }));
    platform::ProcessReadyEvents(); // no events asked for: silent
    EXPECT_EQ(second, 1);
    platform::UnwatchSocket(sv[0]);
    close(sv[0]);
    close(sv[1]);
    EXPECT_FALSE(platform::WatchSocket(reinterpret_cast<HWND>(1), 0, EPOLLIN, nullptr));
}

TEST(MsgWaitForMultipleObjects, CallsTheWaitHookWithTheTimeOut) {
    std::vector<DWORD> calls;
    platform::SetThreadWaitHook([&](DWORD ms) { calls.push_back(ms); });
    Drain();
    DWORD result = MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
    EXPECT_EQ(result, WAIT_TIMEOUT);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), 0u);

    calls.clear();
    // The hook is where the host loop runs; a post made there ends the wait.
    platform::SetThreadWaitHook([&](DWORD ms) {
        calls.push_back(ms);
        PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 500, QS_ALLINPUT), WAIT_OBJECT_0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], 500u);
    // Already pending: no wait at all.
    calls.clear();
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 500, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_TRUE(calls.empty());
    platform::SetThreadWaitHook(nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    Drain();
}

TEST(MsgWaitForMultipleObjects, DefaultWaitTimesOutAndWakesOnPost) {
    Drain();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
    DWORD me = GetCurrentThreadId();
    std::thread poster([me] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        PostThreadMessageA(me, WM_USER, 0, 0);
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0);
    poster.join();
    Drain();
}

} // namespace

namespace {

TEST_F(WindowFixture, ConcurrentPostersLoseNothingAndKeepEachOnesOrder) {
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(PostMessageA(hwnd, WM_USER + static_cast<UINT>(t), i, 0));
        });
    std::vector<int> next(kThreads, 0);
    MSG m;
    for (int n = 0; n < kThreads * kEach; ++n) {
        ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
        int t = static_cast<int>(m.message - WM_USER);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ASSERT_EQ(static_cast<int>(m.wParam), next[t]++);
    }
    for (auto& p : posters)
        p.join();
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST(ThreadExit, PostsRacingWithTheOwnersExitAreSafe) {
    WNDCLASSA wc = MakeClass("ExitRaceClass");
    ASSERT_NE(RegisterClassA(&wc), 0);
    for (int round = 0; round < 20; ++round) {
        std::atomic<HWND> w{nullptr};
        std::atomic<bool> stop{false};
        std::thread owner([&] {
            w = MakeWindow("ExitRaceClass");
            MSG m;
            for (int i = 0; i < 50; ++i)
                PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        });
        std::thread poster([&] {
            while (!w.load())
                std::this_thread::yield();
            while (PostMessageA(w.load(), WM_USER, 0, 0)) {
            }
            stop = true;
        });
        owner.join();
        poster.join();
        EXPECT_TRUE(stop.load());
        EXPECT_FALSE(IsWindow(w.load()));
    }
    EXPECT_TRUE(UnregisterClassA("ExitRaceClass", Instance()));
}

} // namespace

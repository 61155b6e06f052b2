// The pump's pass: the order of posted messages, ready sockets' notices,
// WM_QUIT and timers, its bound, the thread's own posts inside a pump, and
// socket watch changes held until the next collection.
#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr UINT kA = WM_USER + 1, kB = WM_USER + 2, kC = WM_USER + 3, kReady = WM_USER + 4;

// What the window saw, in order, and what it does on a message.
thread_local std::vector<UINT> tSeen;
thread_local std::function<void(UINT)> tOnMessage;

LRESULT RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    tSeen.push_back(msg);
    if (msg == WM_TIMER) // one tick is all a test wants, however slow the pass
        KillTimer(hwnd, wParam);
    if (tOnMessage)
        tOnMessage(msg);
    return 0;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// One pump pass as the application's pumps run it. Returns whether it
// ended at WM_QUIT.
bool PumpPass() {
    platform::PumpPass pass;
    MSG msg;
    while (pass.Next(&msg)) {
        if (msg.message == WM_QUIT)
            return true;
        DispatchMessageA(&msg);
    }
    return false;
}

struct PumpFixture : ::testing::Test {
    HWND hwnd = nullptr;
    int pair[2] = {-1, -1};

    void SetUp() override {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.lpszClassName = "PumpTestWindow";
        ASSERT_NE(RegisterClassA(&wc), 0);
        hwnd = CreateWindowExA(0, "PumpTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        PumpPass();
        tSeen.clear();
        tOnMessage = nullptr;
    }
    void TearDown() override {
        tOnMessage = nullptr;
        platform::UnwatchSocket(pair[0]);
        close(pair[0]);
        close(pair[1]);
        DestroyWindow(hwnd);
        UnregisterClassA("PumpTestWindow", nullptr);
    }
    // Makes pair[0] readable.
    void MakeReady() { ASSERT_EQ(write(pair[1], "x", 1), 1); }
    // Watches pair[0]: each byte read there is one kReady posted.
    void WatchPostingReady() {
        ASSERT_NE(platform::WatchSocket(hwnd, pair[0], EPOLLIN,
                                        [this](std::uint32_t) {
                                            char c;
                                            if (read(pair[0], &c, 1) == 1)
                                                PostMessageA(hwnd, kReady, 0, 0);
                                        }),
                  0u);
    }
    // Waits (bounded) until the window's timer is due.
    static void WaitUntilTimerDue() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (platform::MillisecondsToNextTimer() != 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(platform::MillisecondsToNextTimer(), 0u);
    }
};

TEST_F(PumpFixture, QueuedMessagesThenWhatBecameReadyThenTheDueTimer) {
    // The socket's notice is posted once, when its readiness is collected.
    WatchPostingReady();
    ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
    WaitUntilTimerDue();
    // A handler that posts and makes the socket ready while the pass runs.
    tOnMessage = [this](UINT msg) {
        if (msg == kA) {
            PostMessageA(hwnd, kC, 0, 0);
            MakeReady();
        }
    };
    PostMessageA(hwnd, kA, 0, 0);
    PostMessageA(hwnd, kB, 0, 0);
    EXPECT_FALSE(PumpPass());
    // Posted messages in the order posted, the notice of what became ready
    // after them, and the timer only when nothing else was left.
    EXPECT_EQ(tSeen, (std::vector<UINT>{kA, kB, kC, kReady, WM_TIMER}));
}

TEST_F(PumpFixture, QuitComesAfterEverythingPostedAndReadyAndBeforeTheTimer) {
    WatchPostingReady();
    ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
    WaitUntilTimerDue();
    MakeReady();
    PostMessageA(hwnd, kA, 0, 0);
    PostQuitMessage(3);
    MSG msg;
    {
        platform::PumpScope pumping;
        std::vector<UINT> taken;
        while (platform::TakeNextMessage(&msg)) {
            taken.push_back(msg.message);
            if (msg.message == WM_QUIT)
                break;
        }
        EXPECT_EQ(taken, (std::vector<UINT>{kA, kReady, WM_QUIT}));
        EXPECT_EQ(msg.wParam, 3u);
    }
    PumpPass();
    EXPECT_EQ(tSeen, std::vector<UINT>{WM_TIMER});
}

// Windows posts a socket's notice when its event happens. The socket is
// ready when A is dispatched (its notice S is due), A's handler posts more:
// S comes before anything posted after it, and WM_QUIT and a due timer come
// last, each in a pass of its own.
struct OrderCase {
    const char* name;
    int reposts;        // A posts itself again this many times, else posts B
    bool quitAndTimer;  // a quit posted and a timer due before the pump
    std::size_t length; // of the sequence dispatched
    std::vector<UINT> head;
};

void PrintTo(const OrderCase& c, std::ostream* os) {
    *os << c.name;
}

class NoticeOrder : public PumpFixture, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(NoticeOrder, NoticeComesBeforeWhatIsPostedAfterItsSocketBecameReady) {
    const OrderCase& c = GetParam();
    WatchPostingReady();
    if (c.quitAndTimer) {
        ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
        WaitUntilTimerDue();
    }
    int reposts = c.reposts;
    tOnMessage = [&](UINT msg) {
        if (msg == kA)
            PostMessageA(hwnd, reposts-- > 0 ? kA : kB, 0, 0);
    };
    MakeReady();
    PostMessageA(hwnd, kA, 0, 0);
    if (c.quitAndTimer)
        PostQuitMessage(0);
    for (int passes = 0; passes < 1000 && (platform::HasPendingMessage() || passes == 0); ++passes)
        if (PumpPass())
            tSeen.push_back(WM_QUIT);
    ASSERT_EQ(tSeen.size(), c.length);
    EXPECT_EQ(std::vector<UINT>(tSeen.begin(), tSeen.begin() + static_cast<long>(c.head.size())),
              c.head);
    EXPECT_EQ(std::count(tSeen.begin(), tSeen.end(), kReady), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Pump, NoticeOrder,
    ::testing::Values(OrderCase{"APostsB", 0, false, 3, {kA, kReady, kB}},
                      // A body sent piece by piece is such a chain.
                      OrderCase{"SelfRepostingChain", 1000, false, 1003, {kA, kReady, kA, kA}},
                      OrderCase{
                          "QuitAndDueTimer", 0, true, 5, {kA, kReady, kB, WM_QUIT, WM_TIMER}}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

TEST_F(PumpFixture, APassIsBoundedWhenASocketStaysReadyAndHandlersKeepPosting) {
    // Every collection finds the socket ready and posts; every message
    // posts another. Without a bound the pass would never end.
    int collections = 0;
    ASSERT_NE(platform::WatchSocket(hwnd, pair[0], EPOLLIN,
                                    [&](std::uint32_t) {
                                        ++collections;
                                        PostMessageA(hwnd, kReady, 0, 0);
                                    }),
              0u);
    tOnMessage = [this](UINT msg) { PostMessageA(hwnd, msg == kReady ? kA : kB, 0, 0); };
    MakeReady();
    EXPECT_FALSE(PumpPass());
    EXPECT_EQ(collections, platform::PumpPass::kMaxCollections);
    // What is left is announced on the wait handle for the next pass.
    EXPECT_TRUE(Readable(platform::ThreadWaitHandle()));
    EXPECT_TRUE(platform::HasPendingMessage());
    platform::UnwatchSocket(pair[0]);
}

TEST_F(PumpFixture, ABurstOfQueuedMessagesIsServedWithOneCollection) {
    // A socket that stays ready: every collection runs its callback.
    int collections = 0;
    ASSERT_NE(platform::WatchSocket(hwnd, pair[0], EPOLLIN, [&](std::uint32_t) { ++collections; }),
              0u);
    MakeReady();
    for (int i = 0; i < 100; ++i)
        PostMessageA(hwnd, kA, static_cast<WPARAM>(i), 0);
    PumpPass();
    EXPECT_EQ(tSeen.size(), 100u);
    // Once, before the first of them; never before each message.
    EXPECT_EQ(collections, 1);
}

TEST_F(PumpFixture, OwnPostInsideThePumpWritesNoWakeUpAndIsServedInTheSamePass) {
    bool quietAfterPost = false;
    tOnMessage = [&](UINT msg) {
        if (msg == kA) {
            PostMessageA(hwnd, kB, 0, 0);
            quietAfterPost = !Readable(platform::ThreadWaitHandle());
        }
    };
    PostMessageA(hwnd, kA, 0, 0);
    platform::ProcessReadyEvents(); // takes the wake-up of that post
    ASSERT_FALSE(Readable(platform::ThreadWaitHandle()));
    PumpPass();
    EXPECT_TRUE(quietAfterPost);
    EXPECT_EQ(tSeen, (std::vector<UINT>{kA, kB}));
    EXPECT_FALSE(Readable(platform::ThreadWaitHandle()));
}

TEST_F(PumpFixture, LeavingThePumpWithOwnPostsUnservedWakesTheHandle) {
    {
        platform::PumpScope pumping;
        PostMessageA(hwnd, kA, 0, 0);
        EXPECT_FALSE(Readable(platform::ThreadWaitHandle()));
        EXPECT_TRUE(platform::PrepareToBlock()); // a nested loop must not block
    }
    EXPECT_TRUE(Readable(platform::ThreadWaitHandle()));
    PumpPass();
    EXPECT_EQ(tSeen, std::vector<UINT>{kA});
    EXPECT_FALSE(Readable(platform::ThreadWaitHandle()));
}

TEST_F(PumpFixture, PostFromAnotherThreadDuringThePumpWakesTheHandle) {
    platform::PumpScope pumping;
    std::thread([this] { PostMessageA(hwnd, kA, 0, 0); }).join();
    EXPECT_TRUE(Readable(platform::ThreadWaitHandle()));
}

TEST_F(PumpFixture, WatchChangesInsideThePumpWaitForTheNextCollection) {
    int calls = 0;
    const platform::WatchId id =
        platform::WatchSocket(hwnd, pair[0], EPOLLIN, [&](std::uint32_t) { ++calls; });
    ASSERT_NE(id, 0u);
    MakeReady();
    {
        platform::PumpScope pumping;
        ASSERT_TRUE(platform::ModifyWatch(id, 0)); // nothing wanted
        // Not applied yet: epoll still watches for input.
        EXPECT_TRUE(Readable(platform::ThreadWaitHandle()));
        // The collection applies the change first, so the socket is quiet.
        platform::ProcessReadyEvents();
        EXPECT_EQ(calls, 0);
        // Asked back and forth within the pass: applied once, at its end.
        ASSERT_TRUE(platform::ModifyWatch(id, EPOLLOUT));
        ASSERT_TRUE(platform::ModifyWatch(id, EPOLLIN));
        EXPECT_FALSE(Readable(platform::ThreadWaitHandle()));
    }
    // The end of the pump applied the last change.
    EXPECT_TRUE(Readable(platform::ThreadWaitHandle()));
    platform::ProcessReadyEvents();
    EXPECT_EQ(calls, 1);
    // Outside a pump a change applies at once.
    ASSERT_TRUE(platform::ModifyWatch(id, 0));
    EXPECT_FALSE(Readable(platform::ThreadWaitHandle()));
}

// A change epoll refused is not taken as made: asked again, it is tried
// again. (The descriptor's number is first a file, which epoll refuses, then
// a socket again.)
TEST_F(PumpFixture, AWatchChangeEpollRefusedIsTriedAgain) {
    int calls = 0;
    const platform::WatchId id =
        platform::WatchSocket(hwnd, pair[0], EPOLLIN, [&](std::uint32_t) { ++calls; });
    ASSERT_NE(id, 0u);
    const int number = pair[0];
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    ASSERT_EQ(dup2(file, number), number);
    close(file);
    EXPECT_FALSE(platform::ModifyWatch(id, EPOLLOUT));
    int again[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, again), 0);
    ASSERT_EQ(dup2(again[0], number), number);
    close(again[0]);
    close(pair[1]);
    pair[1] = again[1];
    EXPECT_TRUE(platform::ModifyWatch(id, EPOLLOUT));
    platform::ProcessReadyEvents(); // writable at once
    EXPECT_EQ(calls, 1);
}

TEST_F(PumpFixture, ModifyWatchRefusesAStaleIdAndAnotherThreadsWatch) {
    const platform::WatchId id =
        platform::WatchSocket(hwnd, pair[0], EPOLLIN, [](std::uint32_t) {});
    ASSERT_NE(id, 0u);
    bool fromOtherThread = true;
    std::thread([&] { fromOtherThread = platform::ModifyWatch(id, EPOLLOUT); }).join();
    EXPECT_FALSE(fromOtherThread);
    // Watching again makes a new watch; the old id is stale.
    const platform::WatchId again =
        platform::WatchSocket(hwnd, pair[0], EPOLLIN, [](std::uint32_t) {});
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, id);
    EXPECT_FALSE(platform::ModifyWatch(id, EPOLLOUT));
    EXPECT_TRUE(platform::ModifyWatch(again, EPOLLOUT));
    platform::UnwatchSocket(pair[0]);
    EXPECT_FALSE(platform::ModifyWatch(again, EPOLLIN));
    EXPECT_FALSE(platform::ModifyWatch(0, EPOLLIN));
}

} // namespace

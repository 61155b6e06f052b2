// The hidden-window dispatch layer: message numbers, shared windows, the
// window class's lifetime, purging, timers, thread ownership, escaped
// exceptions.
#include "net/socket/icswndcontrol.h"
#include "net/socket/wsocket.h"
#include "platform/win32/reactor.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A component that takes `count` message numbers and records the messages
// it receives on them.
class TTestControl : public TIcsWndControl {
public:
    explicit TTestControl(int count, bool attach = true, TComponent* owner = nullptr)
        : TIcsWndControl(owner), FCount(count) {
        if (attach)
            AttachHandler();
    }
    ~TTestControl() override {
        BeginDestruction();
        ReleaseHandlerOnce();
        if (Destroyed)
            *Destroyed = true;
    }
    UINT Number(int i) const {
        return i == 0 ? ReleaseMessage() : Extra.at(static_cast<size_t>(i - 1));
    }
    UINT LastNumber() const { return Number(FCount - 1); }

    std::vector<UINT> Extra;
    std::vector<TIcsMessage> Seen;
    std::function<void(TIcsMessage&)> OnMessage;
    int Stops = 0;
    bool* Destroyed = nullptr;

protected:
    int RequiredMessageCount() override { return FCount; }
    void AllocateMessages() override {
        TIcsWndControl::AllocateMessages();
        for (int i = 1; i < FCount; ++i)
            Extra.push_back(WindowHandler()->AllocateMessage(this));
    }
    void FreeMessages() override {
        for (UINT& m : Extra)
            WindowHandler()->FreeMessage(m);
        Extra.clear();
        TIcsWndControl::FreeMessages();
    }
    void HandleMessage(TIcsMessage& msg) override {
        if (msg.Msg == ReleaseMessage()) {
            TIcsWndControl::HandleMessage(msg);
            return;
        }
        Seen.push_back(msg);
        if (OnMessage)
            OnMessage(msg);
    }
    void EmergencyStop() override { ++Stops; }

private:
    int FCount;
};

bool ClassRegistered() {
    WNDCLASSA wc{};
    return GetClassInfoA(GetModuleHandleA(nullptr), IcsWndControlWindowClassName, &wc) != 0;
}

void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

} // namespace

TEST(TIcsWndHandlerPool, ClientAndSocketShareOneWindowNumbered1025To1035) {
    EXPECT_EQ(IcsWndWindowCount(), 0);
    TTestControl client(4); // the size of an HTTP client
    TWSocket socket(nullptr);
    EXPECT_EQ(IcsWndWindowCount(), 1);
    EXPECT_EQ(client.Handle(), socket.Handle());
    EXPECT_EQ(client.ReleaseMessage(), 1025u);
    EXPECT_EQ(client.LastNumber(), 1028u);
    EXPECT_EQ(socket.ReleaseMessage(), 1029u);
    EXPECT_EQ(socket.NetEventMessage(), 1030u);
    EXPECT_EQ(socket.WindowHandler()->UsedCount(), 11);
    // The six socket numbers follow its release message in their fixed order.
    EXPECT_EQ(socket.TestExceptionMessage(), 1034u);
}

TEST(TIcsWndHandlerPool, FreedNumbersAreReusedLowestFirst) {
    auto first = std::make_unique<TTestControl>(4);
    TTestControl second(7);
    EXPECT_EQ(second.ReleaseMessage(), 1029u);
    first.reset();
    TTestControl third(4);
    EXPECT_EQ(third.ReleaseMessage(), 1025u);
    EXPECT_EQ(third.LastNumber(), 1028u);
}

TEST(TIcsWndHandlerPool, ComponentThatDoesNotFitGoesToASecondWindow) {
    std::vector<std::unique_ptr<TTestControl>> sockets;
    for (int i = 0; i < 14; ++i) // 98 numbers
        sockets.push_back(std::make_unique<TTestControl>(7));
    EXPECT_EQ(IcsWndWindowCount(), 1);
    TTestControl client(4);
    EXPECT_EQ(IcsWndWindowCount(), 2);
    EXPECT_NE(client.Handle(), sockets[0]->Handle());
    EXPECT_EQ(client.ReleaseMessage(), 1025u);
    // A component that still fits stays in the first window.
    TTestControl small(2);
    EXPECT_EQ(small.Handle(), sockets[0]->Handle());
    EXPECT_EQ(small.ReleaseMessage(), 1123u);
}

TEST(TIcsWndHandlerPool, LastNumberDestroysWindowAndLastWindowUnregistersClass) {
    auto a = std::make_unique<TTestControl>(3);
    auto b = std::make_unique<TTestControl>(3);
    HWND window = a->Handle();
    EXPECT_TRUE(ClassRegistered());
    a.reset();
    EXPECT_TRUE(IsWindow(window));
    b.reset();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(IcsWndWindowCount(), 0);
    EXPECT_FALSE(ClassRegistered());
    EXPECT_EQ(HandlerPool()->ThreadListCount(), 0);
    TTestControl again(1);
    EXPECT_TRUE(ClassRegistered());
    EXPECT_EQ(IcsWndWindowCount(), 1);
}

TEST(TIcsWndHandler, MessagesReachTheComponentOwningTheNumber) {
    TTestControl a(3), b(3);
    PostMessageA(a.Handle(), b.Number(1), 7, 8);
    PostMessageA(a.Handle(), a.Number(2), 1, 2);
    ASSERT_TRUE(PumpUntil([&] { return a.Seen.size() == 1 && b.Seen.size() == 1; }, 1000));
    EXPECT_EQ(b.Seen[0].Msg, b.Number(1));
    EXPECT_EQ(b.Seen[0].WParam, 7u);
    EXPECT_EQ(b.Seen[0].LParam, 8);
    EXPECT_EQ(a.Seen[0].Msg, a.Number(2));
}

TEST(TIcsWndHandler, QueuedMessageForAFreedNumberNeverReachesTheNextOwner) {
    auto keeper = std::make_unique<TTestControl>(1); // keeps the window alive
    auto old = std::make_unique<TTestControl>(3);
    UINT number = old->Number(2);
    PostMessageA(old->Handle(), number, 1, 1);
    old.reset();
    TTestControl next(3);
    ASSERT_EQ(next.Number(2), number);
    PostMessageA(next.Handle(), next.Number(1), 2, 2); // a marker that must arrive
    ASSERT_TRUE(PumpUntil([&] { return !next.Seen.empty(); }, 1000));
    PumpFor(20);
    ASSERT_EQ(next.Seen.size(), 1u);
    EXPECT_EQ(next.Seen[0].Msg, next.Number(1));
}

TEST(TIcsWndHandler, FreeMessageRejectsNumbersItDoesNotOwn) {
    TTestControl a(2);
    TIcsWndHandler* h = a.WindowHandler();
    UINT beyond = 1125;
    try {
        h->FreeMessage(beyond);
        FAIL();
    } catch (EIcsException& e) {
        EXPECT_EQ(e.Message(), "Msg value out of bound");
    }
    UINT unused = 1100;
    try {
        h->FreeMessage(unused);
        FAIL();
    } catch (EIcsException& e) {
        EXPECT_EQ(e.Message(), "Msg not registered");
    }
    UINT zero = 0;
    EXPECT_NO_THROW(h->FreeMessage(zero));
}

TEST(TIcsWndHandler, HundredAndFirstNumberIsRefused) {
    TTestControl a(100);
    try {
        a.WindowHandler()->AllocateMessage(&a);
        FAIL();
    } catch (EIcsException& e) {
        EXPECT_EQ(e.Message(), "No more free message");
    }
}

TEST(TIcsWndControl, EscapedExceptionReachesOnBgExceptionThenEmergencyStop) {
    TTestControl a(2);
    a.OnMessage = [](TIcsMessage&) { throw Exception("boom"); };
    std::string seen;
    TComponent* sender = nullptr;
    a.OnBgException = [&](TComponent* s, Exception& e, bool& canClose) {
        sender = s;
        seen = e.Message();
        EXPECT_TRUE(canClose);
    };
    PostMessageA(a.Handle(), a.Number(1), 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, 1000));
    EXPECT_EQ(seen, "boom");
    EXPECT_EQ(sender, &a);
    EXPECT_EQ(a.Stops, 1);
}

TEST(TIcsWndControl, ClearingCanCloseSkipsEmergencyStop) {
    TTestControl a(2);
    a.OnMessage = [](TIcsMessage&) { throw Exception("boom"); };
    int calls = 0;
    a.OnBgException = [&](TComponent*, Exception&, bool& canClose) {
        ++calls;
        canClose = false;
        throw Exception("handler failing too is swallowed");
    };
    PostMessageA(a.Handle(), a.Number(1), 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }, 1000));
    EXPECT_EQ(a.Stops, 0);
}

TEST(TIcsWndControl, PostReleaseFreesAfterTheCurrentHandlerReturns) {
    bool destroyed = false;
    auto* a = TIcsWndControl::NewSelfOwned<TTestControl>(2);
    a->Destroyed = &destroyed;
    bool stillAliveAfterPost = false;
    a->OnMessage = [&](TIcsMessage&) {
        a->PostRelease();
        stillAliveAfterPost = !destroyed;
    };
    PostMessageA(a->Handle(), a->Number(1), 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return destroyed; }, 1000));
    EXPECT_TRUE(stillAliveAfterPost);
    EXPECT_EQ(IcsWndWindowCount(), 0);
}

// A component held by anyone but itself is freed by that holder: a release
// of its own would be a second free. The request is refused, and a release
// message that arrives all the same is refused as the component's error.
TEST(TIcsWndControl, ReleaseIsRefusedForAComponentThatDoesNotOwnItself) {
    const std::string refusal = "Cannot release a component that does not own itself";
    auto held = std::make_unique<TTestControl>(2);
    TTestControl local(2);
    TComponent parent;
    auto* child = new TTestControl(2, true, &parent);
    for (TTestControl* c : {held.get(), &local, child}) {
        bool destroyed = false;
        c->Destroyed = &destroyed;
        std::string refused;
        try {
            c->PostRelease();
        } catch (const EIcsException& e) {
            refused = e.Message();
        }
        EXPECT_EQ(refused, refusal);

        std::string reported;
        c->OnBgException = [&](TComponent*, Exception& E, bool&) { reported = E.Message(); };
        PostMessageA(c->Handle(), c->ReleaseMessage(), 0, 0);
        PostMessageA(c->Handle(), c->Number(1), 0, 0);
        ASSERT_TRUE(PumpUntil([&] { return destroyed || !c->Seen.empty(); }, 1000));
        ASSERT_FALSE(destroyed);
        EXPECT_EQ(reported, refusal);
        c->Destroyed = nullptr;
    }
    // Nor can a component with an owner be made its own.
    EXPECT_THROW(TIcsWndControl::NewSelfOwned<TTestControl>(2, true, &parent), EIcsException);
    EXPECT_EQ(parent.ComponentCount(), 1);
}

TEST(TIcsWndControl, DetachFromAForeignThreadIsRefused) {
    TTestControl a(2);
    std::string text;
    std::thread other([&] {
        try {
            a.DetachFromThread();
        } catch (EIcsException& e) {
            text = e.Message();
        }
    });
    other.join();
    EXPECT_EQ(text, "Cannot detach from another thread");
    EXPECT_TRUE(a.Attached());
    EXPECT_EQ(a.ThreadId(), GetCurrentThreadId());
}

TEST(TIcsWndControl, AttachAndDetachOnTheOwningThread) {
    TTestControl a(2);
    try {
        a.AttachToThread();
        FAIL();
    } catch (EIcsException& e) {
        EXPECT_EQ(e.Message(), "Cannot attach when not detached");
    }
    a.DetachFromThread();
    EXPECT_FALSE(a.Attached());
    EXPECT_EQ(a.ThreadId(), 0u);
    EXPECT_EQ(IcsWndWindowCount(), 0);
    a.AttachToThread();
    EXPECT_TRUE(a.Attached());
    EXPECT_EQ(a.ReleaseMessage(), 1025u);
}

TEST(TIcsWndControl, ReadingHandleWhileDetachedAttaches) {
    TTestControl a(1, false);
    EXPECT_FALSE(a.Attached());
    HWND h = a.Handle();
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(IsWindow(h));
}

TEST(TIcsWndControl, PumpOneMessageTellsWhetherAMessageWasTaken) {
    TTestControl a(2);
    EXPECT_FALSE(a.PumpOneMessage());
    PostMessageA(a.Handle(), a.Number(1), 0, 0);
    EXPECT_TRUE(a.PumpOneMessage());
    EXPECT_EQ(a.Seen.size(), 1u);
    PostQuitMessage(0);
    EXPECT_TRUE(a.PumpOneMessage());
    EXPECT_TRUE(a.QuitSeen());
    EXPECT_FALSE(a.PumpOneMessage());
}

TEST(TIcsWndControl, PumpMessagesEmptiesTheQueue) {
    TTestControl a(2);
    a.SetOwnMessagePump(true);
    for (int i = 0; i < 5; ++i)
        PostMessageA(a.Handle(), a.Number(1), static_cast<WPARAM>(i), 0);
    a.ServiceMessages();
    ASSERT_EQ(a.Seen.size(), 5u);
    EXPECT_EQ(a.Seen[4].WParam, 4u);
}

// One PumpMessages: what was queued, what the handlers post meanwhile (in
// the order posted), and a timer that fell due while they were queued only
// after all of them.
TEST(TIcsWndControl, PumpMessagesServesHandlersPostsBeforeATimerDueMeanwhile) {
    TTestControl a(2);
    a.SetOwnMessagePump(true);
    std::vector<std::string> order;
    TIcsTimer timer(&a);
    timer.SetInterval(10);
    timer.SetOnTimer([&](TComponent*) {
        order.push_back("tick");
        timer.SetEnabled(false);
    });
    // Due, and not yet taken (nothing pumps while we wait).
    for (int i = 0; i < 2000 && platform::MillisecondsToNextTimer() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(platform::MillisecondsToNextTimer(), 0u);
    a.OnMessage = [&](TIcsMessage& msg) {
        order.push_back(std::to_string(msg.WParam));
        if (msg.WParam == 1)
            PostMessageA(a.Handle(), a.Number(1), 3, 0);
    };
    PostMessageA(a.Handle(), a.Number(1), 1, 0);
    PostMessageA(a.Handle(), a.Number(1), 2, 0);
    a.PumpMessages();
    EXPECT_EQ(order, (std::vector<std::string>{"1", "2", "3", "tick"}));
}

TEST(TIcsWndControl, RunMessageLoopEndsAtQuit) {
    TTestControl a(2);
    a.OnMessage = [](TIcsMessage&) { PostQuitMessage(0); };
    PostMessageA(a.Handle(), a.Number(1), 0, 0);
    a.RunMessageLoop();
    EXPECT_TRUE(a.QuitSeen());
    EXPECT_EQ(a.Seen.size(), 1u);
}

TEST(TIcsWndControl, ThreadTimerMessageIsRegistered) {
    EXPECT_GE(ThreadTimerMessage(), 0xC000u);
    EXPECT_EQ(ThreadTimerMessage(), RegisterWindowMessageA("TORVELIX_THREAD_TIMER"));
    TTestControl a(1);
    // No thread timers exist here: the message is dropped without fault.
    PostMessageA(a.Handle(), ThreadTimerMessage(), 0x1234, 0x1234);
    PumpFor(10);
}

TEST(TIcsTimer, TicksArriveThroughTheOwnersWindow) {
    TTestControl owner(1);
    auto* timer = new TIcsTimer(&owner);
    int ticks = 0;
    TComponent* sender = nullptr;
    timer->SetInterval(20);
    timer->SetOnTimer([&](TComponent* s) {
        sender = s;
        ++ticks;
    });
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }, 2000));
    EXPECT_EQ(sender, timer);
    timer->SetEnabled(false);
    int stopped = ticks;
    PumpFor(60);
    EXPECT_EQ(ticks, stopped);
}

TEST(TIcsTimer, NoSystemTimerWithoutIntervalEnabledAndHandler) {
    TTestControl owner(1);
    TIcsTimer timer(&owner);
    timer.SetInterval(10);
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE); // no OnTimer yet
    timer.SetOnTimer([](TComponent*) {});
    EXPECT_NE(platform::MillisecondsToNextTimer(), INFINITE);
    timer.SetInterval(0);
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE);
    timer.SetInterval(10);
    timer.SetEnabled(false);
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE);
}

TEST(TIcsTimer, EarlyWmTimerOnlyMovesLastTick) {
    TTestControl owner(1);
    TIcsTimer timer(&owner);
    int ticks = 0;
    timer.SetOnTimer([&](TComponent*) { ++ticks; }); // 1000 ms
    DWORD armed = timer.LastTick();
    PostMessageA(owner.Handle(), WM_TIMER, reinterpret_cast<WPARAM>(&timer), 0);
    PumpFor(15);
    EXPECT_EQ(ticks, 0);
    EXPECT_GE(timer.LastTick(), armed);
    EXPECT_NE(timer.LastTick(), 0u);
}

TEST(TIcsTimer, WmTimerForAFreedTimerIsIgnored) {
    TTestControl owner(1);
    auto* timer = new TIcsTimer(&owner);
    int ticks = 0;
    timer->SetInterval(1);
    timer->SetOnTimer([&](TComponent*) { ++ticks; });
    WPARAM id = reinterpret_cast<WPARAM>(timer);
    delete timer;
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE);
    PostMessageA(owner.Handle(), WM_TIMER, id, 0);
    PostMessageA(owner.Handle(), WM_TIMER, 0xDEADBEE0u, 0); // never a timer
    PumpFor(20);
    EXPECT_EQ(ticks, 0);
}

TEST(TIcsTimer, ExceptionInOnTimerIsDropped) {
    TTestControl owner(1);
    TIcsTimer timer(&owner);
    int ticks = 0;
    timer.SetInterval(5);
    timer.SetOnTimer([&](TComponent*) {
        ++ticks;
        throw Exception("timer failure");
    });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 2000));
}

TEST(TIcsTimer, CreationAndSetterFailures) {
    try {
        TIcsTimer orphan(nullptr);
        FAIL();
    } catch (EIcsTimerException& e) {
        EXPECT_EQ(e.Message(), "Owner not assigned");
    }
    TTestControl detached(1, false);
    TIcsTimer timer(&detached);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_NO_THROW(timer.SetInterval(1000)); // unchanged: nothing to do
    try {
        timer.SetInterval(50);
        FAIL();
    } catch (EIcsTimerException& e) {
        EXPECT_EQ(e.Message(), "No window available");
    }
}

TEST(TIcsTimer, FreedWithItsOwner) {
    auto owner = std::make_unique<TTestControl>(1);
    auto* timer = new TIcsTimer(owner.get());
    timer->SetInterval(5);
    timer->SetOnTimer([](TComponent*) {});
    owner.reset(); // frees the timer too
    EXPECT_EQ(platform::MillisecondsToNextTimer(), INFINITE);
}

TEST(TIcsWndControlDeathTest, AttachAfterFinalizationIsRefusedAndTheLastDetachFreesThePool) {
    // In a child process: finalization is for good.
    EXPECT_EXIT(
        {
            auto survivor = std::make_unique<TTestControl>(1);
            FinalizeIcsWndControl();
            bool poolKept = HandlerPool() != nullptr;
            std::string text;
            try {
                TTestControl late(1);
            } catch (EIcsAssertionFailed& e) {
                text = e.Message();
            }
            survivor.reset();
            bool poolFreed = HandlerPool() == nullptr;
            std::exit(poolKept && poolFreed &&
                              text == "Unit is already finalized, check your threads!!!"
                          ? 0
                          : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Component messages per second: PostMessageA -> the hidden window's
// procedure -> TIcsWndHandler::Dispatch -> the component's HandleMessage,
// beside a plain queue of the same shape (a mutex, a deque and an eventfd
// that wakes the owner), the least any cross-thread message queue costs.
//
// Each iteration sends the same number of messages through both, in
// batches of the benchmark's argument (post a batch, then pump until the
// queue is empty), taking turns at going first. The counters give each
// side's rate by the wall clock and by the thread's CPU time, and the ratio
// of the two rates.
//
// BM_DispatchWhileWatchingASocket does the same on a thread whose reactor
// watches one idle socket, as during an upload: then a message posted since
// the last look at the sockets costs that look (epoll_wait), so that a
// socket's notice is not overtaken by what was posted after it.
#include "bench/support/spent.h"
#include "net/socket/icswndcontrol.h"
#include "platform/win32/reactor.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <deque>
#include <mutex>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kMessagesPerIteration = 4096;

class TCountingControl : public TIcsWndControl {
public:
    TCountingControl() : TIcsWndControl(nullptr) {
        AttachHandler();
        SetOwnMessagePump(true);
    }
    ~TCountingControl() override {
        BeginDestruction();
        ReleaseHandlerOnce();
    }
    UINT Number() const { return FNumber; }
    long long Handled = 0;

protected:
    int RequiredMessageCount() override { return 2; }
    void AllocateMessages() override {
        TIcsWndControl::AllocateMessages();
        FNumber = WindowHandler()->AllocateMessage(this);
    }
    void FreeMessages() override {
        WindowHandler()->FreeMessage(FNumber);
        TIcsWndControl::FreeMessages();
    }
    void HandleMessage(TIcsMessage& msg) override {
        if (msg.Msg == FNumber) {
            ++Handled;
            return;
        }
        TIcsWndControl::HandleMessage(msg);
    }

private:
    UINT FNumber = 0;
};

// The baseline: what a message costs with nothing but a locked deque and an
// eventfd written when the queue turns non-empty (so the owner, were it
// blocked, would wake), read again when the owner drains it.
class TPlainQueue {
public:
    struct Message {
        void (*Handler)(TPlainQueue&, std::uintptr_t, std::intptr_t);
        std::uintptr_t WParam;
        std::intptr_t LParam;
    };
    TPlainQueue() : FEventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~TPlainQueue() { close(FEventFd); }

    void Post(const Message& m) {
        bool wake;
        {
            std::lock_guard lock(FLock);
            wake = FQueue.empty();
            FQueue.push_back(m);
        }
        if (wake) {
            std::uint64_t one = 1;
            ssize_t n = write(FEventFd, &one, sizeof one);
            (void)n;
        }
    }
    void Pump() {
        std::uint64_t drained;
        ssize_t n = read(FEventFd, &drained, sizeof drained);
        (void)n;
        for (;;) {
            Message m;
            {
                std::lock_guard lock(FLock);
                if (FQueue.empty())
                    return;
                m = FQueue.front();
                FQueue.pop_front();
            }
            m.Handler(*this, m.WParam, m.LParam);
        }
    }
    long long Handled = 0;

private:
    std::mutex FLock;
    std::deque<Message> FQueue;
    int FEventFd;
};

void CountPlain(TPlainQueue& q, std::uintptr_t, std::intptr_t) {
    ++q.Handled;
}

void RunDispatch(benchmark::State& state, TCountingControl& control) {
    TPlainQueue plain;
    HWND window = control.Handle();
    const UINT number = control.Number();
    const int batch = static_cast<int>(state.range(0));
    const int rounds = kMessagesPerIteration / batch;
    auto runOurs = [&] {
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < batch; ++i)
                PostMessageA(window, number, static_cast<WPARAM>(i), 0);
            control.PumpMessages();
        }
    };
    auto runPlain = [&] {
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < batch; ++i)
                plain.Post({CountPlain, static_cast<std::uintptr_t>(i), 0});
            plain.Pump();
        }
    };
    bench::TSpent ours, base;
    for (auto _ : state) {
        if (state.iterations() % 2 == 0) {
            ours.Time(runOurs);
            base.Time(runPlain);
        } else {
            base.Time(runPlain);
            ours.Time(runOurs);
        }
    }
    const long long sent = static_cast<long long>(state.iterations()) * rounds * batch;
    if (control.Handled != sent || plain.Handled != sent)
        state.SkipWithError("messages were lost");
    const double n = static_cast<double>(sent);
    state.counters["ours_Mps_wall"] = n / ours.Wall / 1e6;
    state.counters["ours_Mps_cpu"] = n / ours.Cpu / 1e6;
    state.counters["plain_Mps_wall"] = n / base.Wall / 1e6;
    state.counters["plain_Mps_cpu"] = n / base.Cpu / 1e6;
    // Above 1: our dispatch outpaces the plain queue.
    state.counters["rate_vs_plain"] = base.Wall / ours.Wall;
    state.SetItemsProcessed(2 * sent);
}
void BM_Dispatch(benchmark::State& state) {
    TCountingControl control;
    RunDispatch(state, control);
}
BENCHMARK(BM_Dispatch)->Arg(1)->Arg(64)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_DispatchWhileWatchingASocket(benchmark::State& state) {
    TCountingControl control;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0 ||
        platform::WatchSocket(control.Handle(), pair[0], EPOLLIN, [](std::uint32_t) {}) == 0) {
        state.SkipWithError("cannot watch a socket");
        return;
    }
    RunDispatch(state, control);
    platform::UnwatchSocket(pair[0]);
    close(pair[0]);
    close(pair[1]);
}
BENCHMARK(BM_DispatchWhileWatchingASocket)->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

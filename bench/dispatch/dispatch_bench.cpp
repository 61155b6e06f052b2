// Component messages per second: PostMessageA -> the hidden window's
// procedure -> TIcsWndHandler::Dispatch -> the component's HandleMessage.
#include "net/socket/icswndcontrol.h"

#include <benchmark/benchmark.h>

namespace {

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

void BM_PostAndDispatchComponentMessages(benchmark::State& state) {
    TCountingControl control;
    HWND window = control.Handle();
    const int batch = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            PostMessageA(window, control.Number(), static_cast<WPARAM>(i), 0);
        control.PumpMessages();
    }
    if (control.Handled != static_cast<long long>(state.iterations()) * batch)
        state.SkipWithError("messages were lost");
    state.SetItemsProcessed(control.Handled);
}
BENCHMARK(BM_PostAndDispatchComponentMessages)->Arg(1)->Arg(64)->Arg(1024);

} // namespace

BENCHMARK_MAIN();

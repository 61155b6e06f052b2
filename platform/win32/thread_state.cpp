// The life of a thread's record: made on the thread's first use of windows,
// messages or timers, freed with everything in it when the thread exits.
#include "platform/win32/thread_state.h"

#include "platform/win32/reactor_internal.h"
#include "platform/win32/window_table.h"

#include <memory>
#include <pthread.h>

namespace platform::detail {

__thread ThreadState* tThreadState __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// At thread exit: the thread's windows, watches and queue go with it.
void ReleaseThreadState(void* p) {
    auto* t = static_cast<ThreadState*>(p);
    ForgetThread(t);
    CloseReactor(t);
    if (tThreadState == t)
        tThreadState = nullptr;
    delete t;
}

pthread_key_t ThreadKey() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, ReleaseThreadState);
        return k;
    }();
    return key;
}

} // namespace

ThreadState* CreateCurrentState() {
    auto t = std::make_unique<ThreadState>();
    t->threadId = GetCurrentThreadId();
    if (!OpenReactor(t.get())) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    RegisterThread(t.get());
    tThreadState = t.release();
    pthread_setspecific(ThreadKey(), tThreadState);
    return tThreadState;
}

} // namespace platform::detail

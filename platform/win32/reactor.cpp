// The per-thread reactor: one epoll descriptor (the wait handle) over the
// eventfd that posts write, the timerfd of the next deadline and the watched
// sockets; collecting what is ready into queued messages, and the blocking
// waits built on it.
#include "platform/win32/reactor.h"

#include "platform/win32/internal.h"
#include "platform/win32/message_queue.h"
#include "platform/win32/reactor_internal.h"
#include "platform/win32/thread_state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

using namespace platform::detail;

namespace platform::detail {

bool OpenReactor(ThreadState* t) {
    t->epollFd = epoll_create1(EPOLL_CLOEXEC);
    t->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    t->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    bool ok = t->epollFd >= 0 && t->eventFd >= 0 && t->timerFd >= 0;
    if (ok) {
        epoll_event ev{};
        // Edge-triggered: every write is one event, collected by one
        // epoll_wait, so the counter never needs reading (it cannot
        // overflow: a write happens at most once per collection).
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = kEventTag;
        ok = epoll_ctl(t->epollFd, EPOLL_CTL_ADD, t->eventFd, &ev) == 0;
        ev.events = EPOLLIN;
        ev.data.u64 = kTimerTag;
        ok = ok && epoll_ctl(t->epollFd, EPOLL_CTL_ADD, t->timerFd, &ev) == 0;
    }
    if (!ok)
        CloseReactor(t);
    return ok;
}

void CloseReactor(ThreadState* t) {
    for (int* fd : {&t->timerFd, &t->eventFd, &t->epollFd})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void Wake(ThreadState* t) {
    if (!t->wakePending.exchange(true, std::memory_order_acq_rel)) {
        std::uint64_t one = 1;
        ssize_t n = write(t->eventFd, &one, sizeof one);
        (void)n; // EAGAIN means the counter is already nonzero: awake anyway
    }
}

void WakeUnlessPumping(ThreadState* t) {
    if (t == ExistingState() && t->pumpDepth > 0)
        t->wakeSkipped = true;
    else
        Wake(t);
}

namespace {

// The wake-up was taken: the next post writes again. A post that slips in
// before the clear finds the flag still set and does not write, but its
// message is queued already, and every collection is followed by a look at
// the queue under its lock; that lock also orders the clear before the look,
// so the store needs no fence of its own.
void ClearWakePending(ThreadState* t) {
    t->wakePending.store(false, std::memory_order_release);
}

// A collection on a thread that watches no descriptor and has no timer: the
// eventfd is all that can be ready, so taking its wake-up is all there is to
// do, and a read of it is cheaper than epoll_wait; without a wake-up
// pending, there is nothing at all to do. The edge stays in epoll's ready
// list, but epoll looks at the eventfd again before it reports it, and finds
// it empty.
void TakeWakeUp(ThreadState* t) {
    if (!t->wakePending.load(std::memory_order_acquire))
        return;
    std::uint64_t count;
    // Nothing to read yet: the poster has raised the flag and not written;
    // its write will wake the handle and be collected then.
    if (read(t->eventFd, &count, sizeof count) == sizeof count)
        ClearWakePending(t);
}

} // namespace

void CollectReady(ThreadState* t, int timeoutMs) {
    if (timeoutMs == 0 && !WatchesAny(t) && t->timers.timers.empty()) {
        TakeWakeUp(t);
        return;
    }
    // The callbacks' posts are for our caller, who looks at the queue next.
    platform::PumpScope scope;
    FlushWatchChanges(t);
    // One pass only: a socket that stays ready must not keep us here.
    epoll_event events[64];
    int n;
    do {
        n = epoll_wait(t->epollFd, events, 64, timeoutMs);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kEventTag) {
            ClearWakePending(t); // the edge is taken; a later write is a new one
        } else if (tag == kTimerTag) {
            TimerFdFired(t);
        } else if (SocketReady callback = WatchCallback(t, tag)) {
            callback(events[i].events);
        }
    }
}

bool Collect(ThreadState* t, int timeoutMs) {
    CollectReady(t, timeoutMs);
    std::lock_guard ql(t->queue.lock);
    MarkCollectedLocked(t);
    return HasPendingLocked(t);
}

// Without a hook the wait is the collection's own epoll_wait; a hook (the
// GUI's) waits its own way and the collection follows.
bool WaitAndCollect(ThreadState* t, DWORD timeoutMs) {
    FlushWatchChanges(t);
    if (t->waitHook) {
        platform::WaitHook hook = t->waitHook; // the hook may replace itself
        hook(timeoutMs);
        return Collect(t, 0);
    }
    return Collect(
        t, timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(timeoutMs, INT_MAX)));
}

} // namespace platform::detail

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE*, BOOL, DWORD ms, DWORD) {
    if (nCount != 0) { // no kernel objects exist in this stand-in
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    ThreadState* t = CurrentState();
    if (!t)
        return WAIT_FAILED;
    // Messages already queued answer at once; what is ready but not yet
    // collected does too, since the wait below returns at once for it.
    if (platform::HasPendingMessage())
        return WAIT_OBJECT_0;
    std::uint64_t start = MonotonicMs();
    for (;;) {
        DWORD remaining = INFINITE;
        if (ms != INFINITE) {
            std::uint64_t spent = MonotonicMs() - start;
            remaining = spent >= ms ? 0 : static_cast<DWORD>(ms - spent);
        }
        if (WaitAndCollect(t, std::min(remaining, MillisecondsToFutureDeadline(t))))
            return WAIT_OBJECT_0;
        if (remaining == 0 || (ms != INFINITE && MonotonicMs() - start >= ms))
            return WAIT_TIMEOUT;
    }
}

namespace platform {

int ThreadWaitHandle() {
    ThreadState* t = CurrentState();
    return t ? t->epollFd : -1;
}

bool ProcessReadyEvents() {
    ThreadState* t = CurrentState();
    return t && Collect(t, 0);
}

bool PrepareToBlock() {
    ThreadState* t = CurrentState();
    if (!t)
        return false;
    FlushWatchChanges(t);
    return HasPendingMessage();
}

void SetThreadWaitHook(WaitHook hook) {
    if (ThreadState* t = CurrentState())
        t->waitHook = std::move(hook);
}

} // namespace platform

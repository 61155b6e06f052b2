// Timers: SetTimer and KillTimer, the WM_TIMER a due timer gives when the
// queue holds nothing else, and the timerfd that wakes the thread at the
// next deadline.
#include "platform/win32/timers.h"

#include "platform/win32/internal.h"
#include "platform/win32/message_queue.h"
#include "platform/win32/thread_state.h"
#include "platform/win32/window_table.h"

#include <algorithm>
#include <sys/timerfd.h>
#include <unistd.h>

using namespace platform::detail;

namespace {

// Windows raises shorter intervals to this minimum (USER_TIMER_MINIMUM) and
// caps longer ones at USER_TIMER_MAXIMUM.
constexpr UINT kTimerMinimum = 10;
constexpr UINT kTimerMaximum = 0x7FFFFFFF;

// The earliest deadline after `now`, 0 when none.
std::uint64_t NextFutureDeadline(const ThreadState* t, std::uint64_t now) {
    std::uint64_t next = 0;
    for (const Timer& timer : t->timers.timers)
        if (timer.due > now && (next == 0 || timer.due < next))
            next = timer.due;
    return next;
}

// A window's timers run on the window's own thread only. Sets the error
// when the window is not the caller's.
bool IsOwnWindow(ThreadState* t, HWND hwnd) {
    auto table = LockWindowTable();
    ThreadState* owner = WindowOwnerLocked(hwnd);
    if (!owner) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (owner != t) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// A thread timer's identifier, of the system's choice.
UINT_PTR NewThreadTimerId(TimerList& list) {
    UINT_PTR id;
    do {
        id = list.nextThreadTimerId++;
    } while (id == 0 ||
             std::any_of(list.timers.begin(), list.timers.end(),
                         [&](const Timer& timer) { return !timer.hwnd && timer.id == id; }));
    return id;
}

} // namespace

namespace platform::detail {

void RearmTimers(ThreadState* t, std::uint64_t now) {
    // Timers already due are pending messages, not deadlines.
    const std::uint64_t next = NextFutureDeadline(t, now);
    if (next == t->timers.armedDeadline)
        return;
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(next / 1000);
    when.it_value.tv_nsec = static_cast<long>(next % 1000) * 1000000L;
    timerfd_settime(t->timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
    t->timers.armedDeadline = next;
}

void TimerFdFired(ThreadState* t) {
    std::uint64_t expirations;
    ssize_t r = read(t->timerFd, &expirations, sizeof expirations);
    (void)r;
    t->timers.armedDeadline = 0; // fired, so no longer armed
    RearmTimers(t, MonotonicMs());
}

bool AnyTimerDue(const ThreadState* t) {
    const std::vector<Timer>& timers = t->timers.timers;
    if (timers.empty())
        return false;
    const std::uint64_t now = MonotonicMs();
    return std::any_of(timers.begin(), timers.end(),
                       [now](const Timer& timer) { return timer.due <= now; });
}

bool TimerDueSince(const ThreadState* t, std::uint64_t since) {
    const std::vector<Timer>& timers = t->timers.timers;
    if (timers.empty())
        return false;
    const std::uint64_t now = MonotonicMs();
    return std::any_of(timers.begin(), timers.end(), [since, now](const Timer& timer) {
        return timer.due <= now && timer.due > since;
    });
}

DWORD MillisecondsToFutureDeadline(ThreadState* t) {
    const std::uint64_t now = MonotonicMs();
    const std::uint64_t next = NextFutureDeadline(t, now);
    if (next == 0)
        return INFINITE;
    return static_cast<DWORD>(std::min<std::uint64_t>(next - now, INFINITE - 1));
}

bool TakeDueTimer(ThreadState* t, HWND hwnd, bool remove, MSG* msg) {
    if (t->timers.timers.empty())
        return false;
    const std::uint64_t now = MonotonicMs();
    Timer* due = nullptr;
    for (Timer& timer : t->timers.timers)
        if (timer.due <= now && MatchesWindow(hwnd, timer.hwnd) && (!due || timer.due < due->due))
            due = &timer;
    if (!due)
        return false;
    *msg = MSG{due->hwnd,      WM_TIMER, due->id, reinterpret_cast<LPARAM>(due->proc),
               GetTickCount(), {0, 0}};
    if (remove) {
        due->due = now + due->elapse;
        RearmTimers(t, now);
    }
    return true;
}

TIMERPROC LiveTimerProcedure(const ThreadState* t, const MSG& msg) {
    TIMERPROC proc = nullptr;
    for (const Timer& timer : t->timers.timers)
        if (timer.hwnd == msg.hwnd && timer.id == msg.wParam &&
            reinterpret_cast<LPARAM>(timer.proc) == msg.lParam)
            proc = timer.proc;
    return proc;
}

void DropWindowTimers(ThreadState* t, HWND hwnd) {
    std::erase_if(t->timers.timers, [hwnd](const Timer& timer) { return timer.hwnd == hwnd; });
    RearmTimers(t, MonotonicMs());
}

} // namespace platform::detail

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    ThreadState* t = CurrentState();
    if (!t || (hwnd && !IsOwnWindow(t, hwnd)))
        return 0;
    const UINT elapse = std::clamp(elapseMs, kTimerMinimum, kTimerMaximum);
    TimerList& list = t->timers;
    const std::uint64_t now = MonotonicMs();
    auto existing = std::find_if(list.timers.begin(), list.timers.end(), [&](const Timer& timer) {
        return timer.hwnd == hwnd && timer.id == id && (hwnd || id != 0);
    });
    UINT_PTR result;
    if (existing != list.timers.end()) {
        // Replacing a timer restarts its interval and drops a pending tick.
        existing->elapse = elapse;
        existing->proc = proc;
        existing->due = now + elapse;
        result = hwnd ? (id ? id : 1) : id;
    } else {
        const UINT_PTR newId = hwnd ? id : NewThreadTimerId(list);
        list.timers.push_back(Timer{hwnd, newId, elapse, proc, now + elapse});
        result = hwnd ? (id ? id : 1) : newId;
    }
    RearmTimers(t, now);
    return result;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    ThreadState* t = CurrentState();
    if (!t)
        return FALSE;
    std::vector<Timer>& timers = t->timers.timers;
    auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& timer) {
        return timer.hwnd == hwnd && timer.id == id;
    });
    if (it == timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    timers.erase(it);
    RearmTimers(t, MonotonicMs());
    return TRUE;
}

namespace platform {

DWORD MillisecondsToNextTimer() {
    ThreadState* t = CurrentState();
    if (!t || t->timers.timers.empty())
        return INFINITE;
    const std::uint64_t now = MonotonicMs();
    std::uint64_t next = t->timers.timers.front().due;
    for (const Timer& timer : t->timers.timers)
        next = std::min(next, timer.due);
    return next <= now ? 0 : static_cast<DWORD>(std::min<std::uint64_t>(next - now, INFINITE - 1));
}

} // namespace platform

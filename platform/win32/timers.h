// A thread's timers (timers.cpp). Internal to the Win32 stand-in.
#pragma once

#include "platform/win32/windows.h"

#include <cstdint>
#include <vector>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

struct ThreadState;

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT elapse;
    TIMERPROC proc;
    std::uint64_t due; // MonotonicMs of the next tick; past means a WM_TIMER is pending
};

// Only the owning thread touches its timers (SetTimer and KillTimer act on
// the calling thread's, a window's timers are set on the window's own
// thread, and only that thread destroys the window), so they have no lock.
// WM_TIMER is made on demand from this list when the queue has nothing
// else, so a timer has at most one tick pending.
struct TimerList {
    std::vector<Timer> timers;
    std::uint64_t armedDeadline = 0; // of the timerfd; 0: disarmed
    UINT_PTR nextThreadTimerId = 0x7FF0;
};

// All of these run on the owning thread.

// Arms the timerfd at the earliest deadline still ahead.
void RearmTimers(ThreadState* t, std::uint64_t now);

// The timerfd fired: takes its expiry and arms it for the next deadline.
void TimerFdFired(ThreadState* t);

bool AnyTimerDue(const ThreadState* t);

// A timer is due that was not yet due at `since` (MonotonicMs).
bool TimerDueSince(const ThreadState* t, std::uint64_t since);

// Milliseconds to the earliest deadline still ahead, INFINITE when none.
DWORD MillisecondsToFutureDeadline(ThreadState* t);

// The WM_TIMER of the earliest due timer that passes the window filter;
// removing it restarts the timer's interval.
bool TakeDueTimer(ThreadState* t, HWND hwnd, bool remove, MSG* msg);

// The procedure of the live timer that a WM_TIMER names (window, id and
// procedure alike), else null.
TIMERPROC LiveTimerProcedure(const ThreadState* t, const MSG& msg);

// Kills the timers of a window being destroyed.
void DropWindowTimers(ThreadState* t, HWND hwnd);

} // namespace platform::detail
#pragma GCC visibility pop

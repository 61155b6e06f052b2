// Per-thread message queues: posting from any thread, peeking and getting
// in Windows' order (posted messages, then WM_QUIT, then a due WM_TIMER),
// and dispatching to the window's procedure.
#include "platform/win32/message_queue.h"

#include "platform/win32/internal.h"
#include "platform/win32/reactor_internal.h"
#include "platform/win32/thread_state.h"
#include "platform/win32/window_table.h"

#include <algorithm>

using namespace platform::detail;

namespace {

// hwnd filter value that selects thread messages only, as in Windows.
// (A function, not a constant: a reinterpret_cast cannot be constant-
// initialised, and static initialisers elsewhere may already call in.)
HWND ThreadMessagesOnly() {
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
}

bool MatchesNumber(UINT min, UINT max, UINT msg) {
    if (min == 0 && max == 0)
        return true;
    return msg >= min && msg <= max;
}

bool IsUsableFilter(HWND hwnd) {
    return !hwnd || hwnd == ThreadMessagesOnly() || IsWindow(hwnd);
}

// Appends under the thread's queue lock; the caller holds it.
void AppendLocked(ThreadState* t, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MessageQueue& q = t->queue;
    q.messages.push_back(
        {MSG{hwnd, msg, wParam, lParam, GetTickCount(), POINT{0, 0}}, ++q.lastSeq});
    WakeUnlessPumping(t);
}

} // namespace

namespace platform::detail {

bool MatchesWindow(HWND filter, HWND hwnd) {
    if (!filter)
        return true;
    if (filter == ThreadMessagesOnly())
        return hwnd == nullptr;
    return hwnd == filter;
}

bool HasPendingLocked(ThreadState* t) {
    return !t->queue.messages.empty() || t->queue.quitPosted || AnyTimerDue(t);
}

bool FrontUnsettledLocked(const ThreadState* t) {
    const MessageQueue& q = t->queue;
    return !q.messages.empty() && q.messages.front().seq > q.collectedThrough;
}

bool PeekQuitOrTimerLocked(ThreadState* t, MSG* msg, HWND hwnd, UINT msgFilterMin,
                           UINT msgFilterMax, bool remove) {
    MessageQueue& q = t->queue;
    if (q.quitPosted && MatchesNumber(msgFilterMin, msgFilterMax, WM_QUIT)) {
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, GetTickCount(), {0, 0}};
        if (remove) {
            q.quitPosted = false;
            q.freshCollection = false;
        }
        return true;
    }
    if (!MatchesNumber(msgFilterMin, msgFilterMax, WM_TIMER) || !TakeDueTimer(t, hwnd, remove, msg))
        return false;
    if (remove)
        q.freshCollection = false;
    return true;
}

void MarkCollectedLocked(ThreadState* t) {
    MessageQueue& q = t->queue;
    // Whatever was posted until now counts as posted before what this
    // collection found ready (as far as a collection can tell).
    q.collectedThrough = q.lastSeq;
    if (!t->timers.timers.empty()) // a timer set later is judged as due since, which costs a look
        q.collectedAt = MonotonicMs();
    q.freshCollection = true;
}

void DropWindowMessagesLocked(ThreadState* t, HWND hwnd) {
    std::erase_if(t->queue.messages,
                  [hwnd](const MessageQueue::Posted& p) { return p.msg.hwnd == hwnd; });
}

} // namespace platform::detail

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> ql;
    ThreadState* t;
    if (!hwnd) // as in Windows: a thread message to the calling thread
        t = CurrentState();
    else
        t = LockQueueOfWindow(hwnd, ql);
    if (!t)
        return FALSE;
    if (!ql)
        ql = std::unique_lock(t->queue.lock);
    AppendLocked(t, hwnd, msg, wParam, lParam);
    return TRUE;
}

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> ql;
    ThreadState* t = LockQueueOfThread(threadId, ql);
    if (!t)
        return FALSE;
    AppendLocked(t, nullptr, msg, wParam, lParam);
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    ThreadState* t = CurrentState();
    if (!t)
        return;
    MessageQueue& q = t->queue;
    std::lock_guard ql(q.lock);
    q.quitPosted = true;
    q.quitCode = exitCode;
    q.quitSeq = ++q.lastSeq;
    WakeUnlessPumping(t);
}

// Windows' order: posted messages first, then the quit flag, then timers.
// WM_TIMER is made on demand, so a timer has at most one pending, and only
// when no posted message passes the filter.
BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsUsableFilter(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadState* t = CurrentState();
    if (!t)
        return FALSE;
    const bool remove = (removeMsg & PM_REMOVE) != 0;
    MessageQueue& q = t->queue;
    std::lock_guard ql(q.lock);
    for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
        if (MatchesWindow(hwnd, it->msg.hwnd) &&
            MatchesNumber(msgFilterMin, msgFilterMax, it->msg.message)) {
            *msg = it->msg;
            if (remove) {
                q.messages.erase(it);
                q.freshCollection = false;
            }
            return TRUE;
        }
    }
    return PeekQuitOrTimerLocked(t, msg, hwnd, msgFilterMin, msgFilterMax, remove);
}

BOOL GetMessageA(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax) {
    ThreadState* t = CurrentState();
    if (!t || !msg)
        return -1;
    for (;;) {
        bool unsettled;
        {
            std::lock_guard ql(t->queue.lock);
            unsettled = FrontUnsettledLocked(t);
        }
        if (unsettled) // what was ready before it was posted comes first
            Collect(t, 0);
        if (PeekMessageA(msg, hwnd, msgFilterMin, msgFilterMax, PM_REMOVE))
            return msg->message == WM_QUIT ? 0 : 1;
        if (!IsUsableFilter(hwnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        WaitAndCollect(t, MillisecondsToFutureDeadline(t));
    }
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (!msg)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        // Only the procedure of a live timer is called, never an arbitrary
        // address that a forged WM_TIMER carries.
        ThreadState* t = CurrentState();
        if (TIMERPROC proc = t ? LiveTimerProcedure(t, *msg) : nullptr)
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (!msg->hwnd)
        return 0;
    WNDPROC proc = WindowProcedure(msg->hwnd);
    return proc ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

namespace platform {

bool HasPendingMessage() {
    ThreadState* t = CurrentState();
    if (!t)
        return false;
    std::lock_guard ql(t->queue.lock);
    return HasPendingLocked(t);
}

} // namespace platform

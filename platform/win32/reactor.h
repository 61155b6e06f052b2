// The per-thread reactor behind the message queues. Each thread that owns
// windows has one epoll descriptor (its wait handle) that becomes readable
// whenever anything is pending for the thread: a posted message (eventfd), a
// timer deadline (timerfd) or a watched socket. Any event loop can drive the
// thread by watching that one descriptor: when it is readable, call
// ProcessReadyEvents() and then dispatch the queued messages; before it
// blocks, call PrepareToBlock() (the thread's own posts made while it pumps
// wake the descriptor only when the pump ends, see PumpScope).
#pragma once

#include "platform/win32/windows.h"

#include <cstdint>
#include <functional>

namespace platform {

// The calling thread's wait handle (created on first use).
int ThreadWaitHandle();

// Without blocking: turn whatever is ready on the calling thread's wait handle
// into queued messages (socket callbacks run here and post their messages;
// due timers become WM_TIMER candidates). Returns true when a message is
// queued for the thread afterwards.
bool ProcessReadyEvents();

// A pump's next message, without blocking: the oldest queued message while
// the queue holds one; when it has run dry, the ready events are collected
// (ProcessReadyEvents) and the next message is taken as PeekMessageA with
// PM_REMOVE takes it (posted messages, then WM_QUIT, then a due WM_TIMER).
// So a pump pass that services a burst of queued messages collects once,
// and again only when the queue is empty; the order is the one a collection
// before every message would give. False when nothing is there.
bool TakeNextMessage(MSG* msg);

// Marks the calling thread as running its pump for the object's lifetime:
// the thread will look at its queue before it collects ready events again or
// blocks. Meanwhile the messages it posts to its own queue write no wake-up
// to the wait handle, and changes of its socket watches (ModifyWatch) are
// applied once, before the next collection or block (so a notice disarmed
// and re-armed within one pass costs no epoll change). Scopes nest. When the
// outermost ends, it applies what is left and, if messages posted meanwhile
// are still queued, wakes the handle after all. A loop that runs nested
// inside a scope (a modal dialog's, opened by a handler) and waits on the
// handle must call PrepareToBlock() before it blocks.
class PumpScope {
public:
    PumpScope();
    ~PumpScope();
    PumpScope(const PumpScope&) = delete;
    PumpScope& operator=(const PumpScope&) = delete;
};

// For a loop about to block on the wait handle: applies pending watch changes
// and returns true when a message is already waiting (then do not block:
// pump first).
bool PrepareToBlock();

// Milliseconds until the calling thread's next timer is due (0 when one is
// already due), INFINITE when the thread has no timer.
DWORD MillisecondsToNextTimer();

// True when a message is waiting in the calling thread's queue (including a
// due WM_TIMER).
bool HasPendingMessage();

// Blocking waits of the thread (GetMessageA, MsgWaitForMultipleObjects) call
// the hook with the longest time they may block; the hook returns when
// something may be pending or the time has passed. Without a hook the thread
// blocks in epoll_wait on its wait handle. A GUI installs a hook that runs its
// own event dispatcher instead, so the user interface stays alive.
using WaitHook = std::function<void(DWORD timeoutMs)>;
void SetThreadWaitHook(WaitHook hook);

// Socket watching for the Windows Sockets stand-in. The callback runs on the
// thread that owns `owner`, from ProcessReadyEvents, with the epoll events that
// are ready. Watching an fd again replaces its events and callback. The
// result identifies the watch (0: failed). ModifyWatch changes the events of
// a watch without a process-wide lock or an allocation; it works only on the
// thread that owns the watch (false elsewhere, and for a stale id: watch
// again then). Events 0 keep the descriptor registered, and epoll still
// reports hang-up and error for it; UnwatchSocket ends the watch. Unwatch may
// be called from any thread; no callback for the fd runs after it returns
// when called on the owning thread.
using SocketReady = std::function<void(std::uint32_t epollEvents)>;
using WatchId = std::uint64_t;
WatchId WatchSocket(HWND owner, int fd, std::uint32_t epollEvents, SocketReady callback);
bool ModifyWatch(WatchId id, std::uint32_t epollEvents);
void UnwatchSocket(int fd);

} // namespace platform

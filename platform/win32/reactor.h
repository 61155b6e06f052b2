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

// One pass of a pump over the calling thread's messages, in the order
// Windows gives them. A socket's notice is a message posted when its event
// happens, so it comes before any message posted after the socket became
// ready: as far as a collection can tell, since ready events become messages
// only when collected. So before it hands out a message posted since the
// last collection, the pass collects again (the notices it finds are queued
// behind what was posted before); a burst posted before one collection
// costs that one collection. Posted messages keep their order, WM_QUIT comes
// after them and ends the pass, WM_TIMER only when nothing else is waiting.
//
// A pass is bounded, in messages and in collections (each collection runs
// the ready sockets' callbacks, and each read notice its reads), so a socket
// that stays readable or a handler that keeps posting cannot keep the pump
// from its caller: the GUI's input, painting and timers, a wait's quit and
// time-out checks. What is left waits for the next pass, and the wait handle
// is woken for it.
class PumpPass {
public:
    static constexpr int kMaxMessages = 4096;
    static constexpr int kMaxCollections = 16;

    PumpPass() = default;
    ~PumpPass();
    PumpPass(const PumpPass&) = delete;
    PumpPass& operator=(const PumpPass&) = delete;

    // The next message to dispatch, without blocking. False when nothing is
    // left, when the pass has reached its bound, and after WM_QUIT was
    // handed out.
    bool Next(MSG* msg);

private:
    PumpScope scope_;
    int messagesLeft_ = kMaxMessages;
    int collectionsLeft_ = kMaxCollections;
    bool started_ = false;
    bool collected_ = false; // ready events were collected during the pass
    bool over_ = false;
    bool bounded_ = false; // ended by its bound, maybe with messages left
};

// A pass of one message: PumpOneMessage's step.
bool TakeNextMessage(MSG* msg);

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
// thread that owns the watch (false elsewhere, for a stale id, and when epoll
// refused the change: watch again then). Events 0 keep the descriptor registered, and epoll still
// reports hang-up and error for it; UnwatchSocket ends the watch. Unwatch may
// be called from any thread; no callback for the fd runs after it returns
// when called on the owning thread.
using SocketReady = std::function<void(std::uint32_t epollEvents)>;
using WatchId = std::uint64_t;
WatchId WatchSocket(HWND owner, int fd, std::uint32_t epollEvents, SocketReady callback);
bool ModifyWatch(WatchId id, std::uint32_t epollEvents);
void UnwatchSocket(int fd);

} // namespace platform

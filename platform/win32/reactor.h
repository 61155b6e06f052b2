// The per-thread reactor behind the message queues. Each thread that owns
// windows has one epoll descriptor (its wait handle) that becomes readable
// whenever anything is pending for the thread: a posted message (eventfd), a
// timer deadline (timerfd) or a watched socket. Any event loop can drive the
// thread by watching that one descriptor: when it is readable, call
// ProcessReadyEvents() and then dispatch the queued messages.
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
// are ready. Watching an fd again replaces its events and callback. Unwatch may
// be called from any thread; no callback for the fd runs after it returns
// when called on the owning thread.
using SocketReady = std::function<void(std::uint32_t epollEvents)>;
bool WatchSocket(HWND owner, int fd, std::uint32_t epollEvents, SocketReady callback);
void UnwatchSocket(int fd);

} // namespace platform

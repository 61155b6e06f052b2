// The handle table (window_table.cpp): which windows and which threads
// exist, and whom a handle names. Internal to the Win32 stand-in.
#pragma once

#include "platform/win32/windows.h"

#include <mutex>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

struct ThreadState;

// Holds the table still: no window and no thread comes or goes while the
// lock is held. First in the lock order (thread_state.h).
std::unique_lock<std::mutex> LockWindowTable();

// The thread that owns the window, or nullptr for no window. The caller
// holds the table's lock.
ThreadState* WindowOwnerLocked(HWND hwnd);

// The thread that owns the window, or the thread with the id, with its
// queue lock taken into `queueLock`; nullptr with the Windows error set
// when there is no such window or thread.
ThreadState* LockQueueOfWindow(HWND hwnd, std::unique_lock<std::mutex>& queueLock);
ThreadState* LockQueueOfThread(DWORD threadId, std::unique_lock<std::mutex>& queueLock);

// The window's procedure; nullptr with the error set for no window.
WNDPROC WindowProcedure(HWND hwnd);

// A new thread record becomes a target of PostThreadMessageA.
void RegisterThread(ThreadState* t);

// At the thread's exit: its windows and watches go. When this returns, no
// other thread holds or can find the record.
void ForgetThread(ThreadState* t);

} // namespace platform::detail
#pragma GCC visibility pop

// What the Win32 stand-in keeps for each thread that uses windows, messages
// or timers: one record that puts together the parts the other files own.
// Internal to the stand-in.
//
// Locks, in the order they are taken (a lock may be taken while holding the
// ones above it, never while holding one below it):
//   1. the window table's lock (window_table.cpp): which windows and which
//      threads exist;
//   2. the watch registry's lock (watch_table.cpp): which thread watches a
//      descriptor;
//   3. one thread's MessageQueue::lock or WatchTable::lock, one of them at a
//      time.
// The class table's lock (window_class.cpp) is never held with another.
// Why: a thread's record is freed only at the thread's exit, which takes 1,
// then 2, then the thread's queue lock. So whoever found a thread through a
// table holds that table's lock until it holds what it needs of the thread
// (a poster: the thread's queue lock), and the record cannot go away under
// it. Nothing that holds a lock of 3 calls out: window procedures, timer
// procedures and socket callbacks run with no lock held.
#pragma once

#include "platform/win32/message_queue.h"
#include "platform/win32/timers.h"
#include "platform/win32/watch_table.h"
#include "platform/win32/windows.h"

#include <atomic>
#include <functional>

#pragma GCC visibility push(hidden)
namespace platform::detail {

struct ThreadState {
    DWORD threadId = 0;

    // The reactor's descriptors (reactor.cpp), fixed for the thread's life:
    // the wait handle, the eventfd that posts write and the timerfd armed at
    // the next timer deadline.
    int epollFd = -1;
    int eventFd = -1;
    int timerFd = -1;

    MessageQueue queue; // any thread posts, under its lock
    TimerList timers;   // the owning thread only
    WatchTable watches; // any thread watches, under its lock

    // Set by the first post after the owner collected the eventfd's event;
    // later posts skip the write until the owner collects again, so a burst
    // of posts costs one system call and a thread that is not waiting costs
    // none after it.
    std::atomic<bool> wakePending{false};

    // The rest is the owning thread's only.
    platform::WaitHook waitHook;
    // PumpScope objects alive on the thread (pump.cpp). Inside them the
    // thread's own posts write no wake-up (wakeSkipped records that one did
    // not) and its watch changes wait for the next collection.
    int pumpDepth = 0;
    bool wakeSkipped = false;
    // The window the thread used last among its own, with its procedure
    // (window_table.cpp). Only the thread itself can destroy it, so the
    // thread posts to it and dispatches to it without the table's lock.
    HWND lastOwnWindow = nullptr;
    WNDPROC lastOwnProcedure = nullptr;
};

// The calling thread's record, or null before its first use. The library is
// linked with the program, never loaded later, so its thread-local data
// lives in the static block and is read without a call.
extern __thread ThreadState* tThreadState __attribute__((tls_model("initial-exec")));

ThreadState* CreateCurrentState();

// The calling thread's record if it has one, without creating it.
inline ThreadState* ExistingState() {
    return tThreadState;
}

// The calling thread's record, created on first use; nullptr only when its
// descriptors cannot be created (ERROR_NOT_ENOUGH_MEMORY).
inline ThreadState* CurrentState() {
    return tThreadState ? tThreadState : CreateCurrentState();
}

} // namespace platform::detail
#pragma GCC visibility pop

// A thread's message queue (message_queue.cpp): what is posted to it, in
// order, and the quit flag. Internal to the Win32 stand-in.
#pragma once

#include "platform/win32/windows.h"

#include <cstdint>
#include <deque>
#include <mutex>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

struct ThreadState;

// Ready events become messages only when they are collected, so a message
// posted since the last collection may have been posted after a socket
// became ready: a pump collects again before it dispatches such a message
// (see PumpPass), so that the notice comes first, as Windows posts a notice
// when its event happens. Sequence numbers tell which messages were posted
// before the last collection ended.
struct MessageQueue {
    struct Posted {
        MSG msg;
        std::uint64_t seq;
    };

    // Guards the messages, the sequence numbers and the quit flag: any
    // thread takes it to post. Taken under the window table's lock or
    // alone; no other lock is taken while it is held (thread_state.h).
    std::mutex lock;
    std::deque<Posted> messages; // in the order posted
    std::uint64_t lastSeq = 0;   // of the last message queued (or quit posted)
    bool quitPosted = false;
    int quitCode = 0;
    std::uint64_t quitSeq = 0; // the sequence number PostQuitMessage took

    // The collection marks: the owning thread's, collectedThrough written
    // under the lock.
    std::uint64_t collectedThrough = 0; // lastSeq when the last collection ended
    std::uint64_t collectedAt = 0;      // MonotonicMs then (kept only with timers)
    bool freshCollection = false;       // and no message was taken since
};

// Whether a message of `hwnd` passes a filter: null takes every message,
// HWND -1 thread messages only, anything else that window's.
bool MatchesWindow(HWND filter, HWND hwnd);

// The rest need the thread's queue lock held by the caller.

// A message is waiting: posted, the quit message or a due timer.
bool HasPendingLocked(ThreadState* t);

// The oldest queued message was posted after the last collection: a socket
// may have become ready before it was posted.
bool FrontUnsettledLocked(const ThreadState* t);

// What comes after every posted message, in Windows' order: the quit
// message, then the earliest due timer that passes the filter.
bool PeekQuitOrTimerLocked(ThreadState* t, MSG* msg, HWND hwnd, UINT msgFilterMin,
                           UINT msgFilterMax, bool remove);

// Records a collection that has just ended: what was posted until now
// counts as posted before what it found ready.
void MarkCollectedLocked(ThreadState* t);

// Drops what is queued for a window being destroyed.
void DropWindowMessagesLocked(ThreadState* t, HWND hwnd);

} // namespace platform::detail
#pragma GCC visibility pop

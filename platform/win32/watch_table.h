// A thread's socket watches (watch_table.cpp): which descriptors its
// reactor watches, for what, and whom to call. Internal to the Win32
// stand-in.
#pragma once

#include "platform/win32/reactor.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

struct ThreadState;

// A socket watch in its owner's table. The watch id (and the epoll data of
// the descriptor) is (generation << 32 | slot index); generations are never 0
// or all ones and never reused soon, so a stale id names no slot.
struct WatchSlot {
    std::uint32_t generation = 0; // 0: the slot is free
    int fd = -1;
    std::uint32_t applied = 0; // the events epoll watches for
    std::uint32_t wanted = 0;  // the events asked for last
    bool dirty = false;        // listed in WatchTable::dirty
    SocketReady callback;
};

struct WatchTable {
    // Guards the slots: another thread may watch or unwatch a descriptor
    // for a window of this thread. Taken under the watch registry's lock or
    // alone; no other lock is taken while it is held, and callbacks run
    // without it (thread_state.h).
    std::mutex lock;
    std::vector<WatchSlot> slots;
    std::vector<std::uint32_t> freeSlots;
    // Slots in use; read by the owning thread without the lock.
    std::atomic<std::uint32_t> live{0};
    // Watches changed inside a pump scope, applied before the next
    // collection (owning thread only).
    std::vector<std::uint32_t> dirty;
};

// Applies the watch changes made inside pump scopes; one that epoll
// refused stays listed for the next time. Owning thread only.
void FlushWatchChanges(ThreadState* t);

// The thread watches at least one descriptor (as far as the owning thread
// can tell without the lock).
bool WatchesAny(const ThreadState* t);

// The callback of the watch whose epoll data is `tag`, or an empty one when
// an earlier callback has unwatched or re-watched the descriptor since.
SocketReady WatchCallback(ThreadState* t, std::uint64_t tag);

// At the thread's exit: its watches leave the registry. Called with the
// window table's lock held.
void ForgetThreadWatches(ThreadState* t);

} // namespace platform::detail
#pragma GCC visibility pop

// The reactor's side for the other files of the Win32 stand-in (reactor.cpp):
// waking a thread and turning what is ready into queued messages.
#pragma once

#include "platform/win32/windows.h"

#include <cstdint>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

struct ThreadState;

// epoll data of the two descriptors every thread has; socket watches carry
// (generation << 32 | slot), whose generation is never all ones.
constexpr std::uint64_t kEventTag = ~std::uint64_t{0};
constexpr std::uint64_t kTimerTag = ~std::uint64_t{0} - 1;

// Creates the thread's epoll descriptor, eventfd and timerfd; false (with
// nothing left open) when the system refuses one.
bool OpenReactor(ThreadState* t);
void CloseReactor(ThreadState* t);

// Makes the thread's wait handle readable (once until it collects).
void Wake(ThreadState* t);

// As Wake, except for the thread's own post while it runs its pump: the
// pump looks at the queue before it collects or blocks again.
void WakeUnlessPumping(ThreadState* t);

// Waits up to timeoutMs (-1: without end) for something to be ready on the
// thread's wait handle and turns what is ready into queued messages: the
// ready sockets' callbacks run and post. Owning thread only; does not mark
// the queue as collected (MarkCollectedLocked).
void CollectReady(ThreadState* t, int timeoutMs);

// CollectReady, then the mark. True when a message is waiting afterwards.
bool Collect(ThreadState* t, int timeoutMs);

// Blocks up to timeoutMs for something to become pending (through the
// thread's wait hook when it has one) and collects it; true when a message
// is waiting afterwards.
bool WaitAndCollect(ThreadState* t, DWORD timeoutMs);

} // namespace platform::detail
#pragma GCC visibility pop

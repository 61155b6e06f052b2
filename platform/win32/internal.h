// Helpers shared by the files of the Win32 stand-in; not part of its API.
#pragma once

#include <cstdint>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

// CLOCK_MONOTONIC in whole milliseconds, 64 bits (never wraps). Timer
// deadlines use it; GetTickCount is its truncation to 32 bits.
std::uint64_t MonotonicMs();

} // namespace platform::detail
#pragma GCC visibility pop

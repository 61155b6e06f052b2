// Kernel services: tick count, thread identity, the per-thread last error,
// critical sections and Sleep.
#include "platform/win32/internal.h"
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<DWORD> gTickOffset{0};
// The library is linked with the program, never loaded later: its
// thread-local data lives in the static block and is read without a call.
__attribute__((tls_model("initial-exec"))) thread_local DWORD tLastError = 0;
__attribute__((tls_model("initial-exec"))) thread_local DWORD tThreadId = 0;

} // namespace

namespace platform::detail {

std::uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

} // namespace platform::detail

DWORD GetTickCount() {
    // Truncation to 32 bits is the point: callers must cope with the wrap
    // every 49.7 days exactly as on Windows.
    return static_cast<DWORD>(platform::detail::MonotonicMs()) +
           gTickOffset.load(std::memory_order_relaxed);
}

DWORD GetCurrentThreadId() {
    // The kernel's thread id: nonzero, stable for the thread's life and the
    // same number a debugger shows.
    if (tThreadId == 0)
        tThreadId = static_cast<DWORD>(syscall(SYS_gettid));
    return tThreadId;
}

DWORD GetLastError() {
    return tLastError;
}

void SetLastError(DWORD code) {
    tLastError = code;
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;)
            pause();
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    if (cs)
        cs->impl = new std::recursive_mutex;
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    if (!cs)
        return;
    delete static_cast<std::recursive_mutex*>(cs->impl);
    cs->impl = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    static_cast<std::recursive_mutex*>(cs->impl)->lock();
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    static_cast<std::recursive_mutex*>(cs->impl)->unlock();
}

namespace platform::testing {

void SetTickCountOffset(DWORD offset) {
    gTickOffset.store(offset, std::memory_order_relaxed);
}

} // namespace platform::testing

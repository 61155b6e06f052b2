// Windows, window classes, per-thread message queues, timers, and the reactor
// that wakes a thread when something is pending for it.
//
// Locking: one process-wide lock (Globals::lock) guards the window and class
// tables, the thread registry and the socket watches; each thread's own lock
// guards its queue, quit flag and timers. The process-wide lock is always
// taken first. A thread's state is freed only with both held, so a poster
// that found the state under the process-wide lock and then took the
// thread's lock may finish its append safely after releasing the first.
#include "platform/win32/internal.h"
#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

using platform::detail::MonotonicMs;

namespace {

// Windows raises shorter intervals to this minimum (USER_TIMER_MINIMUM) and
// caps longer ones at USER_TIMER_MAXIMUM.
constexpr UINT kTimerMinimum = 10;
constexpr UINT kTimerMaximum = 0x7FFFFFFF;

// epoll data of the two descriptors every thread has; socket watches carry
// (generation << 32 | fd), whose generation is never all ones.
constexpr std::uint64_t kEventTag = ~std::uint64_t{0};
constexpr std::uint64_t kTimerTag = ~std::uint64_t{0} - 1;

// hwnd filter value that selects thread messages only, as in Windows.
// (A function, not a constant: a reinterpret_cast cannot be constant-
// initialised, and static initialisers elsewhere may already call in.)
HWND ThreadMessagesOnly() {
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
}

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT elapse;
    TIMERPROC proc;
    std::uint64_t due; // MonotonicMs of the next tick; past means a WM_TIMER is pending
};

// A socket watch in its owner's table. The watch id (and the epoll data of
// the descriptor) is (generation << 32 | slot index); generations are never 0
// or all ones and never reused soon, so a stale id names no slot.
struct WatchSlot {
    std::uint32_t generation = 0; // 0: the slot is free
    int fd = -1;
    std::uint32_t applied = 0; // the events epoll watches for
    std::uint32_t wanted = 0;  // the events asked for last
    bool dirty = false;        // listed in dirtyWatches
    platform::SocketReady callback;
};

struct ThreadState {
    DWORD threadId = 0;
    int epollFd = -1;
    int eventFd = -1;
    int timerFd = -1;

    std::mutex lock; // queue, sequence numbers, quit, timers, armedDeadline
    // Posted messages in the order posted, each with its sequence number.
    // Ready events become messages only when they are collected, so a
    // message posted since the last collection may have been posted after a
    // socket became ready: a pump collects again before it dispatches such a
    // message (see PumpPass), so that the notice comes first, as Windows
    // posts a notice when its event happens.
    struct Queued {
        MSG msg;
        std::uint64_t seq;
    };
    std::deque<Queued> queue;
    std::uint64_t lastSeq = 0;          // of the last message queued (or quit posted)
    std::uint64_t collectedThrough = 0; // lastSeq when the last collection ended
    std::uint64_t collectedAt = 0;      // MonotonicMs then
    bool freshCollection = false;       // and no message was taken since
    bool quitPosted = false;
    int quitCode = 0;
    std::uint64_t quitSeq = 0; // the sequence number PostQuitMessage took
    std::vector<Timer> timers;
    std::uint64_t armedDeadline = 0; // 0: timerfd disarmed
    UINT_PTR nextThreadTimerId = 0x7FF0;

    // Set by the first post after the owner collected the eventfd's event;
    // later posts skip the write until the owner collects again, so a burst
    // of posts costs one system call and a thread that is not waiting costs
    // none after it.
    std::atomic<bool> wakePending{false};

    platform::WaitHook waitHook; // touched by the owning thread only

    // PumpScope objects alive on the thread (owning thread only). Inside
    // them the thread's own posts write no wake-up (wakeSkipped records
    // that one did not) and its watch changes wait for the next collection.
    int pumpDepth = 0;
    bool wakeSkipped = false;

    std::mutex watchLock; // the watch table; taken after the global lock
    std::vector<WatchSlot> watchSlots;
    std::vector<std::uint32_t> freeWatchSlots;
    std::vector<std::uint32_t> dirtyWatches; // owning thread only
};

struct WindowClass {
    std::string name;
    WNDCLASSA wc{};
    ATOM atom = 0;
    int windowCount = 0;
};

struct Window {
    HWND handle = nullptr;
    ThreadState* owner = nullptr;
    WindowClass* cls = nullptr;
    WNDPROC proc = nullptr;
    std::vector<BYTE> extra;
};

struct Slot {
    std::uint32_t generation = 1;
    std::unique_ptr<Window> window;
};

// Which thread's table holds the watch of a descriptor.
struct Watch {
    ThreadState* owner = nullptr;
    std::uint64_t id = 0;
};

struct Globals {
    std::mutex lock;
    std::vector<Slot> slots;
    std::deque<std::uint32_t> freeSlots; // FIFO so that a slot's reuse is spread out
    std::map<std::pair<HINSTANCE, std::string>, std::unique_ptr<WindowClass>> classes;
    ATOM nextAtom = 0xC000;
    std::set<ATOM> freeAtoms; // given back by UnregisterClassA, reused lowest first
    std::map<DWORD, ThreadState*> threads;
    std::map<int, Watch> watches;
    std::uint32_t nextWatchGeneration = 1;
    std::map<std::string, UINT> messageNames;
    UINT nextMessage = 0xC000;
};

// Never destroyed: static destructors elsewhere may still call in.
Globals& G() {
    static Globals* globals = new Globals;
    return *globals;
}

std::string Lower(const char* s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// ---- handles --------------------------------------------------------------

// A handle is (generation << 32) | (slot index + 1): never 0, and a handle
// whose window was destroyed no longer matches its slot's generation.
HWND MakeHandle(std::uint32_t index, std::uint32_t generation) {
    return reinterpret_cast<HWND>((static_cast<std::uintptr_t>(generation) << 32) |
                                  (static_cast<std::uintptr_t>(index) + 1));
}

Window* FindWindowLocked(HWND hwnd) {
    auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    std::uint32_t low = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
    std::uint32_t generation = static_cast<std::uint32_t>(value >> 32);
    if (low == 0)
        return nullptr;
    Globals& g = G();
    std::uint32_t index = low - 1;
    if (index >= g.slots.size())
        return nullptr;
    Slot& slot = g.slots[index];
    if (slot.generation != generation || !slot.window)
        return nullptr;
    return slot.window.get();
}

void FreeWindowLocked(Window* w) {
    Globals& g = G();
    std::uint32_t index =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(w->handle) & 0xFFFFFFFFu) - 1;
    w->cls->windowCount--;
    Slot& slot = g.slots[index];
    slot.window.reset();
    if (++slot.generation == 0)
        slot.generation = 1;
    g.freeSlots.push_back(index);
}

// ---- per-thread state -----------------------------------------------------

// The library is linked with the program, never loaded later, so its
// thread-local data can live in the static block: read without a call.
__attribute__((tls_model("initial-exec"))) thread_local ThreadState* tState = nullptr;

void ReleaseThreadState(void* p);

pthread_key_t ThreadKey() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, ReleaseThreadState);
        return k;
    }();
    return key;
}

void CloseFds(ThreadState* t) {
    for (int fd : {t->timerFd, t->eventFd, t->epollFd})
        if (fd >= 0)
            close(fd);
}

// The calling thread's state, created on first use; nullptr only when the
// descriptors cannot be created.
ThreadState* CurrentState() {
    if (tState)
        return tState;
    auto t = std::make_unique<ThreadState>();
    t->threadId = GetCurrentThreadId();
    t->epollFd = epoll_create1(EPOLL_CLOEXEC);
    t->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    t->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    bool ok = t->epollFd >= 0 && t->eventFd >= 0 && t->timerFd >= 0;
    if (ok) {
        epoll_event ev{};
        // Edge-triggered: every write is one event, collected by one
        // epoll_wait, so the counter never needs reading (it cannot
        // overflow: a write happens at most once per collection).
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = kEventTag;
        ok = epoll_ctl(t->epollFd, EPOLL_CTL_ADD, t->eventFd, &ev) == 0;
        ev.events = EPOLLIN;
        ev.data.u64 = kTimerTag;
        ok = ok && epoll_ctl(t->epollFd, EPOLL_CTL_ADD, t->timerFd, &ev) == 0;
    }
    if (!ok) {
        CloseFds(t.get());
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::lock_guard gl(G().lock);
        G().threads[t->threadId] = t.get();
    }
    tState = t.release();
    pthread_setspecific(ThreadKey(), tState);
    return tState;
}

// At thread exit: the thread's windows, watches and queue go with it.
void ReleaseThreadState(void* p) {
    auto* t = static_cast<ThreadState*>(p);
    Globals& g = G();
    {
        std::lock_guard gl(g.lock);
        g.threads.erase(t->threadId);
        for (Slot& slot : g.slots)
            if (slot.window && slot.window->owner == t)
                FreeWindowLocked(slot.window.get());
        for (auto it = g.watches.begin(); it != g.watches.end();)
            it = it->second.owner == t ? g.watches.erase(it) : std::next(it);
        // Wait for a poster that holds the thread's lock to finish.
        std::lock_guard tl(t->lock);
    }
    CloseFds(t);
    if (tState == t)
        tState = nullptr;
    delete t;
}

void Wake(ThreadState* t) {
    if (!t->wakePending.exchange(true, std::memory_order_acq_rel)) {
        std::uint64_t one = 1;
        ssize_t n = write(t->eventFd, &one, sizeof one);
        (void)n; // EAGAIN means the counter is already nonzero: awake anyway
    }
}

// A thread posting to its own queue while it runs its pump needs no wake-up:
// the pump looks at the queue before it collects or blocks again.
void WakeUnlessPumping(ThreadState* t) {
    if (t == tState && t->pumpDepth > 0)
        t->wakeSkipped = true;
    else
        Wake(t);
}

// Appends under the thread's lock; the caller holds it.
void AppendLocked(ThreadState* t, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    t->queue.push_back({MSG{hwnd, msg, wParam, lParam, GetTickCount(), POINT{0, 0}}, ++t->lastSeq});
    WakeUnlessPumping(t);
}

// Arms the timerfd at the earliest deadline still ahead. Timers already due
// are pending messages, not deadlines. Caller holds the thread's lock.
void RearmLocked(ThreadState* t, std::uint64_t now) {
    std::uint64_t next = 0;
    for (const Timer& timer : t->timers)
        if (timer.due > now && (next == 0 || timer.due < next))
            next = timer.due;
    if (next == t->armedDeadline)
        return;
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(next / 1000);
    when.it_value.tv_nsec = static_cast<long>(next % 1000) * 1000000L;
    timerfd_settime(t->timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
    t->armedDeadline = next;
}

// ---- socket watches --------------------------------------------------------

std::uint64_t WatchIdOf(std::uint32_t generation, std::uint32_t index) {
    return (static_cast<std::uint64_t>(generation) << 32) | index;
}

// Caller holds t->watchLock.
std::uint32_t AllocateSlotLocked(ThreadState* t) {
    if (!t->freeWatchSlots.empty()) {
        std::uint32_t index = t->freeWatchSlots.back();
        t->freeWatchSlots.pop_back();
        return index;
    }
    t->watchSlots.emplace_back();
    return static_cast<std::uint32_t>(t->watchSlots.size() - 1);
}

// Caller holds t->watchLock. The owning thread may be running a copy of the
// callback; it keeps its copy.
void FreeSlotLocked(ThreadState* t, std::uint32_t index) {
    WatchSlot& w = t->watchSlots[index];
    w.generation = 0;
    w.fd = -1;
    w.applied = w.wanted = 0;
    w.dirty = false;
    w.callback = nullptr;
    t->freeWatchSlots.push_back(index);
}

// Brings epoll in line with what the slot asks for. False when epoll
// refused: the change is not recorded as made, so it is tried again.
// Caller holds t->watchLock.
bool ApplySlotLocked(ThreadState* t, std::uint32_t index) {
    WatchSlot& w = t->watchSlots[index];
    if (w.wanted == w.applied)
        return true;
    epoll_event ev{};
    ev.events = w.wanted;
    ev.data.u64 = WatchIdOf(w.generation, index);
    int rc = epoll_ctl(t->epollFd, EPOLL_CTL_MOD, w.fd, &ev);
    // A closed descriptor leaves epoll by itself.
    if (rc != 0 && errno == ENOENT)
        rc = epoll_ctl(t->epollFd, EPOLL_CTL_ADD, w.fd, &ev);
    if (rc != 0)
        return false;
    w.applied = w.wanted;
    return true;
}

// Applies the watch changes made inside pump scopes: before every collection
// and every block, and when the outermost scope ends; one that epoll refused
// stays listed for the next time. Owning thread only.
void FlushWatchChanges(ThreadState* t) {
    if (t->dirtyWatches.empty())
        return;
    std::lock_guard wl(t->watchLock);
    std::size_t kept = 0;
    for (std::uint32_t index : t->dirtyWatches) {
        WatchSlot& w = t->watchSlots[index];
        if (!w.dirty)
            continue; // freed (or freed and taken again) meanwhile
        if (ApplySlotLocked(t, index))
            w.dirty = false;
        else
            t->dirtyWatches[kept++] = index;
    }
    t->dirtyWatches.resize(kept);
}

// Milliseconds to the earliest deadline still ahead, INFINITE when none.
DWORD NextFutureDeadlineMs(ThreadState* t) {
    std::lock_guard tl(t->lock);
    std::uint64_t now = MonotonicMs();
    std::uint64_t next = 0;
    for (const Timer& timer : t->timers)
        if (timer.due > now && (next == 0 || timer.due < next))
            next = timer.due;
    if (next == 0)
        return INFINITE;
    return static_cast<DWORD>(std::min<std::uint64_t>(next - now, INFINITE - 1));
}

bool AnyTimerDueLocked(const ThreadState* t) {
    if (t->timers.empty())
        return false;
    const std::uint64_t now = MonotonicMs();
    return std::any_of(t->timers.begin(), t->timers.end(),
                       [now](const Timer& timer) { return timer.due <= now; });
}

// A timer is due that was not yet due when the last collection ended.
bool TimerDueSinceCollectionLocked(const ThreadState* t) {
    if (t->timers.empty())
        return false;
    const std::uint64_t now = MonotonicMs();
    return std::any_of(t->timers.begin(), t->timers.end(), [t, now](const Timer& timer) {
        return timer.due <= now && timer.due > t->collectedAt;
    });
}

bool HasPendingLocked(ThreadState* t) {
    return !t->queue.empty() || t->quitPosted || AnyTimerDueLocked(t);
}

// Turns what is ready on the thread's epoll descriptor into queued
// messages, waiting up to timeoutMs (-1: without end) for something to be
// ready. Returns true when a message is queued afterwards.
bool Collect(ThreadState* t, int timeoutMs) {
    // The callbacks' posts are for our caller, who looks at the queue next.
    platform::PumpScope scope;
    FlushWatchChanges(t);
    // One pass only: a socket that stays ready must not keep us here.
    epoll_event events[64];
    int n;
    do {
        n = epoll_wait(t->epollFd, events, 64, timeoutMs);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        std::uint64_t tag = events[i].data.u64;
        std::uint64_t drained;
        if (tag == kEventTag) {
            // The edge is taken; now clear the flag. A post that slips in
            // between finds the flag still set and does not write, but its
            // message is already queued and the caller looks at the queue
            // next; every post after the clear writes again, a new edge.
            t->wakePending.store(false, std::memory_order_seq_cst);
        } else if (tag == kTimerTag) {
            ssize_t r = read(t->timerFd, &drained, sizeof drained);
            (void)r;
            std::lock_guard tl(t->lock);
            t->armedDeadline = 0; // fired, so no longer armed
            RearmLocked(t, MonotonicMs());
        } else {
            const auto index = static_cast<std::uint32_t>(tag & 0xFFFFFFFFu);
            const auto generation = static_cast<std::uint32_t>(tag >> 32);
            platform::SocketReady callback;
            {
                std::lock_guard wl(t->watchLock);
                // An earlier callback of this pass may have unwatched or
                // re-watched the descriptor: then this event is stale.
                if (index < t->watchSlots.size() && t->watchSlots[index].generation == generation)
                    callback = t->watchSlots[index].callback; // small: no allocation
            }
            if (callback)
                callback(events[i].events);
        }
    }
    std::lock_guard tl(t->lock);
    // Whatever was posted until now counts as posted before what this
    // collection found ready (as far as a collection can tell).
    t->collectedThrough = t->lastSeq;
    if (!t->timers.empty()) // a timer set later is judged as due since, which costs a look
        t->collectedAt = MonotonicMs();
    t->freshCollection = true;
    return HasPendingLocked(t);
}

// Blocks up to timeoutMs for something to become pending and collects it;
// true when a message is queued afterwards.
// Without a hook the wait is the collection's own epoll_wait; a hook (the
// GUI's) waits its own way and the collection follows.
bool WaitAndCollect(ThreadState* t, DWORD timeoutMs) {
    FlushWatchChanges(t);
    if (t->waitHook) {
        platform::WaitHook hook = t->waitHook; // the hook may replace itself
        hook(timeoutMs);
        return Collect(t, 0);
    }
    return Collect(
        t, timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(timeoutMs, INT_MAX)));
}

bool MatchesWindow(HWND filter, HWND hwnd) {
    if (!filter)
        return true;
    if (filter == ThreadMessagesOnly())
        return hwnd == nullptr;
    return hwnd == filter;
}

bool MatchesNumber(UINT min, UINT max, UINT msg) {
    if (min == 0 && max == 0)
        return true;
    return msg >= min && msg <= max;
}

// What comes after every posted message, in Windows' order: the quit
// message, then the earliest due timer that passes the filter. WM_TIMER is
// made on demand, so a timer has at most one pending. Caller holds the
// thread's lock.
bool PeekQuitOrTimerLocked(ThreadState* t, MSG* msg, HWND hwnd, UINT msgFilterMin,
                           UINT msgFilterMax, bool remove) {
    if (t->quitPosted && MatchesNumber(msgFilterMin, msgFilterMax, WM_QUIT)) {
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(t->quitCode), 0, GetTickCount(), {0, 0}};
        if (remove) {
            t->quitPosted = false;
            t->freshCollection = false;
        }
        return true;
    }
    if (!MatchesNumber(msgFilterMin, msgFilterMax, WM_TIMER) || t->timers.empty())
        return false;
    std::uint64_t now = MonotonicMs();
    Timer* due = nullptr;
    for (Timer& timer : t->timers)
        if (timer.due <= now && MatchesWindow(hwnd, timer.hwnd) && (!due || timer.due < due->due))
            due = &timer;
    if (!due)
        return false;
    *msg = MSG{due->hwnd,      WM_TIMER, due->id, reinterpret_cast<LPARAM>(due->proc),
               GetTickCount(), {0, 0}};
    if (remove) {
        due->due = now + due->elapse;
        RearmLocked(t, now);
        t->freshCollection = false;
    }
    return true;
}

// The oldest queued message was posted after the last collection: a socket
// may have become ready before it was posted. Caller holds the thread's lock.
bool FrontUnsettledLocked(const ThreadState* t) {
    return !t->queue.empty() && t->queue.front().seq > t->collectedThrough;
}

bool IsUsableFilter(HWND hwnd) {
    if (!hwnd || hwnd == ThreadMessagesOnly())
        return true;
    std::lock_guard gl(G().lock);
    return FindWindowLocked(hwnd) != nullptr;
}

} // namespace

// ---- classes --------------------------------------------------------------

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (!wc || !wc->lpszClassName || !*wc->lpszClassName || !wc->lpfnWndProc ||
        wc->cbWndExtra < 0 || wc->cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Globals& g = G();
    std::lock_guard gl(g.lock);
    auto key = std::make_pair(wc->hInstance, Lower(wc->lpszClassName));
    if (g.classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    ATOM atom;
    if (!g.freeAtoms.empty()) {
        atom = *g.freeAtoms.begin();
        g.freeAtoms.erase(g.freeAtoms.begin());
    } else if (g.nextAtom == 0) { // all 16,384 atoms of 0xC000 to 0xFFFF are in use
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    } else {
        atom = g.nextAtom++;
    }
    auto cls = std::make_unique<WindowClass>();
    cls->name = wc->lpszClassName;
    cls->wc = *wc;
    cls->wc.lpszClassName = cls->name.c_str();
    cls->wc.lpszMenuName = nullptr;
    cls->atom = atom;
    g.classes.emplace(key, std::move(cls));
    return atom;
}

namespace {

// className may be a string or an atom (MAKEINTATOM: a value below 0x10000).
WindowClass* FindClassLocked(HINSTANCE instance, LPCSTR className) {
    Globals& g = G();
    auto asNumber = reinterpret_cast<std::uintptr_t>(className);
    if (asNumber < 0x10000) {
        for (auto& [key, cls] : g.classes)
            if (key.first == instance && cls->atom == asNumber)
                return cls.get();
        return nullptr;
    }
    auto it = g.classes.find(std::make_pair(instance, Lower(className)));
    return it == g.classes.end() ? nullptr : it->second.get();
}

} // namespace

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Globals& g = G();
    std::lock_guard gl(g.lock);
    WindowClass* cls = FindClassLocked(instance, className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (cls->windowCount > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    // The atom goes back to the table, as Windows deletes a class's atom.
    g.freeAtoms.insert(cls->atom);
    g.classes.erase(std::make_pair(instance, Lower(cls->name.c_str())));
    return TRUE;
}

BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* out) {
    if (!className || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard gl(G().lock);
    WindowClass* cls = FindClassLocked(instance, className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *out = cls->wc;
    return TRUE;
}

// ---- windows --------------------------------------------------------------

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR, DWORD, int, int, int, int, HWND, void*,
                     HINSTANCE instance, void*) {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    ThreadState* t = CurrentState();
    if (!t)
        return nullptr;
    Globals& g = G();
    std::lock_guard gl(g.lock);
    WindowClass* cls = FindClassLocked(instance, className);
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    std::uint32_t index;
    if (!g.freeSlots.empty()) {
        index = g.freeSlots.front();
        g.freeSlots.pop_front();
    } else {
        if (g.slots.size() >= 0xFFFFFFFEu) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        index = static_cast<std::uint32_t>(g.slots.size());
        g.slots.emplace_back();
    }
    Slot& slot = g.slots[index];
    auto w = std::make_unique<Window>();
    w->handle = MakeHandle(index, slot.generation);
    w->owner = t;
    w->cls = cls;
    w->proc = cls->wc.lpfnWndProc;
    w->extra.assign(static_cast<std::size_t>(cls->wc.cbWndExtra), 0);
    cls->windowCount++;
    slot.window = std::move(w);
    return slot.window->handle;
}

BOOL DestroyWindow(HWND hwnd) {
    Globals& g = G();
    WNDPROC proc;
    {
        std::lock_guard gl(g.lock);
        Window* w = FindWindowLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        // As in Windows, only the owning thread may destroy a window.
        if (w->owner->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        proc = w->proc;
    }
    proc(hwnd, WM_DESTROY, 0, 0);

    ThreadState* t;
    {
        std::lock_guard gl(g.lock);
        Window* w = FindWindowLocked(hwnd);
        if (!w) // the procedure destroyed it already
            return TRUE;
        t = w->owner;
        FreeWindowLocked(w);
    }
    // Nothing queued for the window may reach a later window of the same slot.
    std::lock_guard tl(t->lock);
    std::erase_if(t->queue, [hwnd](const ThreadState::Queued& q) { return q.msg.hwnd == hwnd; });
    std::erase_if(t->timers, [hwnd](const Timer& timer) { return timer.hwnd == hwnd; });
    RearmLocked(t, MonotonicMs());
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    std::lock_guard gl(G().lock);
    return FindWindowLocked(hwnd) ? TRUE : FALSE;
}

namespace {

// The address of the window's extra bytes at `index`, or null (with the
// error set) for a stale window or an index outside them. Caller holds the
// global lock.
BYTE* ExtraBytesLocked(HWND hwnd, int index) {
    Window* w = FindWindowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (index < 0 || static_cast<std::size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return nullptr;
    }
    return w->extra.data() + index;
}

} // namespace

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    std::lock_guard gl(G().lock);
    BYTE* at = ExtraBytesLocked(hwnd, index);
    if (!at)
        return 0;
    LONG_PTR old;
    std::memcpy(&old, at, sizeof old);
    std::memcpy(at, &value, sizeof value);
    return old;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    std::lock_guard gl(G().lock);
    BYTE* at = ExtraBytesLocked(hwnd, index);
    if (!at)
        return 0;
    LONG_PTR value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
    std::lock_guard gl(G().lock);
    Window* w = FindWindowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId)
        *processId = static_cast<DWORD>(getpid());
    return w->owner->threadId;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

// ---- messages -------------------------------------------------------------

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!hwnd) { // as in Windows: a thread message to the calling thread
        ThreadState* t = CurrentState();
        if (!t)
            return FALSE;
        std::lock_guard tl(t->lock);
        AppendLocked(t, nullptr, msg, wParam, lParam);
        return TRUE;
    }
    Globals& g = G();
    std::unique_lock gl(g.lock);
    Window* w = FindWindowLocked(hwnd);
    if (!w) {
        gl.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadState* t = w->owner;
    std::lock_guard tl(t->lock);
    gl.unlock();
    AppendLocked(t, hwnd, msg, wParam, lParam);
    return TRUE;
}

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    Globals& g = G();
    std::unique_lock gl(g.lock);
    auto it = g.threads.find(threadId);
    if (it == g.threads.end()) {
        gl.unlock();
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    ThreadState* t = it->second;
    std::lock_guard tl(t->lock);
    gl.unlock();
    AppendLocked(t, nullptr, msg, wParam, lParam);
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    ThreadState* t = CurrentState();
    if (!t)
        return;
    std::lock_guard tl(t->lock);
    t->quitPosted = true;
    t->quitCode = exitCode;
    t->quitSeq = ++t->lastSeq;
    WakeUnlessPumping(t);
}

// Windows' order: posted messages first, then the quit flag, then timers.
// WM_TIMER is made on demand, so a timer has at most one pending, and only
// when no posted message passes the filter.
BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsUsableFilter(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadState* t = CurrentState();
    if (!t)
        return FALSE;
    bool remove = (removeMsg & PM_REMOVE) != 0;
    std::lock_guard tl(t->lock);
    for (auto it = t->queue.begin(); it != t->queue.end(); ++it) {
        if (MatchesWindow(hwnd, it->msg.hwnd) &&
            MatchesNumber(msgFilterMin, msgFilterMax, it->msg.message)) {
            *msg = it->msg;
            if (remove) {
                t->queue.erase(it);
                t->freshCollection = false;
            }
            return TRUE;
        }
    }
    return PeekQuitOrTimerLocked(t, msg, hwnd, msgFilterMin, msgFilterMax, remove);
}

BOOL GetMessageA(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax) {
    ThreadState* t = CurrentState();
    if (!t || !msg)
        return -1;
    for (;;) {
        bool unsettled;
        {
            std::lock_guard tl(t->lock);
            unsettled = FrontUnsettledLocked(t);
        }
        if (unsettled) // what was ready before it was posted comes first
            Collect(t, 0);
        if (PeekMessageA(msg, hwnd, msgFilterMin, msgFilterMax, PM_REMOVE))
            return msg->message == WM_QUIT ? 0 : 1;
        if (!IsUsableFilter(hwnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        WaitAndCollect(t, NextFutureDeadlineMs(t));
    }
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (!msg)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        // Only the procedure of a live timer is called, never an arbitrary
        // address that a forged WM_TIMER carries.
        ThreadState* t = CurrentState();
        TIMERPROC proc = nullptr;
        if (t) {
            std::lock_guard tl(t->lock);
            for (const Timer& timer : t->timers)
                if (timer.hwnd == msg->hwnd && timer.id == msg->wParam &&
                    reinterpret_cast<LPARAM>(timer.proc) == msg->lParam)
                    proc = timer.proc;
        }
        if (proc)
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (!msg->hwnd)
        return 0;
    WNDPROC proc;
    {
        std::lock_guard gl(G().lock);
        Window* w = FindWindowLocked(msg->hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        proc = w->proc;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

UINT RegisterWindowMessageA(LPCSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Globals& g = G();
    std::lock_guard gl(g.lock);
    std::string key = Lower(name); // names compare without regard to case
    auto it = g.messageNames.find(key);
    if (it != g.messageNames.end())
        return it->second;
    if (g.nextMessage > 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    UINT number = g.nextMessage++;
    g.messageNames.emplace(std::move(key), number);
    return number;
}

// ---- timers ---------------------------------------------------------------

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    ThreadState* t = CurrentState();
    if (!t)
        return 0;
    if (hwnd) {
        std::lock_guard gl(G().lock);
        Window* w = FindWindowLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->owner != t) { // timers run on the window's own thread only
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    UINT elapse = std::clamp(elapseMs, kTimerMinimum, kTimerMaximum);
    std::lock_guard tl(t->lock);
    std::uint64_t now = MonotonicMs();
    auto existing = std::find_if(t->timers.begin(), t->timers.end(), [&](const Timer& timer) {
        return timer.hwnd == hwnd && timer.id == id && (hwnd || id != 0);
    });
    UINT_PTR result;
    if (existing != t->timers.end()) {
        // Replacing a timer restarts its interval and drops a pending tick.
        existing->elapse = elapse;
        existing->proc = proc;
        existing->due = now + elapse;
        result = hwnd ? (id ? id : 1) : id;
    } else {
        UINT_PTR newId = id;
        if (!hwnd) { // thread timers get an identifier of the system's choice
            do {
                newId = t->nextThreadTimerId++;
            } while (newId == 0 ||
                     std::any_of(t->timers.begin(), t->timers.end(), [&](const Timer& timer) {
                         return !timer.hwnd && timer.id == newId;
                     }));
        }
        t->timers.push_back(Timer{hwnd, newId, elapse, proc, now + elapse});
        result = hwnd ? (id ? id : 1) : newId;
    }
    RearmLocked(t, now);
    return result;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    ThreadState* t = CurrentState();
    if (!t)
        return FALSE;
    std::lock_guard tl(t->lock);
    auto it = std::find_if(t->timers.begin(), t->timers.end(), [&](const Timer& timer) {
        return timer.hwnd == hwnd && timer.id == id;
    });
    if (it == t->timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t->timers.erase(it);
    RearmLocked(t, MonotonicMs());
    return TRUE;
}

// ---- waiting --------------------------------------------------------------

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE*, BOOL, DWORD ms, DWORD) {
    if (nCount != 0) { // no kernel objects exist in this stand-in
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    ThreadState* t = CurrentState();
    if (!t)
        return WAIT_FAILED;
    // Messages already queued answer at once; what is ready but not yet
    // collected does too, since the wait below returns at once for it.
    if (platform::HasPendingMessage())
        return WAIT_OBJECT_0;
    std::uint64_t start = MonotonicMs();
    for (;;) {
        DWORD remaining = INFINITE;
        if (ms != INFINITE) {
            std::uint64_t spent = MonotonicMs() - start;
            remaining = spent >= ms ? 0 : static_cast<DWORD>(ms - spent);
        }
        if (WaitAndCollect(t, std::min(remaining, NextFutureDeadlineMs(t))))
            return WAIT_OBJECT_0;
        if (remaining == 0 || (ms != INFINITE && MonotonicMs() - start >= ms))
            return WAIT_TIMEOUT;
    }
}

// ---- the reactor ----------------------------------------------------------

namespace platform {

int ThreadWaitHandle() {
    ThreadState* t = CurrentState();
    return t ? t->epollFd : -1;
}

PumpScope::PumpScope() {
    if (ThreadState* t = CurrentState())
        ++t->pumpDepth;
}

PumpScope::~PumpScope() {
    ThreadState* t = tState;
    if (!t || --t->pumpDepth > 0)
        return;
    FlushWatchChanges(t);
    // Leaving the pump with messages it did not announce: announce them now,
    // for a loop that waits on the handle without looking at the queue.
    if (t->wakeSkipped) {
        t->wakeSkipped = false;
        std::lock_guard tl(t->lock);
        if (!t->queue.empty() || t->quitPosted)
            Wake(t);
    }
}

bool ProcessReadyEvents() {
    ThreadState* t = CurrentState();
    return t && Collect(t, 0);
}

PumpPass::~PumpPass() {
    // Stopped by its bound: what is left must not wait for a wake-up that
    // was already taken.
    ThreadState* t = tState;
    if (bounded_ && t && HasPendingMessage())
        Wake(t);
}

bool PumpPass::Next(MSG* msg) {
    ThreadState* t = CurrentState();
    if (!t || !msg || over_)
        return false;
    if (messagesLeft_ == 0) {
        over_ = bounded_ = true;
        return false;
    }
    for (;;) {
        {
            std::lock_guard tl(t->lock);
            if (!started_) {
                // A collection made right before the pass, whose messages
                // are still queued (by the wait that ended because something
                // was ready), counts as the pass's own.
                started_ = true;
                collected_ = t->freshCollection && !t->queue.empty();
            }
            if (!t->queue.empty() && !FrontUnsettledLocked(t)) {
                *msg = t->queue.front().msg;
                t->queue.pop_front();
                t->freshCollection = false;
                --messagesLeft_;
                return true;
            }
            // Nothing queued. A pass looks at what is ready at least once.
            // The quit message and a due timer come after what was ready
            // before them: so the pass looks again when the quit was posted
            // or the timer fell due since the last look, and what that look
            // finds comes first. What became ready after a look that came
            // after them comes after them (as far as a collection can
            // tell), so a socket that stays readable cannot hold back a
            // quit or a timer for ever.
            if (t->queue.empty()) {
                const bool look = !collected_ ||
                                  (t->quitPosted && t->quitSeq > t->collectedThrough) ||
                                  TimerDueSinceCollectionLocked(t);
                if (!look) {
                    if (!PeekQuitOrTimerLocked(t, msg, nullptr, 0, 0, true)) {
                        over_ = true;
                        return false;
                    }
                    over_ = msg->message == WM_QUIT;
                    --messagesLeft_;
                    return true;
                }
            }
        }
        if (collectionsLeft_ == 0) {
            over_ = bounded_ = true;
            return false;
        }
        --collectionsLeft_;
        Collect(t, 0);
        collected_ = true;
    }
}

bool TakeNextMessage(MSG* msg) {
    PumpPass pass;
    return pass.Next(msg);
}

bool PrepareToBlock() {
    ThreadState* t = CurrentState();
    if (!t)
        return false;
    FlushWatchChanges(t);
    return HasPendingMessage();
}

DWORD MillisecondsToNextTimer() {
    ThreadState* t = CurrentState();
    if (!t)
        return INFINITE;
    std::lock_guard tl(t->lock);
    if (t->timers.empty())
        return INFINITE;
    std::uint64_t now = MonotonicMs();
    std::uint64_t next = t->timers.front().due;
    for (const Timer& timer : t->timers)
        next = std::min(next, timer.due);
    return next <= now ? 0 : static_cast<DWORD>(std::min<std::uint64_t>(next - now, INFINITE - 1));
}

bool HasPendingMessage() {
    ThreadState* t = CurrentState();
    if (!t)
        return false;
    std::lock_guard tl(t->lock);
    return HasPendingLocked(t);
}

void SetThreadWaitHook(WaitHook hook) {
    if (ThreadState* t = CurrentState())
        t->waitHook = std::move(hook);
}

WatchId WatchSocket(HWND owner, int fd, std::uint32_t epollEvents, SocketReady callback) {
    if (fd < 0)
        return 0;
    Globals& g = G();
    std::lock_guard gl(g.lock);
    Window* w = FindWindowLocked(owner);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    ThreadState* t = w->owner;
    std::uint32_t generation = g.nextWatchGeneration++;
    if (generation == 0 || generation == 0xFFFFFFFFu) { // kept clear of the two tags
        g.nextWatchGeneration = 2;
        generation = 1;
    }
    // Watching a descriptor again replaces its watch: in the same slot when
    // the owner stays (events of the old generation become stale), else in
    // the new owner's table.
    bool registered = false;
    std::uint32_t index = 0;
    auto existing = g.watches.find(fd);
    if (existing != g.watches.end()) {
        ThreadState* old = existing->second.owner;
        const auto oldIndex = static_cast<std::uint32_t>(existing->second.id & 0xFFFFFFFFu);
        if (old == t) {
            registered = true;
            index = oldIndex;
        } else {
            std::lock_guard wl(old->watchLock);
            epoll_ctl(old->epollFd, EPOLL_CTL_DEL, fd, nullptr);
            FreeSlotLocked(old, oldIndex);
        }
        g.watches.erase(existing);
    }
    std::lock_guard wl(t->watchLock);
    if (!registered)
        index = AllocateSlotLocked(t);
    const WatchId id = WatchIdOf(generation, index);
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = id;
    int rc;
    if (registered) {
        rc = epoll_ctl(t->epollFd, EPOLL_CTL_MOD, fd, &ev);
        // A closed fd leaves epoll by itself; its number may be back as a
        // new socket that was never added.
        if (rc != 0 && errno == ENOENT)
            rc = epoll_ctl(t->epollFd, EPOLL_CTL_ADD, fd, &ev);
    } else {
        rc = epoll_ctl(t->epollFd, EPOLL_CTL_ADD, fd, &ev);
        if (rc != 0 && errno == EEXIST)
            rc = epoll_ctl(t->epollFd, EPOLL_CTL_MOD, fd, &ev);
    }
    if (rc != 0) {
        if (registered)
            epoll_ctl(t->epollFd, EPOLL_CTL_DEL, fd, nullptr);
        FreeSlotLocked(t, index);
        return 0;
    }
    WatchSlot& slot = t->watchSlots[index];
    slot.generation = generation;
    slot.fd = fd;
    slot.applied = slot.wanted = epollEvents;
    slot.dirty = false;
    slot.callback = std::move(callback);
    g.watches[fd] = Watch{t, id};
    return id;
}

bool ModifyWatch(WatchId id, std::uint32_t epollEvents) {
    ThreadState* t = tState;
    if (!t || id == 0)
        return false;
    const auto index = static_cast<std::uint32_t>(id & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(id >> 32);
    std::lock_guard wl(t->watchLock);
    // Generations are unique, so a match in the caller's own table is this
    // watch; a watch of another thread is not found here.
    if (index >= t->watchSlots.size() || t->watchSlots[index].generation != generation)
        return false;
    WatchSlot& w = t->watchSlots[index];
    w.wanted = epollEvents;
    if (t->pumpDepth > 0) {
        // Applied before the next collection: a notice posted and answered
        // within one pass (disarm, then re-arm) costs epoll nothing.
        if (!w.dirty && w.wanted != w.applied) {
            w.dirty = true;
            t->dirtyWatches.push_back(index);
        }
        return true;
    }
    return ApplySlotLocked(t, index);
}

void UnwatchSocket(int fd) {
    Globals& g = G();
    std::lock_guard gl(g.lock);
    auto it = g.watches.find(fd);
    if (it == g.watches.end())
        return;
    ThreadState* t = it->second.owner;
    const auto index = static_cast<std::uint32_t>(it->second.id & 0xFFFFFFFFu);
    {
        std::lock_guard wl(t->watchLock);
        epoll_ctl(t->epollFd, EPOLL_CTL_DEL, fd, nullptr);
        FreeSlotLocked(t, index);
    }
    g.watches.erase(it);
}

} // namespace platform

// Socket watches for the Windows Sockets stand-in: which descriptors a
// thread's reactor watches, for which events, and whose callback runs when
// they are ready. Changes made inside a pump wait for its next collection.
#include "platform/win32/watch_table.h"

#include "platform/win32/reactor_internal.h"
#include "platform/win32/thread_state.h"
#include "platform/win32/window_table.h"

#include <cerrno>
#include <map>
#include <sys/epoll.h>

using namespace platform::detail;

namespace {

// Which thread's table holds the watch of a descriptor.
struct Watch {
    ThreadState* owner = nullptr;
    std::uint64_t id = 0;
};

struct WatchRegistry {
    // Guards the map and the generation counter. Taken under the window
    // table's lock or alone; while it is held, one thread's WatchTable::lock
    // at a time may be taken (thread_state.h).
    std::mutex lock;
    std::map<int, Watch> watches;
    std::uint32_t nextGeneration = 1;
};

// Never destroyed: static destructors elsewhere may still call in.
WatchRegistry& Registry() {
    static WatchRegistry* registry = new WatchRegistry;
    return *registry;
}

std::uint64_t WatchIdOf(std::uint32_t generation, std::uint32_t index) {
    return (static_cast<std::uint64_t>(generation) << 32) | index;
}

std::uint32_t IndexOf(std::uint64_t id) {
    return static_cast<std::uint32_t>(id & 0xFFFFFFFFu);
}

std::uint32_t GenerationOf(std::uint64_t id) {
    return static_cast<std::uint32_t>(id >> 32);
}

// Kept clear of 0 (a free slot) and of all ones (the reactor's own tags).
// Caller holds the registry's lock.
std::uint32_t NewGenerationLocked() {
    WatchRegistry& r = Registry();
    std::uint32_t generation = r.nextGeneration++;
    if (generation == 0 || generation == 0xFFFFFFFFu) {
        r.nextGeneration = 2;
        generation = 1;
    }
    return generation;
}

// Caller holds the table's lock.
std::uint32_t AllocateSlotLocked(WatchTable& table) {
    table.live.fetch_add(1, std::memory_order_relaxed);
    if (!table.freeSlots.empty()) {
        std::uint32_t index = table.freeSlots.back();
        table.freeSlots.pop_back();
        return index;
    }
    table.slots.emplace_back();
    return static_cast<std::uint32_t>(table.slots.size() - 1);
}

// Caller holds the table's lock. The owning thread may be running a copy of
// the callback; it keeps its copy.
void FreeSlotLocked(WatchTable& table, std::uint32_t index) {
    WatchSlot& w = table.slots[index];
    w.generation = 0;
    w.fd = -1;
    w.applied = w.wanted = 0;
    w.dirty = false;
    w.callback = nullptr;
    table.freeSlots.push_back(index);
    table.live.fetch_sub(1, std::memory_order_relaxed);
}

// Brings epoll in line with what the slot asks for. False when epoll
// refused: the change is not recorded as made, so it is tried again.
// Caller holds the table's lock.
bool ApplySlotLocked(ThreadState* t, std::uint32_t index) {
    WatchSlot& w = t->watches.slots[index];
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

// Watching a descriptor again replaces its watch: in the same slot when the
// owner stays (events of the old generation become stale), else in the new
// owner's table. Returns true with the slot's index when `t` already has the
// descriptor registered with epoll. Caller holds the registry's lock.
bool TakeOverOldWatchLocked(int fd, ThreadState* t, std::uint32_t& index) {
    auto& watches = Registry().watches;
    auto existing = watches.find(fd);
    if (existing == watches.end())
        return false;
    ThreadState* old = existing->second.owner;
    const std::uint32_t oldIndex = IndexOf(existing->second.id);
    watches.erase(existing);
    if (old == t) {
        index = oldIndex;
        return true;
    }
    std::lock_guard wl(old->watches.lock);
    epoll_ctl(old->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    FreeSlotLocked(old->watches, oldIndex);
    return false;
}

// Registers the descriptor with the thread's epoll under `id`.
bool RegisterWithEpoll(ThreadState* t, int fd, std::uint32_t events, platform::WatchId id,
                       bool registered) {
    epoll_event ev{};
    ev.events = events;
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
    if (rc != 0 && registered)
        epoll_ctl(t->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    return rc == 0;
}

} // namespace

namespace platform::detail {

void FlushWatchChanges(ThreadState* t) {
    WatchTable& table = t->watches;
    if (table.dirty.empty())
        return;
    std::lock_guard wl(table.lock);
    std::size_t kept = 0;
    for (std::uint32_t index : table.dirty) {
        WatchSlot& w = table.slots[index];
        if (!w.dirty)
            continue; // freed (or freed and taken again) meanwhile
        if (ApplySlotLocked(t, index))
            w.dirty = false;
        else
            table.dirty[kept++] = index;
    }
    table.dirty.resize(kept);
}

bool WatchesAny(const ThreadState* t) {
    return t->watches.live.load(std::memory_order_relaxed) != 0;
}

platform::SocketReady WatchCallback(ThreadState* t, std::uint64_t tag) {
    const std::uint32_t index = IndexOf(tag);
    std::lock_guard wl(t->watches.lock);
    const std::vector<WatchSlot>& slots = t->watches.slots;
    if (index < slots.size() && slots[index].generation == GenerationOf(tag))
        return slots[index].callback; // small: no allocation
    return nullptr;
}

void ForgetThreadWatches(ThreadState* t) {
    WatchRegistry& r = Registry();
    std::lock_guard rl(r.lock);
    std::erase_if(r.watches, [t](const auto& entry) { return entry.second.owner == t; });
}

} // namespace platform::detail

namespace platform {

WatchId WatchSocket(HWND owner, int fd, std::uint32_t epollEvents, SocketReady callback) {
    if (fd < 0)
        return 0;
    // The window table's lock keeps the owner alive until its watch is in.
    auto windows = LockWindowTable();
    ThreadState* t = WindowOwnerLocked(owner);
    if (!t) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    WatchRegistry& r = Registry();
    std::lock_guard rl(r.lock);
    const std::uint32_t generation = NewGenerationLocked();
    std::uint32_t index = 0;
    const bool registered = TakeOverOldWatchLocked(fd, t, index);
    WatchTable& table = t->watches;
    std::lock_guard wl(table.lock);
    if (!registered)
        index = AllocateSlotLocked(table);
    const WatchId id = WatchIdOf(generation, index);
    if (!RegisterWithEpoll(t, fd, epollEvents, id, registered)) {
        FreeSlotLocked(table, index);
        return 0;
    }
    WatchSlot& slot = table.slots[index];
    slot.generation = generation;
    slot.fd = fd;
    slot.applied = slot.wanted = epollEvents;
    slot.dirty = false;
    slot.callback = std::move(callback);
    r.watches[fd] = Watch{t, id};
    return id;
}

bool ModifyWatch(WatchId id, std::uint32_t epollEvents) {
    ThreadState* t = ExistingState();
    if (!t || id == 0)
        return false;
    const std::uint32_t index = IndexOf(id);
    WatchTable& table = t->watches;
    std::lock_guard wl(table.lock);
    // Generations are unique, so a match in the caller's own table is this
    // watch; a watch of another thread is not found here.
    if (index >= table.slots.size() || table.slots[index].generation != GenerationOf(id))
        return false;
    WatchSlot& w = table.slots[index];
    w.wanted = epollEvents;
    if (t->pumpDepth > 0) {
        // Applied before the next collection: a notice posted and answered
        // within one pass (disarm, then re-arm) costs epoll nothing.
        if (!w.dirty && w.wanted != w.applied) {
            w.dirty = true;
            table.dirty.push_back(index);
        }
        return true;
    }
    return ApplySlotLocked(t, index);
}

void UnwatchSocket(int fd) {
    WatchRegistry& r = Registry();
    std::lock_guard rl(r.lock);
    auto it = r.watches.find(fd);
    if (it == r.watches.end())
        return;
    ThreadState* t = it->second.owner;
    {
        std::lock_guard wl(t->watches.lock);
        epoll_ctl(t->epollFd, EPOLL_CTL_DEL, fd, nullptr);
        FreeSlotLocked(t->watches, IndexOf(it->second.id));
    }
    r.watches.erase(it);
}

} // namespace platform

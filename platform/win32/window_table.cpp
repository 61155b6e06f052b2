// The handle table: windows as integer handles that are never dereferenced
// stale, the threads that own them, and the window calls that work on one
// window (create, destroy, extra bytes, owner).
#include "platform/win32/window_table.h"

#include "platform/win32/thread_state.h"
#include "platform/win32/window_class.h"

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace platform::detail;

namespace {

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

struct WindowTable {
    // Guards the slots and the thread registry. First in the lock order
    // (thread_state.h): a poster holds it until it holds the owner's queue
    // lock, and a thread's exit holds it while its windows and watches go.
    std::mutex lock;
    std::vector<Slot> slots;
    std::deque<std::uint32_t> freeSlots; // FIFO so that a slot's reuse is spread out
    std::map<DWORD, ThreadState*> threads;
};

// Never destroyed: static destructors elsewhere may still call in.
WindowTable& Table() {
    static WindowTable* table = new WindowTable;
    return *table;
}

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
    WindowTable& table = Table();
    std::uint32_t index = low - 1;
    if (index >= table.slots.size())
        return nullptr;
    Slot& slot = table.slots[index];
    if (slot.generation != generation || !slot.window)
        return nullptr;
    return slot.window.get();
}

// A free slot's index, or false when the handles are used up.
bool TakeSlotLocked(std::uint32_t& index) {
    WindowTable& table = Table();
    if (!table.freeSlots.empty()) {
        index = table.freeSlots.front();
        table.freeSlots.pop_front();
        return true;
    }
    if (table.slots.size() >= 0xFFFFFFFEu)
        return false;
    index = static_cast<std::uint32_t>(table.slots.size());
    table.slots.emplace_back();
    return true;
}

void FreeWindowLocked(Window* w) {
    WindowTable& table = Table();
    std::uint32_t index =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(w->handle) & 0xFFFFFFFFu) - 1;
    ReleaseClass(w->cls);
    Slot& slot = table.slots[index];
    slot.window.reset();
    if (++slot.generation == 0)
        slot.generation = 1;
    table.freeSlots.push_back(index);
}

// Remembers the window as the calling thread's last used own window.
void RememberIfOwn(ThreadState* self, const Window* w) {
    if (self && w->owner == self) {
        self->lastOwnWindow = w->handle;
        self->lastOwnProcedure = w->proc;
    }
}

// The address of the window's extra bytes at `index`, or null (with the
// error set) for a stale window or an index outside them. Caller holds the
// table's lock.
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

namespace platform::detail {

std::unique_lock<std::mutex> LockWindowTable() {
    return std::unique_lock(Table().lock);
}

ThreadState* WindowOwnerLocked(HWND hwnd) {
    Window* w = FindWindowLocked(hwnd);
    return w ? w->owner : nullptr;
}

ThreadState* LockQueueOfWindow(HWND hwnd, std::unique_lock<std::mutex>& queueLock) {
    ThreadState* self = ExistingState();
    if (self && hwnd == self->lastOwnWindow) {
        queueLock = std::unique_lock(self->queue.lock);
        return self;
    }
    std::unique_lock tl(Table().lock);
    Window* w = FindWindowLocked(hwnd);
    if (!w) {
        tl.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    RememberIfOwn(self, w);
    queueLock = std::unique_lock(w->owner->queue.lock);
    return w->owner;
}

ThreadState* LockQueueOfThread(DWORD threadId, std::unique_lock<std::mutex>& queueLock) {
    WindowTable& table = Table();
    std::unique_lock tl(table.lock);
    auto it = table.threads.find(threadId);
    if (it == table.threads.end()) {
        tl.unlock();
        SetLastError(ERROR_INVALID_THREAD_ID);
        return nullptr;
    }
    queueLock = std::unique_lock(it->second->queue.lock);
    return it->second;
}

WNDPROC WindowProcedure(HWND hwnd) {
    ThreadState* self = ExistingState();
    if (self && hwnd == self->lastOwnWindow)
        return self->lastOwnProcedure;
    std::lock_guard tl(Table().lock);
    Window* w = FindWindowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    RememberIfOwn(self, w);
    return w->proc;
}

void RegisterThread(ThreadState* t) {
    std::lock_guard tl(Table().lock);
    Table().threads[t->threadId] = t;
}

void ForgetThread(ThreadState* t) {
    WindowTable& table = Table();
    std::lock_guard tl(table.lock);
    table.threads.erase(t->threadId);
    for (Slot& slot : table.slots)
        if (slot.window && slot.window->owner == t)
            FreeWindowLocked(slot.window.get());
    ForgetThreadWatches(t);
    // Wait for a poster that found the thread before and holds its lock.
    std::lock_guard ql(t->queue.lock);
}

} // namespace platform::detail

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR, DWORD, int, int, int, int, HWND, void*,
                     HINSTANCE instance, void*) {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    ThreadState* t = CurrentState();
    if (!t)
        return nullptr;
    WindowClass* cls = UseClass(instance, className);
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    WindowTable& table = Table();
    std::lock_guard tl(table.lock);
    std::uint32_t index;
    if (!TakeSlotLocked(index)) {
        ReleaseClass(cls);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Slot& slot = table.slots[index];
    auto w = std::make_unique<Window>();
    w->handle = MakeHandle(index, slot.generation);
    w->owner = t;
    w->cls = cls;
    w->proc = cls->wc.lpfnWndProc;
    w->extra.assign(static_cast<std::size_t>(cls->wc.cbWndExtra), 0);
    slot.window = std::move(w);
    return slot.window->handle;
}

BOOL DestroyWindow(HWND hwnd) {
    WindowTable& table = Table();
    WNDPROC proc;
    {
        std::lock_guard tl(table.lock);
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
        std::lock_guard tl(table.lock);
        Window* w = FindWindowLocked(hwnd);
        if (!w) // the procedure destroyed it already
            return TRUE;
        t = w->owner;
        FreeWindowLocked(w);
    }
    if (t->lastOwnWindow == hwnd)
        t->lastOwnWindow = nullptr;
    // Nothing queued for the window may reach a later window of the same slot.
    {
        std::lock_guard ql(t->queue.lock);
        DropWindowMessagesLocked(t, hwnd);
    }
    DropWindowTimers(t, hwnd);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    std::lock_guard tl(Table().lock);
    return FindWindowLocked(hwnd) ? TRUE : FALSE;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    std::lock_guard tl(Table().lock);
    BYTE* at = ExtraBytesLocked(hwnd, index);
    if (!at)
        return 0;
    LONG_PTR old;
    std::memcpy(&old, at, sizeof old);
    std::memcpy(at, &value, sizeof value);
    return old;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    std::lock_guard tl(Table().lock);
    BYTE* at = ExtraBytesLocked(hwnd, index);
    if (!at)
        return 0;
    LONG_PTR value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
    std::lock_guard tl(Table().lock);
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

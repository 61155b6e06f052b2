// Window classes and the atoms that name them, and registered window
// message numbers.
#include "platform/win32/window_class.h"

#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

using platform::detail::WindowClass;

namespace {

struct ClassTable {
    // Guards everything below. Never held with another lock: a new window
    // counts itself in its class here, then takes its slot under the window
    // table's lock; a window that goes uncounts itself without a lock.
    std::mutex lock;
    std::map<std::pair<HINSTANCE, std::string>, std::unique_ptr<WindowClass>> classes;
    ATOM nextAtom = 0xC000;
    std::set<ATOM> freeAtoms; // given back by UnregisterClassA, reused lowest first
    std::map<std::string, UINT> messageNames;
    UINT nextMessage = 0xC000;
};

// Never destroyed: static destructors elsewhere may still call in.
ClassTable& Classes() {
    static ClassTable* table = new ClassTable;
    return *table;
}

std::string Lower(const char* s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// className may be a string or an atom (MAKEINTATOM: a value below 0x10000).
WindowClass* FindClassLocked(HINSTANCE instance, LPCSTR className) {
    ClassTable& c = Classes();
    auto asNumber = reinterpret_cast<std::uintptr_t>(className);
    if (asNumber < 0x10000) {
        for (auto& [key, cls] : c.classes)
            if (key.first == instance && cls->atom == asNumber)
                return cls.get();
        return nullptr;
    }
    auto it = c.classes.find(std::make_pair(instance, Lower(className)));
    return it == c.classes.end() ? nullptr : it->second.get();
}

// A free atom of 0xC000 to 0xFFFF, or 0 when all 16,384 are in use.
ATOM TakeAtomLocked() {
    ClassTable& c = Classes();
    if (!c.freeAtoms.empty()) {
        ATOM atom = *c.freeAtoms.begin();
        c.freeAtoms.erase(c.freeAtoms.begin());
        return atom;
    }
    if (c.nextAtom == 0)
        return 0;
    return c.nextAtom++;
}

} // namespace

namespace platform::detail {

WindowClass* UseClass(HINSTANCE instance, LPCSTR className) {
    std::lock_guard cl(Classes().lock);
    WindowClass* cls = FindClassLocked(instance, className);
    if (cls)
        cls->windowCount.fetch_add(1, std::memory_order_relaxed);
    return cls;
}

void ReleaseClass(WindowClass* cls) {
    cls->windowCount.fetch_sub(1, std::memory_order_release);
}

} // namespace platform::detail

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (!wc || !wc->lpszClassName || !*wc->lpszClassName || !wc->lpfnWndProc ||
        wc->cbWndExtra < 0 || wc->cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ClassTable& c = Classes();
    std::lock_guard cl(c.lock);
    auto key = std::make_pair(wc->hInstance, Lower(wc->lpszClassName));
    if (c.classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    const ATOM atom = TakeAtomLocked();
    if (atom == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    auto cls = std::make_unique<WindowClass>();
    cls->name = wc->lpszClassName;
    cls->wc = *wc;
    cls->wc.lpszClassName = cls->name.c_str();
    cls->wc.lpszMenuName = nullptr;
    cls->atom = atom;
    c.classes.emplace(key, std::move(cls));
    return atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ClassTable& c = Classes();
    std::lock_guard cl(c.lock);
    WindowClass* cls = FindClassLocked(instance, className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (cls->windowCount.load(std::memory_order_acquire) > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    // The atom goes back to the table, as Windows deletes a class's atom.
    c.freeAtoms.insert(cls->atom);
    c.classes.erase(std::make_pair(instance, Lower(cls->name.c_str())));
    return TRUE;
}

BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* out) {
    if (!className || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard cl(Classes().lock);
    WindowClass* cls = FindClassLocked(instance, className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *out = cls->wc;
    return TRUE;
}

UINT RegisterWindowMessageA(LPCSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ClassTable& c = Classes();
    std::lock_guard cl(c.lock);
    std::string key = Lower(name); // names compare without regard to case
    auto it = c.messageNames.find(key);
    if (it != c.messageNames.end())
        return it->second;
    if (c.nextMessage > 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    UINT number = c.nextMessage++;
    c.messageNames.emplace(std::move(key), number);
    return number;
}

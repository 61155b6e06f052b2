// Window classes as the window table uses them (window_class.cpp). Internal
// to the Win32 stand-in.
#pragma once

#include "platform/win32/windows.h"

#include <atomic>
#include <string>

// Internal: the stand-in's files call these directly, not through the
// dynamic linker.
#pragma GCC visibility push(hidden)
namespace platform::detail {

struct WindowClass {
    std::string name;
    WNDCLASSA wc{};
    ATOM atom = 0;
    // Windows of the class: while any exist the class stays registered (and
    // this record alive).
    std::atomic<int> windowCount{0};
};

// The class for a new window, counted as in use; nullptr when no such class
// is registered. className may be a string or an atom (MAKEINTATOM).
WindowClass* UseClass(HINSTANCE instance, LPCSTR className);

// A window of the class is gone. The record may be freed right after.
void ReleaseClass(WindowClass* cls);

} // namespace platform::detail
#pragma GCC visibility pop

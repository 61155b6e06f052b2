// The subset of the Win32 API that the logbook's layers use, with Windows
// names, types and semantics, implemented over POSIX on Linux. Code above
// this layer reads as it would against the real API.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using INT = int;
using ATOM = WORD;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using HANDLE = void*;
using FARPROC = void*;
using REGSAM = DWORD;

// Handles are small integers in process-wide tables, carried in pointer
// types so that they cannot be mixed up; a stale handle is detected by the
// table, never dereferenced.
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HKEY__;
using HKEY = HKEY__*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

inline WORD LOWORD(DWORD v) {
    return static_cast<WORD>(v & 0xFFFF);
}
inline WORD HIWORD(DWORD v) {
    return static_cast<WORD>((v >> 16) & 0xFFFF);
}
inline DWORD MAKELONG(WORD lo, WORD hi) {
    return static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16);
}

// ---- windows, classes, messages -------------------------------------------

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    void* hIcon;
    void* hCursor;
    void* hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080u;

constexpr DWORD QS_ALLINPUT = 0x04FF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Error codes set through SetLastError by this layer.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

ATOM RegisterClassA(const WNDCLASSA* wc);
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);
BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* out);
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, void* menu, HINSTANCE instance,
                     void* param);
// Only the owning thread may destroy a window (else ERROR_ACCESS_DENIED). The
// procedure gets WM_DESTROY; then the window's queued messages and timers go.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
// Index 0 upwards addresses the window's extra bytes (cbWndExtra).
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Appends to the queue of the thread that owns hwnd; callable from any thread.
// hwnd 0 posts a thread message to the calling thread, as in Windows.
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Filters: hwnd 0 = any window of the thread, (HWND)-1 = thread messages
// only; min = max = 0 = any number. Order: posted messages, then WM_QUIT,
// then a due WM_TIMER. PeekMessageA never blocks and does not look at
// sockets: their readiness becomes messages in platform::ProcessReadyEvents
// (reactor.h), which GetMessageA and MsgWaitForMultipleObjects call.
BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg);
// Blocks through the thread's wait hook; returns 0 for WM_QUIT, -1 on error.
BOOL GetMessageA(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
UINT RegisterWindowMessageA(LPCSTR name);

// WM_TIMER is generated as Windows does: at most one pending per timer, and
// only when the thread's queue holds nothing else. The interval is raised to
// 10 ms at least, as in Windows. A window's timer must be set on the
// window's own thread; with hwnd 0 the system chooses the identifier.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---- kernel ---------------------------------------------------------------

DWORD GetTickCount(); // milliseconds since an arbitrary start; wraps at 2^32
DWORD GetCurrentThreadId();
DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD ms);

// Waits through the calling thread's wait hook until input or a posted message
// is pending for the thread, or the time-out passes. Only nCount == 0 is
// supported. Returns WAIT_OBJECT_0 + nCount when something is pending,
// WAIT_TIMEOUT otherwise.
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* handles, BOOL waitAll, DWORD ms,
                                DWORD wakeMask);

// Recursive, like Windows critical sections.
struct CRITICAL_SECTION {
    void* impl;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// Modules: "name.dll" loads lib<name>.so from the running program's folder.
// A module exports one export directory (see IcsExportDirectory below);
// GetProcAddress looks names up in it. Failures set ERROR_MOD_NOT_FOUND (126)
// or ERROR_PROC_NOT_FOUND (127).
HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
HINSTANCE GetModuleHandleA(LPCSTR moduleName); // nullptr: the program itself

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
// FORMAT_MESSAGE_FROM_SYSTEM only: Windows' English text for the code,
// followed by CR LF as Windows writes it; returns the characters written
// (without the zero). Unknown code: 0 and ERROR_MR_MID_NOT_FOUND (317).
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, va_list* arguments);

// The export table of a stand-in module, exactly like a PE export table:
// names to addresses. Each module defines one, under this symbol name.
struct IcsExportEntry {
    const char* Name;
    void* Address;
};
struct IcsExportDirectory {
    const char* ModuleName;
    unsigned Count;
    const IcsExportEntry* Entries;
};
#define ICS_EXPORT_DIRECTORY_SYMBOL "IcsExportDirectory"

// ---- registry (in memory, read-only for the program) ----------------------

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_READ = 0x20019;
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM samDesired, HKEY* result);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData);
LONG RegCloseKey(HKEY key);

// ---- shell ----------------------------------------------------------------

constexpr INT SW_SHOW = 5;
constexpr INT SW_SHOWNORMAL = 1;
// "open" starts the program detached with the parameter text as its one
// argument. Returns a value above 32 on success, as Windows does.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR operation, LPCSTR file, LPCSTR parameters,
                        LPCSTR directory, INT showCmd);

// ---- time -----------------------------------------------------------------

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct TIME_ZONE_INFORMATION {
    LONG Bias; // minutes; UTC = local time + bias
    char16_t StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    char16_t DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFFu;

// The zone's information, with which of standard or daylight time is in
// force now.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* tzi);
// The current time in UTC, and in local time.
void GetSystemTime(SYSTEMTIME* st);
void GetLocalTime(SYSTEMTIME* st);
// The local time of the instant `utc` names, by the rules of the current
// zone in force at that instant. `zone` must be null (the current zone);
// FALSE with ERROR_INVALID_PARAMETER otherwise, and when the zone cannot be
// determined.
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                     SYSTEMTIME* local);

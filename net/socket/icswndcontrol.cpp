#include "net/socket/icswndcontrol.h"

#include "framework/application.h"
#include "platform/win32/reactor.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_set>

namespace {

// Process-wide state of the layer. Created on first use, which the start-up
// initializer below forces before main() runs.
struct DispatchGlobals {
    TIcsWndHandlerPool* Pool = nullptr;
    CRITICAL_SECTION WindowClassLock{};
    bool WindowClassLockAlive = false;
    int WindowCount = 0;
    bool Finalized = false;
    UINT ThreadTimerMessage = 0;

    DispatchGlobals() {
        Pool = new TIcsWndHandlerPool();
        InitializeCriticalSection(&WindowClassLock);
        WindowClassLockAlive = true;
        ThreadTimerMessage = RegisterWindowMessageA("TORVELIX_THREAD_TIMER");
        if (ThreadTimerMessage == 0) {
            char text[512] = {};
            DWORD code = GetLastError();
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
            std::string message(text);
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
                message.pop_back();
            throw EIcsTimerException(message);
        }
    }
};

DispatchGlobals& G() {
    static DispatchGlobals globals;
    return globals;
}

// Start-up registers the thread-timer message and creates the pool; program
// end marks the layer finalized.
struct DispatchLifetime {
    DispatchLifetime() { G(); }
    ~DispatchLifetime() { FinalizeIcsWndControl(); }
} dispatchLifetime;

// Frees the pool and the class lock once the layer is finalized and no
// thread list remains.
void FreePoolIfFinished() {
    DispatchGlobals& g = G();
    if (g.Finalized && g.Pool && g.Pool->ThreadListCount() == 0) {
        delete g.Pool;
        g.Pool = nullptr;
        if (g.WindowClassLockAlive) {
            DeleteCriticalSection(&g.WindowClassLock);
            g.WindowClassLockAlive = false;
        }
    }
}

struct WindowClassGuard {
    WindowClassGuard() { EnterCriticalSection(&G().WindowClassLock); }
    ~WindowClassGuard() { LeaveCriticalSection(&G().WindowClassLock); }
};

struct PoolGuard {
    explicit PoolGuard(TIcsWndHandlerPool* pool) : Pool(pool) { Pool->Lock(); }
    ~PoolGuard() { Pool->Unlock(); }
    TIcsWndHandlerPool* Pool;
};

HINSTANCE ModuleInstance() {
    return GetModuleHandleA(nullptr);
}

// The window procedure shared by all hidden windows. The extra bytes hold
// the handler; they are cleared before a handler lets its window go, so a
// non-null value always names a live handler.
LRESULT IcsWndControlWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* handler = reinterpret_cast<TIcsWndHandler*>(GetWindowLongPtrA(hwnd, 0));
    if (!handler)
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    TIcsMessage record{msg, wParam, lParam, 0};
    handler->Dispatch(record);
    return record.Result;
}

// Live timers. A WM_TIMER identifier is a timer's address; only addresses
// found here are ever dereferenced.
std::mutex& TimerRegistryLock() {
    static std::mutex lock;
    return lock;
}
std::unordered_set<const TIcsTimer*>& TimerRegistry() {
    static std::unordered_set<const TIcsTimer*> timers;
    return timers;
}

} // namespace

TIcsWndHandlerPool* HandlerPool() {
    return G().Pool;
}
int IcsWndWindowCount() {
    return G().WindowCount;
}
UINT ThreadTimerMessage() {
    return G().ThreadTimerMessage;
}
bool IcsWndDispatchFinalized() {
    return G().Finalized;
}

void FinalizeIcsWndControl() {
    G().Finalized = true;
    FreePoolIfFinished();
}

// ---- TIcsWndHandler ---------------------------------------------------------

TIcsWndHandler::TIcsWndHandler(TIcsWndHandlerList* threadList) : FThreadList(threadList) {}

TIcsWndHandler::~TIcsWndHandler() {
    DestroyHiddenWindow();
}

void TIcsWndHandler::EnsureWindow() {
    if (FWindow)
        return;
    WindowClassGuard guard;
    HINSTANCE instance = ModuleInstance();
    WNDCLASSA wc{};
    if (!GetClassInfoA(instance, IcsWndControlWindowClassName, &wc)) {
        wc = WNDCLASSA{};
        wc.style = 0;
        wc.lpfnWndProc = IcsWndControlWindowProc;
        wc.cbClsExtra = 0;
        // Windows keeps the handler reference in 4 bytes; a pointer here is 8.
        wc.cbWndExtra = sizeof(TIcsWndHandler*);
        wc.hInstance = instance;
        wc.lpszClassName = IcsWndControlWindowClassName;
        if (RegisterClassA(&wc) == 0)
            throw EIcsException("Unable to register TIcsWndControl hidden window class. Error #" +
                                std::to_string(GetLastError()) + ".");
    }
    FWindow = CreateWindowExA(WS_EX_TOOLWINDOW, IcsWndControlWindowClassName, "", WS_POPUP, 0, 0, 0,
                              0, nullptr, nullptr, instance, nullptr);
    if (!FWindow) {
        DWORD code = GetLastError();
        // Do not leave a class behind that no window uses.
        if (G().WindowCount <= 0)
            UnregisterClassA(IcsWndControlWindowClassName, instance);
        throw EIcsException("Unable to create TIcsWndControl hidden window.  Error #" +
                            std::to_string(code) + ".");
    }
    SetWindowLongPtrA(FWindow, 0, reinterpret_cast<LONG_PTR>(this));
    ++G().WindowCount;
}

void TIcsWndHandler::DestroyHiddenWindow() {
    if (!FWindow)
        return;
    FSlotTable.fill(nullptr);
    FUsedCount = 0;
    SetWindowLongPtrA(FWindow, 0, 0);
    DestroyWindow(FWindow);
    FWindow = nullptr;
    WindowClassGuard guard;
    if (--G().WindowCount <= 0)
        UnregisterClassA(IcsWndControlWindowClassName, ModuleInstance());
}

UINT TIcsWndHandler::AllocateMessage(TIcsWndControl* obj) {
    if (FFirstMessage < WM_USER)
        throw EIcsException("MsgLow not defined");
    if (FUsedCount >= IcsWndHandlerMaxMsg)
        throw EIcsException("No more free message");
    for (int i = 0; i < IcsWndHandlerMaxMsg; ++i) {
        if (!FSlotTable[static_cast<size_t>(i)]) {
            FSlotTable[static_cast<size_t>(i)] = obj;
            ++FUsedCount;
            return FFirstMessage + static_cast<UINT>(i);
        }
    }
    throw EIcsException("No more free message");
}

void TIcsWndHandler::FreeMessage(UINT& msg) {
    if (msg == 0)
        return;
    if (FFirstMessage < WM_USER)
        throw EIcsException("MsgLow not defined");
    if (msg < FFirstMessage || msg >= FFirstMessage + IcsWndHandlerMaxMsg)
        throw EIcsException("Msg value out of bound");
    size_t slot = msg - FFirstMessage;
    if (!FSlotTable[slot])
        throw EIcsException("Msg not registered");
    FSlotTable[slot] = nullptr;
    --FUsedCount;
    if (FWindow) {
        // A notification still queued for this number must never reach the
        // number's next owner.
        MSG stale;
        while (PeekMessageA(&stale, FWindow, msg, msg, PM_REMOVE)) {
        }
    }
    msg = 0;
    if (FUsedCount == 0)
        DestroyHiddenWindow();
}

void TIcsWndHandler::Dispatch(TIcsMessage& msg) {
    try {
        if (msg.Msg >= FFirstMessage && msg.Msg < FFirstMessage + IcsWndHandlerMaxMsg) {
            TIcsWndControl* obj = FSlotTable[msg.Msg - FFirstMessage];
            if (obj) {
                obj->WndProc(msg);
                return;
            }
        }
        if (msg.Msg == WM_TIMER) {
            if (TIcsTimer* timer = TIcsTimer::FindLive(msg.WParam))
                timer->HandleTimerMessage(msg);
            return;
        }
        if (msg.Msg == G().ThreadTimerMessage) {
            // Meant for thread timers, which no component here creates: a
            // live one could not be found, so the message is dropped.
            return;
        }
        msg.Result = DefWindowProcA(FWindow, msg.Msg, msg.WParam, msg.LParam);
    } catch (Exception&) {
        // Exceptions of the platform class end here (a timer's OnTimer, for
        // instance); anything else travels on.
    }
}

// ---- TIcsWndHandlerList / TIcsWndHandlerPool --------------------------------

TIcsWndHandlerList::~TIcsWndHandlerList() {
    for (TIcsWndHandler* h : FItems)
        delete h;
}

TIcsWndHandlerPool::TIcsWndHandlerPool() {
    InitializeCriticalSection(&FPoolLock);
}

TIcsWndHandlerPool::~TIcsWndHandlerPool() {
    for (TIcsWndHandlerList* list : FLists)
        delete list;
    DeleteCriticalSection(&FPoolLock);
}

TIcsWndHandler* TIcsWndHandlerPool::FindOrCreateHandler(int count, DWORD threadId) {
    if (count > IcsWndHandlerMaxMsg)
        throw EIcsAssertionFailed("A component cannot use more than " +
                                  std::to_string(IcsWndHandlerMaxMsg) + " message numbers");
    TIcsWndHandlerList* list = nullptr;
    for (auto it = FLists.rbegin(); it != FLists.rend(); ++it) {
        if ((*it)->ThreadId() == threadId) {
            list = *it;
            break;
        }
    }
    if (!list) {
        list = new TIcsWndHandlerList(threadId);
        FLists.push_back(list);
    }
    for (TIcsWndHandler* h : list->FItems)
        if (h->FreeCapacity() >= count)
            return h;
    auto* handler = new TIcsWndHandler(list);
    list->FItems.push_back(handler);
    return handler;
}

void TIcsWndHandlerPool::ReleaseHandler(TIcsWndHandler* handler) {
    TIcsWndHandlerList* list = handler->ThreadList();
    auto& items = list->FItems;
    items.erase(std::remove(items.begin(), items.end(), handler), items.end());
    delete handler;
    if (items.empty()) {
        FLists.erase(std::remove(FLists.begin(), FLists.end(), list), FLists.end());
        delete list;
    }
}

// ---- TIcsWndControl ---------------------------------------------------------

TIcsWndControl::TIcsWndControl(TComponent* owner) : TComponent(owner) {}

TIcsWndControl::~TIcsWndControl() {
    BeginDestruction();
    ReleaseHandlerOnce();
}

HWND TIcsWndControl::Handle() {
    if (!FHandle)
        AttachHandler();
    return FHandle;
}

void TIcsWndControl::ReleaseHandlerOnce(bool) {
    if (FHandlerReleased)
        return;
    DetachHandler();
    FHandlerReleased = true;
}

void TIcsWndControl::AttachHandler() {
    if (FHandle)
        return;
    DispatchGlobals& g = G();
    if (g.Finalized || !g.Pool)
        throw EIcsAssertionFailed("Unit is already finalized, check your threads!!!");
    FThreadId = GetCurrentThreadId();
    PoolGuard guard(g.Pool);
    try {
        if (!FWindowHandler)
            FWindowHandler = g.Pool->FindOrCreateHandler(RequiredMessageCount(), FThreadId);
        FWindowHandler->EnsureWindow();
        FHandle = FWindowHandler->Window();
        AllocateMessages();
    } catch (...) {
        // Leave no half-attached component and no empty handler behind.
        if (FWindowHandler && FHandle) {
            try {
                FreeMessages();
            } catch (Exception&) {
            }
        }
        if (FWindowHandler && FWindowHandler->UsedCount() <= 0)
            g.Pool->ReleaseHandler(FWindowHandler);
        FWindowHandler = nullptr;
        FHandle = nullptr;
        FThreadId = 0;
        throw;
    }
}

void TIcsWndControl::DetachHandler() {
    if (!FHandle)
        return;
    DispatchGlobals& g = G();
    {
        PoolGuard guard(g.Pool);
        FreeMessages();
        if (FWindowHandler && FWindowHandler->UsedCount() <= 0)
            g.Pool->ReleaseHandler(FWindowHandler);
        FHandle = nullptr;
        FWindowHandler = nullptr;
        FThreadId = 0;
    }
    FreePoolIfFinished();
}

void TIcsWndControl::AllocateMessages() {
    FReleaseMessage = FWindowHandler->AllocateMessage(this);
}

void TIcsWndControl::FreeMessages() {
    if (FWindowHandler)
        FWindowHandler->FreeMessage(FReleaseMessage);
}

void TIcsWndControl::WndProc(TIcsMessage& msg) {
    try {
        HandleMessage(msg);
    } catch (Exception& E) {
        HandleEscapedException(E);
    } catch (...) {
        // Not ours (std::bad_alloc, a library's): the same path, as an
        // Exception with its text. Let through, it would reach the GUI's
        // error box from inside a synchronous wait, with the socket still
        // open and failing again at each notice, one box after another.
        HandleForeignException(std::current_exception());
    }
}

void TIcsWndControl::HandleForeignException(std::exception_ptr escaped) {
    std::string text = "Unknown exception";
    try {
        std::rethrow_exception(escaped);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    try {
        Exception E(text);
        HandleEscapedException(E);
    } catch (...) {
        // Not even the text could be kept (memory is short): stop anyway.
        try {
            EmergencyStop();
        } catch (...) {
        }
    }
}

void TIcsWndControl::HandleMessage(TIcsMessage& msg) {
    if (msg.Msg == FReleaseMessage && FReleaseMessage != 0) {
        ReleaseComponent();
        return;
    }
    msg.Result = DefWindowProcA(FHandle, msg.Msg, msg.WParam, msg.LParam);
}

void TIcsWndControl::HandleEscapedException(Exception& E) {
    bool canClose = true;
    try {
        FireBgException(E, canClose);
    } catch (...) {
    }
    if (canClose) {
        try {
            EmergencyStop();
        } catch (...) {
        }
    }
}

void TIcsWndControl::FireBgException(Exception& E, bool& CanClose) {
    if (OnBgException)
        OnBgException(this, E, CanClose);
}

void TIcsWndControl::CheckSelfOwned() const {
    if (!FSelfOwned)
        throw EIcsException("Cannot release a component that does not own itself");
}

void TIcsWndControl::ReleaseComponent() {
    CheckSelfOwned();
    delete this;
}

void TIcsWndControl::PostRelease() {
    CheckSelfOwned();
    PostMessageA(Handle(), FReleaseMessage, 0, 0);
}

void TIcsWndControl::AttachToThread() {
    if (FHandle)
        throw EIcsException("Cannot attach when not detached");
    AttachHandler();
}

void TIcsWndControl::DetachFromThread() {
    if (GetCurrentThreadId() != FThreadId)
        throw EIcsException("Cannot detach from another thread");
    DetachHandler();
}

void TIcsWndControl::RunMessageLoop() {
    // GetMessageA looks at the queue before it blocks.
    platform::PumpScope pumping;
    MSG msg;
    for (;;) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    FQuitSeen = true;
}

bool TIcsWndControl::PumpOneMessage() {
    platform::PumpScope pumping;
    MSG msg;
    if (!platform::TakeNextMessage(&msg))
        return false;
    if (msg.message == WM_QUIT) {
        FQuitSeen = true;
        return true;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

void TIcsWndControl::PumpMessages() {
    // One bounded pass, as the application's pump; it ends at WM_QUIT.
    platform::PumpPass pass;
    MSG msg;
    while (pass.Next(&msg)) {
        if (msg.message == WM_QUIT) {
            FQuitSeen = true;
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void TIcsWndControl::ServiceMessages() {
    if (FOwnMessagePump)
        PumpMessages();
    else
        Application().ProcessMessages();
}

// ---- TIcsTimer --------------------------------------------------------------

TIcsTimer::TIcsTimer(TIcsWndControl* owner)
    : TComponent(owner), FOwner(owner), FSelfReference(this) {
    if (!owner)
        throw EIcsTimerException("Owner not assigned");
    std::lock_guard lock(TimerRegistryLock());
    TimerRegistry().insert(this);
}

TIcsTimer::~TIcsTimer() {
    {
        std::lock_guard lock(TimerRegistryLock());
        TimerRegistry().erase(this);
    }
    FSelfReference = nullptr;
    FEnabled = false;
    // The system timer is killed on the window it was started on, even when
    // the owner has already detached from it.
    if (FTimerWindow)
        KillTimer(FTimerWindow, reinterpret_cast<UINT_PTR>(this));
    FTimerWindow = nullptr;
}

TIcsTimer* TIcsTimer::FindLive(UINT_PTR id) {
    auto* timer = reinterpret_cast<TIcsTimer*>(id);
    std::lock_guard lock(TimerRegistryLock());
    if (TimerRegistry().count(timer) == 0 || timer->FSelfReference != timer)
        return nullptr;
    return timer;
}

void TIcsTimer::CheckOwnerAttached() {
    if (FOwner->ThreadId() == 0)
        throw EIcsTimerException("No window available");
}

void TIcsTimer::SetEnabled(bool value) {
    if (value == FEnabled)
        return;
    CheckOwnerAttached();
    FEnabled = value;
    RearmTimer();
}

void TIcsTimer::SetInterval(UINT value) {
    if (value == FInterval)
        return;
    CheckOwnerAttached();
    FInterval = value;
    RearmTimer();
}

void TIcsTimer::SetOnTimer(TNotifyEvent handler) {
    // Handlers cannot be compared, so a new one is always taken.
    CheckOwnerAttached();
    FOnTimer = std::move(handler);
    RearmTimer();
}

void TIcsTimer::RearmTimer() {
    auto id = reinterpret_cast<UINT_PTR>(this);
    if (FTimerWindow) {
        KillTimer(FTimerWindow, id);
        FTimerWindow = nullptr;
    }
    if (FInterval != 0 && FEnabled && FOnTimer) {
        HWND window = FOwner->Handle();
        if (SetTimer(window, id, FInterval, nullptr) == 0) {
            FEnabled = false;
            throw EIcsTimerException("No more timers");
        }
        FTimerWindow = window;
        FLastTick = GetTickCount();
    }
}

void TIcsTimer::HandleTimerMessage(TIcsMessage&) {
    DWORD now = GetTickCount();
    if (FOnTimer) {
        DWORD elapsed = now >= FLastTick ? now - FLastTick : (0xFFFFFFFFu - FLastTick) + now;
        FLastTick = now;
        if (elapsed >= FInterval)
            FOnTimer(this);
        return;
    }
    FLastTick = now;
}

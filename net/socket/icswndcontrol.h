// Message-driven dispatch: every notification a socket or HTTP component
// reacts to (socket events, lookup answers, deferred closes, timer ticks,
// deferred frees) arrives as a message to a hidden window of the thread that
// created the component. Components of one thread share hidden windows: each
// window serves a block of 100 message numbers (1025..1124), and a component
// takes as many numbers as it needs from the first window with room for all
// of them.
#pragma once

#include "framework/component.h"
#include "framework/exception.h"
#include "platform/win32/windows.h"

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

DECLARE_EXCEPTION_CLASS(EIcsException, Exception)
DECLARE_EXCEPTION_CLASS(EIcsTimerException, Exception)
// Raised when a programming error is detected (attach after the layer was
// shut down, a component asking for more than a window's numbers).
DECLARE_EXCEPTION_CLASS(EIcsAssertionFailed, Exception)

using TNotifyEvent = std::function<void(TComponent* Sender)>;

// One message as a component's window procedure sees it.
struct TIcsMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

class TIcsWndControl;
class TIcsWndHandlerList;
class TIcsTimer;

constexpr int IcsWndHandlerMaxMsg = 100;                // message numbers per hidden window
constexpr UINT IcsWndHandlerFirstMessage = WM_USER + 1; // 1025
constexpr char IcsWndControlWindowClassName[] = "IcsWndControlWindowClass";

// One hidden window and its block of message numbers.
class TIcsWndHandler {
public:
    explicit TIcsWndHandler(TIcsWndHandlerList* threadList);
    ~TIcsWndHandler();
    TIcsWndHandler(const TIcsWndHandler&) = delete;
    TIcsWndHandler& operator=(const TIcsWndHandler&) = delete;

    // Creates the window (and registers the class) when there is none yet.
    void EnsureWindow();
    void DestroyHiddenWindow();
    // Takes the lowest free number for `obj` and returns it.
    UINT AllocateMessage(TIcsWndControl* obj);
    // Gives `msg` back (0: nothing), purges it from the window's queue and
    // sets it to 0; the window goes with the last number.
    void FreeMessage(UINT& msg);
    // Routes one message of the window: a component's number, WM_TIMER of a
    // live TIcsTimer, the thread-timer message, else the default procedure.
    void Dispatch(TIcsMessage& msg);

    HWND Window() const { return FWindow; }
    UINT FirstMessage() const { return FFirstMessage; }
    int UsedCount() const { return FUsedCount; }
    int FreeCapacity() const { return IcsWndHandlerMaxMsg - FUsedCount; }
    TIcsWndControl* Slot(int i) const { return FSlotTable[static_cast<size_t>(i)]; }
    TIcsWndHandlerList* ThreadList() const { return FThreadList; }

private:
    HWND FWindow = nullptr;
    std::array<TIcsWndControl*, IcsWndHandlerMaxMsg> FSlotTable{};
    UINT FFirstMessage = IcsWndHandlerFirstMessage;
    int FUsedCount = 0;
    TIcsWndHandlerList* FThreadList = nullptr;
};

// The handlers of one thread, in creation order.
class TIcsWndHandlerList {
public:
    explicit TIcsWndHandlerList(DWORD threadId) : FThreadId(threadId) {}
    ~TIcsWndHandlerList();
    DWORD ThreadId() const { return FThreadId; }
    int Count() const { return static_cast<int>(FItems.size()); }
    TIcsWndHandler* Items(int i) const { return FItems.at(static_cast<size_t>(i)); }

private:
    friend class TIcsWndHandlerPool;
    DWORD FThreadId;
    std::vector<TIcsWndHandler*> FItems;
};

// The process-wide pool: one handler list per thread with attached components.
class TIcsWndHandlerPool {
public:
    TIcsWndHandlerPool();
    ~TIcsWndHandlerPool();
    TIcsWndHandlerPool(const TIcsWndHandlerPool&) = delete;
    TIcsWndHandlerPool& operator=(const TIcsWndHandlerPool&) = delete;

    // A handler of `threadId` with at least `count` free numbers (created when needed).
    TIcsWndHandler* FindOrCreateHandler(int count, DWORD threadId);
    // Removes an empty handler from its list and frees it; frees the list when it empties.
    void ReleaseHandler(TIcsWndHandler* handler);

    void Lock() { EnterCriticalSection(&FPoolLock); }
    void Unlock() { LeaveCriticalSection(&FPoolLock); }
    int ThreadListCount() const { return static_cast<int>(FLists.size()); }
    TIcsWndHandlerList* ThreadLists(int i) const { return FLists.at(static_cast<size_t>(i)); }

private:
    std::vector<TIcsWndHandlerList*> FLists;
    CRITICAL_SECTION FPoolLock;
};

// The single pool (null after the layer was shut down and emptied).
TIcsWndHandlerPool* HandlerPool();
// Number of hidden windows that exist now.
int IcsWndWindowCount();
// The message registered at start-up as "TORVELIX_THREAD_TIMER".
UINT ThreadTimerMessage();
// Program end: refuses further attaches and frees the pool once it is empty.
// Runs by itself when the program ends; tests may call it.
void FinalizeIcsWndControl();
bool IcsWndDispatchFinalized();

using TIcsBgExceptionEvent = std::function<void(TComponent* Sender, Exception& E, bool& CanClose)>;

// Base of every message-driven component (TCustomWSocket, THttpCli).
//
// Ownership: every component has exactly one owner, which frees it: the
// TComponent given to its constructor, or else whoever created it (a local,
// a member, a unique_ptr). A component made with NewSelfOwned is its own
// owner instead: nobody else may free it, and it ends with PostRelease, the
// only way it is freed. PostRelease on any other component would free what
// its owner frees again, so it is refused with EIcsException; a release
// message that reaches such a component anyway is refused the same way
// (through OnBgException), and the component lives on.
//
// For descendants: override RequiredMessageCount, AllocateMessages (call the
// base first, then take your numbers with WindowHandler()->AllocateMessage),
// FreeMessages (free yours, then call the base) and HandleMessage (test your
// numbers, hand the rest to the base). Exceptions of any type escaping
// HandleMessage are caught by the dispatcher and given to
// HandleEscapedException (one that is not an Exception as an Exception
// with its text). C++ destructors cannot reach overrides, so a
// descendant that overrides FreeMessages calls ReleaseHandlerOnce() in its
// own destructor, after BeginDestruction().
class TIcsWndControl : public TComponent {
public:
    explicit TIcsWndControl(TComponent* owner);
    ~TIcsWndControl() override;

    // The hidden window; reading it while detached attaches the component.
    HWND Handle();
    bool Attached() const { return FHandle != nullptr; }
    DWORD ThreadId() const { return FThreadId; }
    bool QuitSeen() const { return FQuitSeen; }
    void SetQuitSeen(bool value) { FQuitSeen = value; }
    bool OwnMessagePump() const { return FOwnMessagePump; }
    void SetOwnMessagePump(bool value) { FOwnMessagePump = value; }
    TIcsWndHandler* WindowHandler() const { return FWindowHandler; }
    UINT ReleaseMessage() const { return FReleaseMessage; }

    // Creates a component that owns itself (see above). Refused, with
    // EIcsException, when the constructor gave it an owner.
    template <class T, class... Args> static T* NewSelfOwned(Args&&... args);
    bool SelfOwned() const { return FSelfOwned; }
    // Frees a self-owned component once the current message has been
    // handled; refused with EIcsException for any other.
    virtual void PostRelease();
    virtual void AttachToThread();
    virtual void DetachFromThread();

    // Message servicing for synchronous waits.
    virtual void RunMessageLoop();
    virtual bool PumpOneMessage();
    virtual void PumpMessages();
    virtual void ServiceMessages();

    // Entry point of the dispatcher: HandleMessage with the escaped-exception
    // handling around it.
    void WndProc(TIcsMessage& msg);

    TIcsBgExceptionEvent OnBgException;

protected:
    virtual void ReleaseHandlerOnce(bool ignored = false);
    virtual void HandleMessage(TIcsMessage& msg);
    virtual void HandleEscapedException(Exception& E);
    virtual void FireBgException(Exception& E, bool& CanClose);
    virtual void ReleaseComponent();
    virtual void AttachHandler();
    virtual void DetachHandler();
    virtual int RequiredMessageCount() { return 1; }
    virtual void AllocateMessages();
    virtual void FreeMessages();
    virtual void EmergencyStop() {}

    HWND FHandle = nullptr;
    DWORD FThreadId = 0;
    TIcsWndHandler* FWindowHandler = nullptr;

private:
    // Any other exception that escaped HandleMessage, given to
    // HandleEscapedException as an Exception with its text.
    void HandleForeignException(std::exception_ptr escaped);

    // Raises EIcsException unless the component owns itself.
    void CheckSelfOwned() const;

    bool FSelfOwned = false;
    bool FHandlerReleased = false;
    bool FQuitSeen = false;
    bool FOwnMessagePump = false;
    UINT FReleaseMessage = 0;
};

template <class T, class... Args> T* TIcsWndControl::NewSelfOwned(Args&&... args) {
    auto component = std::make_unique<T>(std::forward<Args>(args)...);
    TIcsWndControl* base = component.get();
    if (base->Owner())
        throw EIcsException("A component with an owner cannot own itself");
    base->FSelfOwned = true;
    return component.release();
}

// A millisecond timer whose ticks arrive through its owner's hidden window.
class TIcsTimer : public TComponent {
public:
    explicit TIcsTimer(TIcsWndControl* owner);
    ~TIcsTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    UINT Interval() const { return FInterval; }
    void SetInterval(UINT value);
    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent handler);

    DWORD LastTick() const { return FLastTick; }
    TIcsTimer* SelfReference() const { return FSelfReference; }
    TIcsWndControl* TimerOwner() const { return FOwner; }
    // Reaction to WM_TIMER: ticks that come before Interval has passed only
    // move LastTick.
    void HandleTimerMessage(TIcsMessage& msg);
    // True while `id` names a live timer (the WM_TIMER identifier is its address).
    static TIcsTimer* FindLive(UINT_PTR id);

protected:
    void RearmTimer();

private:
    void CheckOwnerAttached();

    TIcsWndControl* FOwner;
    TIcsTimer* FSelfReference;
    bool FEnabled = true;
    UINT FInterval = 1000;
    TNotifyEvent FOnTimer;
    DWORD FLastTick = 0;
    HWND FTimerWindow = nullptr; // window the system timer runs on, if any
};

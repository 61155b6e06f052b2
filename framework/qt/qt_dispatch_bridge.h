// Lets Qt's event loop drive the platform dispatch layer of the GUI thread.
//
// The platform gathers everything pending for a thread (posted messages,
// timer deadlines, watched sockets) behind one descriptor, the thread's wait
// handle. Qt watches that descriptor with a socket notifier and, before it
// blocks, arms a timer for the platform's next deadline; when either fires,
// the ready events become messages and are dispatched. The other way round,
// a synchronous wait of the platform (MsgWaitForMultipleObjects, GetMessage)
// runs Qt's dispatcher while it waits, so the windows stay alive.
#pragma once

#include "platform/win32/windows.h"

#include <QObject>

#include <vector>

class QSocketNotifier;
class QTimer;

class TQtDispatchBridge : public QObject {
    Q_OBJECT
public:
    // Creates the bridge for the calling thread once (owned by the
    // QCoreApplication) and returns it.
    static TQtDispatchBridge* Install();
    ~TQtDispatchBridge() override;

    // Turns the ready platform events into messages and dispatches them.
    void Drain();

private:
    TQtDispatchBridge();
    void ArmDeadline();
    void WaitHook(DWORD timeoutMs);
    bool PlatformReady() const;

    int FWaitHandle = -1;
    QSocketNotifier* FNotifier = nullptr;
    QTimer* FDeadline = nullptr;
    // Loop levels of the synchronous waits running on this thread, innermost
    // last. Activity seen at such a level only ends that wait: the waiting
    // code fetches its messages itself.
    std::vector<int> FWaitLevels;
    bool FDrainPosted = false; // a Drain is queued in Qt's event queue
};

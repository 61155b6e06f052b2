#include "framework/qt/qt_dispatch_bridge.h"

#include "framework/application.h"
#include "framework/qt/qt_application.h"
#include "platform/win32/reactor.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <poll.h>

namespace {

int CurrentLoopLevel() {
    return QThread::currentThread()->loopLevel();
}

} // namespace

TQtDispatchBridge* TQtDispatchBridge::Install() {
    static TQtDispatchBridge* bridge = nullptr;
    if (!bridge)
        bridge = new TQtDispatchBridge();
    return bridge;
}

TQtDispatchBridge::TQtDispatchBridge() : QObject(QCoreApplication::instance()) {
    FWaitHandle = platform::ThreadWaitHandle();
    FNotifier = new QSocketNotifier(FWaitHandle, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });

    FDeadline = new QTimer(this);
    FDeadline->setSingleShot(true);
    FDeadline->setTimerType(Qt::PreciseTimer);
    connect(FDeadline, &QTimer::timeout, this, [this] { Drain(); });

    // A timer set by any handler moves the next deadline; re-reading it each
    // time Qt is about to block keeps the timer right without asking every
    // caller to tell us. A message the thread posted to itself while it ran
    // its pump did not wake the wait handle: if one is waiting, Qt must not
    // block but come back to drain it.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            ArmDeadline();
            if (platform::PrepareToBlock() && !FDrainPosted) {
                FDrainPosted = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        FDrainPosted = false;
                        Drain();
                    },
                    Qt::QueuedConnection);
            }
        });

    platform::SetThreadWaitHook([this](DWORD timeoutMs) { WaitHook(timeoutMs); });
    ArmDeadline();
}

TQtDispatchBridge::~TQtDispatchBridge() {
    platform::SetThreadWaitHook(nullptr);
}

void TQtDispatchBridge::ArmDeadline() {
    const DWORD ms = platform::MillisecondsToNextTimer();
    if (ms == INFINITE)
        FDeadline->stop();
    else
        FDeadline->start(static_cast<int>(std::min<DWORD>(ms, 24u * 3600u * 1000u)));
}

bool TQtDispatchBridge::PlatformReady() const {
    pollfd pfd{FWaitHandle, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 || platform::HasPendingMessage();
}

void TQtDispatchBridge::Drain() {
    if (!FWaitLevels.empty() && FWaitLevels.back() == CurrentLoopLevel()) {
        // The synchronous wait running at this level picks the messages up
        // itself: it sees them pending as soon as this pass of Qt's loop
        // returns. (A modal loop opened meanwhile runs a level deeper and
        // dispatches them here as usual.)
        return;
    }
    RunGuarded([] {
        if (!PumpPlatformMessages())
            Application().Terminate();
    });
    ArmDeadline();
}

void TQtDispatchBridge::WaitHook(DWORD timeoutMs) {
    QDeadlineTimer deadline(timeoutMs == INFINITE ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                  : QDeadlineTimer(static_cast<qint64>(timeoutMs)));
    FWaitLevels.push_back(CurrentLoopLevel());
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    // Qt's events (input, the forms' timers) are served while we wait, and a
    // modal dialog opened by one of them runs its own loop at a deeper level,
    // where the platform's messages are dispatched as usual.
    for (;;) {
        if (PlatformReady() || deadline.hasExpired())
            break;
        if (!deadline.isForever())
            wake.start(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    FWaitLevels.pop_back();
}

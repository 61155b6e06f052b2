// The pump: a thread running its pump (PumpScope), and one pass over its
// messages in Windows' order, bounded so that what keeps arriving cannot keep
// the pump from its caller (PumpPass).
#include "platform/win32/reactor.h"

#include "platform/win32/message_queue.h"
#include "platform/win32/reactor_internal.h"
#include "platform/win32/thread_state.h"

using namespace platform::detail;

namespace platform {

PumpScope::PumpScope() {
    if (ThreadState* t = CurrentState())
        ++t->pumpDepth;
}

PumpScope::~PumpScope() {
    ThreadState* t = ExistingState();
    if (!t || --t->pumpDepth > 0)
        return;
    FlushWatchChanges(t);
    // Leaving the pump with messages it did not announce: announce them now,
    // for a loop that waits on the handle without looking at the queue.
    if (t->wakeSkipped) {
        t->wakeSkipped = false;
        std::lock_guard ql(t->queue.lock);
        if (!t->queue.messages.empty() || t->queue.quitPosted)
            Wake(t);
    }
}

PumpPass::~PumpPass() {
    // Stopped by its bound: what is left must not wait for a wake-up that
    // was already taken.
    ThreadState* t = ExistingState();
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
    MessageQueue& q = t->queue;
    bool justCollected = false;
    for (;;) {
        {
            std::lock_guard ql(q.lock);
            if (justCollected) // marked here, not under a lock of its own
                MarkCollectedLocked(t);
            if (!started_) {
                // A collection made right before the pass, whose messages
                // are still queued (by the wait that ended because something
                // was ready), counts as the pass's own.
                started_ = true;
                collected_ = q.freshCollection && !q.messages.empty();
            }
            if (!q.messages.empty() && !FrontUnsettledLocked(t)) {
                *msg = q.messages.front().msg;
                q.messages.pop_front();
                q.freshCollection = false;
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
            if (q.messages.empty()) {
                const bool look = !collected_ || (q.quitPosted && q.quitSeq > q.collectedThrough) ||
                                  TimerDueSince(t, q.collectedAt);
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
        CollectReady(t, 0);
        collected_ = justCollected = true;
    }
}

bool TakeNextMessage(MSG* msg) {
    PumpPass pass;
    return pass.Next(msg);
}

} // namespace platform

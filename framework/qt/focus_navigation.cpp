#include "framework/qt/focus_navigation.h"

#include "framework/qt/qt_application.h"

#include <QKeyEvent>
#include <QWidget>

namespace {

class TKeyPressFilter : public QObject {
public:
    TKeyPressFilter(QWidget* control, TKeyPressEvent handler)
        : QObject(control), FControl(control), FHandler(std::move(handler)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto* keyEvent = static_cast<QKeyEvent*>(event);
        // A key an inner widget ignores travels on to the control: one
        // key press, one call.
        if (keyEvent == FLastEvent && keyEvent->timestamp() == FLastTimestamp)
            return false;
        FLastEvent = keyEvent;
        FLastTimestamp = keyEvent->timestamp();
        char key = 0;
        if (keyEvent->key() == Qt::Key_Return || keyEvent->key() == Qt::Key_Enter) {
            key = '\r';
        } else {
            const QString text = keyEvent->text();
            if (text.size() != 1 || text[0].unicode() > 0xFF)
                return false;
            key = static_cast<char>(text[0].unicode());
        }
        bool swallow = false;
        RunGuarded([&] {
            char typed = key;
            FHandler(FControl, typed);
            swallow = typed == 0;
        });
        return swallow;
    }

private:
    QWidget* FControl;
    TKeyPressEvent FHandler;
    const QKeyEvent* FLastEvent = nullptr;
    quint64 FLastTimestamp = 0;
};

bool IsTabStop(const QWidget* w) {
    return (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus;
}

} // namespace

bool CanFocus(const QWidget* control) {
    return control->isEnabled() && control->isVisibleTo(control->window());
}

bool SelectNext(QWidget* current, bool forward) {
    QWidget* container = current->parentWidget();
    // Qt's focus chain holds the tab order of the whole window, inner widgets
    // of composite controls included; the controls of the container are the
    // ones whose parent it is.
    QWidget* w = current;
    for (;;) {
        w = forward ? w->nextInFocusChain() : w->previousInFocusChain();
        if (!w || w == current)
            return false;
        if (w->parentWidget() == container && IsTabStop(w) && CanFocus(w)) {
            w->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
}

void SetOnKeyPress(QWidget* control, TKeyPressEvent handler) {
    auto* filter = new TKeyPressFilter(control, std::move(handler));
    control->installEventFilter(filter);
    for (QWidget* inner : control->findChildren<QWidget*>())
        inner->installEventFilter(filter);
}

void EnterMovesToNextControl(QWidget* sender, char& key) {
    if (key == '\r') {
        key = 0;
        SelectNext(sender);
    }
}

// Keyboard focus helpers: moving to the next control in tab order, and
// character key-press handlers that may swallow or replace what was typed.
#pragma once

#include <QObject>

#include <functional>

class QWidget;

// True when the control can take the focus: visible and enabled, as are its
// containers.
bool CanFocus(const QWidget* control);

// Moves the focus from `current` to the next control of the same container in
// tab order that can take the focus and is a tab stop, wrapping after the
// last. Returns false, leaving the focus where it is, when the search comes
// back to `current` without finding one.
bool SelectNext(QWidget* current, bool forward = true);

// A key-press handler: gets the control and the typed character, and may set
// it to 0 to keep the control from receiving it. Enter arrives as '\r'.
using TKeyPressEvent = std::function<void(QWidget* sender, char& key)>;

// Calls `handler` for every character typed into `control` (also when one of
// the control's own inner widgets holds the focus, as in a picker).
void SetOnKeyPress(QWidget* control, TKeyPressEvent handler);

// The handler of the entry controls: Enter moves on to the next control
// instead of reaching the control.
void EnterMovesToNextControl(QWidget* sender, char& key);

// The Qt side of the application object: the QApplication that catches what
// escapes an event handler, the program's look (style, Tahoma), and the hooks
// that make Application() service Qt's events and show its error box.
#pragma once

#include "framework/application.h"

#include <QApplication>
#include <QColor>
#include <QFont>

#include <exception>
#include <utility>

class TQtApplication : public QApplication {
public:
    TQtApplication(int& argc, char** argv);
    ~TQtApplication() override;

    // An exception that escapes a handler stops that handler only: it is
    // shown in the program-wide error box and the loop goes on.
    bool notify(QObject* receiver, QEvent* event) override;

private:
    bool IsRepeatedEnter(const QEvent* event);
    // When Enter was last let go; X repeats a held key as a release and a
    // press of the same instant, and Qt cannot always tell those apart.
    quint64 FEnterReleasedAt = 0;
};

// Installs the glue on the running QApplication, once: the style and the
// Tahoma font, Application().ProcessMessages servicing Qt's events and the
// platform's messages, Application().ShowException showing the error box,
// and the dispatch bridge on the calling (GUI) thread.
void InstallQtGlue();

// A window with the dialog-style border: fixed at its present size, a
// caption with a close box, no minimise or maximise box.
void SetDialogBorder(QWidget* window);

// Plain labels grow to the width of their text, as auto-sized Windows
// labels do, so a font a pixel wider than the layout's never clips them.
void AutoSizeLabels(QWidget* form);

// The platform's system colours as this program renders them.
enum class TSystemColor { clBtnFace, clWindow, clCaptionText, cl3DDkShadow };
QColor SystemColor(TSystemColor color);

// The forms' Tahoma with the given character height in pixels (11 pixels is
// 8 points); bold text takes the bold face chosen for it.
QFont TahomaFont(int pixelHeight = 11, bool bold = false);

// The height of a line of `font` as Windows measures it: the font's Windows
// ascent and descent at its size, each rounded (13 pixels for Tahoma 8).
int WindowsTextHeight(const QFont& font);

// Runs `handler`, showing an exception that escapes it in the error box.
// Handlers wired to Qt signals go through here, so no exception ever
// crosses Qt's own code.
template <class F> void RunGuarded(F&& handler) {
    try {
        std::forward<F>(handler)();
    } catch (const std::exception& e) {
        Application().ShowException(e);
    }
}

// Wraps a handler without arguments so that each call runs guarded (to be
// connected to a signal whose arguments it does not need).
template <class F> auto Guarded(F handler) {
    return [handler = std::move(handler)]() { RunGuarded(handler); };
}

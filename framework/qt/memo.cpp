#include "framework/qt/memo.h"

#include <QEvent>
#include <QFontMetrics>
#include <QScrollBar>

namespace {

// A dialog unit is a quarter of the average character width; the edit
// control's default tab stops are 32 of them apart.
constexpr int kTabStopDialogUnits = 32;

// The edit control's text starts a pixel or two inside its border; Qt's
// default margin of 4 would leave room for less than the two lines a
// 33-pixel status memo shows.
constexpr int kDocumentMargin = 1;

} // namespace

int AverageCharWidth(const QFont& font) {
    const int letters =
        QFontMetrics(font).horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                            "abcdefghijklmnopqrstuvwxyz"));
    return (letters / 26 + 1) / 2;
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
    document()->setDocumentMargin(kDocumentMargin);
    UseTabStopsOfFont();
}

void TMemo::AddLine(const QString& line) {
    appendPlainText(line);
    // The caret goes after the added text, and the view follows the caret:
    // the new line at the bottom, whole lines above it.
    moveCursor(QTextCursor::End);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TMemo::changeEvent(QEvent* event) {
    QPlainTextEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        UseTabStopsOfFont();
}

void TMemo::UseTabStopsOfFont() {
    setTabStopDistance(AverageCharWidth(font()) * kTabStopDialogUnits / 4);
}

// A memo: the multi-line edit control of the forms. Its tab stops are those
// of the Windows edit control, every 32 dialog units (8 average characters)
// of its own font, and a line added to it is scrolled into view, as the
// control does with its caret, so the newest line is always wholly visible.
#pragma once

#include <QPlainTextEdit>

class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);

    // Appends `line` as the new last line and scrolls it into view.
    void AddLine(const QString& line);

protected:
    void changeEvent(QEvent* event) override;

private:
    void UseTabStopsOfFont();
};

// The average character width of `font` from which Windows derives dialog
// units: the mean advance of the 52 letters A-Z and a-z, rounded.
int AverageCharWidth(const QFont& font);

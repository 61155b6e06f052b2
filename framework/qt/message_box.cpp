#include "framework/qt/message_box.h"

#include "framework/application.h"
#include "framework/qt/qt_text.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QWidget>

namespace {

// A message box knows its size only once it is laid out for showing, so it
// centres itself then.
class TCenteredMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        CenterOnScreen(this);
    }
};

int RunBox(QMessageBox::Icon icon, const std::string& caption, const std::string& text,
           QMessageBox::StandardButtons buttons = QMessageBox::Ok) {
    TCenteredMessageBox box(icon, ToQString(caption), MessageBoxText(text), buttons);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setTextFormat(Qt::PlainText);
    // A question: Enter, Esc and the close box keep things as they are.
    if (buttons & QMessageBox::No) {
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
    }
    return ShowModal(&box);
}

} // namespace

void CenterOnScreen(QWidget* window) {
    QScreen* screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    // For a window, move() places the outer frame, which is what is centred;
    // its size is known once the platform window exists.
    if (window->isWindow() && !window->testAttribute(Qt::WA_WState_Created))
        (void)window->winId();
    const QRect frame = window->frameGeometry();
    window->move(area.left() + (area.width() - frame.width()) / 2,
                 area.top() + (area.height() - frame.height()) / 2);
}

int ShowModal(QDialog* dialog) {
    const QPointer<QWidget> previous = QApplication::activeWindow();
    const int result = dialog->exec();
    if (previous && previous != dialog && previous->isVisible())
        previous->activateWindow();
    return result;
}

QString MessageBoxText(const std::string& text) {
    QString result = ToQString(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

void ShowMessage(const std::string& text) {
    RunBox(QMessageBox::NoIcon, Application().Title(), text);
}

bool AskYesNo(const std::string& text) {
    return RunBox(QMessageBox::Warning, Application().Title(), text,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void ShowErrorBox(const std::string& caption, const std::string& text) {
    RunBox(QMessageBox::Critical, caption, text);
}

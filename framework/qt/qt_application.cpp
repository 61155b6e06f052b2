#include "framework/qt/qt_application.h"

#include "framework/qt/message_box.h"
#include "framework/qt/qt_dispatch_bridge.h"

#include <QFontDatabase>
#include <QLabel>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QWidget>

#include <stdexcept>

namespace {

// Debian's fonts-wine ships a Tahoma that keeps the metrics of the Windows
// font, outside the folders fontconfig searches.
const char* const kTahomaFiles[] = {
    "/usr/share/wine/fonts/tahoma.ttf",
    "/usr/share/wine/fonts/tahomabd.ttf",
};

QString gTahomaFamily = QStringLiteral("Tahoma");

void LoadTahoma() {
    for (const char* file : kTahomaFiles) {
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(file));
        if (id >= 0) {
            const QStringList families = QFontDatabase::applicationFontFamilies(id);
            if (!families.isEmpty())
                gTahomaFamily = families.first();
        }
    }
}

// Masked fields show asterisks, as Windows edit fields do.
class TLogbookStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        if (hint == SH_LineEdit_PasswordMaskDelay)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

TQtApplication::TQtApplication(int& argc, char** argv) : QApplication(argc, argv) {}

TQtApplication::~TQtApplication() = default;

bool TQtApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        Application().ShowException(e);
    } catch (...) {
        Application().ShowException(std::runtime_error("Unknown exception"));
    }
    return false;
}

QFont TahomaFont(int pixelHeight, bool bold) {
    QFont font(gTahomaFamily);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

void InstallQtGlue() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;

    LoadTahoma();
    // The classic Windows look fits the pixel layout of the forms best.
    QApplication::setStyle(new TLogbookStyle(QStyleFactory::create(QStringLiteral("Windows"))));
    QApplication::setFont(TahomaFont());

    Application().SetErrorBoxHook(
        [](const std::string& caption, const std::string& text) { ShowErrorBox(caption, text); });
    Application().SetProcessMessagesHook([] {
        QCoreApplication::processEvents();
        if (!PumpPlatformMessages())
            Application().Terminate();
    });
    TQtDispatchBridge::Install();
}

void AutoSizeLabels(QWidget* form) {
    for (QLabel* label : form->findChildren<QLabel*>()) {
        if (label->frameShape() != QFrame::NoFrame || label->wordWrap())
            continue;
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        if (needed > label->width())
            label->resize(needed, label->height());
    }
}

void SetDialogBorder(QWidget* window) {
    const Qt::WindowType type = window->windowType() == Qt::Dialog ? Qt::Dialog : Qt::Window;
    window->setWindowFlags(type | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(window->size());
}

QColor SystemColor(TSystemColor color) {
    const QPalette palette = QApplication::palette();
    switch (color) {
    case TSystemColor::clBtnFace:
        return palette.color(QPalette::Active, QPalette::Button);
    case TSystemColor::clWindow:
        return palette.color(QPalette::Active, QPalette::Base);
    case TSystemColor::clCaptionText:
        return palette.color(QPalette::Active, QPalette::HighlightedText);
    case TSystemColor::cl3DDkShadow:
        return palette.color(QPalette::Active, QPalette::Shadow);
    }
    return {};
}

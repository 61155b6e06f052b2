#include "framework/qt/qt_application.h"

#include "framework/qt/message_box.h"
#include "framework/qt/qt_dispatch_bridge.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QProxyStyle>
#include <QRawFont>
#include <QStyleFactory>
#include <QWidget>

#include <stdexcept>

namespace {

// The forms' font is Tahoma, and this is the one place that chooses the
// faces standing in for it. Debian's fonts-wine ships a Tahoma with the
// metrics of the Windows font, outside the folders fontconfig searches. Its
// bold file, though, has the regular outlines on bold advance widths: bold
// text looks regular and spaced unevenly ("08/ 12/ 2026"). No Debian package
// has a real Tahoma Bold, so bold text uses the closest real bold face:
// DejaVu Sans Condensed Bold (fonts-dejavu-extra), with Tahoma's x-height,
// advance widths within 6 % of Tahoma Bold's per character and 4 % over
// printable ASCII, and the same 13-pixel line at 8 points.
struct TFace {
    const char* File;
    const char* Family; // the name it is asked for by
};
const TFace kRegularFace = {"/usr/share/wine/fonts/tahoma.ttf", "Tahoma"};
const TFace kBoldFace = {"/usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf",
                         "DejaVu Sans Condensed"};

// Fontconfig's substitute for Tahoma while a file is missing.
QString gRegularFamily = QStringLiteral("Tahoma");
QString gBoldFamily = QStringLiteral("Tahoma");

bool LoadFace(const TFace& face) {
    return QFontDatabase::addApplicationFont(QString::fromLatin1(face.File)) >= 0;
}

void LoadFaces() {
    if (LoadFace(kRegularFace))
        gRegularFamily = QString::fromLatin1(kRegularFace.Family);
    if (LoadFace(kBoldFace))
        gBoldFamily = QString::fromLatin1(kBoldFace.Family);
    else
        gBoldFamily = gRegularFamily;
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
    if (IsRepeatedEnter(event))
        return true;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        Application().ShowException(e);
    } catch (...) {
        Application().ShowException(std::runtime_error("Unknown exception"));
    }
    return false;
}

// Enter walks the entry row, presses buttons and closes boxes; a key held
// down must do that once, not add a contact at every repeat of the key.
bool TQtApplication::IsRepeatedEnter(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;
    if (event->type() == QEvent::KeyRelease) {
        FEnterReleasedAt = key->timestamp();
        return false;
    }
    // Events made by the program itself carry no time (0).
    return key->isAutoRepeat() || (key->timestamp() != 0 && key->timestamp() == FEnterReleasedAt);
}

QFont TahomaFont(int pixelHeight, bool bold) {
    QFont font(bold ? gBoldFamily : gRegularFamily);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

int WindowsTextHeight(const QFont& font) {
    const QRawFont raw = QRawFont::fromFont(font);
    const QByteArray os2 = raw.fontTable("OS/2");
    // usWinAscent and usWinDescent, big-endian, at bytes 74 and 76.
    if (os2.size() < 78 || raw.unitsPerEm() <= 0)
        return QFontMetrics(font).height();
    auto at = [&os2](int offset) {
        return static_cast<unsigned char>(os2[offset]) << 8 |
               static_cast<unsigned char>(os2[offset + 1]);
    };
    const qreal scale = raw.pixelSize() / raw.unitsPerEm();
    return qRound(at(74) * scale) + qRound(at(76) * scale);
}

void InstallQtGlue() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;

    LoadFaces();
    // The classic Windows look fits the pixel layout of the forms best.
    QApplication::setStyle(new TLogbookStyle(QStyleFactory::create(QStringLiteral("Windows"))));
    QApplication::setFont(TahomaFont());
    // A message box is as wide as its text or its caption needs; Qt measures
    // the caption in this class's font, which would otherwise be the Tahoma
    // of the forms, narrower than the title bar's own: a short text then cut
    // the caption to "QQ... 1.2". The bold face, the wider, fits either.
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    QApplication::setFont(titleFont, "QMdiSubWindowTitleBar");

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

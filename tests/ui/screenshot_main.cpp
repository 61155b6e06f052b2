// Renders the main window as it looks a moment after start, with the
// settings dialog open over it, into a PNG file. Window frames are drawn in
// the classic Windows manner, since the offscreen platform has none.
#include "tests/ui/ui_test_support.h"

#include "framework/qt/qt_application.h"
#include "ui/Log.h"
#include "ui/Setari.h"

#include <QDialog>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kBorder = 3;
constexpr int kCaption = 20;

// A window's client picture inside a frame with its caption bar.
QPixmap Framed(QWidget* window, bool active) {
    const QPixmap client = window->grab();
    QPixmap framed(client.width() + 2 * kBorder, client.height() + kCaption + 2 * kBorder);
    framed.fill(SystemColor(TSystemColor::clBtnFace));
    QPainter p(&framed);
    p.setPen(QColor(64, 64, 64));
    p.drawRect(framed.rect().adjusted(0, 0, -1, -1));
    p.setPen(Qt::white);
    p.drawLine(1, 1, framed.width() - 2, 1);
    p.drawLine(1, 1, 1, framed.height() - 2);
    const QRect bar(kBorder, kBorder, client.width(), kCaption - 2);
    QLinearGradient gradient(bar.topLeft(), bar.topRight());
    gradient.setColorAt(0, active ? QColor(10, 36, 106) : QColor(128, 128, 128));
    gradient.setColorAt(1, active ? QColor(166, 202, 240) : QColor(192, 192, 192));
    p.fillRect(bar, gradient);
    p.setPen(Qt::white);
    p.setFont(TahomaFont(11, true));
    p.drawText(bar.adjusted(4, 0, -24, 0), Qt::AlignVCenter | Qt::AlignLeft, window->windowTitle());
    const QRect close(bar.right() - 18, bar.top() + 2, 16, 14);
    p.fillRect(close, SystemColor(TSystemColor::clBtnFace));
    p.setPen(Qt::black);
    p.drawRect(close.adjusted(0, 0, -1, -1));
    p.drawLine(close.left() + 4, close.top() + 3, close.right() - 4, close.bottom() - 3);
    p.drawLine(close.right() - 4, close.top() + 3, close.left() + 4, close.bottom() - 3);
    p.drawPixmap(kBorder, kBorder + kCaption, client);
    return framed;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_screenshot <file.png>\n");
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TestApp();
    TTestWindows windows;
    bool saved = false;
    TModalAnswerer answerer([&](QWidget* modal) {
        // Wait for the first clock tick so the panels show the time.
        WaitFor([] { return Child<QLabel>(Form1, "Panel1")->text() != QStringLiteral("UTC"); });
        const QPixmap main = Framed(Form1, false);
        const QPixmap dialog = Framed(Form2, true);
        QPixmap shot(main.size());
        QPainter p(&shot);
        p.drawPixmap(0, 0, main);
        p.drawPixmap((main.width() - dialog.width()) / 2,
                     (main.height() - dialog.height()) / 2 + 10, dialog);
        p.end();
        saved = shot.save(QString::fromLocal8Bit(argv[1]), "PNG");
        static_cast<QDialog*>(modal)->reject();
    });
    Form1->show();
    WaitFor([&] { return answerer.Count() == 1 && !Form2->isVisible(); }, 5000);
    std::printf("%s %s\n", saved ? "wrote" : "failed to write", argv[1]);
    return saved ? 0 : 1;
}

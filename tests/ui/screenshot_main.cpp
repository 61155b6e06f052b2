// Renders the pictures of the README into PNG files: the main window as it
// looks a moment after start, with the settings dialog open over it; and,
// when a second file is named, the main window after a first contact
// uploaded to the stand-in logbook service. Window frames are drawn in the
// classic Windows manner, since the offscreen platform has none.
#include "tests/support/local_service.h"
#include "tests/ui/ui_test_support.h"

#include "framework/qt/qt_application.h"
#include "ui/Log.h"
#include "ui/Setari.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

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

bool Save(const QPixmap& shot, const char* file) {
    const bool saved = shot.save(QString::fromLocal8Bit(file), "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "failed to write", file);
    return saved;
}

// Waits for the clock's first tick, so the panels show the time (the same
// time again and again when scripts/screenshots has stopped the clock).
void WaitForTick() {
    WaitFor([] { return Child<QLabel>(Form1, "Panel1")->text().contains(QLatin1Char(':')); });
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: ui_screenshot <settings.png> [<first-contact.png>]\n");
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TestApp();
    testpeer::TLocalService service;
    TTestWindows windows;
    Form1->PostSettings.RobotHost = "127.0.0.1:" + std::to_string(service.Port());
    bool saved = false;
    TModalAnswerer answerer([&](QWidget* modal) {
        WaitForTick();
        const QPixmap main = Framed(Form1, false);
        const QPixmap dialog = Framed(Form2, true);
        QPixmap shot(main.size());
        QPainter p(&shot);
        p.drawPixmap(0, 0, main);
        p.drawPixmap((main.width() - dialog.width()) / 2,
                     (main.height() - dialog.height()) / 2 + 10, dialog);
        p.end();
        saved = Save(shot, argv[1]);
        // "Salveaza": the club callsign, its upload code, real time.
        Child<QPushButton>(Form2, "Button1")->click();
        (void)modal;
    });
    Form1->show();
    WaitFor([&] { return answerer.Count() == 1 && !Form2->isVisible(); }, 5000);
    if (!saved || argc < 3)
        return saved ? 0 : 1;

    QTest::keyClicks(Child<QLineEdit>(Form1, "EditIndicativ"), QStringLiteral("YO9ABC"));
    QTest::keyClicks(Child<QLineEdit>(Form1, "EditLocator"), QStringLiteral("KN37AB"));
    Child<QPushButton>(Form1, "AdaugaBtn")->click();
    auto* memo = Child<QPlainTextEdit>(Form1, "Memo1");
    if (!WaitFor([&] { return memo->toPlainText().contains(QStringLiteral("Raspuns server")); },
                 5000)) {
        std::fprintf(stderr, "no answer from the logbook service\n");
        return 1;
    }
    WaitForTick();
    return Save(Framed(Form1, true), argv[2]) ? 0 : 1;
}

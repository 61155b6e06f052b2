#include "app/program_icon.h"

#include <QApplication>

// Outside any namespace, as Q_INIT_RESOURCE requires; resources of a static
// library are not registered until it is called.
static void LoadIconResources() {
    Q_INIT_RESOURCE(qsologbook);
}

QIcon ProgramIcon() {
    LoadIconResources();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/qsologbook-%1.png").arg(size), QSize(size, size));
    return icon;
}

void InstallProgramIcon() {
    QApplication::setWindowIcon(ProgramIcon());
    // The desktop entry's name: lets a desktop match the windows to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("qsologbook"));
}

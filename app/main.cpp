// Program entry: the application, its title, the three windows in their
// order, then the message loop until the main window closes.
#include "app/module_check.h"
#include "app/program_icon.h"
#include "framework/datetime.h"
#include "framework/qt/qt_application.h"
#include "framework/qt/runtime_dir.h"
#include "ui/Log.h"
#include "ui/Setari.h"
#include "ui/UnitLogbookData.h"

int main(int argc, char** argv) {
    NameRuntimeDirWhenUnset();
    TQtApplication app(argc, argv);
    InstallQtGlue();
    InitFormatSettingsFromLocale();

    // The main window is a top-level window of its own and so the program's
    // task-bar entry; Qt has no hidden application window to hide.
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    InstallProgramIcon();
    // A missing Windows Sockets module is said now, with where it was looked
    // for, rather than later as a network failure of every upload. The
    // program goes on: DEMO mode and the list still work.
    CheckModulesAtStart();

    // Each creation handler runs to the end before the next window exists.
    Form1 = new TForm1();
    Form2 = new TForm2();
    FormLogbookData = new TFormLogbookData();

    Form1->show();
    // Shown windows become active on Windows; ask for it also where no
    // window manager does it (an X server without one, as under xvfb-run).
    Form1->activateWindow();
    const int result = QApplication::exec();

    delete FormLogbookData;
    delete Form2;
    delete Form1;
    return result;
}

#include "app/module_check.h"

#include "framework/application.h"
#include "framework/qt/message_box.h"
#include "platform/win32/modules.h"
#include "platform/win32/windows.h"

#include <cstdio>

std::string ModuleProblem() {
    for (const char* dll : {"wsock32.dll", "ws2_32.dll"}) {
        HMODULE module = LoadLibraryA(dll);
        if (module) {
            FreeLibrary(module);
            continue;
        }
        const std::string file = platform::ModuleFileName(dll);
        std::string text = "The module " + std::string(dll) + " (" + file + ") could not be loaded";
        const std::string why = platform::LastModuleLoadError();
        if (why.empty()) {
            text += ": it is in none of the folders where the program looks for it:";
            for (const std::string& folder : platform::ModuleFolders())
                text += "\n    " + folder;
        } else {
            text += ":\n    " + why;
        }
        return text + "\nThe program cannot upload contacts without it. Build it again "
                      "(scripts/run) or reinstall the program.";
    }
    return {};
}

bool CheckModulesAtStart() {
    const std::string problem = ModuleProblem();
    if (problem.empty())
        return true;
    std::fprintf(stderr, "qsologbook: %s\n", problem.c_str());
    std::fflush(stderr);
    ShowErrorBox(Application().Title(), problem);
    return false;
}

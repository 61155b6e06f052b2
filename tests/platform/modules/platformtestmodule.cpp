// A module for the loader tests: two entry points in its export directory,
// and a third function that is only an ELF symbol.
#include "platform/win32/windows.h"

namespace {

int Add(int a, int b) {
    return a + b;
}
int Twice(int a) {
    return 2 * a;
}

const IcsExportEntry kExports[] = {
    {"Add", reinterpret_cast<void*>(&Add)},
    {"Twice", reinterpret_cast<void*>(&Twice)},
};

} // namespace

extern "C" __attribute__((visibility("default"))) int NotExported() {
    return 7;
}

extern "C" __attribute__((visibility("default")))
const IcsExportDirectory TestModuleExports __asm__(ICS_EXPORT_DIRECTORY_SYMBOL) = {
    "platformtestmodule.dll", 2, kExports};

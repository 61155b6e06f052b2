// Where the module loader looks for a stand-in module, for the messages that
// tell an operator why one could not be loaded. (Not part of the Win32
// subset: Windows has a search order of its own.)
#pragma once

#include <string>
#include <vector>

namespace platform {

// The folders LoadLibraryA searches, in order: the running program's own
// folder (the build's bin/), then ../lib/qsologbook beside it (an installed
// program in PREFIX/bin with its modules in PREFIX/lib/qsologbook).
std::vector<std::string> ModuleFolders();

// The file that stands for a module name: "WSOCK32.DLL" -> "libwsock32.so".
std::string ModuleFileName(const char* dllName);

// Why the last LoadLibraryA of the calling thread failed to open a file it
// found (the dynamic loader's words); empty when no file was found or the
// last load succeeded.
std::string LastModuleLoadError();

} // namespace platform

// Run-time modules: "name.dll" is lib<name>.so beside the running program,
// or in the installed layout's private library folder.
// Its entry points are found through the export directory it defines, like a
// PE export table, never through dlsym of the entry point's own name: the
// Windows Sockets names (socket, send, recv ...) would otherwise resolve to
// the C library's functions.
#include "platform/win32/modules.h"
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <cctype>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

struct Module {
    void* library = nullptr;
    const IcsExportDirectory* exports = nullptr;
    int references = 0;
    std::string key; // normalised name, e.g. "wsock32"
};

struct Modules {
    // Recursive: a module's constructors or destructors may load or free
    // another module while we are inside dlopen or dlclose.
    std::recursive_mutex lock;
    std::map<std::uintptr_t, Module> byHandle;
    std::map<std::string, std::uintptr_t> byName;
    // Handles are never reused, so a stale one is always recognised. They
    // start where Windows puts DLLs and step like module base addresses.
    std::uintptr_t nextHandle = 0x10000000;
};

Modules& M() {
    static Modules* modules = new Modules; // outlives static destructors that free modules
    return *modules;
}

// The program instance that GetModuleHandleA(nullptr) returns: the usual
// Windows base address of an executable.
// Initialised by no constructor: static initialisers of other libraries
// may ask for it before ours run.
HINSTANCE ProgramInstance() {
    return reinterpret_cast<HINSTANCE>(std::uintptr_t{0x400000});
}

// "C:\\dir\\WSOCK32.DLL" -> "wsock32". Windows appends ".dll" when a name
// has no extension; file names are compared without regard to case.
std::string NormalisedName(const char* fileName) {
    std::string name(fileName);
    std::size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
        name.resize(name.size() - 4);
    return name;
}

const std::string& ProgramFolder() {
    static const std::string folder = [] {
        char path[4096];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0)
            return std::string(".");
        std::string p(path, static_cast<std::size_t>(n));
        std::size_t slash = p.rfind('/');
        return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
    }();
    return folder;
}

thread_local std::string tLastLoadError;

Module* FindLocked(HMODULE module) {
    auto it = M().byHandle.find(reinterpret_cast<std::uintptr_t>(module));
    return it == M().byHandle.end() ? nullptr : &it->second;
}

} // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string key = NormalisedName(fileName);
    Modules& m = M();
    std::lock_guard lock(m.lock);
    auto known = m.byName.find(key);
    if (known != m.byName.end()) {
        m.byHandle[known->second].references++;
        return reinterpret_cast<HMODULE>(known->second);
    }
    if (key.empty() || key.find_first_of("/\\") != std::string::npos) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // The first folder that holds the file decides: a module that is there
    // but cannot be opened is not looked for elsewhere.
    tLastLoadError.clear();
    void* library = nullptr;
    for (const std::string& folder : platform::ModuleFolders()) {
        std::string path = folder + "/lib" + key + ".so";
        if (access(path.c_str(), F_OK) != 0)
            continue;
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* why = dlerror();
            tLastLoadError = why ? why : path;
        }
        break;
    }
    if (!library) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto* exports =
        static_cast<const IcsExportDirectory*>(dlsym(library, ICS_EXPORT_DIRECTORY_SYMBOL));
    // A shared library without an export directory is not a module: it
    // cannot be used, so it counts as not found.
    if (!exports || (exports->Count > 0 && !exports->Entries)) {
        dlclose(library);
        tLastLoadError = "lib" + key + ".so has no export directory";
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::uintptr_t handle = m.nextHandle;
    m.nextHandle += 0x10000;
    Module& module = m.byHandle[handle];
    module.library = library;
    module.exports = exports;
    module.references = 1;
    module.key = key;
    m.byName[key] = handle;
    return reinterpret_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    // Ordinals (values below 0x10000 in place of a name) are not exported by
    // the stand-in modules.
    if (!procName || reinterpret_cast<std::uintptr_t>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard lock(M().lock);
    Module* m = FindLocked(module);
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const IcsExportDirectory* dir = m->exports;
    for (unsigned i = 0; i < dir->Count; ++i) {
        const IcsExportEntry& entry = dir->Entries[i];
        if (entry.Name && std::strcmp(entry.Name, procName) == 0 && entry.Address)
            return entry.Address;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    Modules& m = M();
    void* library = nullptr;
    {
        std::lock_guard lock(m.lock);
        Module* found = FindLocked(module);
        if (!found) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--found->references > 0)
            return TRUE;
        library = found->library;
        m.byName.erase(found->key);
        m.byHandle.erase(reinterpret_cast<std::uintptr_t>(module));
    }
    // Outside the lock: the module's destructors may call back in.
    dlclose(library);
    return TRUE;
}

HINSTANCE GetModuleHandleA(LPCSTR moduleName) {
    if (!moduleName)
        return ProgramInstance();
    std::string key = NormalisedName(moduleName);
    std::lock_guard lock(M().lock);
    auto it = M().byName.find(key);
    if (it == M().byName.end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HINSTANCE>(it->second);
}

namespace platform {

std::vector<std::string> ModuleFolders() {
    const std::string& bin = ProgramFolder();
    std::size_t slash = bin.rfind('/');
    std::string prefix =
        slash == std::string::npos || slash == 0 ? std::string() : bin.substr(0, slash);
    return {bin, prefix + "/lib/qsologbook"};
}

std::string ModuleFileName(const char* dllName) {
    return "lib" + NormalisedName(dllName) + ".so";
}

std::string LastModuleLoadError() {
    return tLastLoadError;
}

} // namespace platform

namespace platform::testing {

bool ModuleIsLoaded(const std::string& dllName) {
    std::lock_guard lock(M().lock);
    return M().byName.count(NormalisedName(dllName.c_str())) != 0;
}

} // namespace platform::testing

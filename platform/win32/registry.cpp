// The registry: in memory and read-only for the program. It is seeded on
// first use with the command that opens HTML files, so that the browser
// buttons reach the desktop's default browser; tests replace its contents.
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::map<std::string, Value> values; // by lower-cased name; "" is the default value
};

struct OpenKey {
    ULONG_PTR root;
    std::string path; // normalised: lower case, components joined by '\'
};

struct Registry {
    std::mutex lock;
    // (root, normalised path) -> key. Every prefix of a stored key exists
    // too, as parents do in the real registry.
    std::map<std::pair<ULONG_PTR, std::string>, Key> keys;
    std::map<ULONG_PTR, OpenKey> open;
    ULONG_PTR nextHandle = 0x100;
};

// The predefined roots: HKEY_CLASSES_ROOT and its neighbours.
bool IsRoot(ULONG_PTR key) {
    return key >= 0x80000000u && key <= 0x80000006u;
}

// Registry paths compare without regard to case; empty components (a leading
// or doubled backslash) are dropped.
std::string Normalise(const std::string& path) {
    std::string out;
    std::string part;
    auto flush = [&] {
        if (part.empty())
            return;
        if (!out.empty())
            out += '\\';
        out += part;
        part.clear();
    };
    for (char c : path) {
        if (c == '\\') {
            flush();
            continue;
        }
        part += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    flush();
    return out;
}

std::string LowerName(const char* name) {
    std::string out = name ? name : "";
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The desktop's opener of documents and addresses, from PATH.
std::string FindOpener() {
    const char* path = std::getenv("PATH");
    if (!path)
        return {};
    std::vector<std::string> dirs;
    std::string dir;
    for (const char* p = path;; ++p) {
        if (*p == ':' || *p == '\0') {
            dirs.push_back(dir.empty() ? "." : dir);
            dir.clear();
            if (*p == '\0')
                break;
        } else {
            dir += *p;
        }
    }
    for (const char* program : {"xdg-open", "sensible-browser", "x-www-browser"}) {
        for (const std::string& d : dirs) {
            std::string candidate = d + "/" + program;
            struct stat st {};
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
    }
    return {};
}

void SetLocked(Registry& r, HKEY root, const std::string& keyPath, const std::string& valueName,
               DWORD type, std::vector<BYTE> data) {
    Key& key = r.keys[{reinterpret_cast<ULONG_PTR>(root), Normalise(keyPath)}];
    key.values[LowerName(valueName.c_str())] = Value{type, std::move(data)};
}

std::vector<BYTE> StringBytes(const std::string& s) {
    std::vector<BYTE> data(s.begin(), s.end());
    data.push_back(0); // REG_SZ data includes its terminating zero
    return data;
}

Registry& R() {
    static Registry* registry = [] {
        auto* r = new Registry;
        std::string opener = FindOpener();
        if (!opener.empty())
            SetLocked(*r, HKEY_CLASSES_ROOT, "htmlfile\\shell\\open\\command", "", REG_SZ,
                      StringBytes("\"" + opener + "\" \"%1\""));
        return r;
    }();
    return *registry;
}

bool KeyExistsLocked(Registry& r, ULONG_PTR root, const std::string& path) {
    if (path.empty() || r.keys.count({root, path}))
        return true; // the root itself, or a stored key
    // A parent of a stored key: its children sort together from path + '\'.
    std::string prefix = path + "\\";
    auto it = r.keys.lower_bound({root, prefix});
    return it != r.keys.end() && it->first.first == root &&
           it->first.second.compare(0, prefix.size(), prefix) == 0;
}

// The root and path that a handle names; false for an unknown handle.
bool ResolveLocked(Registry& r, HKEY key, ULONG_PTR& root, std::string& path) {
    auto value = reinterpret_cast<ULONG_PTR>(key);
    if (IsRoot(value)) {
        root = value;
        path.clear();
        return true;
    }
    auto it = r.open.find(value);
    if (it == r.open.end())
        return false;
    root = it->second.root;
    path = it->second.path;
    return true;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, HKEY* result) {
    if (!result)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    Registry& r = R();
    std::lock_guard lock(r.lock);
    ULONG_PTR root;
    std::string base;
    if (!ResolveLocked(r, key, root, base))
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    std::string sub = subKey ? subKey : "";
    // A leading backslash makes the path absolute from the root.
    std::string path;
    if (!sub.empty() && sub[0] == '\\')
        path = Normalise(sub);
    else
        path = Normalise(base.empty() ? sub : base + "\\" + sub);
    if (!KeyExistsLocked(r, root, path))
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    ULONG_PTR handle = r.nextHandle;
    r.nextHandle += 4;
    r.open[handle] = OpenKey{root, path};
    *result = reinterpret_cast<HKEY>(handle);
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (reserved || (data && !cbData))
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    Registry& r = R();
    std::lock_guard lock(r.lock);
    ULONG_PTR root;
    std::string path;
    if (!ResolveLocked(r, key, root, path))
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    auto k = r.keys.find({root, path});
    if (k == r.keys.end())
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    auto v = k->second.values.find(LowerName(valueName));
    if (v == k->second.values.end())
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    const Value& value = v->second;
    auto size = static_cast<DWORD>(value.data.size());
    if (type)
        *type = value.type;
    if (!data) { // a size query
        if (cbData)
            *cbData = size;
        return static_cast<LONG>(ERROR_SUCCESS);
    }
    if (*cbData < size) {
        *cbData = size;
        return static_cast<LONG>(ERROR_MORE_DATA);
    }
    if (size)
        std::memcpy(data, value.data.data(), size);
    *cbData = size;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
    auto value = reinterpret_cast<ULONG_PTR>(key);
    if (IsRoot(value))
        return static_cast<LONG>(ERROR_SUCCESS);
    Registry& r = R();
    std::lock_guard lock(r.lock);
    return r.open.erase(value) ? static_cast<LONG>(ERROR_SUCCESS)
                               : static_cast<LONG>(ERROR_INVALID_HANDLE);
}

namespace platform::testing {

void RegistryClear() {
    Registry& r = R();
    std::lock_guard lock(r.lock);
    r.keys.clear();
}

void RegistrySetString(HKEY root, const std::string& keyPath, const std::string& valueName,
                       const std::string& value) {
    Registry& r = R();
    std::lock_guard lock(r.lock);
    SetLocked(r, root, keyPath, valueName, REG_SZ, StringBytes(value));
}

void RegistrySetValue(HKEY root, const std::string& keyPath, const std::string& valueName,
                      DWORD type, const std::vector<BYTE>& data) {
    Registry& r = R();
    std::lock_guard lock(r.lock);
    SetLocked(r, root, keyPath, valueName, type, data);
}

void RegistryCreateKey(HKEY root, const std::string& keyPath) {
    Registry& r = R();
    std::lock_guard lock(r.lock);
    r.keys[{reinterpret_cast<ULONG_PTR>(root), Normalise(keyPath)}];
}

} // namespace platform::testing

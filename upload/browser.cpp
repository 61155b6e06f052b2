#include "upload/browser.h"

#include "platform/win32/windows.h"

#include <vector>

namespace {

// The key's default value as text; empty when the value does not exist.
std::string ReadDefaultString(HKEY key) {
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(key, "", nullptr, &type, nullptr, &size) !=
        static_cast<LONG>(ERROR_SUCCESS))
        return "";
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ERegistryException("Invalid data type for ''");
    std::vector<BYTE> data(size + 1, 0);
    if (RegQueryValueExA(key, "", nullptr, &type, data.data(), &size) !=
        static_cast<LONG>(ERROR_SUCCESS))
        return "";
    return std::string(reinterpret_cast<const char*>(data.data()));
}

} // namespace

bool OpenInBrowser(const std::string& address) {
    std::string command;
    HKEY key = nullptr;
    // The leading backslash makes the path absolute from the root.
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "\\htmlfile\\shell\\open\\command", 0, KEY_QUERY_VALUE,
                      &key) == static_cast<LONG>(ERROR_SUCCESS)) {
        try {
            command = ReadDefaultString(key);
        } catch (...) {
            RegCloseKey(key);
            throw;
        }
        RegCloseKey(key);
    }
    if (command.empty())
        return false;

    // "C:\Browser\browser.exe" -nohome  ->  C:\Browser\browser.exe
    std::string path = command;
    size_t quote = path.find('"');
    if (quote != std::string::npos)
        path.erase(0, quote + 1);
    size_t end = path.find('"');
    path = end == std::string::npos ? std::string() : path.substr(0, end);

    ShellExecuteA(nullptr, "open", path.c_str(), address.c_str(), nullptr, SW_SHOW);
    return true;
}

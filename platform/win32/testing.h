// Hooks for tests: replace what the platform would take from the machine.
#pragma once

#include "platform/win32/windows.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace platform::testing {

// Registry contents. Keys are paths below a root, without a leading
// backslash, e.g. "htmlfile\\shell\\open\\command"; an empty value name is the
// key's default value.
void RegistryClear();
void RegistrySetString(HKEY root, const std::string& keyPath, const std::string& valueName,
                       const std::string& value);
void RegistrySetValue(HKEY root, const std::string& keyPath, const std::string& valueName,
                      DWORD type, const std::vector<BYTE>& data);
void RegistryCreateKey(HKEY root, const std::string& keyPath);

// ShellExecuteA hands the launch to this function instead of spawning.
struct ShellLaunch {
    std::string operation, file, parameters, directory;
    int showCmd;
};
using ShellLauncher = std::function<bool(const ShellLaunch&)>;
void SetShellLauncher(ShellLauncher launcher); // empty function: real launch

// GetTimeZoneInformation answers through this function when set.
using TimeZoneQuery = std::function<DWORD(TIME_ZONE_INFORMATION*)>;
void SetTimeZoneQuery(TimeZoneQuery query); // empty function: the C library

// Every reading of the clock (GetSystemTime, GetLocalTime, the rules in
// force for GetTimeZoneInformation) takes the instant this function gives,
// once per reading, when set; empty function: the system clock.
using ClockQuery = std::function<std::chrono::system_clock::time_point()>;
void SetClockQuery(ClockQuery query);

// GetTickCount answers the monotonic clock plus this offset (mod 2^32), so a
// test can place the count just before its wrap-around. Timers are not
// affected: their deadlines use the clock itself.
void SetTickCountOffset(DWORD offset);

// True while LoadLibraryA holds the module ("wsock32.dll") open, that is
// between the first load and the FreeLibrary that brings its count to 0.
bool ModuleIsLoaded(const std::string& dllName);

} // namespace platform::testing

// Run-time modules and system error texts.
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using AddFn = int (*)(int, int);

TEST(LoadLibrary, LoadsTheModuleBesideTheProgramAndFindsNamesInItsDirectory) {
    ASSERT_FALSE(platform::testing::ModuleIsLoaded("platformtestmodule.dll"));
    HMODULE m = LoadLibraryA("PlatformTestModule.DLL"); // names ignore case
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(platform::testing::ModuleIsLoaded("platformtestmodule.dll"));
    EXPECT_EQ(GetModuleHandleA("platformtestmodule.dll"), m);
    auto add = reinterpret_cast<AddFn>(GetProcAddress(m, "Add"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("platformtestmodule.dll"));
    EXPECT_EQ(GetModuleHandleA("platformtestmodule.dll"), nullptr);
}

TEST(LoadLibrary, CountsReferencesAndUnloadsAtZero) {
    HMODULE a = LoadLibraryA("platformtestmodule.dll");
    HMODULE b = LoadLibraryA("platformtestmodule"); // ".dll" is implied
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(platform::testing::ModuleIsLoaded("platformtestmodule.dll"));
    EXPECT_NE(GetProcAddress(b, "Twice"), nullptr);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("platformtestmodule.dll"));
    // The handle is dead now and stays dead, also after a reload.
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HMODULE c = LoadLibraryA("platformtestmodule.dll");
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, a);
    EXPECT_EQ(GetProcAddress(a, "Add"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(c));
}

TEST(LoadLibrary, MissingModuleGives126) {
    for (const char* name : {"nosuchmodule.dll", "", "platformbadmodule.dll", "../bin/x.dll"}) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(name), nullptr) << name;
        EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND) << name;
    }
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("platformbadmodule.dll"));
}

TEST(GetProcAddress, NameOutsideTheDirectoryGives127) {
    HMODULE m = LoadLibraryA("platformtestmodule.dll");
    ASSERT_NE(m, nullptr);
    // An ELF symbol of the module that its directory does not list, a name
    // in the wrong case, and a C library name are all not found.
    for (const char* name : {"NotExported", "add", "socket", ""}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(m, name), nullptr) << name;
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND) << name;
    }
    FreeLibrary(m);
}

TEST(GetModuleHandle, ProgramInstanceIsNonzero) {
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
}

std::string SystemText(DWORD code) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buf, sizeof buf, nullptr);
    return std::string(buf, n);
}

struct TextCase {
    DWORD code;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << "error " << c.code;
}

class FormatMessageTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(FormatMessageTexts, GivesTheWindowsWordingWithCrLf) {
    EXPECT_EQ(SystemText(GetParam().code), std::string(GetParam().text) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    FormatMessage, FormatMessageTexts,
    ::testing::Values(TextCase{0, "The operation completed successfully."},
                      TextCase{2, "The system cannot find the file specified."},
                      TextCase{6, "The handle is invalid."},
                      TextCase{8, "Not enough memory resources are available to process this "
                                  "command."},
                      TextCase{87, "The parameter is incorrect."},
                      TextCase{126, "The specified module could not be found."},
                      TextCase{127, "The specified procedure could not be found."},
                      TextCase{10035, "A non-blocking socket operation could not be completed "
                                      "immediately."},
                      TextCase{10061, "No connection could be made because the target machine "
                                      "actively refused it."},
                      TextCase{10092, "The Windows Sockets version requested is not supported."},
                      TextCase{10093, "Either the application has not called WSAStartup, or "
                                      "WSAStartup failed."},
                      TextCase{11001, "No such host is known."}));

TEST(FormatMessage, CoversEveryWindowsSocketsCode) {
    const DWORD codes[] = {10004, 10009, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038,
                           10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047, 10048,
                           10049, 10050, 10051, 10052, 10053, 10054, 10055, 10056, 10057, 10058,
                           10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066, 10067, 10068,
                           10069, 10070, 10071, 10091, 10092, 10093, 11001, 11002, 11003, 11004};
    for (DWORD code : codes) {
        std::string text = SystemText(code);
        EXPECT_GT(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 3), ".\r\n") << code;
    }
}

TEST(FormatMessage, UnknownCodeGivesZeroAnd317) {
    char buf[64] = "unchanged";
    SetLastError(0);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(FormatMessage, TooSmallBufferFailsWithoutOverrun) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 126, 0, buf, 4, nullptr), 0u);
    EXPECT_EQ(buf[4], 'x');
    // Exactly enough: the text, CR LF and the zero.
    std::string expected = "The handle is invalid.\r\n";
    std::string big(expected.size() + 1, '?');
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 6, 0, big.data(),
                             static_cast<DWORD>(big.size()), nullptr),
              expected.size());
    EXPECT_EQ(std::string(big.c_str()), expected);
}

} // namespace

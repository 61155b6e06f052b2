// The in-memory registry and ShellExecuteA.
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const kCommandKey = "htmlfile\\shell\\open\\command";

// Reads the default value of the browser command key as OpenInBrowser does.
LONG ReadCommand(const char* path, std::string& text, DWORD& type) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    char buf[256];
    DWORD size = sizeof buf;
    rc = RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    if (rc == ERROR_SUCCESS)
        text.assign(buf, size);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    return rc;
}

struct Registry : ::testing::Test {
    void SetUp() override { platform::testing::RegistryClear(); }
    void TearDown() override { platform::testing::RegistryClear(); }
};

TEST(RegistrySeed, HtmlCommandNamesAnOpenerFoundOnPath) {
    // Seeded before any test changes it: a quoted opener and "%1".
    std::string text;
    DWORD type = 0;
    if (ReadCommand("\\htmlfile\\shell\\open\\command", text, type) != ERROR_SUCCESS)
        GTEST_SKIP() << "no xdg-open, sensible-browser or x-www-browser on PATH";
    EXPECT_EQ(type, REG_SZ);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.back(), '\0');
    text.pop_back();
    ASSERT_EQ(text.front(), '"');
    std::string program = text.substr(1, text.find('"', 1) - 1);
    EXPECT_EQ(access(program.c_str(), X_OK), 0) << program;
    EXPECT_EQ(text.substr(text.size() - 5), " \"%1\"");
}

TEST_F(Registry, StringValueReadsWithItsTerminatingZero) {
    platform::testing::RegistrySetString(HKEY_CLASSES_ROOT, kCommandKey, "",
                                         "\"C:\\Browser\\browser.exe\" -nohome");
    std::string text;
    DWORD type = REG_NONE;
    // With and without the leading backslash, in any case.
    for (const char* path :
         {"\\htmlfile\\shell\\open\\command", kCommandKey, "HTMLFILE\\Shell\\Open\\Command"}) {
        text.clear();
        ASSERT_EQ(ReadCommand(path, text, type), ERROR_SUCCESS) << path;
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(text, std::string("\"C:\\Browser\\browser.exe\" -nohome") + '\0');
    }
}

TEST_F(Registry, MissingKeyAndMissingValueAreFileNotFound) {
    std::string text;
    DWORD type;
    EXPECT_EQ(ReadCommand(kCommandKey, text, type), ERROR_FILE_NOT_FOUND);
    platform::testing::RegistryCreateKey(HKEY_CLASSES_ROOT, kCommandKey);
    EXPECT_EQ(ReadCommand(kCommandKey, text, type), ERROR_FILE_NOT_FOUND); // key, no value
    // Parents of a key exist; siblings that only share a prefix do not.
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "htmlfile\\shell", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "open\\command", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    // A leading backslash is absolute from the root, not from the open key.
    EXPECT_EQ(RegOpenKeyExA(key, "\\htmlfile", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    EXPECT_EQ(RegOpenKeyExA(key, "\\open", 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "htmlfil", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST_F(Registry, NonStringValueReportsItsType) {
    platform::testing::RegistrySetValue(HKEY_CLASSES_ROOT, kCommandKey, "", REG_DWORD,
                                        {1, 0, 0, 0});
    std::string text;
    DWORD type = REG_NONE;
    ASSERT_EQ(ReadCommand(kCommandKey, text, type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(text.size(), 4u);
}

TEST_F(Registry, SmallBufferGivesMoreDataAndTheNeededSize) {
    platform::testing::RegistrySetString(HKEY_CLASSES_ROOT, kCommandKey, "Named", "abcdef");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kCommandKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    BYTE buf[4];
    DWORD size = sizeof buf;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "named", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(type, REG_SZ);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Named", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u); // size query without a buffer
    std::vector<BYTE> exact(7);
    EXPECT_EQ(RegQueryValueExA(key, "Named", nullptr, nullptr, exact.data(), &size), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(exact.data()), "abcdef");
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, exact.data(), &size),
              ERROR_FILE_NOT_FOUND); // the default value is not set
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(key, "Named", nullptr, nullptr, exact.data(), &size),
              ERROR_INVALID_HANDLE);
}

// ---- ShellExecuteA ----

struct ShellExecute : ::testing::Test {
    void TearDown() override { platform::testing::SetShellLauncher(nullptr); }
};

TEST_F(ShellExecute, LauncherSeamReceivesTheCallInsteadOfASpawn) {
    std::vector<platform::testing::ShellLaunch> launches;
    platform::testing::SetShellLauncher([&](const platform::testing::ShellLaunch& l) {
        launches.push_back(l);
        return true;
    });
    HINSTANCE r =
        ShellExecuteA(nullptr, "open", "C:\\Browser\\browser.exe",
                      "http://localhost/ViewLogbook.aspx?user=QQ9XYZ/P", nullptr, SW_SHOW);
    EXPECT_GT(reinterpret_cast<ULONG_PTR>(r), 32u);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].operation, "open");
    EXPECT_EQ(launches[0].file, "C:\\Browser\\browser.exe");
    EXPECT_EQ(launches[0].parameters, "http://localhost/ViewLogbook.aspx?user=QQ9XYZ/P");
    EXPECT_EQ(launches[0].directory, "");
    EXPECT_EQ(launches[0].showCmd, SW_SHOW);

    // An empty program is refused before any launch.
    r = ShellExecuteA(nullptr, "open", "", "x", nullptr, SW_SHOW);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(r), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(launches.size(), 1u);

    platform::testing::SetShellLauncher(
        [](const platform::testing::ShellLaunch&) { return false; });
    r = ShellExecuteA(nullptr, "open", "/somewhere/browser", "x", nullptr, SW_SHOW);
    EXPECT_LE(reinterpret_cast<ULONG_PTR>(r), 32u);
}

// Zombie children of this process, from /proc.
// Children of this process; with `zombiesOnly`, those that ended and were
// not reaped.
int Children(bool zombiesOnly) {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    std::string me = std::to_string(getpid());
    while (dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        std::string ppid;
        std::istringstream rest(line.substr(close + 2));
        rest >> state >> ppid;
        if (ppid == me && (state == 'Z' || !zombiesOnly))
            ++count;
    }
    closedir(proc);
    return count;
}

TEST_F(ShellExecute, RealSpawnSucceedsAndLeavesNoZombie) {
    HINSTANCE r =
        ShellExecuteA(nullptr, "open", "/bin/true", "http://localhost/", nullptr, SW_SHOW);
    EXPECT_GT(reinterpret_cast<ULONG_PTR>(r), 32u);
    // The program runs, ends and is reaped, each when the scheduler lets it:
    // wait until no child is left at all, not merely until none is a zombie
    // (which is also true before the program has ended).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Children(false) > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Children(false), 0);
    EXPECT_EQ(Children(true), 0);
}

TEST_F(ShellExecute, ProgramThatCannotStartGivesAValueOf32OrLess) {
    for (const char* file : {"/nonexistent/browser", "no-such-program-anywhere"}) {
        HINSTANCE r = ShellExecuteA(nullptr, "open", file, "x", nullptr, SW_SHOW);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(r), ERROR_FILE_NOT_FOUND) << file;
    }
    HINSTANCE r = ShellExecuteA(nullptr, "print", "/bin/true", "x", nullptr, SW_SHOW);
    EXPECT_LE(reinterpret_cast<ULONG_PTR>(r), 32u);
}

} // namespace

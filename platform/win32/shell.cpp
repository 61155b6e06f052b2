// ShellExecuteA for the verb "open": starts a program detached from ours,
// with the parameter text as its one argument.
#include "platform/win32/testing.h"
#include "platform/win32/windows.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// ShellExecute's results: above 32 is success; these are its failures.
constexpr ULONG_PTR kShellSuccess = 42;
constexpr ULONG_PTR SE_ERR_FNF = 2;
constexpr ULONG_PTR SE_ERR_ACCESSDENIED = 5;
constexpr ULONG_PTR SE_ERR_NOASSOC = 31;

std::mutex gLauncherLock;
platform::testing::ShellLauncher gLauncher;

HINSTANCE Result(ULONG_PTR code) {
    return reinterpret_cast<HINSTANCE>(code);
}

bool IsOpenVerb(LPCSTR operation) {
    if (!operation || !*operation)
        return true; // the default verb, which is "open" for programs
    return strcasecmp(operation, "open") == 0;
}

// Spawns the program in a session of its own (so that our terminal's
// signals do not reach it) and reaps it from a detached thread when it ends,
// so that it never lingers as a zombie. Returns 0 or an errno value.
int SpawnDetached(const std::string& file, const std::string& parameters,
                  const std::string& directory) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    // The program gets no access to our standard input.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // Nothing of our signal set-up is inherited: no blocked signals, and a
    // SIGPIPE we may ignore is back to its default.
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);

    std::string program = file;
    std::string argument = parameters;
    char* argv[3] = {program.data(), nullptr, nullptr};
    if (!argument.empty())
        argv[1] = argument.data();
    pid_t pid = 0;
    // A bare name is looked up in PATH, as the shell finds programs.
    int rc = file.find('/') == std::string::npos
                 ? posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ)
                 : posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return rc;
    try {
        std::thread([pid] {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread for the reaper: the program still runs; it only stays a
        // zombie after it ends, until we do.
    }
    return 0;
}

} // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT showCmd) {
    if (!IsOpenVerb(operation)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Result(SE_ERR_NOASSOC);
    }
    if (!file || !*file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return Result(SE_ERR_FNF);
    }
    platform::testing::ShellLauncher launcher;
    {
        std::lock_guard lock(gLauncherLock);
        launcher = gLauncher;
    }
    std::string params = parameters ? parameters : "";
    std::string dir = directory ? directory : "";
    if (launcher) {
        platform::testing::ShellLaunch launch{operation ? operation : "", file, params, dir,
                                              showCmd};
        if (launcher(launch))
            return Result(kShellSuccess);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return Result(SE_ERR_FNF);
    }
    int rc = SpawnDetached(file, params, dir);
    if (rc == 0)
        return Result(kShellSuccess);
    if (rc == EACCES || rc == EPERM) {
        SetLastError(ERROR_ACCESS_DENIED);
        return Result(SE_ERR_ACCESSDENIED);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return Result(SE_ERR_FNF);
}

namespace platform::testing {

void SetShellLauncher(ShellLauncher launcher) {
    std::lock_guard lock(gLauncherLock);
    gLauncher = std::move(launcher);
}

} // namespace platform::testing

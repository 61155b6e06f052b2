// The per-user runtime folder Qt asks for as it starts.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// Without a login session (under xvfb-run, from cron, through su) the
// environment names no runtime folder, and Qt says so on every start
// ("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to ...") before it
// takes its own fallback, TMPDIR/runtime-USER. Named beforehand, the same
// folder is taken without a word. It is named only when it is ours and
// private (made so when missing); otherwise Qt's warning stands, since
// something is then really wrong. Call it before the application object.
inline void NameRuntimeDirWhenUnset() {
    const char* set = std::getenv("XDG_RUNTIME_DIR");
    if (set && *set)
        return;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    const uid_t uid = geteuid();
    const passwd* user = getpwuid(uid);
    dir += "/runtime-" + (user ? std::string(user->pw_name) : std::to_string(uid));
    ::mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
        (st.st_mode & 0777) == 0700)
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

// Runs one of the build's programs as a child process, the way a user runs
// it from a shell, and collects what it wrote and how it ended. Programs are
// looked up beside the test executable (the build puts them all in bin/).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testpeer {

struct ChildResult {
    int ExitCode = -1;    // -1 when the program did not exit by itself
    int Signal = 0;       // the signal that ended it, 0 when it exited
    std::string Out, Err; // standard output (see KeepOut) and standard error
    std::int64_t OutBytes = 0;
    long MaxRssKiB = 0;    // the child's peak resident memory
    bool TimedOut = false; // killed after the time allowed
};

struct ChildOptions {
    std::string Input;             // written to its standard input, then closed
    std::size_t KeepOut = 1 << 20; // bytes of standard output kept in Out; the rest is counted
    int TimeoutMs = 20000;         // killed (SIGKILL) after this long
    std::vector<std::string> Env;  // "NAME=value" added to the environment
};

// The path of a program of the build (beside the running test executable).
std::string BuildProgram(const std::string& name);

// Runs `argv` (argv[0] a path) and waits for it to end.
ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

// A program left running while the test talks to it (a server). Its
// standard output and error are collected together; the destructor kills
// it if Stop() was not called, so a failed assertion leaves nothing behind.
class BackgroundChild {
public:
    explicit BackgroundChild(const std::vector<std::string>& argv);
    ~BackgroundChild();
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;

    bool Started() const { return FPid > 0; }
    int Pid() const { return FPid; }
    // False once it has ended (it is then reaped).
    bool Running();
    // Waits until its output holds `text`; false when it ended or time ran out.
    bool WaitForOutput(const std::string& text, int ms);
    const std::string& Output() const { return FOutput; }
    // SIGTERM, then waits for the end; the exit status, -1 for a signal.
    int Stop();

private:
    int FPid = -1;
    int FFd = -1;
    std::string FOutput;
};

// A loopback port that was free a moment ago (bound to port 0, then released),
// for programs that must be told their port.
std::uint16_t FreePort();

} // namespace testpeer

// A real server program from the distribution (nginx, tinyproxy, ...) run
// for one test on a loopback port of its own, with its configuration and
// files in a temporary folder, and stopped by its process id.
#pragma once

#include "tests/support/child_process.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace testpeer {

// The program's path when it is installed (searched in the sbin folders and
// PATH), else "".
std::string FindProgram(const std::string& name);

// The loopback TCP ports process `pid` listens on, read from /proc.
std::set<std::uint16_t> ListeningPorts(int pid);

class ServerProcess {
public:
    // Writes the configuration for `port` into `dir` and gives the command
    // line that starts the server in the foreground.
    using Launch =
        std::function<std::vector<std::string>(const std::string& dir, std::uint16_t port)>;
    explicit ServerProcess(Launch launch);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The temporary folder, for files the server serves or writes.
    const std::string& Dir() const { return FDir; }
    // Starts it on a port that was free a moment ago and waits until the
    // server itself listens there; another program that took the port in
    // between makes it try another. False when it never came up.
    bool Start(int waitMs = 10000);
    std::uint16_t Port() const { return FPort; }
    // What it wrote to standard output and error.
    std::string Output() const { return FChild ? FChild->Output() : std::string(); }
    // SIGTERM and wait; the folder stays until the object goes.
    void Stop();

private:
    Launch FLaunch;
    std::string FDir;
    std::uint16_t FPort = 0;
    std::unique_ptr<BackgroundChild> FChild;
};

} // namespace testpeer

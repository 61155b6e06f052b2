#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testpeer {

std::string BuildProgram(const std::string& name) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
    return self.substr(0, self.rfind('/') + 1) + name;
}

ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    ChildResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), options.Env.begin(), options.Env.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        result.Err = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
        return result;
    }

    // Feed the input while reading both outputs, so no pipe fills up.
    std::size_t inputPos = 0;
    int inFd = in[1];
    if (options.Input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.TimeoutMs);
    int outFd = out[0], errFd = err[0];
    std::vector<char> buffer(1 << 16);
    while (outFd >= 0 || errFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.TimedOut = true;
            break;
        }
        pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n =
                write(inFd, options.Input.data() + inputPos, options.Input.size() - inputPos);
            if (n > 0)
                inputPos += static_cast<std::size_t>(n);
            if (n < 0 || inputPos == options.Input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? outFd : errFd;
            if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n <= 0) {
                close(fd);
                fd = -1;
                continue;
            }
            if (i == 1) {
                result.Err.append(buffer.data(), static_cast<std::size_t>(n));
                continue;
            }
            result.OutBytes += n;
            std::size_t keep =
                options.KeepOut > result.Out.size() ? options.KeepOut - result.Out.size() : 0;
            result.Out.append(buffer.data(), std::min(keep, static_cast<std::size_t>(n)));
        }
    }
    for (int fd : {inFd, outFd, errFd})
        if (fd >= 0)
            close(fd);

    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.MaxRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status))
        result.ExitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.Signal = WTERMSIG(status);
    return result;
}

BackgroundChild::BackgroundChild(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return;
    }
    FPid = pid;
    FFd = out[0];
}

BackgroundChild::~BackgroundChild() {
    if (FPid > 0) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
    }
    if (FFd >= 0)
        close(FFd);
}

bool BackgroundChild::WaitForOutput(const std::string& text, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buffer[4096];
    while (FOutput.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (FFd < 0 || left.count() <= 0)
            return false;
        pollfd p{FFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t n = read(FFd, buffer, sizeof buffer);
        if (n <= 0) {
            close(FFd);
            FFd = -1;
            continue;
        }
        FOutput.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool BackgroundChild::Running() {
    if (FPid <= 0)
        return false;
    if (waitpid(FPid, nullptr, WNOHANG) != FPid)
        return true;
    FPid = -1;
    return false;
}

int BackgroundChild::Stop() {
    if (FPid <= 0)
        return -1;
    kill(FPid, SIGTERM);
    int status = 0;
    while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    // What it wrote while stopping: the pipe holds it up to the end of file.
    char buffer[4096];
    pollfd p{FFd, POLLIN, 0};
    while (FFd >= 0 && poll(&p, 1, 0) > 0) {
        ssize_t n = read(FFd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        FOutput.append(buffer, static_cast<std::size_t>(n));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

} // namespace testpeer

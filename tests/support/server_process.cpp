#include "tests/support/server_process.h"

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace testpeer {

std::string FindProgram(const std::string& name) {
    std::string dirs = "/usr/sbin:/usr/local/sbin:/sbin:/usr/bin";
    if (const char* path = std::getenv("PATH"))
        dirs += std::string(":") + path;
    std::stringstream ss(dirs);
    for (std::string dir; std::getline(ss, dir, ':');) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

std::set<std::uint16_t> ListeningPorts(int pid) {
    // The socket inodes among its descriptors ...
    std::set<std::string> inodes;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = ::opendir(fdDir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            char target[64] = {};
            std::string link = fdDir + "/" + e->d_name;
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                std::string(target).rfind("socket:[", 0) == 0)
                inodes.insert(std::string(target).substr(8, std::string(target).size() - 9));
        }
        ::closedir(d);
    }
    // ... that the TCP table lists as listening.
    std::set<std::uint16_t> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && inodes.count(inode) && local.size() > 9)
            ports.insert(static_cast<std::uint16_t>(std::stoul(local.substr(9), nullptr, 16)));
    }
    return ports;
}

ServerProcess::ServerProcess(Launch launch) : FLaunch(std::move(launch)) {
    std::string dir = (std::filesystem::temp_directory_path() / "logbook_server_XXXXXX").string();
    if (::mkdtemp(dir.data()))
        FDir = dir;
}

ServerProcess::~ServerProcess() {
    Stop();
    if (!FDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }
}

bool ServerProcess::Start(int waitMs) {
    if (FDir.empty())
        return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        FPort = FreePort();
        FChild = std::make_unique<BackgroundChild>(FLaunch(FDir, FPort));
        for (int waited = 0; FChild->Started() && waited < waitMs; waited += 10) {
            if (!FChild->Running())
                break; // it gave up: the port was taken, or the configuration
            if (ListeningPorts(FChild->Pid()).count(FPort))
                return true;
            ::usleep(10000);
        }
        Stop();
    }
    return false;
}

void ServerProcess::Stop() {
    if (FChild && FChild->Running())
        FChild->Stop();
}

} // namespace testpeer

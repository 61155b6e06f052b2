#include "tests/support/scripted_peer.h"

#include "framework/application.h"
#include "platform/win32/reactor.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testpeer {

Step Send(std::string bytes) {
    return Step{Step::Kind::Send, std::move(bytes)};
}
Step SendFiller(std::size_t total) {
    return Step{Step::Kind::SendFiller, {}, total};
}
Step WaitBytes(std::size_t total) {
    return Step{Step::Kind::WaitBytes, {}, total};
}
Step WaitFor(std::string text) {
    return Step{Step::Kind::WaitFor, std::move(text)};
}
Step Pause(int ms) {
    return Step{Step::Kind::Pause, {}, 0, ms};
}
Step Close() {
    return Step{Step::Kind::Close, {}};
}
Step Reset() {
    return Step{Step::Kind::Reset, {}};
}
Step NeverAnswer() {
    return Step{Step::Kind::NeverAnswer, {}};
}
Step ReadSlowly(std::size_t bytesPerRead, int msBetween) {
    return Step{Step::Kind::ReadSlowly, {}, bytesPerRead, msBetween};
}
Step ReadSlowlyTo(std::size_t total, std::size_t bytesPerRead, int msBetween) {
    return Step{Step::Kind::ReadSlowlyTo, {}, total, msBetween, bytesPerRead};
}
std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

Step SetReceiveBuf(int bytes) {
    return Step{Step::Kind::SetReceiveBuf, {}, static_cast<std::size_t>(bytes)};
}

struct ScriptedPeer::Connection {
    int Fd = -1;
    int Index = 0;      // in the order of acceptance
    std::string Bytes;  // what this connection received
    bool Ended = false; // end of stream or error seen
};

ScriptedPeer::ScriptedPeer(int receiveBuffer) {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListenFd < 0)
        throw std::runtime_error("scripted peer: socket failed");
    int on = 1;
    ::setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0)
        ::setsockopt(FListenFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(FListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListenFd, 16) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(FListenFd);
        throw std::runtime_error("scripted peer: cannot listen on 127.0.0.1");
    }
    FPort = ntohs(addr.sin_port);
    FStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
    Stop();
}

void ScriptedPeer::Stop() {
    {
        std::lock_guard lock(FLock);
        if (FStopping && !FAcceptThread.joinable())
            return;
        FStopping = true;
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto w = ::write(FStopFd, &one, sizeof one);
    if (FAcceptThread.joinable())
        FAcceptThread.join();
    for (auto& t : FConnThreads)
        if (t.joinable())
            t.join();
    FConnThreads.clear();
    if (FListenFd >= 0)
        ::close(FListenFd);
    FListenFd = -1;
    FChanged.notify_all();
}

void ScriptedPeer::Script(std::vector<Step> steps) {
    std::lock_guard lock(FLock);
    FScript = std::move(steps);
    FScripts.clear();
}

void ScriptedPeer::ScriptEach(std::vector<std::vector<Step>> scripts) {
    std::lock_guard lock(FLock);
    FScripts.assign(scripts.begin(), scripts.end());
    if (!FScripts.empty())
        FScript = FScripts.back();
}

bool ScriptedPeer::Stopping() const {
    std::lock_guard lock(FLock);
    return FStopping;
}

void ScriptedPeer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{FListenFd, POLLIN, 0}, {FStopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::vector<Step> script;
            int index = 0;
            {
                std::lock_guard lock(FLock);
                index = FConnections++;
                FReceivedOn.emplace_back();
                // The script is chosen in the order of acceptance.
                if (FScripts.size() > 1) {
                    script = std::move(FScripts.front());
                    FScripts.pop_front();
                } else {
                    script = FScript;
                }
            }
            FChanged.notify_all();
            FConnThreads.emplace_back([this, fd, index, script = std::move(script)] {
                RunConnection(fd, index, script);
            });
        }
    }
}

// Waits up to timeoutMs for data, then reads at most maxBytes. Returns false
// when the connection ended or the peer is stopping.
bool ScriptedPeer::ReadSome(Connection& c, std::size_t maxBytes, int timeoutMs) {
    if (c.Ended)
        return false;
    pollfd fds[2] = {{c.Fd, POLLIN, 0}, {FStopFd, POLLIN, 0}};
    int r = ::poll(fds, 2, timeoutMs);
    if (r < 0)
        return errno == EINTR;
    if (fds[1].revents)
        return false;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
        return true; // timed out; still open
    char buf[65536];
    std::size_t want = maxBytes < sizeof buf ? maxBytes : sizeof buf;
    ssize_t n = ::recv(c.Fd, buf, want, 0);
    if (n > 0) {
        c.Bytes.append(buf, static_cast<std::size_t>(n));
        {
            std::lock_guard lock(FLock);
            FReceived.append(buf, static_cast<std::size_t>(n));
            FReceivedOn[static_cast<std::size_t>(c.Index)].append(buf, static_cast<std::size_t>(n));
        }
        FChanged.notify_all();
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    c.Ended = true;
    {
        std::lock_guard lock(FLock);
        ++FClosedByClient;
    }
    FChanged.notify_all();
    return false;
}

void ScriptedPeer::RunConnection(int fd, int index, const std::vector<Step>& script) {
    Connection c;
    c.Fd = fd;
    c.Index = index;
    bool open = true; // our side still open
    auto readToEnd = [&](std::size_t chunk, int pauseMs) {
        while (ReadSome(c, chunk, 50)) {
            if (pauseMs > 0) {
                pollfd stop{FStopFd, POLLIN, 0};
                if (::poll(&stop, 1, pauseMs) > 0)
                    return;
            }
        }
    };
    for (const Step& step : script) {
        if (!open || Stopping())
            break;
        switch (step.What) {
        case Step::Kind::Send: {
            std::size_t off = 0;
            while (off < step.Data.size() && !Stopping()) {
                ssize_t n =
                    ::send(fd, step.Data.data() + off, step.Data.size() - off, MSG_NOSIGNAL);
                if (n > 0) {
                    off += static_cast<std::size_t>(n);
                    FLastSent = std::chrono::steady_clock::now().time_since_epoch().count();
                } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    break;
                }
            }
            break;
        }
        case Step::Kind::SendFiller: {
            // One period-aligned block, sent again and again.
            std::string block(23 * 4096, '\0');
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = FillerByte(i);
            std::size_t left = step.Count;
            std::size_t pos = 0; // position within the block
            while (left > 0 && !Stopping()) {
                std::size_t n = std::min(left, block.size() - pos);
                ssize_t sent = ::send(fd, block.data() + pos, n, MSG_NOSIGNAL);
                if (sent > 0) {
                    FLastSent = std::chrono::steady_clock::now().time_since_epoch().count();
                    left -= static_cast<std::size_t>(sent);
                    pos = (pos + static_cast<std::size_t>(sent)) % block.size();
                } else if (sent < 0 && errno != EINTR && errno != EAGAIN) {
                    break;
                }
            }
            break;
        }
        case Step::Kind::WaitBytes:
            while (c.Bytes.size() < step.Count && ReadSome(c, SIZE_MAX, 50)) {
            }
            break;
        case Step::Kind::WaitFor:
            while (c.Bytes.find(step.Data) == std::string::npos && ReadSome(c, SIZE_MAX, 50)) {
            }
            break;
        case Step::Kind::Pause: {
            pollfd stop{FStopFd, POLLIN, 0};
            ::poll(&stop, 1, step.Ms);
            break;
        }
        case Step::Kind::Close:
            // No more sends; read what the other side still sends so that
            // closing with unread bytes does not turn into a reset.
            ::shutdown(fd, SHUT_WR);
            readToEnd(SIZE_MAX, 0);
            open = false;
            break;
        case Step::Kind::Reset: {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
            fd = -1;
            open = false;
            {
                std::lock_guard lock(FLock);
                ++FResets;
            }
            FChanged.notify_all();
            break;
        }
        case Step::Kind::NeverAnswer:
            readToEnd(SIZE_MAX, 0);
            break;
        case Step::Kind::ReadSlowly:
            readToEnd(step.Count == 0 ? 1 : step.Count, step.Ms);
            break;
        case Step::Kind::ReadSlowlyTo:
            while (c.Bytes.size() < step.Count &&
                   ReadSome(
                       c,
                       std::min(std::max<std::size_t>(step.Chunk, 1), step.Count - c.Bytes.size()),
                       50)) {
                pollfd stop{FStopFd, POLLIN, 0};
                if (::poll(&stop, 1, step.Ms) > 0)
                    break;
            }
            break;
        case Step::Kind::SetReceiveBuf: {
            int size = static_cast<int>(step.Count);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            break;
        }
        }
    }
    if (fd >= 0) {
        if (open)
            readToEnd(SIZE_MAX, 0);
        ::close(fd);
    }
}

std::string ScriptedPeer::Received() const {
    std::lock_guard lock(FLock);
    return FReceived;
}

std::string ScriptedPeer::ReceivedOn(int connection) const {
    std::lock_guard lock(FLock);
    if (connection < 0 || static_cast<std::size_t>(connection) >= FReceivedOn.size())
        return std::string();
    return FReceivedOn[static_cast<std::size_t>(connection)];
}

std::size_t ScriptedPeer::ReceivedCount() const {
    std::lock_guard lock(FLock);
    return FReceived.size();
}

int ScriptedPeer::Connections() const {
    std::lock_guard lock(FLock);
    return FConnections;
}

int ScriptedPeer::ClosedByClient() const {
    std::lock_guard lock(FLock);
    return FClosedByClient;
}

bool ScriptedPeer::WaitCondition(const std::function<bool()>& pred, int ms) const {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(ms), pred);
}

std::chrono::steady_clock::time_point ScriptedPeer::LastSent() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(FLastSent));
}

bool ScriptedPeer::WaitForBytes(std::size_t n, int ms) const {
    return WaitCondition([&] { return FReceived.size() >= n; }, ms);
}

bool ScriptedPeer::WaitForText(const std::string& text, int ms) const {
    return WaitCondition([&] { return FReceived.find(text) != std::string::npos; }, ms);
}

bool ScriptedPeer::WaitForConnections(int n, int ms) const {
    return WaitCondition([&] { return FConnections >= n; }, ms);
}

bool ScriptedPeer::WaitForClientClose(int n, int ms) const {
    return WaitCondition([&] { return FClosedByClient >= n; }, ms);
}

bool ScriptedPeer::WaitForResets(int n, int ms) const {
    return WaitCondition([&] { return FResets >= n; }, ms);
}

std::uint16_t RefusedPort() {
    // Bound and never listening, for the whole run: a connection is refused
    // (reset), and no server of another test can take the port meanwhile, nor
    // the system hand it out for a connection of its own.
    static const std::uint16_t port = [] {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }();
    return port;
}

ManualListener::ManualListener() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(FFd, 0); // one queued connection fills it
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
}

ManualListener::~ManualListener() {
    if (FFiller >= 0)
        ::close(FFiller);
    ::close(FFd);
}

void ManualListener::FillQueue() {
    FFiller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(FPort);
    ::connect(FFiller, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

void ManualListener::FreeQueue() {
    int fd = ::accept(FFd, nullptr, nullptr);
    if (fd >= 0)
        ::close(fd);
}

bool ManualListener::WaitPending(int ms) {
    pollfd p{FFd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

bool ManualListener::AcceptAndReset() {
    int fd = ::accept(FFd, nullptr, nullptr);
    if (fd < 0)
        return false;
    linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
    return true;
}

} // namespace testpeer

bool PumpUntil(const std::function<bool()>& cond, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        PumpPlatformMessages();
        if (cond())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return cond();
        long long wait = left < 50 ? left : 50;
        DWORD toTimer = platform::MillisecondsToNextTimer();
        if (toTimer != INFINITE && static_cast<long long>(toTimer) < wait)
            wait = toTimer;
        pollfd p{platform::ThreadWaitHandle(), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(wait));
    }
}

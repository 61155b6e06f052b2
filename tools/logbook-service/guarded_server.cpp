#include "guarded_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

namespace logbook {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits are cut into slices of this length so that a stopping server is
// noticed while a client keeps a connection quiet.
constexpr int kSliceMs = 50;
// Threads beyond the connection limit, so that a refusal is answered within
// the grace below instead of waiting for a served connection to end.
constexpr std::size_t kRefusalThreads = 8;
// How long a connection that finds every slot taken waits for one before it
// is refused. A client that reconnects the moment its answer is complete
// may come before the thread that served it has closed its connection and
// given the slot back, and a kept connection that waits idle for another
// request gives its slot up to a waiting one (as HTTP lets a server close an
// idle connection at any time); neither must cost the newcomer a refusal.
constexpr milliseconds kSlotGrace(250);

const char* ReasonOf(int status) {
    switch (status) {
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}

int RemainingMs(Clock::time_point until) {
    auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits for `events` on `fd` until `until`, in slices, giving up when
// `stopping` says so. Returns the poll result: 1 ready, 0 time is up, -1 error.
int WaitFor(int fd, short events, Clock::time_point until, const std::function<bool()>& stopping) {
    for (;;) {
        if (stopping && stopping())
            return -1;
        int left = RemainingMs(until);
        if (left == 0)
            return 0;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, std::min(left, kSliceMs));
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

bool SendAll(int fd, const std::string& bytes, milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    std::size_t off = 0;
    while (off < bytes.size()) {
        if (WaitFor(fd, POLLOUT, until, nullptr) != 1)
            return false;
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n > 0)
            off += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
    }
    return true;
}

void SendRefusal(int fd, int status) {
    const std::string reason = ReasonOf(status);
    const std::string body = reason + "\n";
    SendAll(fd,
            "HTTP/1.1 " + std::to_string(status) + " " + reason +
                "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body,
            milliseconds(1000));
}

// Closes a refused connection without resetting it: closing with unread bytes
// would send a reset that can destroy the refusal before the client reads it.
// What the client still sends is read and dropped, for a short while.
void LingeringClose(int fd) {
    ::shutdown(fd, SHUT_WR);
    const auto until = Clock::now() + milliseconds(500);
    std::size_t dropped = 0;
    char buf[16384];
    while (dropped < 1024 * 1024 && WaitFor(fd, POLLIN, until, nullptr) == 1) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            break;
        if (n > 0)
            dropped += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void AddressOf(const sockaddr_storage& addr, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
        ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        port = ntohs(a.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
        ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        port = ntohs(a.sin6_port);
    }
    ip = text;
}

// The connection as the server's request reader sees it. It counts what one
// request hands out, header and body apart, against their caps, and holds the
// request's deadline; past a bound it answers the refusal itself and fails
// every later read and write, so the server's own error answer is dropped.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(int fd, const ServerLimits& limits, milliseconds writeTimeout,
                  std::function<bool()> stopping)
        : FFd(fd), FLimits(limits), FWriteTimeout(writeTimeout), FStopping(std::move(stopping)) {}

    // Waits at most `idle` for the next request on a kept connection, giving
    // up when `giveUp` says so.
    bool WaitForRequest(milliseconds idle, const std::function<bool()>& giveUp) {
        return FBegin < FEnd || WaitFor(FFd, POLLIN, Clock::now() + idle, giveUp) == 1;
    }

    // Starts the clock and the counts of one request.
    void BeginRequest() {
        FDeadline = Clock::now() + FLimits.RequestTimeout;
        FInHeader = true;
        FHeaderBytes = FBodyBytes = FLineLength = 0;
        FStatusLine.clear();
    }

    int RefusedWith() const { return FRefused; }

    // Whether the answer written for this request says it could not be read
    // whole (the library's 400, 413, 414 or 431): the bytes after it are no
    // request, and a second answer to them would only mislead the client.
    bool AnsweredUnreadable() const {
        if (FStatusLine.size() < kStatusLineStart)
            return false;
        const std::string code = FStatusLine.substr(9, 3);
        return code == "400" || code == "413" || code == "414" || code == "431";
    }

    bool is_readable() const override {
        return FRefused == 0 && (FBegin < FEnd || WaitFor(FFd, POLLIN, FDeadline, FStopping) == 1);
    }
    bool is_writable() const override {
        return FRefused == 0 && WaitFor(FFd, POLLOUT, Clock::now() + FWriteTimeout, FStopping) == 1;
    }

    ssize_t read(char* ptr, size_t size) override {
        if (FRefused)
            return -1;
        if (FBegin == FEnd) {
            ssize_t n = Fill();
            if (n <= 0)
                return n;
        }
        std::size_t n = std::min(size, FEnd - FBegin);
        if (!Count(FBuffer + FBegin, n))
            return -1;
        std::memcpy(ptr, FBuffer + FBegin, n);
        FBegin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable())
            return -1;
        if (FStatusLine.size() < kStatusLineStart)
            FStatusLine.append(ptr, std::min(size, kStatusLineStart - FStatusLine.size()));
        ssize_t n;
        do
            n = ::send(FFd, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getpeername(FFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            AddressOf(addr, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            AddressOf(addr, ip, port);
    }
    socket_t socket() const override { return FFd; }

private:
    void Refuse(int status) {
        FRefused = status;
        SendRefusal(FFd, status);
    }

    // Reads what the socket has into the empty buffer: the count, 0 at the
    // end of the stream, -1 on an error, when stopping or past the deadline.
    ssize_t Fill() {
        for (;;) {
            int ready = WaitFor(FFd, POLLIN, FDeadline, FStopping);
            if (ready == 0)
                Refuse(408);
            if (ready != 1)
                return -1;
            ssize_t n = ::recv(FFd, FBuffer, sizeof FBuffer, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n > 0) {
                FBegin = 0;
                FEnd = static_cast<std::size_t>(n);
            }
            return n;
        }
    }

    // Counts bytes about to be handed out; false (refused) past a cap. The
    // header ends at its first empty line, whatever pieces it is read in.
    bool Count(const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!FInHeader) {
                if (++FBodyBytes > FLimits.MaxBodyBytes) {
                    Refuse(413);
                    return false;
                }
                continue;
            }
            if (++FHeaderBytes > FLimits.MaxHeaderBytes) {
                Refuse(431);
                return false;
            }
            if (p[i] == '\n') {
                if (FLineLength == 0)
                    FInHeader = false;
                FLineLength = 0;
            } else if (p[i] != '\r') {
                ++FLineLength;
            }
        }
        return true;
    }

    int FFd;
    const ServerLimits& FLimits;
    milliseconds FWriteTimeout;
    std::function<bool()> FStopping;
    Clock::time_point FDeadline = Clock::now();
    char FBuffer[16384];
    std::size_t FBegin = 0, FEnd = 0;
    bool FInHeader = true;
    std::size_t FHeaderBytes = 0, FBodyBytes = 0, FLineLength = 0;
    int FRefused = 0;
    // "HTTP/1.1 400": the start of the answer to the current request.
    static constexpr std::size_t kStatusLineStart = 12;
    std::string FStatusLine;
};

} // namespace

GuardedServer::GuardedServer(ServerLimits limits) : FLimits(limits) {
    new_task_queue = [this] {
        return new httplib::ThreadPool(static_cast<std::size_t>(FLimits.MaxConnections) +
                                       kRefusalThreads);
    };
    FLimits.MaxBodyBytes =
        std::min<std::size_t>(FLimits.MaxBodyBytes, CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH);
    set_payload_max_length(FLimits.MaxBodyBytes);
}

int GuardedServer::ActiveConnections() const {
    std::lock_guard lock(FSlotLock);
    return FActive;
}

bool GuardedServer::TakeSlot() {
    std::unique_lock lock(FSlotLock);
    ++FWaiting;
    const bool free =
        FSlotFreed.wait_for(lock, kSlotGrace, [this] { return FActive < FLimits.MaxConnections; });
    --FWaiting;
    FActive += free;
    return free;
}

bool GuardedServer::YieldSlot() {
    std::lock_guard lock(FSlotLock);
    // One idle connection for each waiting one that neither a free slot nor
    // another closing connection already serves, not all of them.
    if (FWaiting <= FYielding + (FLimits.MaxConnections - FActive))
        return false;
    ++FYielding;
    return true;
}

void GuardedServer::ReleaseSlot(bool yielded) {
    {
        std::lock_guard lock(FSlotLock);
        --FActive;
        FYielding -= yielded;
    }
    FSlotFreed.notify_one();
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    if (!TakeSlot()) {
        SendRefusal(sock, 503);
        LingeringClose(sock);
        return false;
    }
    const milliseconds writeTimeout(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000);
    // The slot is given back however this ends, after the connection is closed.
    bool yielded = false;
    struct TSlot {
        GuardedServer& Server;
        const bool& Yielded;
        ~TSlot() { Server.ReleaseSlot(Yielded); }
    } slot{*this, yielded};
    GuardedStream strm(sock, FLimits, writeTimeout, [this] { return Stopping(); });
    bool ok = false;
    const auto idleEnds = [&] { return Stopping() || (yielded = YieldSlot()); };
    // The first request's clock starts at once: a client that connects and
    // stays silent is refused like one that trickles.
    for (std::size_t left = keep_alive_max_count_; left > 0 && !Stopping(); --left) {
        if (left != keep_alive_max_count_ &&
            !strm.WaitForRequest(FLimits.KeepAliveTimeout, idleEnds))
            break;
        strm.BeginRequest();
        bool closed = false;
        ok = process_request(strm, left == 1, closed, nullptr);
        if (!ok || closed || strm.RefusedWith() != 0 || strm.AnsweredUnreadable())
            break;
    }
    if (strm.RefusedWith() != 0 || strm.AnsweredUnreadable()) {
        LingeringClose(sock);
    } else {
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
    }
    return ok;
}

} // namespace logbook

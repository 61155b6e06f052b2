// The HTTP server of the stand-in logbook, bounded in what one client can
// hold: a whole request must arrive within a time limit, its header and body
// are capped, and only so many connections are served at once. A client past
// a bound gets the matching status and the connection is closed:
//   408 Request Timeout                  the request was not complete in time
//   413 Payload Too Large                the body passed its cap
//   431 Request Header Fields Too Large  the request line and fields passed theirs
//   503 Service Unavailable              every connection slot was taken
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>

namespace logbook {

struct ServerLimits {
    // From the first byte awaited to the last byte of the body; a client that
    // trickles cannot hold a connection longer.
    std::chrono::milliseconds RequestTimeout{10000};
    // How long a kept connection may stay idle between requests.
    std::chrono::milliseconds KeepAliveTimeout{5000};
    std::size_t MaxHeaderBytes = 16 * 1024;
    std::size_t MaxBodyBytes = 64 * 1024;
    int MaxConnections = 32;
};

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(ServerLimits limits = {});
    const ServerLimits& Limits() const { return FLimits; }
    // Connections being served now (refused ones are not counted).
    int ActiveConnections() const { return FActive.load(); }

private:
    bool process_and_close_socket(socket_t sock) override;
    bool Stopping() const { return svr_sock_ == INVALID_SOCKET; }

    ServerLimits FLimits;
    std::atomic<int> FActive{0};
};

} // namespace logbook

// The HTTP server of the stand-in logbook, bounded in what one client can
// hold: a whole request must arrive within a time limit, its header and body
// are capped, and only so many connections are served at once. A client past
// a bound gets the matching status and the connection is closed:
//   400 Bad Request                      the request could not be read (a NUL,
//                                        a bare LF, a broken request line)
//   408 Request Timeout                  the request was not complete in time
//   413 Payload Too Large                the body passed its cap
//   431 Request Header Fields Too Large  the request line and fields passed theirs
//   503 Service Unavailable              every connection slot stayed taken
// A refused or unreadable request is answered once and its connection closed
// at once: what follows it on the connection cannot be told apart from it.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace logbook {

struct ServerLimits {
    // From the first byte awaited to the last byte of the body; a client that
    // trickles cannot hold a connection longer.
    std::chrono::milliseconds RequestTimeout{10000};
    // How long a kept connection may stay idle between requests.
    std::chrono::milliseconds KeepAliveTimeout{5000};
    std::size_t MaxHeaderBytes = 16 * 1024;
    // Every body, whatever its type, and at most 8,192 bytes: the library
    // refuses a form body past its own cap (CPPHTTPLIB_FORM_URL_ENCODED_
    // PAYLOAD_MAX_LENGTH), fixed when Debian's libcpp-httplib was compiled.
    // An upload is a few hundred bytes.
    std::size_t MaxBodyBytes = 8 * 1024;
    int MaxConnections = 32;
};

class GuardedServer : public httplib::Server {
public:
    // A MaxBodyBytes above the library's form cap is lowered to it.
    explicit GuardedServer(ServerLimits limits = {});
    const ServerLimits& Limits() const { return FLimits; }
    // Connections being served now (refused ones are not counted).
    int ActiveConnections() const;

private:
    bool process_and_close_socket(socket_t sock) override;
    bool Stopping() const { return svr_sock_ == INVALID_SOCKET; }
    // A slot for a new connection, waiting a short while when none is free.
    bool TakeSlot();
    // Whether an idle kept connection should close to free its slot for a
    // waiting connection; counted until its ReleaseSlot(true).
    bool YieldSlot();
    void ReleaseSlot(bool yielded);

    ServerLimits FLimits;
    mutable std::mutex FSlotLock; // guards the counts below
    std::condition_variable FSlotFreed;
    int FActive = 0;   // connections holding a slot
    int FWaiting = 0;  // connections waiting for one
    int FYielding = 0; // idle connections closing for them
};

} // namespace logbook

// Every way the upload server can fail an exchange, for the tests that run
// them all through PostToServer: each names the server's behaviour and what
// the exchange must end with.
#pragma once

#include "tests/support/scripted_peer.h"

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace testpeer {

struct ServerFault {
    enum class Where {
        Peer,        // a scripted peer plays `Script`
        RefusedPort, // nothing listens
        UnknownHost, // the host name does not resolve
    };
    const char* Name;
    Where Target;
    std::vector<Step> Script;
    // The reply PostToServer gives: the failure's text, or, where the fault
    // cannot be told from a complete answer, the answer.
    std::string Reply;
    bool Succeeds = false;
};

// GoogleTest names a parameter by this rather than by its raw bytes.
inline void PrintTo(const ServerFault& fault, std::ostream* os) {
    *os << fault.Name;
}

// More than a client that kept everything would want to hold, sent until the
// client closes.
constexpr std::size_t kEndless = std::size_t{256} << 20;
inline const std::string kAnswerTooLong = "Answer longer than 65536 bytes: exchange ended";

inline std::vector<ServerFault> ServerFaults() {
    using W = ServerFault::Where;
    const std::string request = "<EOR>\r\n"; // the end of an upload body
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    return {
        {"Refused", W::RefusedPort, {}, "Connection refused (Error #10061)"},
        {"ResetAfterAccept",
         W::Peer,
         {Reset()},
         "Connection closed before a complete response header"},
        {"ResetMidHeader",
         W::Peer,
         {WaitFor(request), Send(ok + "Content-Le"), Reset()},
         "Connection closed before a complete response header"},
        {"CloseMidHeader",
         W::Peer,
         {WaitFor(request), Send(ok + "Content-Le"), Close()},
         "Connection closed before a complete response header"},
        {"CloseMidBodyWithContentLength",
         W::Peer,
         {WaitFor(request), Send(ok + "Content-Length: 50\r\n\r\n<insert>1</ins"), Close()},
         "Connection closed before the whole response body"},
        {"CloseMidChunkedBody",
         W::Peer,
         {WaitFor(request), Send(ok + "Transfer-Encoding: chunked\r\n\r\n12\r\n<insert>1</ins"),
          Close()},
         "Connection closed before the whole response body"},
        // Without a length the close is how the body ends: a complete answer,
        // empty since it announced no Content-Length.
        {"CloseMidBodyWithoutLength",
         W::Peer,
         {WaitFor(request), Send("HTTP/1.0 200 OK\r\n\r\n<insert>1</ins"), Close()},
         "",
         true},
        {"Silent", W::Peer, {NeverAnswer()}, "Request aborted on timeout"},
        {"TrickleThenSilence",
         W::Peer,
         {WaitFor(request), Send("HTTP/1.1 2"), Pause(400), Send("00 O"), Pause(400), Send("K\r\n"),
          NeverAnswer()},
         "Request aborted on timeout"},
        {"UnknownHost", W::UnknownHost, {}, "can't resolve hostname to IP address"},
        {"NotFound",
         W::Peer,
         {WaitFor(request), Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here\n"),
          Close()},
         "Not Found"},
        {"ServerError",
         W::Peer,
         {WaitFor(request), Send("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n"),
          Close()},
         "Service Unavailable"},
        {"MalformedStatus",
         W::Peer,
         {WaitFor(request), Send("HTTP/1.1 2x0 OK\r\nContent-Length: 2\r\n\r\nok"), Close()},
         "Malformed response status line"},
        // Not a status line at all: no response has begun when the server closes.
        {"NotHttpAtAll",
         W::Peer,
         {WaitFor(request), Send("SSH-2.0-OpenSSH_9.2\r\n"), Close()},
         "Connection closed before a complete response header"},
        {"ChunkGarbage",
         W::Peer,
         {WaitFor(request), Send(ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n<insert>1</insert>"),
          Close()},
         "Malformed response"},
        // An answer that does not end: the exchange ends once it is longer
        // than the longest answer kept, whatever the length announced.
        {"EndlessBodyWithContentLength",
         W::Peer,
         {WaitFor(request), Send(ok + "Content-Length: 1099511627776\r\n\r\n"),
          SendFiller(kEndless)},
         kAnswerTooLong},
        {"EndlessBodyWithoutLength",
         W::Peer,
         {WaitFor(request), Send("HTTP/1.0 200 OK\r\n\r\n"), SendFiller(kEndless)},
         kAnswerTooLong},
        {"EndlessChunk",
         W::Peer,
         {WaitFor(request), Send(ok + "Transfer-Encoding: chunked\r\n\r\n7fffffff\r\n"),
          SendFiller(kEndless)},
         kAnswerTooLong},
        {"HeaderOverTheCap",
         W::Peer,
         {WaitFor(request), Send(ok + "X-Filler: "), SendFiller(2 * 1024 * 1024), Close()},
         "Malformed response"},
    };
}

} // namespace testpeer

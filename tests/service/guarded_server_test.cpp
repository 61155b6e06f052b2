// The stand-in logbook's server against clients that try to hold it: trickling
// or silent clients, oversized headers and bodies, too many connections.
#include "guarded_server.h"
#include "service.h"
#include "tests/support/local_service.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kUpload =
    "Callsign=QQ9XYZ&Code=9999999999&ADIFData=<call:10>TEST1<qso_date:8>20110715<time_on:6>134501"
    "<band:3>20m<mode:10>SSB<rst_sent:3>59<rst_rcvd:3>57<GRIDSQUARE:6>KN37"
    "<station_callsign:11>QQ9XYZ<EOR>\r\n";

// A plain TCP client, so the test decides every byte and its timing.
class RawClient {
public:
    explicit RawClient(int port) {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = ::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { ::close(FFd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // False once the server no longer takes bytes.
    bool Send(const std::string& bytes) {
        std::size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(FFd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            off += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads what has arrived without waiting; true at the end of the stream.
    bool ReadAvailable() {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(FFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                Answer.append(buf, static_cast<std::size_t>(n));
            else
                return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }
    // Reads until the server closes or `ms` pass; what arrived is in Answer.
    bool ReadToEnd(int ms) {
        const auto until = Clock::now() + milliseconds(ms);
        while (!ReadAvailable()) {
            auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{FFd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
        return true;
    }
    // Sends `bytes` while reading what comes back, until everything went out,
    // the server closed, or `ms` passed. A server that refuses in the middle
    // is heard before its reset could destroy the answer.
    void SendWhileReading(const std::string& bytes, int ms) {
        const auto until = Clock::now() + milliseconds(ms);
        std::size_t off = 0;
        while (Clock::now() < until) {
            pollfd p{FFd, static_cast<short>(POLLIN | (off < bytes.size() ? POLLOUT : 0)), 0};
            ::poll(&p, 1, 50);
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && ReadAvailable())
                return;
            if (off < bytes.size() && (p.revents & POLLOUT)) {
                ssize_t n = ::send(FFd, bytes.data() + off,
                                   std::min<std::size_t>(bytes.size() - off, 65536),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    off += static_cast<std::size_t>(n);
                else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    return (void)ReadToEnd(1000);
            }
        }
    }
    // Reads until one whole answer (header and Content-Length body) arrived,
    // the server closed, or `ms` passed; true for a whole answer.
    bool ReadOneAnswer(int ms) {
        const auto until = Clock::now() + milliseconds(ms);
        for (;;) {
            const bool ended = ReadAvailable();
            const std::size_t head = Answer.find("\r\n\r\n");
            const std::size_t length = Answer.find("Content-Length: ");
            if (head != std::string::npos && length < head &&
                Answer.size() >= head + 4 + std::stoul(Answer.substr(length + 16)))
                return true;
            auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
            if (ended || left <= 0)
                return false;
            pollfd p{FFd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
    }
    std::string StatusLine() const { return Answer.substr(0, Answer.find("\r\n")); }

    bool Connected = false;
    std::string Answer;

private:
    int FFd = -1;
};

std::string PostHeader(std::size_t contentLength) {
    return "POST /newentry.aspx HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " +
           std::to_string(contentLength) + "\r\n\r\n";
}

logbook::ServerLimits Small() {
    logbook::ServerLimits limits;
    limits.RequestTimeout = milliseconds(1000);
    limits.KeepAliveTimeout = milliseconds(1000);
    limits.MaxHeaderBytes = 2048;
    limits.MaxBodyBytes = 4096;
    limits.MaxConnections = 4;
    return limits;
}

} // namespace

TEST(GuardedServer, AnOrdinaryUploadIsAnsweredAndLogged) {
    testpeer::TLocalService local(Small());
    RawClient client(local.Port());
    ASSERT_TRUE(client.Send(PostHeader(kUpload.size()) + kUpload));
    ASSERT_TRUE(client.ReadToEnd(5000));
    EXPECT_EQ(client.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_NE(client.Answer.find("<insert>1</insert><id>1001</id>"), std::string::npos);
    EXPECT_EQ(local.Service().Contacts("QQ9XYZ").size(), 1u);
}

// A client that is slow with its request, whatever part of it, has the
// request's time and no more.
TEST(GuardedServer, SlowRequestsAreRefusedWith408) {
    struct Case {
        const char* name;
        std::string before;  // sent at once
        std::string trickle; // then a byte every 100 ms
    };
    const std::vector<Case> cases{
        {"silent", "", ""},
        {"trickling request line", "", "POST /newentry.aspx HTTP/1.0\r\n"},
        {"trickling header", "POST /newentry.aspx HTTP/1.0\r\n", std::string(100, 'X')},
        {"trickling body", PostHeader(kUpload.size()), kUpload},
    };
    testpeer::TLocalService local(Small());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(local.Port());
        ASSERT_TRUE(client.Send(c.before));
        const auto start = Clock::now();
        bool ended = false;
        for (std::size_t i = 0; !ended && Clock::now() - start < milliseconds(8000); ++i) {
            if (i < c.trickle.size())
                client.Send(c.trickle.substr(i, 1));
            ended = client.ReadToEnd(100);
        }
        EXPECT_TRUE(ended);
        EXPECT_EQ(client.StatusLine(), "HTTP/1.1 408 Request Timeout");
    }
    EXPECT_TRUE(local.Service().Contacts("QQ9XYZ").empty());
}

// Twelve clients trickling their requests do not keep an ordinary upload
// waiting: it is answered while they are all still connected and unanswered.
TEST(GuardedServer, TricklingClientsDoNotStallAnUpload) {
    testpeer::TLocalService local; // the limits the program runs with
    std::vector<std::unique_ptr<RawClient>> tricklers;
    for (int i = 0; i < 12; ++i) {
        tricklers.push_back(std::make_unique<RawClient>(local.Port()));
        ASSERT_TRUE(tricklers.back()->Send("POST /newentry.aspx HTTP/1.0\r\nX-Slow: "));
    }
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        while (!stop) {
            for (auto& t : tricklers)
                t->Send("x");
            std::this_thread::sleep_for(milliseconds(300));
        }
    });
    httplib::Client web("127.0.0.1", local.Port());
    web.set_read_timeout(20);
    auto t0 = Clock::now();
    auto res = web.Post("/newentry.aspx", kUpload, "application/x-www-form-urlencoded");
    fprintf(stderr, "post %lld ms\n",
            (long long)std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
    stop = true;
    trickle.join();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("<insert>1</insert>"), std::string::npos);
    for (auto& t : tricklers) {
        EXPECT_FALSE(t->ReadAvailable());
        EXPECT_EQ(t->Answer, "");
    }
}

TEST(GuardedServer, OversizedRequestsAreRefused) {
    struct Case {
        const char* name;
        std::string head, body;
        const char* status;
    };
    const std::string chunk = std::string(1000, 'c');
    std::string chunked =
        "POST /newentry.aspx HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string chunks;
    for (int i = 0; i < 8; ++i)
        chunks += "3e8\r\n" + chunk + "\r\n";
    chunks += "0\r\n\r\n";
    const std::vector<Case> cases{
        {"body one byte over the cap", PostHeader(4097), std::string(4097, 'b'),
         "HTTP/1.1 413 Payload Too Large"},
        {"body announced far over the cap", PostHeader(300u * 1024 * 1024),
         std::string(8u * 1024 * 1024, 'b'), "HTTP/1.1 413 Payload Too Large"},
        {"chunked body over the cap", chunked, chunks, "HTTP/1.1 413 Payload Too Large"},
        {"header over the cap",
         "GET /ViewLogbook.aspx?user=QQ9XYZ HTTP/1.0\r\nX-Big: " + std::string(4000, 'h') +
             "\r\n\r\n",
         "", "HTTP/1.1 431 Request Header Fields Too Large"},
        {"one endless header line", "GET / HTTP/1.0\r\nX: " + std::string(100000, 'h'), "",
         "HTTP/1.1 431 Request Header Fields Too Large"},
    };
    testpeer::TLocalService local(Small());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(local.Port());
        client.SendWhileReading(c.head + c.body, 5000);
        client.ReadToEnd(2000);
        EXPECT_EQ(client.StatusLine(), c.status);
    }
    // At the cap exactly, a body is still taken.
    RawClient client(local.Port());
    std::string atCap = kUpload + std::string(4096 - kUpload.size(), ' ');
    ASSERT_TRUE(client.Send(PostHeader(atCap.size()) + atCap));
    ASSERT_TRUE(client.ReadToEnd(5000));
    EXPECT_EQ(client.StatusLine(), "HTTP/1.1 200 OK");
}

TEST(GuardedServer, ConnectionsBeyondTheLimitAreRefusedWith503) {
    logbook::ServerLimits limits = Small();
    limits.MaxConnections = 2;
    limits.RequestTimeout = milliseconds(10000);
    testpeer::TLocalService local(limits);
    auto first = std::make_unique<RawClient>(local.Port());
    auto second = std::make_unique<RawClient>(local.Port());
    ASSERT_TRUE(first->Send("GET /"));
    ASSERT_TRUE(second->Send("GET /"));
    const auto until = Clock::now() + milliseconds(5000);
    while (local.Server().ActiveConnections() < 2 && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_EQ(local.Server().ActiveConnections(), 2);

    RawClient third(local.Port());
    ASSERT_TRUE(third.Send(PostHeader(kUpload.size()) + kUpload));
    ASSERT_TRUE(third.ReadToEnd(5000));
    EXPECT_EQ(third.StatusLine(), "HTTP/1.1 503 Service Unavailable");

    // A slot given back is taken by the next client.
    first.reset();
    while (local.Server().ActiveConnections() > 1 && Clock::now() < until + milliseconds(5000))
        std::this_thread::sleep_for(milliseconds(5));
    RawClient fourth(local.Port());
    ASSERT_TRUE(fourth.Send(PostHeader(kUpload.size()) + kUpload));
    ASSERT_TRUE(fourth.ReadToEnd(5000));
    EXPECT_EQ(fourth.StatusLine(), "HTTP/1.1 200 OK");
}

// Requests sent together on one kept connection are each answered.
TEST(GuardedServer, PipelinedRequestsOnAKeptConnectionAreAllAnswered) {
    testpeer::TLocalService local(Small());
    RawClient client(local.Port());
    const std::string get = "GET /ViewLogbook.aspx?user=QQ9XYZ HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(client.Send(get + get +
                            "GET /ViewLogbook.aspx?user=QQ9XYZ HTTP/1.1\r\nHost: "
                            "x\r\nConnection: close\r\n\r\n"));
    ASSERT_TRUE(client.ReadToEnd(5000));
    std::size_t answers = 0;
    for (std::size_t at = 0; (at = client.Answer.find("HTTP/1.1 200 OK", at)) != std::string::npos;
         ++at)
        ++answers;
    EXPECT_EQ(answers, 3u);
}

// One cap for every body, form or not, and the same whatever is asked for:
// the library refuses form bodies past its own 8,192 bytes.
TEST(GuardedServer, EveryBodyHasTheOneCap) {
    const char* const types[] = {"application/x-www-form-urlencoded", "text/plain"};
    for (std::size_t asked : {std::size_t{0}, std::size_t{64 * 1024}}) {
        logbook::ServerLimits limits;
        if (asked)
            limits.MaxBodyBytes = asked;
        testpeer::TLocalService local(limits);
        const std::size_t cap = local.Server().Limits().MaxBodyBytes;
        for (const char* type : types) {
            for (std::size_t size : {cap, cap + 1}) {
                SCOPED_TRACE(std::string(type) + ", " + std::to_string(size) + " bytes, " +
                             std::to_string(asked) + " asked");
                RawClient client(local.Port());
                client.SendWhileReading(std::string("POST /newentry.aspx HTTP/1.0\r\n") +
                                            "Content-Type: " + type +
                                            "\r\nContent-Length: " + std::to_string(size) +
                                            "\r\n\r\n" + std::string(size, 'b'),
                                        5000);
                client.ReadToEnd(5000);
                EXPECT_EQ(client.StatusLine(),
                          size == cap ? "HTTP/1.1 200 OK" : "HTTP/1.1 413 Payload Too Large");
            }
        }
    }
}

// A request that cannot be read gets one 400, and the connection ends at
// once: the bytes after it are not taken for another request, nor is the
// connection kept open for one.
TEST(GuardedServer, AnUnreadableRequestGetsOne400AndAClose) {
    static const char kNul[] = "GET /\0x HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::vector<std::pair<const char*, std::string>> cases{
        {"NUL in the request line", std::string(kNul, sizeof kNul - 1)},
        {"bare LF line ends", "GET / HTTP/1.1\nHost: x\n\n"},
        {"no version", "GET /\r\nHost: x\r\n\r\n"},
    };
    logbook::ServerLimits limits = Small();
    limits.KeepAliveTimeout = milliseconds(60000);
    testpeer::TLocalService local(limits);
    for (const auto& [name, request] : cases) {
        SCOPED_TRACE(name);
        RawClient client(local.Port());
        ASSERT_TRUE(client.Send(request));
        EXPECT_TRUE(client.ReadToEnd(10000));
        EXPECT_EQ(client.StatusLine(), "HTTP/1.1 400 Bad Request");
        EXPECT_EQ(client.Answer.find("HTTP/1.1", 1), std::string::npos) << client.Answer;
    }
}

// A slot is free for the next connection as soon as the one before is done:
// a kept connection idle between requests closes to let a newcomer in, and
// as many clients as there are slots, each uploading again the moment its
// answer is complete, are never refused.
TEST(GuardedServer, AConnectionThatIsDoneLeavesItsSlotToTheNext) {
    logbook::ServerLimits limits = Small();
    limits.KeepAliveTimeout = milliseconds(60000);
    testpeer::TLocalService local(limits);
    const std::string upload = "POST /newentry.aspx HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                               std::to_string(kUpload.size()) + "\r\n\r\n" + kUpload;

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int c = 0; c < limits.MaxConnections; ++c) {
        idle.push_back(std::make_unique<RawClient>(local.Port()));
        ASSERT_TRUE(idle.back()->Send(upload));
        ASSERT_TRUE(idle.back()->ReadOneAnswer(5000));
    }
    RawClient newcomer(local.Port());
    ASSERT_TRUE(newcomer.Send(upload));
    ASSERT_TRUE(newcomer.ReadOneAnswer(5000));
    EXPECT_EQ(newcomer.StatusLine(), "HTTP/1.1 200 OK");
    int closed = 0;
    for (auto& client : idle)
        closed += client->ReadToEnd(100);
    EXPECT_EQ(closed, 1) << "one idle connection makes room, the others stay";
    idle.clear();

    std::atomic<int> ok{0}, refused{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < limits.MaxConnections; ++c)
        clients.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                RawClient client(local.Port());
                client.Send(upload);
                client.ReadOneAnswer(5000);
                ++(client.StatusLine() == "HTTP/1.1 200 OK" ? ok : refused);
            }
        });
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(ok, 40 * limits.MaxConnections);
}

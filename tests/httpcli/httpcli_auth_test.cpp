// httpcli's curl spellings for credentials and content coding: -u with
// --basic, --digest, --ntlm; -U with --proxy-basic, --proxy-digest,
// --proxy-ntlm; --compressed. The scripted peer plays the server or proxy.
#include "tests/support/child_process.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

using namespace testpeer;

namespace {

const std::string kOk = "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nwelcome";
// "Basic " + Base64 of "club:s3cret".
const std::string kClubBasic = "Authorization: Basic Y2x1YjpzM2NyZXQ=\r\n";

std::string Denied(const std::string& challenge, int status = 401) {
    const std::string field = status == 401 ? "WWW-Authenticate: " : "Proxy-Authenticate: ";
    return "HTTP/1.0 " + std::to_string(status) +
           (status == 401 ? " Unauthorized" : " Proxy Auth") + "\r\n" + field + challenge +
           "\r\nContent-Length: 6\r\n\r\ndenied";
}

ChildResult Httpcli(std::vector<std::string> args) {
    args.insert(args.begin(), BuildProgram("httpcli"));
    return RunChild(args);
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(HttpcliAuth, ServerSchemesInCurlsSpelling) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string challenge;
        int requests;         // requests the server received
        std::string firstHas; // a line of the first request ("" for none)
        std::string out;      // what httpcli wrote
    };
    const Case cases[] = {
        // No scheme named: whatever the server asks for is answered.
        {"any", {"-u", "club:s3cret"}, "Basic realm=\"r\"", 2, "", "welcome"},
        {"anyDigest", {"-u", "club:s3cret"}, "Digest realm=\"r\", nonce=\"n\"", 2, "", "welcome"},
        // Basic named: sent with the first request.
        {"basic", {"-u", "club:s3cret", "--basic"}, "Basic realm=\"r\"", 1, kClubBasic, "welcome"},
        // Digest named: a Basic challenge is not answered; the 401 is the answer.
        {"digest", {"-u", "club:s3cret", "--digest"}, "Basic realm=\"r\"", 1, "", "denied"},
        // NTLM named: the first request negotiates.
        {"ntlm",
         {"--user", "club:s3cret", "--ntlm"},
         "Basic realm=\"r\"",
         1,
         "Authorization: NTLM TlRMTVNTUAABAAAAB4IAAA",
         "denied"},
    };
    for (const Case& c : cases) {
        // A request that carries the credentials is welcome at once.
        ScriptedPeer peer;
        if (c.firstHas == kClubBasic)
            peer.Script({WaitFor("\r\n\r\n"), Send(kOk), Close()});
        else
            peer.ScriptEach({{WaitFor("\r\n\r\n"), Send(Denied(c.challenge)), Close()},
                             {WaitFor("\r\n\r\n"), Send(kOk), Close()}});
        std::vector<std::string> args = c.options;
        args.push_back("http://127.0.0.1:" + std::to_string(peer.Port()) + "/p");
        ChildResult r = Httpcli(args);
        // A 401 that stands is written, and is a failure.
        EXPECT_EQ(r.ExitCode, c.out == "denied" ? 22 : 0) << c.name << "\n" << r.Err;
        EXPECT_EQ(r.Out, c.out) << c.name;
        EXPECT_EQ(peer.Connections(), c.requests) << c.name;
        const std::string first = peer.ReceivedOn(0);
        if (c.firstHas.empty())
            EXPECT_EQ(first.find("Authorization"), std::string::npos) << c.name;
        else
            EXPECT_NE(first.find(c.firstHas), std::string::npos) << c.name << "\n" << first;
    }
}

TEST(HttpcliAuth, ProxySchemesInCurlsSpelling) {
    // "Basic " + Base64 of "pu:pp".
    const std::string proxyBasic = "Proxy-Authorization: Basic cHU6cHA=\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> options;
        int requests;
        bool firstHasCredentials;
    };
    const Case cases[] = {
        {"any", {"-U", "pu:pp"}, 2, false},
        {"basic", {"--proxy-user", "pu:pp", "--proxy-basic"}, 1, true},
        {"digestOnly", {"-U", "pu:pp", "--proxy-digest"}, 1, false},
    };
    for (const Case& c : cases) {
        ScriptedPeer proxy;
        if (c.firstHasCredentials)
            proxy.Script({WaitFor("\r\n\r\n"), Send(kOk), Close()});
        else
            proxy.ScriptEach(
                {{WaitFor("\r\n\r\n"), Send(Denied("Basic realm=\"p\"", 407)), Close()},
                 {WaitFor("\r\n\r\n"), Send(kOk), Close()}});
        std::vector<std::string> args = c.options;
        args.insert(args.end(),
                    {"-x", "127.0.0.1:" + std::to_string(proxy.Port()), "http://site.invalid/p"});
        ChildResult r = Httpcli(args);
        const bool stands = c.requests == 1 && !c.firstHasCredentials;
        EXPECT_EQ(r.ExitCode, stands ? 22 : 0) << c.name << "\n" << r.Err;
        EXPECT_EQ(proxy.Connections(), c.requests) << c.name;
        EXPECT_EQ(Count(proxy.Received(), proxyBasic),
                  static_cast<std::size_t>(c.firstHasCredentials || c.requests == 2 ? 1 : 0))
            << c.name;
        EXPECT_EQ(r.Out, stands ? "denied" : "welcome");
    }
}

TEST(HttpcliAuth, CompressedAsksForCodingsAndWritesTheBodyDecoded) {
    const std::string gz("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x48\xcd\xc9\xc9\xd7\x51"
                         "\xc8\xc9\x4f\x4f\xca\xcf\xcf\xe6\x02\x00\xe5\x88\x1c\xb5\x0f\x00\x00\x00",
                         35);
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz), Close()});
    ChildResult r =
        Httpcli({"--compressed", "http://127.0.0.1:" + std::to_string(peer.Port()) + "/log"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, "hello, logbook\n");
    EXPECT_NE(peer.Received().find("\r\nAccept-Encoding: identity, gzip, deflate\r\n"),
              std::string::npos);

    // Without it, nothing is asked for and the bytes are written as they came.
    ScriptedPeer plain;
    plain.Script({WaitFor("\r\n\r\n"),
                  Send("HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz), Close()});
    r = Httpcli({"http://127.0.0.1:" + std::to_string(plain.Port()) + "/log"});
    EXPECT_EQ(r.Out, gz);
    EXPECT_EQ(plain.Received().find("Accept-Encoding"), std::string::npos);
}

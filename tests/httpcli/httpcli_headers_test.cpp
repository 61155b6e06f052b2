// httpcli's -H lines: one header line each, and credentials that go only to
// the server they were given for.
#include "tests/support/child_process.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

using namespace testpeer;

namespace {

std::string Url(const ScriptedPeer& peer, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(peer.Port()) + path;
}

ChildResult Httpcli(std::vector<std::string> args) {
    args.insert(args.begin(), BuildProgram("httpcli"));
    return RunChild(args, {});
}

const char* kOk = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

const std::vector<std::string> kHeaders = {
    "-H", "Authorization: Basic dXNlcjpwYXNz",       "-H", "Cookie: session=1",
    "-H", "Proxy-Authorization: Basic cHJveHk6cHc=", "-H", "X-Trace: 7"};

bool Has(const std::string& request, const std::string& line) {
    return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

TEST(HttpcliHeaders, ALineBreakInAValueIsACommandLineMistake) {
    ScriptedPeer peer;
    for (const char* value : {"X-A: 1\r\nX-Injected: 2", "X-A: 1\nX-Injected: 2", "X-A: 1\r"}) {
        ChildResult r = Httpcli({"-H", value, Url(peer, "/")});
        EXPECT_EQ(r.ExitCode, 2) << r.Err;
        EXPECT_NE(r.Err.find("-H"), std::string::npos) << r.Err;
    }
    EXPECT_EQ(peer.Connections(), 0);
}

TEST(HttpcliHeaders, CredentialsStayBehindWhenARelocationLeavesTheServer) {
    ScriptedPeer other;
    other.Script({WaitFor("\r\n\r\n"), Send(kOk), Close()});
    ScriptedPeer first;
    first.Script({WaitFor("\r\n\r\n"),
                  Send("HTTP/1.0 302 Found\r\nLocation: " + Url(other, "/there") + "\r\n\r\n"),
                  Close()});
    std::vector<std::string> args = kHeaders;
    args.push_back(Url(first, "/here"));
    ChildResult r = Httpcli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, "ok");
    const std::string asked = first.Received(), relocated = other.Received();
    for (const char* line : {"Authorization: Basic dXNlcjpwYXNz", "Cookie: session=1",
                             "Proxy-Authorization: Basic cHJveHk6cHc=", "X-Trace: 7"})
        EXPECT_TRUE(Has(asked, line)) << line;
    // Another port of the same host is another server.
    EXPECT_TRUE(Has(relocated, "X-Trace: 7")) << relocated;
    for (const char* name : {"Authorization:", "Cookie:", "Proxy-Authorization:"})
        EXPECT_EQ(relocated.find(std::string("\r\n") + name), std::string::npos) << name;
}

TEST(HttpcliHeaders, CredentialsFollowARelocationOnTheSameServer) {
    ScriptedPeer peer;
    peer.ScriptEach(
        {{WaitFor("\r\n\r\n"), Send("HTTP/1.0 302 Found\r\nLocation: /there\r\n\r\n"), Close()},
         {WaitFor("\r\n\r\n"), Send(kOk), Close()}});
    std::vector<std::string> args = kHeaders;
    args.push_back(Url(peer, "/here"));
    ChildResult r = Httpcli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    ASSERT_EQ(peer.Connections(), 2);
    const std::string relocated = peer.ReceivedOn(1);
    EXPECT_TRUE(relocated.starts_with("GET /there ")) << relocated;
    for (const char* line : {"Authorization: Basic dXNlcjpwYXNz", "Cookie: session=1",
                             "Proxy-Authorization: Basic cHJveHk6cHc=", "X-Trace: 7"})
        EXPECT_TRUE(Has(relocated, line)) << line;
}

} // namespace

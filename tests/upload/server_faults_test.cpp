// Every server fault through PostToServer with a short time-out: each ends
// with a clear text, soon.
#include "upload/post_to_server.h"

#include "tests/support/server_faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using namespace testpeer;

constexpr unsigned kTimeoutSeconds = 2;
// What a loaded machine may add to the time-out before the client notices.
constexpr std::chrono::milliseconds kScheduling{500};

using ServerFaultThroughPostToServer = ::testing::TestWithParam<ServerFault>;

TEST_P(ServerFaultThroughPostToServer, EndsWithAClearTextWithinTheTimeoutAndASecond) {
    const ServerFault& fault = GetParam();
    TPostSettings settings;
    settings.TimeoutSeconds = kTimeoutSeconds;
    std::unique_ptr<ScriptedPeer> peer;
    switch (fault.Target) {
    case ServerFault::Where::Peer:
        peer = std::make_unique<ScriptedPeer>();
        peer->Script(fault.Script);
        settings.RobotHost = "127.0.0.1:" + std::to_string(peer->Port());
        break;
    case ServerFault::Where::RefusedPort:
        settings.RobotHost = "127.0.0.1:" + std::to_string(RefusedPort());
        break;
    case ServerFault::Where::UnknownHost:
        settings.RobotHost = "no-such-host.invalid";
        break;
    }
    TStringList body;
    body.Add("Callsign=QQ9XYZ&Code=9999999999&ADIFData=<call:6>YO3ABC<EOR>");
    std::string reply; // callers pass an empty one
    const auto start = std::chrono::steady_clock::now();
    const bool ok = PostToServer(body, reply, settings);
    const auto end = std::chrono::steady_clock::now();
    EXPECT_EQ(ok, fault.Succeeds);
    EXPECT_EQ(reply, fault.Reply);
    // It ends within the time-out plus the one second between two looks at
    // the clock, counted from the server's last byte.
    const auto quiet = peer ? std::max(start, peer->LastSent()) : start;
    EXPECT_LT(end - quiet, std::chrono::seconds(kTimeoutSeconds + 1) + kScheduling);
}

INSTANTIATE_TEST_SUITE_P(All, ServerFaultThroughPostToServer, ::testing::ValuesIn(ServerFaults()),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace

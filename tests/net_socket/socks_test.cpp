// The SOCKS layer against the scripted peer acting as a SOCKS server: the
// requests byte for byte, every reply code in the three-event order, replies
// cut at every offset, and the refusals.
#include "net/socket/socksreply.h"
#include "net/socket/wsocket.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace testpeer;

namespace {

constexpr int Deadline = 3000;

// The requests the socket must send for the target "target.example":8080.
const std::string TargetName = "target.example";
const std::string Greeting = Bytes({5, 1, 0});
const std::string GreetingWithAuth = Bytes({5, 1, 2});
std::string Socks5Connect(const std::string& name = TargetName) {
    return Bytes({5, 1, 0, 3, static_cast<int>(name.size())}) + name + Bytes({0x1F, 0x90});
}
const std::string AuthRequest = Bytes({1, 4}) + "user" + Bytes({6}) + "secret";
std::string Socks5Reply(int code) {
    return Bytes({5, code, 0, 1, 192, 0, 2, 7, 0x04, 0x38});
}
std::string Socks4Reply(int code) {
    return Bytes({0, code, 0, 0, 0, 0, 0, 0});
}

// Records the socket's events as short texts and what each OnDataAvailable read.
struct SocksRecorder {
    std::vector<std::string> Events;
    explicit SocksRecorder(TWSocket& s) {
        s.OnSocksConnected = [this](TComponent*, WORD e) {
            Events.push_back("socks-connected " + std::to_string(e));
        };
        s.OnSocksError = [this](TComponent*, int e, const std::string& msg) {
            Events.push_back("socks-error " + std::to_string(e) + " " + msg);
        };
        s.OnSocksAuthState = [this](TComponent*, TSocksAuthState a) {
            static const char* const names[] = {"start", "success", "failure", "not-required"};
            Events.push_back(std::string("auth ") + names[a]);
        };
        s.OnSessionConnected = [this, &s](TComponent*, WORD e) {
            Events.push_back("connected " + std::to_string(e));
            EXPECT_EQ(s.State(), wsConnected);
        };
        s.OnDataAvailable = [this, &s](TComponent*, WORD) {
            char buf[4096];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0)
                Events.push_back("data " + std::string(buf, static_cast<size_t>(n)));
        };
        s.OnSessionClosed = [this](TComponent*, WORD e) {
            Events.push_back("closed " + std::to_string(e));
        };
    }
    bool Has(const std::string& e) const {
        return std::find(Events.begin(), Events.end(), e) != Events.end();
    }
    bool Closed() const {
        return std::any_of(Events.begin(), Events.end(),
                           [](const std::string& e) { return e.rfind("closed", 0) == 0; });
    }
};

void ConnectThrough(TWSocket& s, std::uint16_t socksPort, const std::string& level,
                    const std::string& addr = TargetName) {
    s.SetAddr(addr);
    s.SetPort("8080");
    s.SetProto("tcp");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(socksPort));
    s.SetSocksLevel(level);
    s.Connect();
}

void UseCredentials(TWSocket& s) {
    s.SetSocksUsercode("user");
    s.SetSocksPassword("secret");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
}

// A SOCKS server run from the test's own thread, so that each piece of a
// reply is sent only once the socket has taken the one before.
class StepServer {
public:
    StepServer() {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(FListen, 4) != 0 ||
            ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("StepServer: cannot listen");
        FPort = ntohs(a.sin_port);
    }
    ~StepServer() {
        if (FConn >= 0)
            ::close(FConn);
        ::close(FListen);
    }
    std::uint16_t Port() const { return FPort; }
    bool Accept() {
        pollfd p{FListen, POLLIN, 0};
        if (::poll(&p, 1, Deadline) != 1)
            return false;
        FConn = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        return FConn >= 0;
    }
    // Services the socket's messages until `n` bytes have arrived here, and reads them.
    std::string Read(size_t n) {
        PumpUntil(
            [&] {
                int avail = 0;
                ::ioctl(FConn, FIONREAD, &avail);
                return static_cast<size_t>(avail) >= n;
            },
            Deadline);
        std::string out(n, '\0');
        ssize_t got = ::recv(FConn, out.data(), n, MSG_DONTWAIT);
        out.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return out;
    }
    void Write(const std::string& bytes) {
        ASSERT_EQ(::send(FConn, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

private:
    int FListen = -1, FConn = -1;
    std::uint16_t FPort = 0;
};

// Runs a SOCKS 5 negotiation up to the connect reply, which is sent in the
// given pieces; after each piece but the last the socket must hold exactly
// the reply bytes sent so far, undecided.
void FeedReplyInPieces(const std::vector<std::string>& pieces, const std::string& name,
                       const std::string& appData, const std::string& boundAddr) {
    StepServer server;
    TWSocket s;
    SocksRecorder r(s);
    ConnectThrough(s, server.Port(), "5", name);
    ASSERT_TRUE(server.Accept());
    ASSERT_EQ(server.Read(3), Greeting);
    server.Write(Bytes({5, 0}));
    ASSERT_EQ(server.Read(Socks5Connect(name).size()), Socks5Connect(name));
    int sent = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        server.Write(pieces[i]);
        sent += static_cast<int>(pieces[i].size());
        if (i + 1 == pieces.size())
            break;
        ASSERT_TRUE(PumpUntil([&] { return s.SocksReplyLen() == sent; }, Deadline))
            << "piece " << i;
        ASSERT_EQ(s.SocksPhase(), TSocksPhase::ConnectAnswer);
        ASSERT_TRUE(r.Events == std::vector<std::string>{"socks-connected 0"});
    }
    ASSERT_TRUE(PumpUntil([&] { return r.Has("data " + appData); }, Deadline));
    EXPECT_EQ(r.Events,
              (std::vector<std::string>{"socks-connected 0", "connected 0", "data " + appData}));
    EXPECT_EQ(s.SocksBoundAddr(), boundAddr);
    EXPECT_EQ(s.SocksBoundPort(), "1080");
}

} // namespace

// ---- requests byte for byte --------------------------------------------------------

TEST(TCustomSocksWSocket, Socks5WithoutAuthenticationByteForByte) {
    ScriptedPeer peer;
    peer.Script({WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + Socks5Connect().size()),
                 Send(Socks5Reply(0) + "hello"), NeverAnswer()});
    TWSocket s;
    SocksRecorder r(s);
    ConnectThrough(s, peer.Port(), "5");
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return r.Events.size() >= 3; }, Deadline));
    EXPECT_EQ(peer.Received(), Greeting + Socks5Connect());
    // The application data that came with the reply is the first OnDataAvailable's.
    EXPECT_EQ(r.Events,
              (std::vector<std::string>{"socks-connected 0", "connected 0", "data hello"}));
    EXPECT_EQ(s.SocksMethodOffered(), Socks5MethodNone);
    EXPECT_EQ(s.SocksBoundAddr(), "192.0.2.7");
    EXPECT_EQ(s.SocksBoundPort(), "1080");
    EXPECT_EQ(s.SocksPhase(), TSocksPhase::None);
    EXPECT_EQ(s.SendText("ping"), 4);
    EXPECT_TRUE(peer.WaitForText("ping", Deadline));
    s.Close();
    EXPECT_EQ(r.Events.back(), "closed 0");
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
}

TEST(TCustomSocksWSocket, Socks5OfferingUserNameAndPasswordByteForByte) {
    struct Case {
        std::string Name;
        std::vector<Step> Script;
        std::string Sent;
        std::vector<std::string> Events;
    };
    const std::vector<Case> cases = {
        {"server asks for them",
         {WaitBytes(3), Send(Bytes({5, 2})), WaitBytes(3 + AuthRequest.size()), Send(Bytes({1, 0})),
          WaitBytes(3 + AuthRequest.size() + Socks5Connect().size()), Send(Socks5Reply(0)),
          NeverAnswer()},
         GreetingWithAuth + AuthRequest + Socks5Connect(),
         {"socks-connected 0", "auth start", "auth success", "connected 0"}},
        {"server wants none",
         {WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + Socks5Connect().size()),
          Send(Socks5Reply(0)), NeverAnswer()},
         GreetingWithAuth + Socks5Connect(),
         {"socks-connected 0", "auth not-required", "connected 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedPeer peer;
        peer.Script(c.Script);
        TWSocket s;
        SocksRecorder r(s);
        UseCredentials(s);
        ConnectThrough(s, peer.Port(), "5");
        ASSERT_TRUE(PumpUntil([&] { return r.Has("connected 0"); }, Deadline));
        EXPECT_EQ(peer.Received(), c.Sent);
        EXPECT_EQ(r.Events, c.Events);
        EXPECT_EQ(s.SocksMethodOffered(), Socks5MethodUsercode);
        s.Close();
        // The identity outlives the close; the server does not.
        EXPECT_EQ(s.SocksServer(), "");
        EXPECT_EQ(s.SocksUsercode(), "user");
        EXPECT_EQ(s.SocksAuthentication(), socksAuthenticateUsercode);
    }
}

TEST(TCustomSocksWSocket, Socks4And4ARequestsByteForByte) {
    struct Case {
        std::string Level, Addr, Request;
    };
    const std::vector<Case> cases = {
        {"4", "10.1.2.3", Bytes({4, 1, 0x1F, 0x90, 10, 1, 2, 3}) + "bob" + Bytes({0})},
        {"4a", TargetName,
         Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "bob" + Bytes({0}) + TargetName + Bytes({0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Level);
        ScriptedPeer peer;
        // SOCKS 4 reads its 8 reply bytes only: what follows stays in the
        // socket for the application.
        peer.Script({WaitBytes(c.Request.size()), Send(Socks4Reply(90) + "hi"), NeverAnswer()});
        TWSocket s;
        SocksRecorder r(s);
        s.SetSocksUsercode("bob");
        ConnectThrough(s, peer.Port(), c.Level, c.Addr);
        ASSERT_TRUE(PumpUntil([&] { return r.Has("data hi"); }, Deadline));
        EXPECT_EQ(peer.Received(), c.Request);
        EXPECT_EQ(r.Events,
                  (std::vector<std::string>{"socks-connected 0", "connected 0", "data hi"}));
        s.Close();
        EXPECT_EQ(s.SocksServer(), "");
    }
}

TEST(TCustomSocksWSocket, WhatARequestCannotHoldIsRefusedBeforeSending) {
    const std::string longest(255, 'n');
    {
        ScriptedPeer peer;
        peer.Script({WaitBytes(3), Send(Bytes({5, 0})),
                     WaitBytes(3 + Socks5Connect(longest).size()), Send(Socks5Reply(0)),
                     NeverAnswer()});
        TWSocket s;
        SocksRecorder r(s);
        ConnectThrough(s, peer.Port(), "5", longest);
        ASSERT_TRUE(PumpUntil([&] { return r.Has("connected 0"); }, Deadline));
        EXPECT_EQ(peer.Received(), Greeting + Socks5Connect(longest));
    }
    // What SOCKS 4 ends with a 0 byte cannot hold one: the rest would be
    // read as the next field (for 4A, as the target's name).
    const std::string withZero = std::string("bob") + '\0' + "evil.example";
    struct Case {
        std::string Level, Addr, User;
        int Code;
        std::string Text;
    };
    const std::vector<Case> refused = {
        {"5", std::string(256, 'n'), "", 20011, "address type not supported"},
        {"5", TargetName, std::string(256, 'u'), 20015, "socks authentication failed"},
        {"4a", TargetName, withZero, 20015, "authentification failed"},
        {"4", "10.1.2.3", withZero, 20015, "authentification failed"},
        {"4a", withZero, "", 20011, "address type not supported"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.Level + " " + std::to_string(c.Code));
        ScriptedPeer peer;
        peer.Script({NeverAnswer()});
        TWSocket s;
        SocksRecorder r(s);
        if (!c.User.empty()) {
            UseCredentials(s);
            s.SetSocksUsercode(c.User);
        }
        ConnectThrough(s, peer.Port(), c.Level, c.Addr);
        ASSERT_TRUE(PumpUntil([&] { return r.Closed(); }, Deadline));
        const std::string code = std::to_string(c.Code);
        EXPECT_EQ(r.Events, (std::vector<std::string>{"socks-connected 0",
                                                      "socks-error " + code + " " + c.Text,
                                                      "connected " + code, "closed " + code}));
        ASSERT_TRUE(peer.WaitForClientClose(1, Deadline));
        EXPECT_EQ(peer.Received(), "");
        EXPECT_EQ(s.SocksServer(), "");
    }
}

// ---- replies cut anywhere ------------------------------------------------------------------

TEST(TCustomSocksWSocket, ReplySplitAtEveryOffsetIsJudgedOnlyWhenWhole) {
    const std::string reply = Socks5Reply(0);
    for (size_t cut = 1; cut < reply.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        FeedReplyInPieces({reply.substr(0, cut), reply.substr(cut) + "app"}, TargetName, "app",
                          "192.0.2.7");
    }
}

TEST(TCustomSocksWSocket, DomainNameReplyOf255BytesArrivingOneByteAtATime) {
    const std::string bound(255, 'b');
    const std::string reply = Bytes({5, 0, 0, 3, 255}) + bound + Bytes({0x04, 0x38});
    ASSERT_EQ(reply.size(), static_cast<size_t>(SocksReplyBufferSize));
    std::vector<std::string> pieces;
    for (char c : reply)
        pieces.emplace_back(1, c);
    pieces.back() += "data after the reply";
    FeedReplyInPieces(pieces, TargetName, "data after the reply", bound);
}

// Without the receive loop each notice calls OnDataAvailable once, and a
// handler that reads less than came with the grant still gets the rest
// while the connection stays open.
TEST(TCustomSocksWSocket, DataThatCameWithTheGrantIsAllReadWithoutTheReceiveLoop) {
    const std::string appData = std::string(300, 'a') + std::string(300, 'b');
    ScriptedPeer peer;
    peer.Script({WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + Socks5Connect().size()),
                 Send(Socks5Reply(0) + appData), NeverAnswer()});
    TWSocket s;
    s.SetComponentOptions({wsoNoReceiveLoop});
    std::string read;
    s.OnDataAvailable = [&](TComponent*, WORD) {
        char buf[200];
        const int n = s.Receive(buf, sizeof buf);
        if (n > 0)
            read.append(buf, static_cast<size_t>(n));
    };
    ConnectThrough(s, peer.Port(), "5");
    ASSERT_TRUE(PumpUntil([&] { return read.size() == appData.size(); }, Deadline))
        << read.size() << " of " << appData.size();
    EXPECT_EQ(read, appData);
    EXPECT_EQ(s.State(), wsConnected);
}

// The server connected to the target and names its own end by an IPv6
// address: a grant like any other.
TEST(TCustomSocksWSocket, IPv6BoundAddressIsAGrant) {
    const std::string reply =
        Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x04, 0x38});
    FeedReplyInPieces({reply.substr(0, 9), reply.substr(9) + "app"}, TargetName, "app",
                      "2001:db8::7");
}

struct Ipv6Case {
    std::vector<int> Address; // 16 bytes
    std::string Text;
};

void PrintTo(const Ipv6Case& c, std::ostream* os) {
    *os << c.Text;
}

class SocksBoundIpv6 : public ::testing::TestWithParam<Ipv6Case> {};

TEST_P(SocksBoundIpv6, IsWrittenInItsUsualText) {
    std::string reply = Bytes({5, 0, 0, 4});
    for (int b : GetParam().Address)
        reply += static_cast<char>(b);
    reply += Bytes({0, 80});
    TSocksReplyReader reader;
    std::copy(reply.begin(), reply.end(), reader.WritePos());
    reader.Added(static_cast<int>(reply.size()));
    const TSocksVerdict v = reader.Judge(TSocksReplyKind::Socks5Connect);
    ASSERT_EQ(v.Outcome, TSocksVerdict::Accepted);
    EXPECT_EQ(v.ReplyLen, 22);
    EXPECT_EQ(v.BoundAddr, GetParam().Text);
    EXPECT_EQ(v.BoundPort, "80");
}

INSTANTIATE_TEST_SUITE_P(
    TCustomSocksWSocket, SocksBoundIpv6,
    ::testing::Values(
        Ipv6Case{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "::"},
        Ipv6Case{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
        Ipv6Case{{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "1::"},
        // One zero group stays; of two runs the longer is shortened, of equal ones the first.
        Ipv6Case{{0x20, 1, 0xd, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
        Ipv6Case{{0x20, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:0:0:1::1"},
        Ipv6Case{{0x20, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1}, "2001::1:1:0:0:1"},
        Ipv6Case{{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x0a, 0xbc, 0x00, 0xff, 0xfe, 0x12, 0x34, 0x56},
                 "fe80::abc:ff:fe12:3456"}),
    [](const ::testing::TestParamInfo<Ipv6Case>& info) {
        return "Case" + std::to_string(info.index);
    });

// ---- failures ------------------------------------------------------------------------------

struct FailureCase {
    std::string Name;
    std::string Level;
    bool Auth;
    std::vector<Step> Script;
    int Code;
    std::string Text;
    std::vector<std::string> AuthEvents = {}; // between socks-connected and socks-error
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.Name;
}

class SocksFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SocksFailures, ReachesTheApplicationAsErrorThenConnectedThenClosed) {
    const FailureCase& c = GetParam();
    ScriptedPeer peer;
    peer.Script(c.Script);
    TWSocket s;
    SocksRecorder r(s);
    if (c.Auth)
        UseCredentials(s);
    ConnectThrough(s, peer.Port(), c.Level,
                   c.Level == "5" || c.Level == "4a" ? TargetName : "10.1.2.3");
    ASSERT_TRUE(PumpUntil([&] { return r.Closed(); }, Deadline));
    const std::string code = std::to_string(c.Code);
    std::vector<std::string> expected{"socks-connected 0"};
    expected.insert(expected.end(), c.AuthEvents.begin(), c.AuthEvents.end());
    expected.insert(expected.end(),
                    {"socks-error " + code + " " + c.Text, "connected " + code, "closed " + code});
    EXPECT_EQ(r.Events, expected);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPhase(), TSocksPhase::None);
}

namespace {

std::vector<Step> Socks5UpToReply(const std::string& reply) {
    return {WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + Socks5Connect().size()), Send(reply),
            NeverAnswer()};
}
std::vector<Step> Socks4UpToReply(const std::string& reply) {
    return {WaitBytes(9), Send(reply), NeverAnswer()};
}
std::vector<Step> AuthUpToAnswer(const std::string& answer) {
    return {WaitBytes(3), Send(Bytes({5, 2})), WaitBytes(3 + AuthRequest.size()), Send(answer),
            NeverAnswer()};
}

std::vector<FailureCase> FailureCases() {
    std::vector<FailureCase> cases;
    const char* const socks5Texts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported"};
    for (int code = 1; code <= 8; ++code)
        cases.push_back({"Socks5Reply" + std::to_string(code), "5", false,
                         Socks5UpToReply(Socks5Reply(code)), 20003 + code, socks5Texts[code - 1]});
    const std::vector<std::string> authFailed{"auth start", "auth failure"};
    cases.insert(
        cases.end(),
        {
            {"Socks5Reply9", "5", false, Socks5UpToReply(Socks5Reply(9)), 20012,
             "unassigned error #9"},
            {"Socks5Reply255", "5", false, Socks5UpToReply(Socks5Reply(255)), 20012,
             "unassigned error #255"},
            {"Socks5ReplyVersion", "5", false,
             Socks5UpToReply(Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})), 20002, "socks version error"},
            {"Socks5ReplyUnknownAddressType", "5", false,
             Socks5UpToReply(Bytes({5, 0, 0, 2, 0, 0})), 20011, "address type not supported"},
            {"MethodVersion",
             "5",
             false,
             {WaitBytes(3), Send(Bytes({4, 0})), NeverAnswer()},
             20002,
             "socks version error"},
            {"MethodRefused",
             "5",
             false,
             {WaitBytes(3), Send(Bytes({5, 255})), NeverAnswer()},
             20003,
             "authentification method not acceptable"},
            {"MethodTooLong",
             "5",
             false,
             {WaitBytes(3), Send(Bytes({5, 0, 0})), NeverAnswer()},
             20001,
             "too much data availaible"},
            {"AuthRefused", "5", true, AuthUpToAnswer(Bytes({1, 1})), 20015,
             "socks authentication failed", authFailed},
            {"AuthVersion", "5", true, AuthUpToAnswer(Bytes({5, 0})), 20002, "socks version error",
             authFailed},
            {"AuthTooLong", "5", true, AuthUpToAnswer(Bytes({1, 0, 0})), 20001,
             "too much data availaible", authFailed},
            {"Socks4Rejected", "4", false, Socks4UpToReply(Socks4Reply(91)), 20016,
             "request rejected or failed"},
            {"Socks4Refused", "4", false, Socks4UpToReply(Socks4Reply(92)), 20008,
             "connection refused"},
            {"Socks4NoIdent", "4", false, Socks4UpToReply(Socks4Reply(93)), 20015,
             "authentification failed"},
            {"Socks4Unassigned", "4", false, Socks4UpToReply(Socks4Reply(51)), 20012,
             "unassigned error #51"},
            {"Socks4Version", "4", false, Socks4UpToReply(Bytes({4, 90, 0, 0, 0, 0, 0, 0})), 20002,
             "socks version error"},
            // The server hanging up before its answer: the target was never reached.
            {"ClosedWaitingForMethod",
             "5",
             false,
             {WaitBytes(3), Close()},
             10054,
             "connection closed by socks server"},
            {"ClosedWaitingForAuth",
             "5",
             true,
             {WaitBytes(3), Send(Bytes({5, 2})), WaitBytes(3 + AuthRequest.size()), Close()},
             10054,
             "connection closed by socks server",
             authFailed},
            {"ClosedMidReply",
             "5",
             false,
             {WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + Socks5Connect().size()),
              Send(Bytes({5, 0, 0, 1})), Close()},
             10054,
             "connection closed by socks server"},
            {"ResetWaitingForReply",
             "4",
             false,
             {WaitBytes(9), Reset()},
             10054,
             "data receive error"},
        });
    return cases;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(EveryReply, SocksFailures, ::testing::ValuesIn(FailureCases()),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return info.param.Name;
                         });

TEST(TCustomSocksWSocket, Socks4TargetThatCannotBeResolvedGives20017) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    SocksRecorder r(s);
    ConnectThrough(s, peer.Port(), "4", "no-such-host.invalid");
    ASSERT_TRUE(PumpUntil([&] { return r.Closed(); }, Deadline));
    std::string resolverText;
    try {
        WSocketResolveHost("no-such-host.invalid");
    } catch (const ESocketException& e) {
        resolverText = e.Message();
    }
    EXPECT_EQ(r.Events,
              (std::vector<std::string>{"socks-connected 0",
                                        "socks-error 20017 ESocketException " + resolverText,
                                        "connected 20017", "closed 20017"}));
    ASSERT_TRUE(peer.WaitForClientClose(1, Deadline));
    EXPECT_EQ(peer.Received(), "");
}

TEST(TCustomSocksWSocket, RefusedSocksServerIsAFailedConnect) {
    TWSocket s;
    SocksRecorder r(s);
    ConnectThrough(s, RefusedPort(), "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Closed(); }, Deadline));
    EXPECT_EQ(r.Events,
              (std::vector<std::string>{"socks-connected 10061", "connected 10061", "closed 0"}));
    EXPECT_EQ(s.SocksServer(), "");
}

TEST(TCustomSocksWSocket, ClosingWhileTheServerJudgesTheCredentialsSaysAuthenticationFailed) {
    ScriptedPeer peer;
    peer.Script({WaitBytes(3), Send(Bytes({5, 2})), NeverAnswer()});
    TWSocket s;
    SocksRecorder r(s);
    UseCredentials(s);
    ConnectThrough(s, peer.Port(), "5");
    ASSERT_TRUE(PumpUntil([&] { return s.SocksPhase() == TSocksPhase::AuthAnswer; }, Deadline));
    s.Close();
    EXPECT_EQ(r.Events, (std::vector<std::string>{"socks-connected 0", "auth start", "auth failure",
                                                  "closed 0"}));
}

// ---- refusals ------------------------------------------------------------------------------

TEST(TCustomSocksWSocket, SettingsAreRefusedUnlessClosed) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    std::vector<std::string> errors;
    s.OnError = [&](TComponent*) { errors.push_back("error"); };
    s.OnSessionConnected = [](TComponent*, WORD) {};
    ConnectThrough(s, peer.Port(), "5");
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    s.OnError = nullptr;
    const std::vector<std::pair<std::function<void()>, std::string>> setters = {
        {[&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
        {[&] { s.SetSocksPort("1081"); }, "Can't change socks port if not closed"},
        {[&] { s.SetSocksServer("other"); }, "Can't change socks server if not closed"},
    };
    for (const auto& [call, text] : setters) {
        try {
            call();
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ESocketException& e) {
            EXPECT_EQ(e.Message(), text);
        }
    }
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
}

TEST(TCustomSocksWSocket, ConnectAndListenRefusals) {
    auto thrown = [](const std::function<void(TWSocket&)>& prepare) {
        TWSocket s;
        s.SetAddr(TargetName);
        s.SetPort("8080");
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort("1080");
        try {
            prepare(s);
            return std::string("nothing raised");
        } catch (const ESocketException& e) {
            EXPECT_EQ(s.State(), wsClosed);
            return e.Message();
        }
    };
    EXPECT_EQ(thrown([](TWSocket& s) { s.Listen(); }),
              "Listening is not supported thru socks server");
    EXPECT_EQ(thrown([](TWSocket& s) {
                  s.SetProto("udp");
                  s.Connect();
              }),
              "TCP is the only protocol supported thru socks server");
    EXPECT_EQ(thrown([](TWSocket& s) {
                  s.SetSocksPort("no-such-service");
                  s.Connect();
              }).rfind("Connect: ", 0),
              0u);
    EXPECT_EQ(thrown([](TWSocket& s) {
                  s.SetPort("");
                  s.Connect();
              }),
              "Connect: No Port Specified");
    // "6" and any case of "tcp" are TCP.
    for (const char* proto : {"6", "TCP"}) {
        ScriptedPeer peer;
        TWSocket s;
        s.SetProto(proto);
        ConnectThrough(s, peer.Port(), "5");
        EXPECT_EQ(s.State(), wsConnecting) << proto;
    }
}

TEST(TCustomSocksWSocket, AFailedConnectLeavesNoSocksTargetBehind) {
    // The SOCKS server's port cannot be resolved: nothing starts, and a
    // direct connect afterwards goes to the target, not to the SOCKS server.
    ScriptedPeer direct;
    direct.Script({WaitFor("direct"), NeverAnswer()});
    TWSocket s;
    s.OnError = [](TComponent*) {};
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(direct.Port()));
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("no-such-service");
    s.Connect();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.SocksPhase(), TSocksPhase::None);
    s.SetSocksServer("");
    bool connected = false;
    s.OnSessionConnected = [&](TComponent*, WORD e) {
        connected = e == 0;
        s.SendText("direct");
    };
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return connected; }, Deadline));
    EXPECT_TRUE(direct.WaitForText("direct", Deadline));
}

TEST(TCustomWSocket, ListenAnnouncesConnectionsThatAcceptTakes) {
    TWSocket s;
    s.SetLocalAddr("127.0.0.1");
    s.SetLocalPort("0");
    WORD announced = 1;
    s.OnSessionAvailable = [&](TComponent*, WORD e) { announced = e; };
    s.Listen();
    ASSERT_EQ(s.State(), wsListening);
    const int port = std::stoi(s.LocalPortText());
    ASSERT_GT(port, 0);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(PumpUntil([&] { return announced == 0; }, Deadline));
    winsock::SOCKET accepted = s.Accept();
    EXPECT_NE(accepted, winsock::INVALID_SOCKET);
    WSocket_closesocket(accepted);
    ::close(client);
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(TCustomSocksWSocket, LineModeCutsTheDataThatCameWithTheReplyIntoLines) {
    ScriptedPeer peer;
    peer.Script({WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + Socks5Connect().size()),
                 Send(Socks5Reply(0) + "one\r\ntw"), WaitFor("go"), Send("o\r\n"), NeverAnswer()});
    TWSocket s;
    SocksRecorder r(s);
    s.SetLineMode(true);
    ConnectThrough(s, peer.Port(), "5");
    ASSERT_TRUE(
        PumpUntil([&] { return r.Has("data one\r\n") && s.LineBufferLen() == 2; }, Deadline));
    s.SendText("go");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("data two\r\n"); }, Deadline));
    EXPECT_EQ(r.Events, (std::vector<std::string>{"socks-connected 0", "connected 0",
                                                  "data one\r\n", "data two\r\n"}));
}

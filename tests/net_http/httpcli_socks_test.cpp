// THttpCli through a SOCKS server (the scripted peer plays both the SOCKS
// server and, once the negotiation is done, the web server behind it).
#include "tests/net_http/httpcli_fixture.h"

#include <vector>

namespace {

// The client looks the URL's host up itself and names the address it found.
const std::string ConnectRequest = Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0x1F, 0x90});
const std::string AuthRequest = Bytes({1, 2}) + "me" + Bytes({3}) + "pwd";
const std::string Granted = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

struct HttpCliSocksTest : HttpClientTest {
    ScriptedPeer peer;
    std::vector<std::string> socksEvents;

    void Through(const std::string& level, bool auth) {
        http.SetURL("http://127.0.0.1:8080/doc");
        http.SetSocksServer("127.0.0.1");
        http.SetSocksPort(std::to_string(peer.Port()));
        http.SetSocksLevel(level);
        if (auth) {
            http.SetSocksUsercode("me");
            http.SetSocksPassword("pwd");
            http.SetSocksAuthentication(socksAuthenticateUsercode);
        }
        http.OnSocksConnected = [this](TComponent*, std::uint16_t e) {
            socksEvents.push_back("socks-connected " + std::to_string(e));
        };
        http.OnSocksError = [this](TComponent*, int e, const std::string& msg) {
            socksEvents.push_back("socks-error " + std::to_string(e) + " " + msg);
        };
    }
};

} // namespace

TEST_F(HttpCliSocksTest, GetThroughSocks5WithUserNameAndPassword) {
    peer.Script({WaitBytes(3), Send(Bytes({5, 2})), WaitBytes(3 + AuthRequest.size()),
                 Send(Bytes({1, 0})), WaitBytes(3 + AuthRequest.size() + ConnectRequest.size()),
                 Send(Granted), WaitFor("\r\n\r\n"),
                 Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), Close()});
    Through("5", true);
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(std::string(doc.Memory(), static_cast<size_t>(doc.Size())), "hello");
    const std::string received = peer.Received();
    const std::string negotiation = Bytes({5, 1, 2}) + AuthRequest + ConnectRequest;
    ASSERT_GE(received.size(), negotiation.size());
    EXPECT_EQ(received.substr(0, negotiation.size()), negotiation);
    EXPECT_EQ(received.substr(negotiation.size(), 20), "GET /doc HTTP/1.0\r\nA");
    EXPECT_EQ(socksEvents, (std::vector<std::string>{"socks-connected 0"}));
}

TEST_F(HttpCliSocksTest, GetThroughSocks4) {
    const std::string request = Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0});
    peer.Script({WaitBytes(request.size()), Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0})),
                 WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\n\r\nbody until close"), Close()});
    Through("4", false);
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(std::string(doc.Memory(), static_cast<size_t>(doc.Size())), "body until close");
    EXPECT_EQ(peer.Received().substr(0, request.size()), request);
}

// A failed negotiation reaches the synchronous caller with the SOCKS code
// and text, as a failed connect does with the Windows Sockets ones.
TEST_F(HttpCliSocksTest, SocksFailuresRaiseWithTheirCodeAndText) {
    struct Case {
        bool Auth;
        std::vector<Step> Script;
        int Code;
        std::string Text;
    };
    const std::vector<Case> cases = {
        {false,
         {WaitBytes(3), Send(Bytes({5, 0})), WaitBytes(3 + ConnectRequest.size()),
          Send(Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})), NeverAnswer()},
         20008,
         "connection refused"},
        {true,
         {WaitBytes(3), Send(Bytes({5, 2})), WaitBytes(3 + AuthRequest.size()), Send(Bytes({1, 1})),
          NeverAnswer()},
         20015,
         "socks authentication failed"},
        {false, {WaitBytes(3), Close()}, 10054, "connection closed by socks server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        peer.Script(c.Script);
        socksEvents.clear();
        Through("5", c.Auth);
        int code = 0;
        EXPECT_EQ(Outcome([&] { http.Get(); }, &code),
                  c.Text + " (Error #" + std::to_string(c.Code) + ")");
        EXPECT_EQ(code, 404);
        EXPECT_EQ(http.ErrCode(), c.Code);
        EXPECT_EQ(socksEvents, (std::vector<std::string>{"socks-connected 0",
                                                         "socks-error " + std::to_string(c.Code) +
                                                             " " + c.Text}));
        EXPECT_EQ(http.State(), httpReady);
    }
}

TEST_F(HttpCliSocksTest, SocksServerPortThatCannotBeResolvedIsACannotConnect) {
    Through("5", false);
    http.SetSocksPort("no-such-service");
    const std::string message = Outcome([&] { http.Get(); });
    EXPECT_EQ(message.rfind("can't connect: ", 0), 0u) << message;
    EXPECT_NE(message.find("no-such-service"), std::string::npos) << message;
    EXPECT_EQ(peer.Connections(), 0);
    EXPECT_EQ(http.State(), httpReady);
}

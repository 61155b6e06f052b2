// THttpCli over its socket: the message numbers the pair takes, ports the
// socket cannot use, and an upload that a slow server keeps reading.
#include "net/socket/icswndcontrol.h"
#include "net/socket/wsocket.h"
#include "tests/net_http/httpcli_fixture.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using THttpCliSocket = HttpClientTest;

} // namespace

// The client's own block comes first, its ReleaseMessage leading, then the
// socket's seven numbers; both share the thread's one hidden window.
TEST(THttpCliMessages, FirstClientTakes1025To1028AndItsSocket1029To1035) {
    ASSERT_EQ(IcsWndWindowCount(), 0);
    THttpCli http;
    TWSocket* socket = http.CtrlSocket();
    EXPECT_EQ(IcsWndWindowCount(), 1);
    TIcsWndHandler* handler = http.WindowHandler();
    ASSERT_EQ(handler, socket->WindowHandler());
    EXPECT_EQ(handler->UsedCount(), 11);
    EXPECT_EQ(http.ReleaseMessage(), 1025u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(handler->Slot(i), &http) << "number " << 1025 + i;
    EXPECT_EQ(socket->ReleaseMessage(), 1029u);
    EXPECT_EQ(socket->NetEventMessage(), 1030u);
    EXPECT_EQ(socket->TestExceptionMessage(), 1034u);
    for (int i = 4; i < 11; ++i)
        EXPECT_EQ(handler->Slot(i), socket) << "number " << 1025 + i;
}

// A client freed gives all eleven numbers back: the next one starts at 1025 again.
TEST(THttpCliMessages, NextClientReusesTheNumbersOfAFreedOne) {
    auto first = std::make_unique<THttpCli>();
    THttpCli second;
    EXPECT_EQ(second.ReleaseMessage(), 1036u);
    EXPECT_EQ(second.CtrlSocket()->ReleaseMessage(), 1040u);
    first.reset();
    THttpCli third;
    EXPECT_EQ(third.ReleaseMessage(), 1025u);
    EXPECT_EQ(third.CtrlSocket()->ReleaseMessage(), 1029u);
}

// Each client alone creates the hidden window class and unregisters it again
// when freed; the class's atom must come back each time, or the table of
// 16,384 atoms runs out ("Unable to register TIcsWndControl hidden window
// class. Error #8.").
TEST(THttpCliMessages, TwentyThousandClientsOneAfterAnother) {
    for (int i = 0; i < 20000; ++i) {
        auto http = std::make_unique<THttpCli>();
        ASSERT_EQ(http->ReleaseMessage(), 1025u) << "client " << i;
    }
    EXPECT_EQ(IcsWndWindowCount(), 0);
}

// A port the socket cannot use ends the request with the socket's own reason
// and code, not with "No Error (Error #0)".
TEST_F(THttpCliSocket, PortsTheSocketRefusesGiveItsReasonAndCode) {
    struct Case {
        std::string port, text;
        int code;
    };
    const std::string invalid = "can't connect: Winsock Resolve Port: Invalid Port. (Error #10022)";
    const std::vector<Case> cases{
        {"99999", invalid, 10022},
        {"-1", invalid, 10022},
        {"1abc", invalid, 10022},
        {"abc",
         "can't connect: Winsock Resolve Port: Cannot convert port 'abc' - No Data (#11004) "
         "(Error #11004)",
         11004},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        http.SetURL("http://127.0.0.1:" + c.port + "/p");
        int code = 0;
        EXPECT_EQ(Outcome([&] { http.Get(); }, &code), c.text);
        EXPECT_EQ(code, 404);
        EXPECT_EQ(http.ErrCode(), c.code);
        EXPECT_EQ(http.State(), httpReady);
    }
    // The client is usable again, and a refused connect has the usual text.
    http.SetURL("http://127.0.0.1:" + std::to_string(RefusedPort()) + "/p");
    EXPECT_EQ(Outcome([&] { http.Get(); }), "Connection refused (Error #10061)");
}

// The inactivity clock counts bytes the network takes from the system's send
// queue: a server reading a large upload slowly keeps the request alive,
// although the client may make no send for longer than the time-out while
// the system drains what it queued.
TEST_F(THttpCliSocket, UploadReadSlowlyOutlastsAShortTimeout) {
    const std::size_t bodySize = 3 * 1024 * 1024;
    const std::size_t slowPart = 640 * 1024; // read at about 160 KB/s
    ScriptedPeer peer(8 * 1024);
    peer.Script({ReadSlowlyTo(slowPart, 8 * 1024, 50), WaitFor("<END>"),
                 Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"), Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), std::string(bodySize - 5, 'b') + "<END>");
    http.SetTimeout(2);
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(doc.DataString(), "ok");
    EXPECT_EQ(http.BodySentCount(), static_cast<std::int64_t>(bodySize));
}

// A body goes out piece by piece, each piece sent from the notice the one
// before left behind. An answer that arrives meanwhile is read at once, not
// after the whole body: the request ends with it. (The server answers before
// it reads the body, and the body is larger than the system can hold for it
// unread, so the answer comes before the body's end; the client makes each
// piece more slowly than the server reads, so no send has to wait.)
TEST_F(THttpCliSocket, AnswerArrivingWhileTheBodyIsSentIsReadBeforeTheBodyEnds) {
    const std::int64_t bodySize = 16 << 20;
    ScriptedPeer peer(4 << 20);
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"),
                 NeverAnswer()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"),
                    std::string(static_cast<std::size_t>(bodySize), 'b'));
    http.SetTimeout(10);
    std::int64_t sentAtHeaderEnd = -1;
    http.OnSendData = [](TComponent*, const char*, int) { BusyFor(std::chrono::microseconds(20)); };
    http.OnHeaderEnd = [&](TComponent*) { sentAtHeaderEnd = http.BodySentCount(); };
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(doc.DataString(), "ok");
    EXPECT_GE(sentAtHeaderEnd, 0);
    EXPECT_LT(sentAtHeaderEnd, bodySize * 7 / 8);
}

// What the system holds but nobody takes is no activity: a server that
// stops reading is given up after the time-out.
TEST_F(THttpCliSocket, UploadNobodyReadsTimesOut) {
    ScriptedPeer peer(8 * 1024);
    peer.Script({Pause(30000)});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), std::string(3 * 1024 * 1024, 'b'));
    http.SetTimeout(1);
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Post(); }, &code), "Request aborted on timeout");
    EXPECT_EQ(code, 404);
}

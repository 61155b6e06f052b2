// THttpCli against servers that misbehave: interim answers that carry
// fields, relocations that arrive while a body is still being sent, and the
// relocation rules where a kept connection is involved.
#include "net/socket/wsocket.h"
#include "tests/net_http/httpcli_fixture.h"
#include "tests/net_http/httpcli_testaccess.h"

#include <utility>
#include <vector>

namespace {

using THttpCliHostile = HttpClientTest;

// A body larger than what the kernels of both ends buffer while the server
// reads nothing: the answer arrives while the client still sends it.
const std::size_t kLargeBody = 8u << 20;

// Feeds `response` to a client expecting the answer to a GET, optionally in
// the pieces `cuts` gives, closes the connection when `close` is set, and
// waits for the end of the request.
struct Fed {
    int status = 0;
    std::string reason;
    std::int64_t contentLength = 0;
    std::string body;
    int locationChanges = 0;
    bool operator==(const Fed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Fed& f) {
    return os << f.status << " " << f.reason << " CL=" << f.contentLength << " body=[" << f.body
              << "] relocations=" << f.locationChanges;
}

Fed FeedResponse(const std::string& response, bool close, std::size_t cut = 0) {
    THttpCli http;
    TMemoryStream doc;
    Fed f;
    http.SetRequestVer("1.1");
    http.SetDocStream(&doc);
    http.OnLocationChange = [&](TComponent*) { ++f.locationChanges; };
    THttpCliTestAccess::Answer(http, httpGET, response,
                               cut > 0 ? std::vector<std::size_t>{cut} : std::vector<std::size_t>{},
                               close);
    EXPECT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    f.status = http.StatusCode();
    f.reason = http.ReasonPhrase();
    f.contentLength = http.ContentLength();
    f.body = doc.DataString();
    return f;
}

// ---- an interim answer's fields ------------------------------------------------------

struct InterimCase {
    const char* name;
    std::string interimFields; // lines of the 100, each ended by CR LF
};

void PrintTo(const InterimCase& c, std::ostream* os) {
    *os << c.name;
}

class THttpCliInterim : public ::testing::TestWithParam<InterimCase> {};

// The final answer's body runs until the close: whatever the 100 said about
// lengths, codings or a new location must not change how it is read.
TEST_P(THttpCliInterim, FieldsOfA100AreForgottenWhenItEnds) {
    const std::string response = "HTTP/1.1 100 Continue\r\n" + GetParam().interimFields +
                                 "\r\nHTTP/1.1 200 OK\r\nConnection: close\r\n\r\nthe whole body";
    const Fed expected{200, "OK", -1, "the whole body", 0};
    EXPECT_EQ(FeedResponse(response, true), expected);
    for (std::size_t k = 1; k < response.size(); ++k)
        ASSERT_EQ(FeedResponse(response, true, k), expected) << "split at " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, THttpCliInterim,
    ::testing::Values(InterimCase{"ContentLength", "Content-Length: 3\r\n"},
                      InterimCase{"ZeroContentLength", "Content-Length: 0\r\n"},
                      InterimCase{"Chunked", "Transfer-Encoding: chunked\r\n"},
                      InterimCase{"Location", "Location: /elsewhere\r\n"},
                      InterimCase{"AbsoluteLocation", "Location: http://other.invalid/x\r\n"},
                      InterimCase{"All",
                                  "Location: /x\r\nContent-Length: 3\r\n"
                                  "Transfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(THttpCliInterimHeader, FinalAnswerKeepsNoChallengeOrTypeOfTheInterimOne) {
    THttpCli http;
    TMemoryStream doc;
    http.SetRequestVer("1.1");
    http.SetDocStream(&doc);
    THttpCliTestAccess::ExpectResponse(http, httpGET);
    THttpCliTestAccess::Feed(http, "HTTP/1.1 100 Continue\r\nContent-Type: text/x-interim\r\n"
                                   "WWW-Authenticate: Basic realm=\"interim\"\r\n\r\n"
                                   "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    EXPECT_EQ(http.ContentType(), "");
    EXPECT_EQ(http.AuthChallenges().Count(), 0);
    EXPECT_EQ(http.HeaderLines().Lines(),
              (std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Length: 2"}));
    EXPECT_EQ(doc.DataString(), "ok");
}

// ---- chunk framing that is not what it claims -----------------------------------

const std::string kChunkedHeader = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct ChunkCase {
    const char* name;
    std::string chunks;
    std::string goodPrefix; // what reaches DocStream before the fault
};

void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.name;
}

class THttpCliChunkGarbage : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(THttpCliChunkGarbage, EndsTheRequestAsMalformedAndWritesNothingLater) {
    const ChunkCase& c = GetParam();
    const std::string response = kChunkedHeader + c.chunks;
    // Whole, and with the bytes after the fault arriving in later reads.
    for (std::size_t cut : {std::size_t(0), kChunkedHeader.size() + c.goodPrefix.size() + 2}) {
        THttpCli http;
        TMemoryStream doc;
        http.SetRequestVer("1.1");
        http.SetDocStream(&doc);
        THttpCliTestAccess::ExpectResponse(http, httpGET);
        if (cut > 0 && cut < response.size())
            THttpCliTestAccess::Feed(http, response.substr(0, cut));
        THttpCliTestAccess::Feed(http, cut > 0 && cut < response.size() ? response.substr(cut)
                                                                        : response);
        THttpCliTestAccess::Feed(http, "5\r\nlater\r\n0\r\n\r\n");
        ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
        EXPECT_EQ(http.StatusCode(), 404) << "cut " << cut;
        EXPECT_EQ(http.ReasonPhrase(), "Malformed response");
        EXPECT_EQ(doc.DataString(), c.goodPrefix) << "cut " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, THttpCliChunkGarbage,
    ::testing::Values(ChunkCase{"EmptySize", "\r\nhello\r\n0\r\n\r\n", ""},
                      ChunkCase{"ExtensionWithoutSize", ";x=y\r\nhello\r\n0\r\n\r\n", ""},
                      ChunkCase{"NegativeSize", "-5\r\nhello\r\n0\r\n\r\n", ""},
                      ChunkCase{"LeadingBlank", " 5\r\nhello\r\n0\r\n\r\n", ""},
                      ChunkCase{"NonHexInSize", "5x\r\nhello\r\n0\r\n\r\n", ""},
                      ChunkCase{"SecondSizeNonHex", "2\r\nok\r\nzz\r\nhello\r\n0\r\n\r\n", "ok"},
                      ChunkCase{"DataLongerThanSize", "3\r\nhello\r\n0\r\n\r\n", "hel"},
                      ChunkCase{"NoLineEndAfterData", "5\r\nhello0\r\n\r\n", "hello"},
                      ChunkCase{"CrWithoutLfAfterData", "5\r\nhello\rX0\r\n\r\n", "hello"},
                      ChunkCase{"CrWithoutLfAfterSize", "5\rhello\r\n0\r\n\r\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Framing that carries no data is capped as the header is (a line of 64 KiB,
// 1 MiB in all): a server that sends it without end is cut off, however it
// is split.
class THttpCliEndlessFraming : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(THttpCliEndlessFraming, IsCutOffAsMalformed) {
    const ChunkCase& c = GetParam();
    for (std::size_t piece : {c.chunks.size(), std::size_t{1000}}) {
        THttpCli http;
        TMemoryStream doc;
        http.SetRequestVer("1.1");
        http.SetDocStream(&doc);
        THttpCliTestAccess::ExpectResponse(http, httpGET);
        THttpCliTestAccess::Feed(http, kChunkedHeader);
        for (std::size_t at = 0; at < c.chunks.size(); at += piece)
            THttpCliTestAccess::Feed(http, c.chunks.substr(at, piece));
        ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000)) << piece;
        EXPECT_EQ(http.StatusCode(), 404);
        EXPECT_EQ(http.ReasonPhrase(), "Malformed response");
        EXPECT_EQ(doc.DataString(), c.goodPrefix);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Framing, THttpCliEndlessFraming,
    ::testing::Values(ChunkCase{"Extension", "5;" + std::string(70 * 1024, 'x'), ""},
                      ChunkCase{"ZerosOfASize", std::string(70 * 1024, '0'), ""},
                      ChunkCase{"BlanksAfterTheSize", "5" + std::string(70 * 1024, ' '), ""},
                      ChunkCase{"TrailerLine",
                                "2\r\nok\r\n0\r\nX-Trailer: " + std::string(70 * 1024, 't'), "ok"},
                      ChunkCase{"TrailerLines",
                                [] {
                                    std::string t = "2\r\nok\r\n0\r\n";
                                    while (t.size() < (1u << 20) + 1024)
                                        t += "X-Trailer: " + std::string(50, 't') + "\r\n";
                                    return t;
                                }(),
                                "ok"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(THttpCliChunks, AcceptsBlanksAndExtensionsAfterTheSizeAndBareLineFeeds) {
    for (const std::string chunks :
         {"5 \r\nhello\r\n0\r\n\r\n", "5\t ;name=value\r\nhello\r\n0\r\n\r\n", "5\nhello\n0\n\n",
          "0005\r\nhello\r\n00\r\nTrailer: x\r\n\r\n"}) {
        Fed f = FeedResponse(kChunkedHeader + chunks, false);
        EXPECT_EQ(f.status, 200) << chunks;
        EXPECT_EQ(f.body, "hello") << chunks;
    }
}

TEST(THttpCliLengths, ZeroPaddedContentLengthIsItsValue) {
    Fed f = FeedResponse("HTTP/1.1 200 OK\r\nContent-Length: 000000000000000000005\r\n\r\nhello",
                         false);
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(f.contentLength, 5);
    EXPECT_EQ(f.body, "hello");
}

// ---- what follows a response, in any split ------------------------------------------

struct Seen {
    int status = 0;
    std::string body;
    int pushes = 0;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << s.status << " body=[" << s.body << "] pushes=" << s.pushes;
}

// The result right after the bytes were read, before any posted step runs.
Seen ReadAt(THttpRequest rq, const std::string& response, std::size_t cut) {
    Seen seen;
    {
        THttpCli http;
        TMemoryStream doc;
        http.SetRequestVer("1.1");
        http.SetDocStream(&doc);
        http.OnDataPush = [&](TComponent*, std::uint16_t) { ++seen.pushes; };
        THttpCliTestAccess::ExpectResponse(http, rq);
        THttpCliTestAccess::Feed(http, response.substr(0, cut));
        THttpCliTestAccess::Feed(http, response.substr(cut));
        seen.status = http.StatusCode();
        seen.body = doc.DataString();
    }
    PumpPlatformMessages(); // what the client posted goes with it
    return seen;
}

struct AfterCase {
    const char* name;
    THttpRequest rq;
    std::string response;
    Seen expected;
};

void PrintTo(const AfterCase& c, std::ostream* os) {
    *os << c.name;
}

class THttpCliAfterResponse : public ::testing::TestWithParam<AfterCase> {};

TEST_P(THttpCliAfterResponse, AnySplitGivesTheSameResult) {
    const AfterCase& c = GetParam();
    for (std::size_t k = 0; k <= c.response.size(); ++k)
        ASSERT_EQ(ReadAt(c.rq, c.response, k), c.expected) << "split at " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, THttpCliAfterResponse,
    ::testing::Values(
        // Lines after the body go to OnDataPush whether or not they came in
        // the body's read.
        AfterCase{"LinesAfterTheBody",
                  httpGET,
                  "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokjunk 1\r\njunk 2\r\n",
                  {200, "ok", 2}},
        // Trailer lines are the end of the message, not lines after it.
        AfterCase{"ChunkedTrailers",
                  httpGET,
                  kChunkedHeader + "2\r\nok\r\n0\r\nA: 1\r\nB: 2\r\n\r\n",
                  {200, "ok", 0}},
        // Once a relocation is set up, the old answer's extra bytes are no
        // one's: they would be read as the start of the next answer.
        AfterCase{"AfterARelocatingAnswer",
                  httpGET,
                  "HTTP/1.1 301 Moved\r\nLocation: /q\r\nContent-Length: 3\r\n\r\nold"
                  "HTTP/1.1 200 OK\r\n",
                  {0, "", 0}},
        // No body is read for HEAD, not even one that has no header.
        AfterCase{
            "HeadOfABodyOnlyAnswer", httpHEAD, "<HTML>\r\n<p>page</p>\r\n</HTML>", {0, "", 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Location values -------------------------------------------------------------

TEST(THttpCliLocation, OnlyTheLastOfManyRelativeLocationsCounts) {
    // Each relative value used to be appended to the target of the one
    // before: work that grew with the square of the line count.
    std::string response = "HTTP/1.1 302 Found\r\n";
    for (int i = 0; i < 23000; ++i)
        response += "Location: a/\r\n";
    response += "Location: last\r\nContent-Length: 0\r\n\r\n";
    THttpCli http;
    TMemoryStream doc;
    http.SetRequestVer("1.1");
    http.SetDocStream(&doc);
    http.SetURL("http://h/dir/page");
    THttpCliTestAccess::ExpectResponse(http, httpGET);
    THttpCliTestAccess::Feed(http, response);
    ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 5000));
    EXPECT_EQ(http.StatusCode(), 302);
    EXPECT_EQ(http.Location(), "http://h/dir/last");
}

struct BadLocationCase {
    const char* name;
    std::string value;
};

void PrintTo(const BadLocationCase& c, std::ostream* os) {
    *os << c.name;
}

class THttpCliBadLocation : public ::testing::TestWithParam<BadLocationCase> {};

TEST_P(THttpCliBadLocation, IsAMalformedResponseAndNotFollowed) {
    Fed f = FeedResponse("HTTP/1.1 302 Found\r\nLocation: " + GetParam().value +
                             "\r\nContent-Length: 0\r\n\r\n",
                         false);
    EXPECT_EQ(f.status, 404);
    EXPECT_EQ(f.reason, "Malformed response");
    EXPECT_EQ(f.locationChanges, 0);
}

INSTANTIATE_TEST_SUITE_P(Values, THttpCliBadLocation,
                         ::testing::Values(BadLocationCase{"BareCr", "/x\rInjected: 1"},
                                           BadLocationCase{"BlankInPath", "/x y"},
                                           BadLocationCase{"TabInPath", "/x\ty"},
                                           BadLocationCase{"Delete", "/x\x7f"},
                                           BadLocationCase{"NulInPath", std::string("/x\0y", 4)},
                                           BadLocationCase{"RelativeWithCr", "x\ry"},
                                           BadLocationCase{"CrInAbsoluteHost", "http://h\rX: y/x"},
                                           BadLocationCase{"BlankInAbsoluteHost", "http://h x/p"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(THttpCliHostile, BlanksAfterALocationAreItsPaddingAndItIsFollowed) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 302 Found\r\nLocation: /x \t \r\n\r\n"), Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.OnLocationChange = [&](TComponent*) {
        peer.Script(
            {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"), Close()});
    };
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(doc.DataString(), "ok");
    EXPECT_NE(peer.Received().find("GET /x HTTP/1.0\r\n"), std::string::npos);
}

TEST_F(THttpCliHostile, RelocationTargetLongerThan64KiBIsMalformed) {
    // Each relative target ends in "/", so the next one adds to it: the
    // second relocation would lead past 64 KiB.
    ScriptedPeer peer;
    std::string segments;
    for (int i = 0; i < 20000; ++i)
        segments += "b/";
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.0 302 Found\r\nLocation: " + segments + "\r\n\r\n"), Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Malformed response");
    EXPECT_EQ(code, 404);
    EXPECT_EQ(peer.Connections(), 2);
}

// ---- the caller's URL ------------------------------------------------------------

TEST_F(THttpCliHostile, UrlWithControlCharactersIsRefusedBeforeAnythingIsSent) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"), Close()});
    const std::string hostPort = "127.0.0.1:" + std::to_string(peer.Port());
    int dones = 0;
    http.OnRequestDone = [&](TComponent*, THttpRequest, std::uint16_t) { ++dones; };
    for (const std::string& url :
         {"http://" + hostPort + "/a\r\nX-Injected: 1", "http://" + hostPort + "/a\nb",
          "http://" + hostPort + "/a\tb", "http://" + hostPort + "/a\x7f",
          "http://" + hostPort + "/a?q=\r",
          "http://127.0.0.1\r\nX: y:" + std::to_string(peer.Port()) + "/a",
          "http://127.0.0.1 :" + std::to_string(peer.Port()) + "/a"}) {
        http.SetURL(url);
        int code = 0;
        EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Malformed URL");
        EXPECT_EQ(code, 404);
        EXPECT_EQ(http.State(), httpReady);
    }
    EXPECT_TRUE(PumpUntil([&] { return dones == 7; }, 2000));
    EXPECT_EQ(peer.Connections(), 0);
    // The client stays usable.
    http.SetURL(LocalUrl(peer, "/fine"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
}

TEST_F(THttpCliHostile, BlanksInTheCallersPathAreSentAsPercent20) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"), Close()});
    http.SetURL(LocalUrl(peer, "/a b/c d.htm?q r"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_TRUE(peer.Received().starts_with("GET /a%20b/c%20d.htm?q%20r HTTP/1.0\r\n"));
    EXPECT_EQ(http.DocumentName(), "c d.htm");
    // Through a proxy the absolute target is encoded the same way.
    http.SetProxy("127.0.0.1");
    http.SetProxyPort(std::to_string(peer.Port()));
    http.SetURL("http://origin.invalid/x y");
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_NE(peer.Received().find("GET http://origin.invalid/x%20y HTTP/1.0\r\n"),
              std::string::npos);
}

// ---- bytes after an answer whose end waits for the body ------------------------------

TEST_F(THttpCliHostile, JunkAfterAnEarly401WhileTheBodyWaitsEndsTheRequest) {
    std::string lines;
    while (lines.size() < (2u << 20))
        lines += "junk junk junk junk\r\n";
    for (const Step& junk : {SendFiller(4u << 20), Send(lines)}) {
        ScriptedPeer peer(16 * 1024);
        // The server answers at once, keeps sending and never reads the body
        // (which is larger than what the kernels hold), so the end of the
        // answer waits for a body that cannot go.
        peer.Script({WaitFor("\r\n\r\n"),
                     Send("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n"), junk,
                     Pause(30000)});
        THttpCli client;
        TMemoryStream page, upload;
        upload.Write(std::string(kLargeBody, 'u'));
        upload.SetPosition(0);
        client.SetDocStream(&page);
        client.SetPostStream(&upload);
        client.SetRequestVer("1.1");
        client.SetTimeout(3);
        client.SetURL(LocalUrl(peer, "/p"));
        int code = 0;
        EXPECT_EQ(Outcome([&] { client.Post(); }, &code), "Malformed response");
        EXPECT_EQ(code, 404);
        // What is held stays within the caps, whatever was sent.
        EXPECT_LE(THttpCliTestAccess::ReceiveBufferCapacity(client), 128u * 1024u);
    }
}

// A server that answers before it has read the body (Squid's 407) and then
// resets the connection: the send that meets the reset must not throw away
// the answer that arrived before it.
TEST_F(THttpCliHostile, AnswerBeforeAResetThatASendMeetsIsActedOn) {
    ScriptedPeer peer;
    peer.ScriptEach(
        {{WaitFor("\r\n\r\n"),
          Send("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n"
               "Content-Length: 6\r\n\r\ndenied"),
          Reset()},
         {WaitFor("the end"), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"), Close()}});
    std::string content(64 * 1024, 'b');
    content.replace(content.size() - 7, 7, "the end");
    ConfigureUpload(LocalUrl(peer, "/p"), content);
    http.SetTimeout(5);
    http.SetUsername("u");
    http.SetPassword("p");
    // After the first write of the first request (the header and the start
    // of the body) the reset is waited for: the next write of the same send
    // is what finds it, before anything has been read.
    bool first = true;
    http.CtrlSocket()->OnSendData = [&](TComponent*, int) {
        if (std::exchange(first, false)) {
            ASSERT_TRUE(peer.WaitForResets(1, 5000));
        }
    };
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(doc.DataString(), "ok");
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_NE(peer.ReceivedOn(1).find("Authorization: Basic dTpw\r\n"), std::string::npos);
}

// ---- relocation while the body is being sent ----------------------------------------

std::string ExactGet(const ScriptedPeer& peer, const std::string& path, const char* version) {
    return "GET " + path + " HTTP/" + version + "\r\n" + kAcceptLine +
           "Connection: Keep-Alive\r\n" + kAgentLine +
           "Host: 127.0.0.1:" + std::to_string(peer.Port()) + "\r\n\r\n";
}

TEST_F(THttpCliHostile, RelocationOverAClosingConnectionStopsTheBody) {
    ScriptedPeer peer(16 * 1024);
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n"), Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), std::string(kLargeBody, 'b'));
    http.SetTimeout(5);
    http.OnLocationChange = [&](TComponent*) {
        peer.Script({WaitFor("\r\n\r\n"),
                     Send("HTTP/1.0 200 OK\r\nConnection: close\r\nContent-Length: 4\r\n\r\ndone"),
                     Close()});
    };
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(doc.DataString(), "done");
    ASSERT_TRUE(peer.WaitForClientClose(2, 5000));
    // The new connection carries the GET and nothing after it (the first
    // one's last body bytes may arrive after it, on their own connection).
    EXPECT_EQ(peer.ReceivedOn(1), ExactGet(peer, "/x", "1.0"));
    EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(THttpCliHostile, RelocationBeforeTheWholeBodyWasSentLeavesTheKeptConnection) {
    ScriptedPeer peer(16 * 1024);
    // The server answers before it has read the body: the connection is out
    // of step with the request and cannot carry the next one.
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 5\r\n\r\nmoved"),
                 Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), std::string(kLargeBody, 'b'));
    http.SetRequestVer("1.1");
    http.SetTimeout(5);
    http.OnLocationChange = [&](TComponent*) {
        peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone"),
                     NeverAnswer()});
    };
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(doc.DataString(), "done");
    EXPECT_EQ(peer.Connections(), 2);
    // Once the client has closed both, the peer has everything it sent.
    EXPECT_EQ(Outcome([&] { http.Close(); }), "");
    ASSERT_TRUE(peer.WaitForClientClose(2, 5000));
    const std::string exact = ExactGet(peer, "/x", "1.1");
    EXPECT_EQ(peer.ReceivedOn(1).substr(0, exact.size() + 64), exact);
    EXPECT_EQ(http.BodySentCount(), 0);
}

// ---- relocation rules over a kept connection ---------------------------------------

TEST_F(THttpCliHostile, BodilessRelocationOverAKeptConnectionEndsWithItsStatus) {
    for (const char* framing : {"", "Content-Length: 0\r\n"}) {
        SCOPED_TRACE(framing);
        ScriptedPeer peer;
        peer.Script({WaitFor("\r\n\r\n"),
                     Send(std::string("HTTP/1.1 302 Found\r\nLocation: /x\r\n") + framing + "\r\n"),
                     NeverAnswer()});
        THttpCli client;
        TMemoryStream page;
        client.SetDocStream(&page);
        client.SetRequestVer("1.1");
        client.SetConnection("Keep-Alive");
        client.SetTimeout(5);
        client.SetURL(LocalUrl(peer, "/p"));
        int changes = 0;
        client.OnLocationChange = [&](TComponent*) { ++changes; };
        EXPECT_EQ(Outcome([&] { client.Get(); }), "");
        EXPECT_EQ(client.StatusCode(), 302);
        EXPECT_EQ(client.Location(), LocalUrl(peer, "/x"));
        // When the kept connection closes later, nothing is followed either.
        peer.Stop();
        ASSERT_TRUE(PumpUntil([&] { return client.CtrlSocket()->State() == wsClosed; }, 2000));
        PumpUntil([] { return false; }, 100);
        EXPECT_EQ(client.State(), httpReady);
        EXPECT_EQ(changes, 0);
        EXPECT_EQ(peer.Connections(), 1);
        EXPECT_EQ(peer.Received(), ExactGet(peer, "/p", "1.1"));
    }
}

// Two sound departures from the first design of relocation, kept on purpose:
// an absolute relocation names the new server's port in the Host line and in
// Location, and a relocation over a kept connection whose answer carries a
// Content-Length body is followed before the synchronous call returns.
TEST_F(THttpCliHostile, AbsoluteRelocationCarriesTheNewPortInHostAndLocation) {
    ScriptedPeer target;
    target.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi"), Close()});
    ScriptedPeer first;
    first.Script({WaitFor("\r\n\r\n"),
                  Send("HTTP/1.0 301 Moved\r\nLocation: " + LocalUrl(target, "/new") + "\r\n\r\n"),
                  Close()});
    http.SetURL(LocalUrl(first, "/old"));
    std::string locationSeen;
    http.OnLocationChange = [&](TComponent*) { locationSeen = http.Location(); };
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(locationSeen, LocalUrl(target, "/new"));
    EXPECT_NE(
        target.Received().find("\r\nHost: 127.0.0.1:" + std::to_string(target.Port()) + "\r\n"),
        std::string::npos);
    EXPECT_EQ(doc.DataString(), "hi");
}

TEST_F(THttpCliHostile, KeptConnectionRelocationWithABodyIsFollowedWithinTheCall) {
    ScriptedPeer peer;
    peer.Script({WaitFor("GET /p "), WaitFor("\r\n\r\n"),
                 Send("HTTP/1.1 301 Moved\r\nLocation: /q\r\nContent-Length: 3\r\n\r\nold"),
                 WaitFor("GET /q "), WaitFor("\r\n\r\n"),
                 Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew"), NeverAnswer()});
    http.SetRequestVer("1.1");
    http.SetURL(LocalUrl(peer, "/p"));
    int dones = 0;
    http.OnRequestDone = [&](TComponent*, THttpRequest, std::uint16_t) { ++dones; };
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(doc.DataString(), "new");
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_TRUE(PumpUntil([&] { return dones > 0; }, 2000));
    EXPECT_EQ(dones, 1); // the relocating answer did not end the request
}

} // namespace

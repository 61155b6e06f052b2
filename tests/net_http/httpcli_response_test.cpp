// THttpCli's responses: framings, any split of the bytes, interim answers,
// relocation, failures and the synchronous wait.
#include "net/socket/icswndcontrol.h"
#include "net/socket/wsocket.h"
#include "tests/net_http/httpcli_fixture.h"
#include "tests/net_http/httpcli_testaccess.h"

#include <chrono>
#include <vector>

namespace {

using THttpCliResponse = HttpClientTest;

// ---- framings, fed through the data handler --------------------------------------

struct Parsed {
    int status = 0;
    std::string reason, version, contentType, transferEncoding;
    std::vector<std::string> lines;
    std::int64_t contentLength = 0, received = 0;
    std::string body;
    int headerBegins = 0, docBegins = 0, docEnds = 0;
    bool operator==(const Parsed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Parsed& p) {
    return os << p.status << " " << p.reason << " CL=" << p.contentLength << " RC=" << p.received
              << " body=[" << p.body << "] lines=" << p.lines.size();
}

// Feeds `response` as the answer to a GET, in the pieces `cuts` gives (byte
// offsets), closing the connection afterwards when `close` is set, and waits
// for the end of the request.
Parsed ParseResponse(const std::string& response, const std::vector<std::size_t>& cuts, bool close,
                     const std::string& requestVer = "1.1") {
    THttpCli http;
    TMemoryStream doc;
    Parsed p;
    http.SetRequestVer(requestVer);
    http.SetDocStream(&doc);
    http.OnHeaderBegin = [&](TComponent*) { ++p.headerBegins; };
    http.OnDocBegin = [&](TComponent*) { ++p.docBegins; };
    http.OnDocEnd = [&](TComponent*) { ++p.docEnds; };
    THttpCliTestAccess::Answer(http, httpGET, response, cuts, close);
    EXPECT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    p.status = http.StatusCode();
    p.reason = http.ReasonPhrase();
    p.version = http.ResponseVer();
    p.contentType = http.ContentType();
    p.transferEncoding = http.TransferEncoding();
    p.lines = http.HeaderLines().Lines();
    p.contentLength = http.ContentLength();
    p.received = http.ReceivedCount();
    p.body = doc.DataString();
    return p;
}

struct FramingCase {
    const char* name;
    std::string response;
    bool close; // the peer closes after the bytes
    int status;
    std::int64_t contentLength;
    std::string body;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class THttpCliFraming : public ::testing::TestWithParam<FramingCase> {};

const std::vector<FramingCase> kFramings = {
    {"ContentLength",
     "HTTP/1.1 200 OK\r\nContent-Type: Text/Plain\r\nContent-Length: 5\r\n\r\nhello", false, 200, 5,
     "hello"},
    {"Chunked",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5;x=y\r\nhello\r\n"
     "1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n",
     false, 200, -1, "helloabcdefghijklmnopqrstuvwxyz"},
    {"UntilClose", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nline one\nline two", true, 200, -1,
     "line one\nline two"},
    {"InterimContinue",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok", false, 201,
     2, "ok"},
    {"LengthZero", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, 200, 0, ""},
    {"NoContentWithoutLength", "HTTP/1.1 204 No Content\r\n\r\n", false, 204, -1, ""},
    {"NotModifiedWithoutLength", "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n", false, 304, -1,
     ""},
    {"StrayLineBreakFirst", "\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 200, 2,
     "ok"},
    {"BareLineFeeds", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", false, 200, 3, "abc"},
};

TEST_P(THttpCliFraming, DeliversTheBody) {
    const FramingCase& c = GetParam();
    Parsed p = ParseResponse(c.response, {}, c.close);
    EXPECT_EQ(p.status, c.status);
    EXPECT_EQ(p.contentLength, c.contentLength);
    EXPECT_EQ(p.body, c.body);
    EXPECT_EQ(p.received, static_cast<std::int64_t>(c.body.size()));
    EXPECT_EQ(p.headerBegins, 1);
    EXPECT_EQ(p.docEnds, c.body.empty() ? 0 : 1);
}

TEST_P(THttpCliFraming, AnySplitGivesTheSameResultAsOneRead) {
    const FramingCase& c = GetParam();
    Parsed whole = ParseResponse(c.response, {}, c.close);
    for (std::size_t k = 1; k < c.response.size(); ++k)
        ASSERT_EQ(ParseResponse(c.response, {k}, c.close), whole) << "split at " << k;
    std::vector<std::size_t> everyByte;
    for (std::size_t k = 1; k < c.response.size(); ++k)
        everyByte.push_back(k);
    EXPECT_EQ(ParseResponse(c.response, everyByte, c.close), whole) << "byte by byte";
}

INSTANTIATE_TEST_SUITE_P(Framings, THttpCliFraming, ::testing::ValuesIn(kFramings),
                         [](const auto& info) { return std::string(info.param.name); });

// Every 1xx but 101 is an interim answer, whatever the version.
INSTANTIATE_TEST_SUITE_P(
    Interim, THttpCliFraming,
    ::testing::Values(FramingCase{"EarlyHints",
                                  "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"
                                  "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                                  false, 200, 2, "ok"},
                      FramingCase{"ProcessingTwice",
                                  "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
                                  "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
                                  false, 200, 2, "ok"},
                      FramingCase{
                          "ContinueOverHttp10",
                          "HTTP/1.0 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\n\r\nuntil the close",
                          true, 200, -1, "until the close"}),
    [](const auto& info) { return std::string(info.param.name); });

// HEAD, 1xx, 204 and 304 answers have no body, whatever their length or
// coding says: the request ends with the header.
INSTANTIATE_TEST_SUITE_P(
    NoBody, THttpCliFraming,
    ::testing::Values(FramingCase{"NoContentWithLength",
                                  "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false,
                                  204, 5, ""},
                      FramingCase{"NotModifiedWithLength",
                                  "HTTP/1.1 304 Not Modified\r\nContent-Length: 1234\r\n\r\n",
                                  false, 304, 1234, ""},
                      FramingCase{"NotModifiedChunked",
                                  "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n",
                                  false, 304, -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Transfer-Encoding is a list, in any case and with blanks, continued by a
// second field; the body is chunked when its last coding is.
INSTANTIATE_TEST_SUITE_P(
    TransferCodingLists, THttpCliFraming,
    ::testing::Values(
        FramingCase{"TrailingBlank",
                    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked \r\n\r\n5\r\nHELLO\r\n0\r\n\r\n",
                    false, 200, -1, "HELLO"},
        FramingCase{"IdentityThenChunked",
                    "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity, CHUNKED\r\n\r\n"
                    "5\r\nHELLO\r\n0\r\n\r\n",
                    false, 200, -1, "HELLO"},
        FramingCase{"SecondField",
                    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n"
                    "Transfer-Encoding: identity\r\n\r\n5\r\nHELLO\r\n0\r\n\r\n",
                    false, 200, 3, "HELLO"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(THttpCliHeader, ReadsTheKnownFields) {
    THttpCli http;
    TMemoryStream doc;
    std::vector<std::string> cookies;
    http.SetDocStream(&doc);
    http.SetURL("http://h/dir/page");
    http.OnCookie = [&](TComponent*, const std::string& data, bool&) { cookies.push_back(data); };
    THttpCliTestAccess::ExpectResponse(http, httpGET);
    THttpCliTestAccess::Feed(http, "HTTP/1.0 206 Partial Content\r\n"
                                   "Content-Type: TEXT/HTML\r\n"
                                   "Content-Range: bytes 0-99/1234\r\n"
                                   "Accept-Ranges: bytes\r\n"
                                   "Set-Cookie: a=1; path=/\r\n"
                                   "Set-Cookie: b=2\r\n"
                                   "WWW-Authenticate: Basic realm=\"x\"\r\n"
                                   "Content-Encoding: gzip\r\n"
                                   "Connection: Keep-Alive\r\n"
                                   "Content-Length: 4\r\n\r\nbody");
    ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    EXPECT_EQ(http.StatusCode(), 206);
    EXPECT_EQ(http.ReasonPhrase(), "Partial Content");
    EXPECT_EQ(http.ContentType(), "text/html");
    EXPECT_EQ(http.ContentRangeBegin(), "0");
    EXPECT_EQ(http.ContentRangeEnd(), "99");
    EXPECT_EQ(http.AcceptRanges(), "bytes");
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1; path=/", "b=2"}));
    EXPECT_EQ(http.AuthChallenges().Lines(), std::vector<std::string>{"Basic realm=\"x\""});
    EXPECT_EQ(http.ContentEncoding(), "gzip");
    EXPECT_FALSE(http.CloseReq()); // keep-alive on an HTTP/1.0 request
    EXPECT_EQ(http.DocumentName(), "page.htm");
    EXPECT_EQ(http.HeaderLines().Count(), 10);
    EXPECT_EQ(doc.DataString(), "body");
}

TEST(THttpCliHeader, ReceiveBufferStaysBoundedForALongBody) {
    THttpCli http;
    TMemoryStream doc;
    http.SetDocStream(&doc);
    http.SetRequestVer("1.1");
    THttpCliTestAccess::ExpectResponse(http, httpGET);
    const std::string body(4 << 20, 'z');
    THttpCliTestAccess::Feed(http, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    EXPECT_EQ(http.ReceivedCount(), static_cast<std::int64_t>(body.size()));
    // The first allocation (16 KiB and the zero byte) is never outgrown.
    EXPECT_LE(THttpCliTestAccess::ReceiveBufferCapacity(http), 16u * 1024u + 1u);
}

// ---- decided failures, fed through the data handler ------------------------------

struct FaultCase {
    const char* name;
    std::string response;
    bool close;
    const char* reason;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class THttpCliMalformed : public ::testing::TestWithParam<FaultCase> {};

TEST_P(THttpCliMalformed, EndsTheRequestWith404AndTheReason) {
    const FaultCase& c = GetParam();
    Parsed p = ParseResponse(c.response, {}, c.close);
    EXPECT_EQ(p.status, 404);
    EXPECT_EQ(p.reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, THttpCliMalformed,
    ::testing::Values(
        FaultCase{"StatusCodeNotDigits", "HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n", false,
                  "Malformed response status line"},
        FaultCase{"ChunkSizeOverflow",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n",
                  false, "Malformed response"},
        FaultCase{"HeaderLineTooLong", "HTTP/1.1 200 OK\r\nX-Long: " + std::string(70 * 1024, 'a'),
                  false, "Malformed response"},
        FaultCase{"HeaderTooLong",
                  [] {
                      std::string r = "HTTP/1.1 200 OK\r\n";
                      for (int i = 0; i < 20000; ++i)
                          r += "X-Filler: " + std::string(50, 'f') + "\r\n";
                      return r;
                  }(),
                  false, "Malformed response"},
        FaultCase{"NoStatusLine", "", true, "Connection closed before a complete response header"},
        FaultCase{"HeaderCutShort", "HTTP/1.1 200 OK\r\nContent-Le", true,
                  "Connection closed before a complete response header"},
        FaultCase{"OnlyInterimAnswer", "HTTP/1.1 100 Continue\r\n\r\n", true,
                  "Connection closed before a complete response header"},
        FaultCase{"LengthBodyCutShort", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true,
                  "Connection closed before the whole response body"},
        FaultCase{"LengthBodyMissing", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", true,
                  "Connection closed before the whole response body"},
        FaultCase{"ChunkedCutShort",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", true,
                  "Connection closed before the whole response body"},
        // A transfer coding the client cannot undo is never handed on as
        // the document.
        FaultCase{
            "GzipThenChunked",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nHELLO\r\n0\r\n\r\n",
            false, "Transfer coding not supported: gzip"},
        FaultCase{"GzipInAnEarlierField",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"
                  "5\r\nHELLO\r\n0\r\n\r\n",
                  false, "Transfer coding not supported: gzip"},
        FaultCase{"ChunkedNotLast",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, x-custom\r\n\r\nHELLO", true,
                  "Transfer coding not supported: chunked, x-custom"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(THttpCliHeader, BodyOnlyResponseKeepsEveryByteItsFirstLineIncluded) {
    const std::string page = "<HTML>\r\n<body>hi</body>\n</HTML>";
    for (std::size_t k = 0; k < page.size(); ++k) {
        Parsed p =
            ParseResponse(page, k ? std::vector<std::size_t>{k} : std::vector<std::size_t>{}, true);
        ASSERT_EQ(p.body, page) << "split at " << k;
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.contentType, "text/html");
        EXPECT_EQ(p.received, static_cast<std::int64_t>(page.size()));
    }
    EXPECT_EQ(ParseResponse("<!doctype html>\n<p>x", {}, true).body, "<!doctype html>\n<p>x");
}

// ---- over the network ------------------------------------------------------------------

TEST_F(THttpCliResponse, NotFoundRaisesItsReasonWithTheStatusAsCode) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnf!"), Close()});
    http.SetURL(LocalUrl(peer, "/missing"));
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Not Found");
    EXPECT_EQ(code, 404);
    EXPECT_EQ(http.State(), httpReady);
}

TEST_F(THttpCliResponse, UnauthorizedWithoutCredentialsReturns) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n\r\n"),
                 Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 401);
}

TEST_F(THttpCliResponse, ServerErrorRaisesItsReason) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"), Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), "x\r\n");
    EXPECT_EQ(Outcome([&] { http.Post(); }), "Internal Server Error");
}

TEST_F(THttpCliResponse, ResponseWithoutLengthReturnsItsBodyAndMinusOne) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\n\r\n<insert>1</insert>"), Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), "x\r\n");
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(http.ContentLength(), -1);
    EXPECT_EQ(http.ReceivedCount(), 18);
    EXPECT_EQ(doc.DataString(), "<insert>1</insert>");
}

TEST_F(THttpCliResponse, EventsOfOneRequestComeInOrder) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"), Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), "x\r\n");
    std::vector<std::string> events;
    auto note = [&](const char* name) {
        return [&events, name](TComponent*) { events.push_back(name); };
    };
    http.OnSessionConnected = note("SessionConnected");
    http.OnRequestHeaderBegin = note("RequestHeaderBegin");
    http.OnRequestHeaderEnd = note("RequestHeaderEnd");
    http.OnSendBegin = note("SendBegin");
    http.OnSendEnd = note("SendEnd");
    http.OnHeaderBegin = note("HeaderBegin");
    http.OnHeaderEnd = note("HeaderEnd");
    http.OnDocBegin = note("DocBegin");
    http.OnDocEnd = note("DocEnd");
    http.OnSessionClosed = note("SessionClosed");
    bool done = false;
    http.OnRequestDone = [&](TComponent*, THttpRequest rq, std::uint16_t err) {
        EXPECT_EQ(rq, httpPOST);
        EXPECT_EQ(err, 0);
        done = true;
    };
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_TRUE(PumpUntil([&] { return done; }, 2000));
    EXPECT_EQ(events,
              (std::vector<std::string>{"SessionConnected", "RequestHeaderBegin",
                                        "RequestHeaderEnd", "SendBegin", "SendEnd", "HeaderBegin",
                                        "HeaderEnd", "DocBegin", "DocEnd", "SessionClosed"}));
}

TEST_F(THttpCliResponse, InterimContinueOverTheNetworkIsReadAsTheFinalAnswer) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.1 100 Continue\r\n\r\n"), Pause(30),
                 Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), NeverAnswer()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetRequestVer("1.1");
    int begins = 0;
    http.OnHeaderBegin = [&](TComponent*) { ++begins; };
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(doc.DataString(), "ok");
}

TEST_F(THttpCliResponse, KeptConnectionIsReusedForTheNextRequest) {
    ScriptedPeer peer;
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n";
    peer.Script({WaitFor("GET /one"), WaitFor("\r\n\r\n"), Send(answer + "1"), WaitFor("GET /two"),
                 Send(answer + "2"), NeverAnswer()});
    http.SetRequestVer("1.1");
    http.SetURL(LocalUrl(peer, "/one"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    http.SetURL(LocalUrl(peer, "/two"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(doc.DataString(), "12");
    EXPECT_EQ(peer.Connections(), 1);
}

TEST_F(THttpCliResponse, HeadReadsOnlyTheHeader) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n"),
                 NeverAnswer()});
    http.SetURL(LocalUrl(peer, "/p"));
    EXPECT_EQ(Outcome([&] { http.Head(); }), "");
    EXPECT_TRUE(peer.Received().starts_with("HEAD /p HTTP/1.0\r\n"));
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(http.ContentLength(), 100);
    EXPECT_EQ(doc.Size(), 0);
}

// ---- relocation ----------------------------------------------------------------------

TEST_F(THttpCliResponse, RelocationOverAClosingConnectionTurnsThePostIntoAGet) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\nbody"), Send("HTTP/1.0 302 Found\r\nLocation: /x?y=1\r\n\r\n"), Close()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), "body");
    int changes = 0;
    http.OnLocationChange = [&](TComponent*) {
        ++changes;
        // The next connection gets the final answer.
        peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone"),
                     Close()});
    };
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(doc.DataString(), "done");
    EXPECT_EQ(http.Location(), LocalUrl(peer, "/x?y=1"));
    EXPECT_EQ(http.DocumentName(), "x");
    EXPECT_EQ(peer.Connections(), 2);
    std::string second = peer.Received().substr(peer.Received().find("body") + 4);
    EXPECT_EQ(second, "GET /x?y=1 HTTP/1.0\r\n" + std::string(kAcceptLine) +
                          "Connection: Keep-Alive\r\n" + kAgentLine +
                          "Host: 127.0.0.1:" + std::to_string(peer.Port()) + "\r\n\r\n");
    EXPECT_EQ(http.LocationChangeCurCount(), 2); // a relocation over a close counts twice
}

TEST_F(THttpCliResponse, RelocationToAnotherServerNamesItInTheHostLine) {
    ScriptedPeer target;
    target.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi"), Close()});
    ScriptedPeer first;
    first.Script({WaitFor("\r\n\r\n"),
                  Send("HTTP/1.0 301 Moved\r\nLocation: " + LocalUrl(target, "/new") + "\r\n\r\n"),
                  Close()});
    http.SetURL(LocalUrl(first, "/old"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(doc.DataString(), "hi");
    EXPECT_EQ(target.Received(), "GET /new HTTP/1.0\r\n" + std::string(kAcceptLine) + kAgentLine +
                                     "Host: 127.0.0.1:" + std::to_string(target.Port()) +
                                     "\r\n\r\n");
}

TEST_F(THttpCliResponse, RelocationOverAKeptConnectionIsFollowedBeforeTheCallReturns) {
    ScriptedPeer peer;
    const std::string second = "GET /newentry2.aspx HTTP/1.1\r\n" + std::string(kAcceptLine) +
                               "Connection: Keep-Alive\r\n" + kAgentLine +
                               "Host: 127.0.0.1:" + std::to_string(peer.Port()) + "\r\n\r\n";
    peer.Script({WaitFor("\r\n\r\nbody"),
                 Send("HTTP/1.1 302 Found\r\nLocation: newentry2.aspx\r\nContent-Length: 5\r\n\r\n"
                      "moved"),
                 WaitFor(second), Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone"),
                 NeverAnswer()});
    ConfigureUpload(LocalUrl(peer, "/newentry.aspx"), "body");
    http.SetRequestVer("1.1");
    EXPECT_EQ(Outcome([&] { http.Post(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(doc.DataString(), "done"); // the relocating answer's body was cut away
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_TRUE(peer.Received().ends_with(second));
    EXPECT_EQ(http.LocationChangeCurCount(), 1);
}

TEST_F(THttpCliResponse, RelocationLimitEndsWithTheLastRedirectAndNoException) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n"), Close()});
    http.SetURL(LocalUrl(peer, "/start"));
    int exceeded = 0;
    http.OnLocationChangeExceeded = [&](TComponent*, int count, bool& more) {
        ++exceeded;
        EXPECT_EQ(count, 6);
        EXPECT_FALSE(more);
    };
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 302);
    EXPECT_EQ(exceeded, 1);
    // Each relocation over a closing connection counts twice: two are followed.
    EXPECT_EQ(peer.Connections(), 3);
}

TEST_F(THttpCliResponse, RelocationIsNotFollowedWhenSwitchedOff) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n"), Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetFollowRelocation(false);
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(http.StatusCode(), 302);
    EXPECT_EQ(http.Location(), "/x");
    EXPECT_EQ(peer.Connections(), 1);
}

// ---- failures before an answer, and the synchronous wait ---------------------------------

TEST_F(THttpCliResponse, SilentServerTimesOutAfterTimeout) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetTimeout(1);
    int code = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Request aborted on timeout");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(code, 404);
    EXPECT_EQ(http.ErrCode(), httperrTimeout);
    EXPECT_GE(ms, 1000); // not before a whole second of silence
    EXPECT_EQ(http.State(), httpReady);
}

TEST_F(THttpCliResponse, TricklingServerDoesNotTimeOut) {
    ScriptedPeer peer;
    std::vector<Step> script{WaitFor("\r\n\r\n"),
                             Send("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\n")};
    for (char c : std::string("slowly")) {
        script.push_back(Pause(450));
        script.push_back(Send(std::string(1, c)));
    }
    script.push_back(Close());
    peer.Script(script);
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetTimeout(1);
    EXPECT_EQ(Outcome([&] { http.Get(); }), ""); // about 2.7 s in all
    EXPECT_EQ(doc.DataString(), "slowly");
}

TEST_F(THttpCliResponse, UnknownHostRaisesCantResolve) {
    http.SetURL("http://no-such-host.invalid/p");
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "can't resolve hostname to IP address");
    EXPECT_EQ(code, 404);
    EXPECT_NE(http.ErrCode(), 0);
}

TEST_F(THttpCliResponse, RefusedPortRaisesConnectionRefused) {
    http.SetURL("http://127.0.0.1:" + std::to_string(RefusedPort()) + "/p");
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Connection refused (Error #10061)");
    EXPECT_EQ(code, 404);
    EXPECT_EQ(http.ErrCode(), 10061);
}

TEST_F(THttpCliResponse, HttpsIsNotImplementedAndConnectsNowhere) {
    ScriptedPeer peer;
    http.SetURL("https://127.0.0.1:" + std::to_string(peer.Port()) + "/p");
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Protocol \"https\" not implemented");
    EXPECT_EQ(code, 501);
    EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(THttpCliResponse, ConnectionClosedBeforeTheHeaderRaisesAtOnce) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.1 200 OK\r\nContent-"), Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetTimeout(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Outcome([&] { http.Get(); }), "Connection closed before a complete response header");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(THttpCliResponse, ConnectionClosedInsideTheBodyRaises) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort"),
                 Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetRequestVer("1.1");
    EXPECT_EQ(Outcome([&] { http.Get(); }), "Connection closed before the whole response body");
}

TEST_F(THttpCliResponse, QuittingTheApplicationAbortsTheWait) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetTimeout(30);
    http.OnSessionConnected = [](TComponent*) { Application().Terminate(); };
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Request aborted");
    EXPECT_EQ(http.ErrCode(), httperrAborted);
    Application().ResetTerminated();
}

// A server that answers without end, faster than the client takes the
// answer: while the wait reads, a timer keeps its ticks and a quit posted by
// it ends the wait at once.
TEST_F(THttpCliResponse, EndlessAnswerLeavesTimersTheirTicksAndAQuitEndsTheWait) {
    using Clock = std::chrono::steady_clock;
    ScriptedPeer peer;
    const std::int64_t endless = std::int64_t{256} << 20; // as good as endless here
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\n\r\n"),
                 SendFiller(static_cast<std::size_t>(endless))});
    http.SetURL(LocalUrl(peer, "/endless"));
    http.SetDocStream(nullptr);
    http.SetTimeout(30);
    http.OnDocData = [](TComponent*, const char*, int) { BusyFor(std::chrono::microseconds(100)); };
    TIcsTimer clock(&http);
    clock.SetInterval(20);
    int ticks = 0;
    Clock::time_point quitAt;
    std::int64_t receivedAtQuit = 0;
    clock.SetOnTimer([&](TComponent*) {
        if (++ticks == 5) {
            quitAt = Clock::now();
            receivedAtQuit = http.ReceivedCount();
            PostQuitMessage(0);
        }
    });
    int code = 0;
    EXPECT_EQ(Outcome([&] { http.Get(); }, &code), "Request aborted");
    const auto ended = Clock::now();
    EXPECT_EQ(ticks, 5);
    // The answer was flowing all along.
    EXPECT_GT(receivedAtQuit, 0);
    EXPECT_LT(receivedAtQuit, endless);
    EXPECT_LT(ended - quitAt, std::chrono::seconds(1));
    Application().ResetTerminated();
}

TEST_F(THttpCliResponse, CloseRequestEndsWithOk) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx"),
                 NeverAnswer()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetRequestVer("1.1");
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(Outcome([&] { http.Close(); }), "");
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(http.ReasonPhrase(), "OK");
    EXPECT_TRUE(peer.WaitForClientClose(1, 2000));
}

TEST_F(THttpCliResponse, TraceGoesToTheLogger) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx"), Close()});
    TIcsLogger logger;
    logger.SetLogOptions({loProtSpecInfo, loProtSpecDump});
    std::string trace;
    logger.OnIcsLogEvent = [&](TComponent*, TLogOption, const std::string& msg) {
        trace += msg + "\n";
    };
    http.SetIcsLogger(&logger);
    http.SetURL(LocalUrl(peer, "/p"));
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    for (const char* text : {"Login 127.0.0.1", "State = httpDnsLookup", "SessionConnected",
                             "SendRequest Done", ">|HTTP/1.0 200 OK|", "FCloseReq=1",
                             "End of header", "End of document", "State = httpReady"})
        EXPECT_NE(trace.find(text), std::string::npos) << text;
    http.SetIcsLogger(nullptr);
}

} // namespace

namespace {

TEST(THttpCliHeader, LinesOutsideAResponseGoToOnDataPush) {
    THttpCli http;
    TMemoryStream doc;
    http.SetDocStream(&doc);
    http.SetRequestVer("1.1");
    int pushes = 0;
    http.OnDataPush = [&](TComponent*, std::uint16_t) { ++pushes; };
    THttpCliTestAccess::ExpectResponse(http, httpGET);
    THttpCliTestAccess::Feed(http, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
    ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    THttpCliTestAccess::Feed(http, "event: one\r\nevent: two\r\n");
    EXPECT_EQ(pushes, 2);
    EXPECT_EQ(doc.DataString(), "x");
}

TEST(THttpCliHeader, NonHttpFirstLineGoesToOnDataPush2AndIsSkipped) {
    THttpCli http;
    TMemoryStream doc;
    http.SetDocStream(&doc);
    http.SetRequestVer("1.1");
    int pushes = 0;
    http.OnDataPush2 = [&](TComponent*) { ++pushes; };
    THttpCliTestAccess::ExpectResponse(http, httpGET);
    // The next line is then read as a header field.
    THttpCliTestAccess::Feed(http, "ICY 200 OK\r\nContent-Length: 2\r\n\r\nab");
    ASSERT_TRUE(PumpUntil([&] { return http.State() == httpReady; }, 2000));
    EXPECT_EQ(pushes, 1);
    EXPECT_EQ(http.StatusCode(), 0);
    EXPECT_EQ(http.ContentLength(), 2);
    EXPECT_EQ(doc.DataString(), "ab");
}

TEST_F(THttpCliResponse, BandwidthControlPausesTheSocketAndStillDeliversEverything) {
    ScriptedPeer peer;
    // Larger than one read: the later reads come only after the timer resumed.
    const std::string content(30000, 'q');
    peer.Script({WaitFor("\r\n\r\n"),
                 Send("HTTP/1.0 200 OK\r\nContent-Length: 30000\r\n\r\n" + content), Close()});
    http.SetURL(LocalUrl(peer, "/p"));
    http.SetOptions({httpoBandwidthControl});
    http.SetBandwidthLimit(20000); // 2000 bytes per 100 ms sample
    http.SetBandwidthSampling(100);
    int pausedReads = 0;
    http.OnDocData = [&](TComponent*, const char*, int) {
        if (http.CtrlSocket()->Paused())
            ++pausedReads;
    };
    EXPECT_EQ(Outcome([&] { http.Get(); }), "");
    EXPECT_EQ(doc.DataString(), content);
    EXPECT_GE(pausedReads, 3);
    EXPECT_FALSE(http.CtrlSocket()->Paused());
}

} // namespace

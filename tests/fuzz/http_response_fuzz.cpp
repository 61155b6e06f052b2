// THttpCli's response reader fed with arbitrary bytes: whole, split at one
// point, and in small pieces. Any split must give the same result as one
// read, the receive buffer stays within its caps, and the sanitizers watch
// every step.
//
// Input: byte 0 chooses the request (bits 0-1: GET, HEAD, POST; bit 2:
// HTTP/1.1; bit 3: FollowRelocation off; bit 4: the peer closes after the
// bytes), bytes 1-2 the split point, byte 3 the piece size (1 to 32), the
// rest is the response.
#include "framework/application.h"
#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "tests/net_http/httpcli_testaccess.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status = 0;
    std::string reason, version, contentType, transferEncoding, contentEncoding, location,
        documentName, body;
    std::vector<std::string> lines, cookies;
    std::int64_t contentLength = 0, received = 0;
    int state = 0;
    bool closeReq = false;
    int headerBegins = 0, headerEnds = 0, headerData = 0, docBegins = 0, docEnds = 0,
        dataPushes = 0, dataPush2 = 0;
    bool operator==(const Outcome&) const = default;
};

struct Options {
    THttpRequest rq = httpGET;
    bool http11 = false;
    bool noRelocation = false;
    bool close = false;
};

Outcome Run(const Options& o, const std::string& response, const std::vector<std::size_t>& cuts) {
    Outcome r;
    {
        THttpCli http;
        TMemoryStream doc, post;
        http.SetDocStream(&doc);
        http.SetPostStream(&post);
        http.SetRequestVer(o.http11 ? "1.1" : "1.0");
        http.SetFollowRelocation(!o.noRelocation);
        http.SetURL("http://fuzz.invalid/dir/page.htm");
        http.OnHeaderBegin = [&](TComponent*) { ++r.headerBegins; };
        http.OnHeaderEnd = [&](TComponent*) { ++r.headerEnds; };
        http.OnHeaderData = [&](TComponent*) { ++r.headerData; };
        http.OnDocBegin = [&](TComponent*) { ++r.docBegins; };
        http.OnDocEnd = [&](TComponent*) { ++r.docEnds; };
        http.OnDataPush = [&](TComponent*, std::uint16_t) { ++r.dataPushes; };
        http.OnDataPush2 = [&](TComponent*) { ++r.dataPush2; };
        http.OnCookie = [&](TComponent*, const std::string& data, bool&) {
            r.cookies.push_back(data);
        };
        THttpCliTestAccess::Answer(http, o.rq, response, cuts, o.close);
        r.status = http.StatusCode();
        r.reason = http.ReasonPhrase();
        r.version = http.ResponseVer();
        r.contentType = http.ContentType();
        r.transferEncoding = http.TransferEncoding();
        r.contentEncoding = http.ContentEncoding();
        r.location = http.Location();
        r.documentName = http.DocumentName();
        r.body = doc.DataString();
        r.lines = http.HeaderLines().Lines();
        r.contentLength = http.ContentLength();
        r.received = http.ReceivedCount();
        r.state = http.State();
        r.closeReq = http.CloseReq();
        // The buffer holds at most a header line and the room of one read,
        // whatever was sent.
        if (THttpCliTestAccess::ReceiveBufferCapacity(http) > 96 * 1024) {
            std::fprintf(stderr, "receive buffer of %zu bytes\n",
                         THttpCliTestAccess::ReceiveBufferCapacity(http));
            std::abort();
        }
    }
    // What the client posted for itself (its end, a close) goes with it.
    PumpPlatformMessages();
    return r;
}

[[noreturn]] void Differ(const char* how, const Outcome& a, const Outcome& b) {
    std::fprintf(stderr, "%s: status %d/%d reason [%s]/[%s] body %zu/%zu bytes state %d/%d\n", how,
                 a.status, b.status, a.reason.c_str(), b.reason.c_str(), a.body.size(),
                 b.body.size(), a.state, b.state);
    std::fprintf(stderr,
                 "lines %zu/%zu cookies %zu/%zu CL %lld/%lld received %lld/%lld location [%s]/[%s] "
                 "events %d%d%d%d%d%d%d/%d%d%d%d%d%d%d\n",
                 a.lines.size(), b.lines.size(), a.cookies.size(), b.cookies.size(),
                 static_cast<long long>(a.contentLength), static_cast<long long>(b.contentLength),
                 static_cast<long long>(a.received), static_cast<long long>(b.received),
                 a.location.c_str(), b.location.c_str(), a.headerBegins, a.headerEnds, a.headerData,
                 a.docBegins, a.docEnds, a.dataPushes, a.dataPush2, b.headerBegins, b.headerEnds,
                 b.headerData, b.docBegins, b.docEnds, b.dataPushes, b.dataPush2);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    Options o;
    const THttpRequest kinds[] = {httpGET, httpHEAD, httpPOST, httpGET};
    o.rq = kinds[data[0] & 3];
    o.http11 = data[0] & 4;
    o.noRelocation = data[0] & 8;
    o.close = data[0] & 16;
    const std::size_t splitAt = (std::size_t(data[1]) << 8) | data[2];
    const std::size_t piece = 1 + data[3] % 32;
    const std::string response(reinterpret_cast<const char*>(data) + 4, size - 4);

    const Outcome whole = Run(o, response, {});
    if (!response.empty()) {
        const Outcome split = Run(o, response, {1 + splitAt % response.size()});
        if (!(split == whole))
            Differ("split in two", whole, split);
    }
    std::vector<std::size_t> pieces;
    for (std::size_t at = piece; at < response.size(); at += piece)
        pieces.push_back(at);
    const Outcome small = Run(o, response, pieces);
    if (!(small == whole))
        Differ("small pieces", whole, small);
    return 0;
}

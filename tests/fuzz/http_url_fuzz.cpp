// URL splitting and relocation targets: whatever the caller's URL and the
// servers' Location values are, the request header that would be sent has
// no line break inside a line, no blank or control character in its target
// or Host line, and no relocation target past its bound.
//
// Input: byte 0 chooses the setting (bit 0: through a proxy; bit 1: POST;
// bit 2: HTTP/1.1), then lines separated by LF: the URL, the previous path
// of SplitUrl's relative forms, and the Location values of a chain of
// relocations, in order.
#include "framework/stream.h"
#include "net/http/httpparse.h"
#include "net/http/httpprot.h"
#include "tests/net_http/httpcli_testaccess.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s: [%s]\n", what, text.c_str());
    std::abort();
}

void CheckSplit(const std::string& url, const std::string& prevPath) {
    TUrlParts p = SplitUrl(url, prevPath);
    if (url.empty() && !(p.Proto.empty() && p.Host.empty() && p.Path.empty()))
        Fail("an empty URL has parts", url);
    // Nothing is made up: host, port and path are pieces of the URL (the
    // relative forms build their path on the previous one).
    const bool relative = url.starts_with("./") || url.starts_with("../");
    for (const std::string* part : {&p.Host, &p.Port, &p.User, &p.Pass})
        if (url.find(*part) == std::string::npos)
            Fail("a part that is not in the URL", url);
    if (!relative && url.find(p.Path) == std::string::npos)
        Fail("a path that is not in the URL", url);
    ExtractDocumentName(p.Path);
}

void CheckHeader(THttpCli& http, THttpRequest rq, const std::string& context, bool relocated) {
    TStringList lines = THttpCliTestAccess::RequestHeader(http, rq);
    for (const std::string& line : lines.Lines())
        if (HasControlChar(line))
            Fail("a control character in a request line", context);
    const std::string& first = lines[0];
    // Method, target and version: exactly two blanks.
    std::size_t blanks = 0;
    for (char c : first)
        blanks += c == ' ';
    if (blanks != 2)
        Fail("a request line that is not three words", first);
    for (const std::string& line : lines.Lines())
        if (line.starts_with("Host: ") && !IsWireSafe(line.substr(6)))
            Fail("a Host line with a blank", line);
    if (relocated && THttpCliTestAccess::RequestUri(http).size() > kMaxRelocationTarget)
        Fail("a relocation target past its bound", context);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const bool proxy = data[0] & 1;
    const THttpRequest rq = data[0] & 2 ? httpPOST : httpGET;
    std::vector<std::string> parts;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (std::size_t from = 0;;) {
        std::size_t lf = text.find('\n', from);
        parts.push_back(text.substr(from, lf == std::string::npos ? std::string::npos : lf - from));
        if (lf == std::string::npos)
            break;
        from = lf + 1;
    }
    const std::string url = parts[0];
    const std::string prevPath = parts.size() > 1 ? parts[1] : std::string();
    CheckSplit(url, prevPath);

    THttpCli http;
    TMemoryStream post;
    http.SetPostStream(&post);
    http.SetRequestVer(data[0] & 4 ? "1.1" : "1.0");
    if (proxy) {
        http.SetProxy("proxy.invalid");
        http.SetProxyPort("3128");
    }
    http.SetURL(url);
    if (!THttpCliTestAccess::SplitRequestTarget(http))
        return 0; // refused as "Malformed URL" before anything is sent
    CheckHeader(http, rq, url, false);
    for (std::size_t i = 2; i < parts.size(); ++i) {
        CheckSplit(parts[i], THttpCliTestAccess::RequestUri(http));
        if (!THttpCliTestAccess::TakeLocation(http, parts[i]))
            return 0; // a malformed response
        if (http.Location().size() > kMaxRelocationTarget)
            Fail("a Location past its bound", parts[i]);
        CheckHeader(http, rq, parts[i], true);
        // What the relocation over a new connection splits again.
        CheckSplit(http.Location().substr(0, http.Location().find('#')), std::string());
    }
    return 0;
}

// Digest challenge parsing on arbitrary text (the header value after
// "Digest "): an accepted challenge has a realm, a nonce, MD5 and at most
// the qop "auth", and the answer composed from it never carries a line break
// or an unescaped quote into the request header.
#include "net/http/httpdigest.h"
#include "net/http/httpparse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s: [%s]\n", what, text.c_str());
    std::abort();
}

// The answer is a list of name=value fields whose quoted values end where
// they should: walking it, every quote is either escaped or a delimiter.
bool WellQuoted(const std::string& answer) {
    bool inside = false;
    for (std::size_t i = 0; i < answer.size(); ++i) {
        if (inside && answer[i] == '\\') {
            ++i;
            continue;
        }
        if (answer[i] == '"') {
            inside = !inside;
            if (!inside && i + 1 < answer.size() && answer[i + 1] != ',')
                return false;
        }
    }
    return !inside;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    THttpDigestData d;
    if (!ParseDigestChallenge(text, d))
        return 0;
    if (d.Nonce.empty() || (d.Qop != "" && d.Qop != "auth") || d.Algorithm != "MD5")
        Fail("a challenge we cannot answer was accepted", text);
    if (LowerCase(text).find("realm") == std::string::npos)
        Fail("accepted without a realm", text);
    d.NonceCount = 1;
    const std::string answer = DigestAuthorization("us\"er", "pw", "GET", "/p", d, "0000ABCD");
    if (answer.find_first_of("\r\n") != std::string::npos)
        Fail("a line break in the answer", text);
    if (!WellQuoted(answer))
        Fail("a quote that ends a value early", text);
    return 0;
}

#include "net/http/httpdigest.h"

#include "net/http/httpparse.h"

#include <nettle/md5.h>

#include <cstdio>
#include <map>
#include <random>

std::string Md5Hex(const std::string& bytes) {
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
    std::uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&ctx, sizeof digest, digest);
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

namespace {

// The parameters of a challenge, names lower-cased. A value is a quoted
// string (a backslash takes the next character as it is) or, unquoted, the
// text up to the next ",". The first occurrence of a name counts.
bool ReadChallengeParams(const std::string& s, std::map<std::string, std::string>& params) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == ','))
            ++i;
        if (i >= n)
            break;
        std::size_t eq = s.find_first_of("=,", i);
        if (eq == std::string::npos || s[eq] == ',') {
            // A parameter without a value (a token of another challenge in
            // the same line): skip it.
            i = eq == std::string::npos ? n : eq;
            continue;
        }
        std::string name = LowerCase(TrimBlanks(s.substr(i, eq - i)));
        i = eq + 1;
        while (i < n && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        std::string value;
        if (i < n && s[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                char c = s[i++];
                if (c == '\\' && i < n) {
                    value += s[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed)
                return false;
        } else {
            std::size_t comma = s.find(',', i);
            value =
                TrimBlanks(s.substr(i, comma == std::string::npos ? std::string::npos : comma - i));
            i = comma == std::string::npos ? n : comma;
        }
        params.emplace(name, value);
    }
    return true;
}

// Whether a qop value offers "auth": the value itself, or one of a list
// ("auth,auth-int", as in the published example of the scheme).
bool OffersAuth(const std::string& qop) {
    std::size_t at = 0;
    while (at <= qop.size()) {
        std::size_t comma = qop.find(',', at);
        std::string item =
            TrimBlanks(qop.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (item == "auth")
            return true;
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return false;
}

// A field value between double quotes: a quote or backslash is escaped, and
// control characters (CR and LF above all) never reach the request line.
std::string Quoted(const std::string& v) {
    std::string out = "\"";
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            continue;
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

bool ParseDigestChallenge(const std::string& text, THttpDigestData& out) {
    std::map<std::string, std::string> p;
    if (!ReadChallengeParams(text, p))
        return false;
    auto realm = p.find("realm");
    auto nonce = p.find("nonce");
    if (realm == p.end() || nonce == p.end() || nonce->second.empty())
        return false;
    auto algorithm = p.find("algorithm");
    if (algorithm != p.end() && algorithm->second != "MD5")
        return false;
    auto qop = p.find("qop");
    if (qop != p.end() && !OffersAuth(qop->second))
        return false;
    THttpDigestData d;
    d.Realm = realm->second;
    d.Nonce = nonce->second;
    if (auto it = p.find("opaque"); it != p.end()) {
        d.Opaque = it->second;
        d.HasOpaque = true;
    }
    if (auto it = p.find("domain"); it != p.end())
        d.Domain = it->second;
    if (auto it = p.find("stale"); it != p.end())
        d.Stale = LowerCase(it->second) == "true";
    d.Qop = qop != p.end() ? "auth" : "";
    out = d;
    return true;
}

std::string DigestResponse(const std::string& user, const std::string& password,
                           const std::string& method, const std::string& uri,
                           const THttpDigestData& data, const std::string& nc,
                           const std::string& cnonce) {
    std::string ha1 = Md5Hex(user + ":" + data.Realm + ":" + password);
    std::string ha2 = Md5Hex(method + ":" + uri);
    if (data.Qop.empty())
        return Md5Hex(ha1 + ":" + data.Nonce + ":" + ha2);
    return Md5Hex(ha1 + ":" + data.Nonce + ":" + nc + ":" + cnonce + ":" + data.Qop + ":" + ha2);
}

std::string DigestAuthorization(const std::string& user, const std::string& password,
                                const std::string& method, const std::string& uri,
                                const THttpDigestData& data, const std::string& cnonce) {
    char nc[16];
    std::snprintf(nc, sizeof nc, "%08X", data.NonceCount);
    std::string out = "username=" + Quoted(user) + ", realm=" + Quoted(data.Realm) +
                      ", nonce=" + Quoted(data.Nonce) + ", uri=" + Quoted(uri) + ", response=" +
                      Quoted(DigestResponse(user, password, method, uri, data, nc, cnonce));
    // An opaque the server did not send is not one it can check: Apache
    // refuses an empty one ("received invalid opaque") and calls the nonce
    // stale, which costs a third request every time.
    if (data.HasOpaque)
        out += ", opaque=" + Quoted(data.Opaque);
    if (!data.Qop.empty())
        out += ", qop=" + data.Qop + ", nc=" + nc + ", cnonce=" + Quoted(cnonce);
    return out;
}

std::string NewDigestCnonce() {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<std::uint32_t> below(0, 2147483646u);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", below(generator));
    return buf;
}

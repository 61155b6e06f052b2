#include "net/http/httpparse.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

std::string LowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string TrimBlanks(const std::string& s) {
    // Control characters and blanks, as the framework's Trim does.
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = 0;
    for (; prefix[n]; ++n)
        if (n >= s.size() || std::tolower(static_cast<unsigned char>(s[n])) != prefix[n])
            return false;
    return true;
}

bool IsSchemeText(const std::string& s) {
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))
            return false;
    return true;
}

// The directory of a path: up to and including its last "/", or "/".
std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("/") : path.substr(0, slash + 1);
}

void SplitAuthority(const std::string& rest, TUrlParts& out) {
    // The path begins at the first "/" or at a "?" that comes earlier.
    size_t pathAt = rest.find_first_of("/?");
    std::string authority = rest.substr(0, pathAt);
    if (pathAt != std::string::npos)
        out.Path = rest.substr(pathAt);

    // Positions counted from 1, 0 meaning absent, so "c is after a" reads as
    // in the rule: a port only when the last ":" follows the last "@".
    size_t c = authority.rfind(':') == std::string::npos ? 0 : authority.rfind(':') + 1;
    size_t a = authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1;
    if (c > a) {
        out.Port = authority.substr(c);
        out.Host = authority.substr(a, c - 1 - a);
    } else {
        out.Host = authority.substr(a);
    }
    if (a > 0) {
        std::string userInfo = authority.substr(0, a - 1);
        size_t colon = userInfo.find(':');
        if (colon == std::string::npos) {
            out.User = userInfo;
        } else {
            out.User = userInfo.substr(0, colon);
            out.Pass = userInfo.substr(colon + 1);
        }
    }
}

} // namespace

TUrlParts SplitUrl(const std::string& url, const std::string& prevPath) {
    TUrlParts out;
    if (url.empty())
        return out;

    if (url.compare(0, 2, "./") == 0) {
        out.Path = DirectoryOf(prevPath) + url.substr(2);
        return out;
    }
    if (url.compare(0, 3, "../") == 0) {
        std::string base = DirectoryOf(prevPath);
        size_t i = 0;
        while (url.compare(i, 3, "../") == 0) {
            // Drop the last segment of the directory, keeping its "/".
            if (base.size() > 1) {
                size_t slash = base.rfind('/', base.size() - 2);
                base = slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1);
            }
            i += 3;
        }
        out.Path = base + url.substr(i);
        return out;
    }

    std::string rest;
    size_t p = url.find("://");
    if (p != std::string::npos) {
        std::string scheme = LowerCase(url.substr(0, p));
        if (IsSchemeText(scheme)) {
            out.Proto = scheme;
            rest = url.substr(p + 3);
        } else {
            out.Proto = "http";
            rest = url;
        }
    } else if (url[0] == '/') {
        out.Proto = "http";
        if (url.size() < 2 || url[1] != '/') {
            out.Path = url;
            return out;
        }
        // "//host/path": a network-path reference; the authority follows the
        // two slashes.
        rest = url.substr(2);
    } else if (StartsWithNoCase(url, "http:")) {
        out.Proto = "http";
        if (url.size() > 6 && url[6] != '/') {
            out.Path = url.substr(5);
            return out;
        }
        rest = url.size() > 6 ? url.substr(6) : std::string();
    } else if (StartsWithNoCase(url, "mailto:")) {
        out.Proto = "mailto";
        rest = url.substr(url.find(':') + 1);
    } else {
        rest = url;
    }
    SplitAuthority(rest, out);
    return out;
}

bool HasControlChar(const std::string& text) {
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < ' ' || c == 127)
            return true;
    }
    return false;
}

bool IsWireSafe(const std::string& text) {
    return !HasControlChar(text) && text.find(' ') == std::string::npos;
}

std::string EncodeBlanks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == ' ')
            out += "%20";
        else
            out += c;
    }
    return out;
}

std::string ExtractDocumentName(const std::string& path) {
    std::string p = path.substr(0, path.find('?'));
    if (p.empty() || p.back() == '/')
        return "document.htm";
    size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.size() > 255)
        name.resize(255);
    return name.substr(0, name.find('?'));
}

bool ParseStatusLine(const std::string& line, TStatusLine& out) {
    if (line.compare(0, 8, "HTTP/1.0") != 0 && line.compare(0, 8, "HTTP/1.1") != 0)
        return false;
    out.Version = line.substr(5, 3);
    out.Code = 0;
    out.Reason.clear();
    out.CodeValid = false;
    // Character 9 (the blank) is skipped; the code starts at the first digit
    // from character 10 on.
    size_t at = line.find_first_of("0123456789", 9);
    if (at == std::string::npos || at + 3 > line.size())
        return true;
    int code = 0;
    for (size_t i = at; i < at + 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return true;
        code = code * 10 + (line[i] - '0');
    }
    out.Code = code;
    out.CodeValid = true;
    out.Reason = at + 4 <= line.size() ? line.substr(at + 4) : std::string();
    return true;
}

std::int64_t ParseContentLength(const std::string& value) {
    std::string v = TrimBlanks(value);
    // Leading zeros do not count toward the length: only the value is
    // bounded, by the overflow test below.
    if (v.empty())
        return -1;
    std::int64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9')
            return -1;
        if (n > (INT64_MAX - (c - '0')) / 10)
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

TTransferCodings ReadTransferCodings(const std::string& list) {
    std::vector<std::string> codings;
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = std::min(list.find(',', at), list.size());
        std::string name = LowerCase(TrimBlanks(list.substr(at, comma - at)));
        if (!name.empty() && name != "identity")
            codings.push_back(name);
        at = comma + 1;
    }
    TTransferCodings out;
    if (!codings.empty() && codings.back() == "chunked") {
        out.Chunked = true;
        codings.pop_back();
    }
    for (const std::string& name : codings)
        out.Unsupported += (out.Unsupported.empty() ? "" : ", ") + name;
    return out;
}

void ParseContentRange(const std::string& value, std::string& begin, std::string& end) {
    std::string v = value.size() > 6 ? value.substr(6) : std::string();
    std::size_t dash = v.find('-');
    begin = v.substr(0, dash);
    if (dash == std::string::npos) {
        end.clear();
        return;
    }
    std::size_t slash = v.find('/', dash + 1);
    end = v.substr(dash + 1, slash == std::string::npos ? std::string::npos : slash - dash - 1);
}

bool SplitHeaderField(const std::string& line, std::string& name, std::string& value) {
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    name = LowerCase(line.substr(0, colon));
    size_t v = colon + 1;
    // Skip blanks, but never past the last character.
    while (v + 1 < line.size() && line[v] == ' ')
        ++v;
    value = v < line.size() ? line.substr(v) : std::string();
    if (value == " ")
        value.clear();
    return true;
}

std::string HttpDateText(TDateTime dt) {
    static const char* kDays = "MonTueWedThuFriSatSun";
    static const char* kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    long long days = static_cast<long long>(dt);
    long long dayIndex = ((days - 2) % 7 + 7) % 7;
    int year, month, day, hour, minute, second, msec;
    DecodeDate(dt, year, month, day);
    DecodeTime(dt, hour, minute, second, msec);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", kDays + 3 * dayIndex,
                  day, kMonths + 3 * (month - 1), year, hour, minute, second);
    return buf;
}

#include "net/socket/socksreply.h"

#include <algorithm>
#include <cassert>

namespace {

constexpr int Socks4ReplyLen = 8;

TSocksVerdict Accepted(int replyLen) {
    TSocksVerdict v;
    v.Outcome = TSocksVerdict::Accepted;
    v.ReplyLen = replyLen;
    return v;
}

TSocksVerdict VersionError() {
    return SocksFailure(SocksError::VersionError, "socks version error");
}

// A SOCKS 5 server sends nothing after its two-byte answers until it has our
// next request: anything more is not a reply we know how to read.
TSocksVerdict TooMuchData() {
    return SocksFailure(SocksError::ProtocolError, "too much data availaible");
}

TSocksVerdict Unassigned(int value) {
    return SocksFailure(SocksError::Unassigned, "unassigned error #" + std::to_string(value));
}

// An IPv6 address in its usual text (RFC 5952): groups in lower-case hex
// without leading zeros, the longest run of two or more zero groups (the
// first of equal runs) written as "::".
std::string Ipv6Text(const unsigned char* a) {
    int groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = a[2 * i] << 8 | a[2 * i + 1];
    int runAt = -1, runLen = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > runLen && j - i >= 2) {
            runAt = i;
            runLen = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == runAt) {
            text += "::";
            i += runLen - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        bool digits = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int d = groups[i] >> shift & 0xF;
            if (d != 0 || digits || shift == 0) {
                text += hex[d];
                digits = true;
            }
        }
    }
    return text;
}

} // namespace

TSocksVerdict SocksFailure(int code, std::string text) {
    TSocksVerdict v;
    v.Outcome = TSocksVerdict::Failed;
    v.Code = code;
    v.Text = std::move(text);
    return v;
}

int TSocksReplyReader::Room(TSocksReplyKind kind) const {
    if (kind == TSocksReplyKind::Socks4Connect)
        return std::max(0, Socks4ReplyLen - FLen);
    return SocksReplyBufferSize - FLen;
}

void TSocksReplyReader::Added(int n) {
    assert(n >= 0 && n <= SocksReplyBufferSize - FLen);
    FLen += std::clamp(n, 0, SocksReplyBufferSize - FLen);
}

TSocksVerdict TSocksReplyReader::Judge(TSocksReplyKind kind) const {
    switch (kind) {
    case TSocksReplyKind::MethodChoice:
        return JudgeMethodChoice();
    case TSocksReplyKind::AuthAnswer:
        return JudgeAuthAnswer();
    case TSocksReplyKind::Socks4Connect:
        return JudgeSocks4();
    case TSocksReplyKind::Socks5Connect:
        return JudgeSocks5();
    }
    return TSocksVerdict{};
}

TSocksVerdict TSocksReplyReader::JudgeMethodChoice() const {
    if (FLen < 2)
        return TSocksVerdict{};
    if (FBuf[0] != 5)
        return VersionError();
    if (FBuf[1] != Socks5MethodNone && FBuf[1] != Socks5MethodUsercode)
        return SocksFailure(SocksError::MethodNotAcceptable,
                            "authentification method not acceptable");
    if (FLen > 2)
        return TooMuchData();
    TSocksVerdict v = Accepted(2);
    v.Method = FBuf[1];
    return v;
}

TSocksVerdict TSocksReplyReader::JudgeAuthAnswer() const {
    if (FLen < 2)
        return TSocksVerdict{};
    if (FBuf[0] != 1)
        return VersionError();
    if (FBuf[1] != 0)
        return SocksFailure(SocksError::AuthenticationFailed, "socks authentication failed");
    if (FLen > 2)
        return TooMuchData();
    return Accepted(2);
}

TSocksVerdict TSocksReplyReader::JudgeSocks4() const {
    if (FLen < Socks4ReplyLen)
        return TSocksVerdict{};
    if (FBuf[0] != 0)
        return VersionError();
    switch (FBuf[1]) {
    case 90:
        return Accepted(Socks4ReplyLen);
    case 91:
        return SocksFailure(SocksError::RequestRejected, "request rejected or failed");
    case 92:
        return SocksFailure(SocksError::ConnectionRefused, "connection refused");
    case 93:
        return SocksFailure(SocksError::AuthenticationFailed, "authentification failed");
    default:
        return Unassigned(FBuf[1]);
    }
}

TSocksVerdict TSocksReplyReader::JudgeSocks5() const {
    static const char* const ReplyTexts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported",
    };
    if (FLen < 2)
        return TSocksVerdict{};
    if (FBuf[0] != 5)
        return VersionError();
    const int code = FBuf[1];
    static_assert(SocksError::AddressTypeNotSupported - SocksError::GeneralFailure == 7);
    if (code >= 1 && code <= 8)
        return SocksFailure(SocksError::GeneralFailure + code - 1, ReplyTexts[code - 1]);
    if (code != 0)
        return Unassigned(code);
    if (FLen < 4)
        return TSocksVerdict{};
    TSocksVerdict v;
    int portAt = 0;
    switch (FBuf[3]) {
    case 1: // IPv4 address
        if (FLen < 10)
            return TSocksVerdict{};
        v = Accepted(10);
        v.BoundAddr = std::to_string(FBuf[4]) + "." + std::to_string(FBuf[5]) + "." +
                      std::to_string(FBuf[6]) + "." + std::to_string(FBuf[7]);
        portAt = 8;
        break;
    case 4: // IPv6 address: the server connected, whatever its own address
        if (FLen < 22)
            return TSocksVerdict{};
        v = Accepted(22);
        v.BoundAddr = Ipv6Text(FBuf + 4);
        portAt = 20;
        break;
    case 3: { // domain name: one length byte, then the name
        if (FLen < 5)
            return TSocksVerdict{};
        const int nameLen = FBuf[4];
        if (FLen < 7 + nameLen)
            return TSocksVerdict{};
        v = Accepted(7 + nameLen);
        v.BoundAddr.assign(reinterpret_cast<const char*>(FBuf + 5), static_cast<size_t>(nameLen));
        portAt = 5 + nameLen;
        break;
    }
    default:
        return SocksFailure(SocksError::AddressTypeNotSupported, "address type not supported");
    }
    v.BoundPort = std::to_string(FBuf[portAt] << 8 | FBuf[portAt + 1]);
    return v;
}

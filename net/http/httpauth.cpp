// THttpCli's side of authentication: the schemes chosen in advance, the
// authorisation lines of a request, and the decision, when a request ends
// with 401 (server) or 407 (proxy), to repeat it with credentials.
#include "net/http/httpbasic.h"
#include "net/http/httpparse.h"
#include "net/http/httpprot.h"
#include "net/socket/wsocket.h"

#include <algorithm>
#include <cstdio>

// The server's or the proxy's share of the exchange.
struct THttpCli::TAuthSide {
    bool Proxy;
    int& NTLMState;
    int& DigestState;
    int& BasicState;
    const std::string& User;
    const std::string& Password;
    THttpAuthType Preset;
    THttpDigestData& Digest;
    bool& StaleTried;
    TNtlmChallenge& Ntlm;
    std::string& Connection; // the connection header an NTLM handshake keeps alive
    const char* Label;       // "" or "Proxy " in trace texts
    const char* Prefix;      // "" or "Proxy" in the "Unexpected ...State" texts
};

THttpCli::TAuthSide THttpCli::AuthSide(bool proxy) {
    if (proxy)
        return {true,
                FProxyAuthNTLMState,
                FProxyAuthDigestState,
                FProxyAuthBasicState,
                FProxyUsername,
                FProxyPassword,
                FProxyAuth,
                FProxyAuthDigestInfo,
                FProxyAuthDigestStaleTried,
                FProxyNTLMMsg2Info,
                FRequestProxyConnection,
                "Proxy ",
                "Proxy"};
    return {false,
            FAuthNTLMState,
            FAuthDigestState,
            FAuthBasicState,
            FRequestUsername,
            FRequestPassword,
            FServerAuth,
            FAuthDigestInfo,
            FAuthDigestStaleTried,
            FNTLMMsg2Info,
            FRequestConnection,
            "",
            ""};
}

namespace {

bool StartsWithScheme(const std::string& value, const char* scheme) {
    std::size_t n = std::char_traits<char>::length(scheme);
    if (value.size() < n || LowerCase(value.substr(0, n)) != LowerCase(scheme))
        return false;
    return value.size() == n || value[n] == ' ' || value[n] == '\t';
}

const char* SchemeName(THttpAuthType scheme) {
    switch (scheme) {
    case httpAuthNtlm:
        return "NTLM";
    case httpAuthDigest:
        return "Digest";
    case httpAuthBasic:
        return "Basic";
    default:
        return "";
    }
}

// The option that keeps a scheme from being answered automatically.
THttpCliOption NoOptionOf(THttpAuthType scheme) {
    switch (scheme) {
    case httpAuthNtlm:
        return httpoNoNTLMAuth;
    case httpAuthDigest:
        return httpoNoDigestAuth;
    default:
        return httpoNoBasicAuth;
    }
}

std::string OriginText(const std::string& proto, const std::string& host, const std::string& port) {
    return LowerCase(proto.empty() ? std::string("http") : proto) + "://" + LowerCase(host) + ":" +
           (port.empty() ? std::string("80") : port);
}

} // namespace

void THttpCli::ResetAuthStates() {
    FAuthNTLMState = FProxyAuthNTLMState = 0;
    FAuthDigestState = FProxyAuthDigestState = 0;
    FAuthBasicState = FProxyAuthBasicState = 0;
    FAuthDigestStaleTried = FProxyAuthDigestStaleTried = false;
}

// NTLM authenticates the connection, so an HTTP/1.0 exchange must ask for it
// to stay open.
void THttpCli::KeepAliveForNtlm(TAuthSide& side) {
    if (FRequestVer == "1.0" || FResponseVer == "1.0" || FResponseVer.empty())
        side.Connection = "Keep-alive";
}

void THttpCli::PrepareAuthAtStart() {
    if (!FProxy.empty() && FProxyAuth != httpAuthNone && !FProxyUsername.empty() &&
        !FProxyPassword.empty()) {
        // Over an open connection to the same proxy the scheme counts as done.
        const bool samePlace = FConnected && FCtrlSocket->State() == wsConnected &&
                               FConnectHost == FConnectedHost && FConnectPort == FConnectedPort &&
                               FProtocol == FConnectedProtocol;
        TAuthSide proxy = AuthSide(true);
        switch (FProxyAuth) {
        case httpAuthNtlm:
            FProxyAuthNTLMState = samePlace ? 4 : 1;
            KeepAliveForNtlm(proxy);
            break;
        case httpAuthDigest:
            FProxyAuthDigestState = samePlace ? 2 : 1;
            break;
        case httpAuthBasic:
            FProxyAuthBasicState = samePlace ? 2 : 1;
            break;
        default:
            break;
        }
    }
    if (FServerAuth != httpAuthNone && !FRequestUsername.empty() && !FRequestPassword.empty()) {
        TAuthSide server = AuthSide(false);
        switch (FServerAuth) {
        case httpAuthNtlm:
            FAuthNTLMState = 1;
            KeepAliveForNtlm(server);
            break;
        case httpAuthDigest:
            // A Digest answer needs the server's nonce: without one from an
            // earlier challenge of this origin, the challenge is waited for.
            if (!FAuthDigestInfo.Nonce.empty() &&
                FAuthDigestOrigin == OriginText(FProtocol, FOriginHost, FOriginPort))
                FAuthDigestState = 1;
            break;
        case httpAuthBasic:
            FAuthBasicState = 1;
            break;
        default:
            break;
        }
    }
}

void THttpCli::PrepareRelocatedAuth() {
    // Nothing of the exchange with the old location carries over; the
    // schemes chosen in advance are set up again as for a new request (the
    // server's only while its credentials are still ours to send).
    FAuthChallenges.Clear();
    ResetAuthStates();
    PrepareAuthAtStart();
}

void THttpCli::ForgetCredentialsOnNewOrigin(const std::string& proto, const std::string& host,
                                            const std::string& port) {
    // Credentials never follow a relocation to another host, port or
    // protocol: a server must not be able to send them elsewhere.
    if (OriginText(proto, host, port) != OriginText(FProtocol, FOriginHost, FOriginPort)) {
        FRequestUsername.clear();
        FRequestPassword.clear();
    }
}

std::string THttpCli::AuthorizationValue(TAuthSide& side, const std::string& method) {
    if (side.NTLMState == 1)
        return "NTLM " + NtlmNegotiateMessage();
    if (side.NTLMState == 3)
        return "NTLM " +
               NtlmAuthenticateMessage(side.Ntlm, side.User, side.Password, NtlmLocalHostName());
    if (side.DigestState == 1) {
        // The server's count starts at 1 for every request; the proxy's goes on.
        if (side.Proxy)
            ++side.Digest.NonceCount;
        else
            side.Digest.NonceCount = 1;
        std::string uri = FProxy.empty() ? FRequestUri : SplitUrl(FRequestUri).Path;
        if (uri.empty())
            // A string, not the literal: GCC 12 at -O3 takes assigning a one-character literal
            // for an overlapping copy (a false -Wrestrict).
            uri = std::string("/");
        return "Digest " + DigestAuthorization(side.User, side.Password, method, uri, side.Digest,
                                               NewDigestCnonce());
    }
    if (side.BasicState == 1)
        return "Basic " + BasicCredentials(side.User, side.Password);
    return std::string();
}

void THttpCli::AddAuthorizationLines(const std::string& method, TStringList& lines) {
    // The server learns nothing while the proxy's NTLM handshake begins.
    if (FProxyAuthNTLMState != 1) {
        TAuthSide server = AuthSide(false);
        std::string value = AuthorizationValue(server, method);
        if (!value.empty())
            lines.Add("Authorization: " + value);
    }
    TAuthSide proxy = AuthSide(true);
    std::string value = AuthorizationValue(proxy, method);
    if (!value.empty())
        lines.Add("Proxy-Authorization: " + value);
}

// ---- the retry decision -----------------------------------------------------------

void THttpCli::AdvanceAuthStates() {
    const int st = FStatusCode;
    const bool challenged = st == 401 || st == 407;
    if (FAuthNTLMState == 3 && !challenged)
        FAuthNTLMState = 4;
    if (FAuthNTLMState == 4 && st == 401)
        FAuthNTLMState = 0;
    if (FProxyAuthNTLMState == 3 && st != 407)
        FProxyAuthNTLMState = 4;
    if (FProxyAuthNTLMState == 4 && st == 407)
        FProxyAuthNTLMState = 0;
    for (int* s : {&FAuthDigestState, &FAuthBasicState}) {
        if (*s == 1 && !challenged)
            *s = 2;
        if (*s == 2 && st == 401)
            *s = 0;
    }
    for (int* s : {&FProxyAuthDigestState, &FProxyAuthBasicState}) {
        if (*s == 1 && st != 407)
            *s = 2;
        if (*s == 2 && st == 407)
            *s = 0;
    }
    if (st != 401)
        return;
    // The proxy let the request through. When the connection closes, the
    // repeat opens a new one that needs the proxy's credentials again; on a
    // kept connection an unfinished proxy scheme starts over.
    const bool closing = FCloseReq || FCtrlSocket->State() != wsConnected;
    if (closing) {
        if (FProxyAuthNTLMState == 4)
            FProxyAuthNTLMState = 1;
        else if (FProxyAuthDigestState == 2)
            FProxyAuthDigestState = 1;
        else if (FProxyAuthBasicState == 2)
            FProxyAuthBasicState = 1;
    } else {
        if (FProxyAuthNTLMState == 1 || FProxyAuthNTLMState == 3)
            FProxyAuthNTLMState = 0;
        else if (FProxyAuthDigestState == 1)
            FProxyAuthDigestState = 0;
        else if (FProxyAuthBasicState == 1)
            FProxyAuthBasicState = 0;
    }
}

bool THttpCli::RetryWithCredentials() {
    AdvanceAuthStates();
    if (FStatusCode != 401 && FStatusCode != 407)
        return false;
    // The strongest scheme first: NTLM never sends the password, Digest
    // sends a hash of it, Basic sends it readable by anyone on the way.
    for (TAuthStep (THttpCli::*check)() :
         {&THttpCli::PrepareNTLMAuth, &THttpCli::PrepareDigestAuth, &THttpCli::PrepareBasicAuth}) {
        TAuthStep step = (this->*check)();
        if (step != TAuthStep::No)
            return step == TAuthStep::Repeat;
    }
    return false;
}

THttpCli::TAuthStep THttpCli::RepeatRequest() {
    FRepeatPending = true;
    PostMsg(FMsgLogin);
    return TAuthStep::Repeat;
}

THttpCli::TAuthStep THttpCli::LetStand() {
    FAuthChallenges.Clear();
    return TAuthStep::Stand;
}

// Steps 1 to 3 of every scheme: whether it may be tried at all, and the
// challenge it answers (searched from the last to the first, each offered
// to OnBeforeAuth).
bool THttpCli::FindChallenge(TAuthSide& side, THttpAuthType scheme, std::string& value,
                             THttpDigestData* digest) {
    if (FOptions.Contains(NoOptionOf(scheme)))
        return false;
    if (FAuthChallenges.Count() == 0 || side.User.empty() || side.Password.empty())
        return false;
    const int others = (scheme == httpAuthNtlm ? 0 : side.NTLMState) +
                       (scheme == httpAuthDigest ? 0 : side.DigestState) +
                       (scheme == httpAuthBasic ? 0 : side.BasicState);
    if (others != 0)
        return false;
    for (int i = FAuthChallenges.Count() - 1; i >= 0; --i) {
        const std::string& candidate = FAuthChallenges[i];
        if (!StartsWithScheme(candidate, SchemeName(scheme)))
            continue;
        bool allow = true;
        if (OnBeforeAuth)
            OnBeforeAuth(this, scheme, side.Proxy, candidate, allow);
        if (!allow)
            continue;
        if (digest && !ParseDigestChallenge(
                          candidate.substr(std::min<std::size_t>(7, candidate.size())), *digest))
            continue;
        value = candidate;
        return true;
    }
    return false;
}

THttpCli::TAuthStep THttpCli::PrepareNTLMAuth() {
    TAuthSide side = AuthSide(FStatusCode == 407);
    std::string challenge;
    if (!FindChallenge(side, httpAuthNtlm, challenge, nullptr))
        return TAuthStep::No;
    switch (side.NTLMState) {
    case 0:
        Trace(loProtSpecInfo, std::string("Starting ") + side.Label + "NTLM authentication");
        side.NTLMState = 1;
        side.BasicState = 0;
        KeepAliveForNtlm(side);
        return RepeatRequest();
    case 1: {
        std::string error;
        if (!NtlmDecodeChallenge(challenge.size() > 5 ? challenge.substr(5) : std::string(),
                                 side.Ntlm, error)) {
            // A challenge that cannot be read ends the handshake: the 401 or
            // 407 stands.
            Trace(loProtSpecErr, std::string(side.Label) + "NTLM challenge refused: " + error);
            side.NTLMState = 0;
            return LetStand();
        }
        if (Tracing(loProtSpecDump)) {
            char flags[16];
            std::snprintf(flags, sizeof flags, "%08X", side.Ntlm.Flags);
            Trace(loProtSpecDump, std::string(side.Label) + "NTLM challenge flags " + flags);
        }
        side.NTLMState = 3;
        return RepeatRequest();
    }
    case 3:
        side.NTLMState = 0;
        return LetStand();
    default:
        throw EHttpException(std::string("Unexpected ") + side.Prefix + "AuthNTLMState",
                             httperrInvalidAuthState);
    }
}

THttpCli::TAuthStep THttpCli::PrepareDigestAuth() {
    TAuthSide side = AuthSide(FStatusCode == 407);
    std::string challenge;
    THttpDigestData data;
    if (!FindChallenge(side, httpAuthDigest, challenge, &data))
        return TAuthStep::No;
    switch (side.DigestState) {
    case 0:
        Trace(loProtSpecInfo, std::string("Starting ") + side.Label + "Digest authentication");
        side.Digest = data;
        if (!side.Proxy)
            FAuthDigestOrigin = OriginText(FProtocol, FOriginHost, FOriginPort);
        side.DigestState = 1;
        side.NTLMState = 0;
        side.BasicState = 0;
        return RepeatRequest();
    case 1:
        // Our answer was right but its nonce had expired: answer the new
        // nonce, once.
        if (data.Stale && !side.StaleTried) {
            Trace(loProtSpecInfo,
                  std::string(side.Label) + "Digest nonce is stale, answering again");
            side.StaleTried = true;
            side.Digest = data; // a new nonce counts from 1 again
            return RepeatRequest();
        }
        side.DigestState = 0;
        return LetStand();
    default:
        throw EHttpException(std::string("Unexpected ") + side.Prefix + "AuthDigestState",
                             httperrInvalidAuthState);
    }
}

THttpCli::TAuthStep THttpCli::PrepareBasicAuth() {
    TAuthSide side = AuthSide(FStatusCode == 407);
    std::string challenge;
    if (!FindChallenge(side, httpAuthBasic, challenge, nullptr))
        return TAuthStep::No;
    switch (side.BasicState) {
    case 0:
        Trace(loProtSpecInfo, std::string("Starting ") + side.Label + "Basic authentication");
        side.BasicState = 1;
        side.NTLMState = 0;
        side.DigestState = 0;
        return RepeatRequest();
    case 1:
        side.BasicState = 0;
        return LetStand();
    default:
        throw EHttpException(std::string("Unexpected ") + side.Prefix + "AuthBasicState",
                             httperrInvalidAuthState);
    }
}

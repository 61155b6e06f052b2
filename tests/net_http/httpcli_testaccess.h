// Test seam into THttpCli's data handler: puts a client in the state of a
// request whose header has been sent and feeds response bytes through the
// same code that handles bytes read from the socket, so any split of a
// response can be tried without timing games.
#pragma once

#include "net/http/httpparse.h"
#include "net/http/httpprot.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

class THttpCliTestAccess {
public:
    // As after SendRequest for `rq`: response fields reset, header expected.
    static void ExpectResponse(THttpCli& h, THttpRequest rq) {
        h.FRqType = rq;
        h.ResetResponseFields(false);
        h.FBufferedLen = 0;
        h.FDocStartSize = h.FDocStream ? h.FDocStream->Size() : 0;
        h.SplitRequestTarget(); // the target fields, as StartRequest sets them
        h.FConnectedHost = h.FConnectHost;
        h.FConnectedPort = h.FConnectPort;
        h.FConnectedProtocol = h.FProtocol;
        h.FNextStep = THttpCli::TNextStep::HeaderLine;
        h.ChangeState(httpWaitingHeader);
    }

    // Delivers `bytes` as successive reads of at most what the data handler
    // would ask the socket for.
    static void Feed(THttpCli& h, const std::string& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t room = h.MakeReceiveRoom();
            std::size_t n = std::min(room, bytes.size() - at);
            std::memcpy(h.FReceiveBuffer.data() + h.FBufferedLen, bytes.data() + at, n);
            h.ProcessReceived(static_cast<int>(n));
            at += n;
        }
    }

    // The peer closed the connection.
    static void PeerClosed(THttpCli& h) { h.SocketSessionClosed(0); }

    // The response to a request of kind `rq`, in the pieces `cuts` gives
    // (byte offsets), then the close when `close` is set.
    static void Answer(THttpCli& h, THttpRequest rq, const std::string& response,
                       const std::vector<std::size_t>& cuts, bool close) {
        ExpectResponse(h, rq);
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            Feed(h, response.substr(from, cut - from));
            from = cut;
        }
        Feed(h, response.substr(from));
        if (close)
            PeerClosed(h);
    }

    // Puts the state bytes of one side, the status and the challenges as a
    // response would have left them, then asks one scheme's check directly.
    static void SetAuth(THttpCli& h, bool proxy, int ntlm, int digest, int basic) {
        (proxy ? h.FProxyAuthNTLMState : h.FAuthNTLMState) = ntlm;
        (proxy ? h.FProxyAuthDigestState : h.FAuthDigestState) = digest;
        (proxy ? h.FProxyAuthBasicState : h.FAuthBasicState) = basic;
    }
    static void SetChallenge(THttpCli& h, int status, const std::string& challenge) {
        h.FStatusCode = status;
        h.FAuthChallenges.Clear();
        h.FAuthChallenges.Add(challenge);
    }
    static void CheckScheme(THttpCli& h, THttpAuthType scheme) {
        if (scheme == httpAuthNtlm)
            h.PrepareNTLMAuth();
        else if (scheme == httpAuthDigest)
            h.PrepareDigestAuth();
        else
            h.PrepareBasicAuth();
    }
    static void SetCredentials(THttpCli& h, const std::string& user, const std::string& pass) {
        h.FRequestUsername = user;
        h.FRequestPassword = pass;
    }
    // The request side without a connection: the target fields from URL,
    // a relocation to a "location" value, and the header lines as composed.
    static bool SplitRequestTarget(THttpCli& h) { return h.SplitRequestTarget(); }
    static bool TakeLocation(THttpCli& h, const std::string& value) {
        return h.TakeLocation(value);
    }
    static TStringList RequestHeader(THttpCli& h, THttpRequest rq) {
        h.FRqType = rq;
        TStringList lines;
        h.BuildRequestHeader(rq == httpHEAD   ? "HEAD"
                             : rq == httpPOST ? "POST"
                                              : "GET",
                             h.FRequestVer, lines);
        return lines;
    }
    static const std::string& RequestUri(const THttpCli& h) { return h.FRequestUri; }

    static std::size_t ReceiveBufferCapacity(const THttpCli& h) { return h.FReceiveBuffer.size(); }
    static const std::string& RequestUsername(const THttpCli& h) { return h.FRequestUsername; }
    static const std::string& RequestPassword(const THttpCli& h) { return h.FRequestPassword; }
    static const std::string& OriginHost(const THttpCli& h) { return h.FOriginHost; }
    static const std::string& OriginPort(const THttpCli& h) { return h.FOriginPort; }
};

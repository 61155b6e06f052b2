// THttpCli: a non-visual HTTP/1.0 and HTTP/1.1 client component that runs one
// request at a time over a TWSocket it owns. Every step runs inside a socket
// event or one of its own posted messages; Post/Get/Head/Put wrap a request in
// a synchronous wait that keeps the thread's messages flowing.
#pragma once

#include "framework/datetime.h"
#include "framework/exception.h"
#include "framework/stream.h"
#include "framework/strings.h"
#include "net/http/httpcontcod.h"
#include "net/http/httpdigest.h"
#include "net/http/httpntlm.h"
#include "net/socket/icslogger.h"
#include "net/socket/icswndcontrol.h"
#include "net/socket/wsocket.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class TWSocket;

// Error codes of EHttpException other than a response's status code.
constexpr std::uint16_t httperrBusy = 1;
constexpr std::uint16_t httperrNoData = 2;
constexpr std::uint16_t httperrAborted = 3;
constexpr std::uint16_t httperrOverflow = 4;
constexpr std::uint16_t httperrVersion = 5;
constexpr std::uint16_t httperrInvalidAuthState = 6;
constexpr std::uint16_t httperrSslHandShake = 7;
constexpr std::uint16_t httperrTimeout = 8;

class EHttpException : public Exception {
public:
    EHttpException(std::string message, std::uint16_t errCode)
        : Exception(std::move(message)), FErrCode(errCode) {}
    std::uint16_t ErrCode() const { return FErrCode; }
    const char* ClassName() const override { return "EHttpException"; }

private:
    std::uint16_t FErrCode;
};

enum THttpCliState {
    httpReady,               // idle; a request may start
    httpNotConnected,        // request accepted, before the name lookup
    httpConnected,           // the socket reported the connection
    httpDnsLookup,           // name lookup running
    httpDnsLookupDone,       // name lookup succeeded, connecting
    httpWaitingHeader,       // request header sent, response header expected
    httpWaitingBody,         // response header ended, body follows
    httpBodyReceived,        // body complete, the end of the request is posted
    httpWaitingProxyConnect, // reserved for proxy tunnelling, never entered
    httpClosing,             // an httpCLOSE request
    httpAborting             // a synchronous call gives up
};

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm, httpAuthDigest };

enum THttpCliOption {
    httpoNoBasicAuth,
    httpoNoNTLMAuth,
    httpoBandwidthControl,
    httpoEnableContentCoding,
    httpoUseQuality,
    httpoNoDigestAuth
};

// A set of THttpCliOption values.
class THttpCliOptions {
public:
    constexpr THttpCliOptions() = default;
    constexpr THttpCliOptions(std::initializer_list<THttpCliOption> options) {
        for (THttpCliOption o : options)
            FBits |= Bit(o);
    }
    constexpr bool Contains(THttpCliOption o) const { return (FBits & Bit(o)) != 0; }
    constexpr void Include(THttpCliOption o) { FBits |= Bit(o); }
    constexpr void Exclude(THttpCliOption o) { FBits &= ~Bit(o); }
    constexpr bool operator==(const THttpCliOptions&) const = default;

private:
    static constexpr unsigned Bit(THttpCliOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned FBits = 0;
};

const char* HttpCliStateName(int state);

using THttpNotifyEvent = std::function<void(TComponent* Sender)>;
using THttpRequestDone =
    std::function<void(TComponent* Sender, THttpRequest RqType, std::uint16_t ErrCode)>;
using TDocDataEvent = std::function<void(TComponent* Sender, const char* Buffer, int Len)>;
using TCookieRcvdEvent =
    std::function<void(TComponent* Sender, const std::string& Data, bool& Accept)>;
using TLocationChangeExceeded =
    std::function<void(TComponent* Sender, int RelocationCount, bool& AllowMoreRelocations)>;
using TBeforeHeaderSendEvent =
    std::function<void(TComponent* Sender, const std::string& Method, TStringList& Headers)>;
using TOnCommand = std::function<void(TComponent* Sender, std::string& S)>;
using THttpDataAvailable = std::function<void(TComponent* Sender, std::uint16_t ErrCode)>;
using THttpBeforeAuthEvent =
    std::function<void(TComponent* Sender, THttpAuthType AuthType, bool ProxyAuth,
                       const std::string& AuthHdr, bool& Allow)>;
using THttpSocksErrorEvent =
    std::function<void(TComponent* Sender, int Error, const std::string& Msg)>;
using THttpTraceEvent = std::function<void(TComponent* Sender, const std::string& Msg)>;

class THttpCliTestAccess;

class THttpCli : public TIcsWndControl {
public:
    explicit THttpCli(TComponent* owner = nullptr);
    ~THttpCli() override;

    // Synchronous requests: return when the request has ended; raise
    // EHttpException for failures and statuses of 400 and more but 401/407.
    void Get();
    void Post();
    void Put();
    void Head();
    void Close();
    // Asynchronous requests: return at once; OnRequestDone tells the end.
    void GetASync() { StartRequest(httpGET); }
    void PostASync() { StartRequest(httpPOST); }
    void PutASync() { StartRequest(httpPUT); }
    void HeadASync() { StartRequest(httpHEAD); }
    void CloseAsync() { StartRequest(httpCLOSE); }
    // Stops whatever runs and returns to httpReady at once.
    void Abort();
    // Moves the client and its socket to the calling thread.
    void AttachToThread() override;
    void DetachFromThread() override;

    // ---- published properties ------------------------------------------
    const std::string& URL() const { return FURL; }
    void SetURL(const std::string& v) { FURL = v; }
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& v) { FLocalAddr = v; }
    const std::string& Proxy() const { return FProxy; }
    void SetProxy(const std::string& v) { FProxy = v; }
    const std::string& ProxyPort() const { return FProxyPort; }
    void SetProxyPort(const std::string& v) { FProxyPort = v; }
    const std::string& Sender() const { return FSender; }
    void SetSender(const std::string& v) { FSender = v; }
    const std::string& Agent() const { return FAgent; }
    void SetAgent(const std::string& v) { FAgent = v; }
    const std::string& Accept() const { return FAccept; }
    void SetAccept(const std::string& v) { FAccept = v; }
    const std::string& AcceptLanguage() const { return FAcceptLanguage; }
    void SetAcceptLanguage(const std::string& v) { FAcceptLanguage = v; }
    const std::string& Reference() const { return FReference; }
    void SetReference(const std::string& v) { FReference = v; }
    const std::string& Connection() const { return FConnection; }
    void SetConnection(const std::string& v) { FConnection = v; }
    const std::string& ProxyConnection() const { return FProxyConnection; }
    void SetProxyConnection(const std::string& v) { FProxyConnection = v; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& v) { FUsername = v; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& v) { FPassword = v; }
    const std::string& ProxyUsername() const { return FProxyUsername; }
    void SetProxyUsername(const std::string& v) { FProxyUsername = v; }
    const std::string& ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& v) { FProxyPassword = v; }
    bool NoCache() const { return FNoCache; }
    void SetNoCache(bool v) { FNoCache = v; }
    TDateTime ModifiedSince() const { return FModifiedSince; }
    void SetModifiedSince(TDateTime v) { FModifiedSince = v; }
    const std::string& Cookie() const { return FCookie; }
    void SetCookie(const std::string& v) { FCookie = v; }
    const std::string& ContentTypePost() const { return FContentTypePost; }
    void SetContentTypePost(const std::string& v) { FContentTypePost = v; }
    const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
    void SetContentRangeBegin(const std::string& v) { FContentRangeBegin = v; }
    const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(const std::string& v) { FContentRangeEnd = v; }
    const std::string& AcceptRanges() const { return FAcceptRanges; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool v);
    const std::string& RequestVer() const { return FRequestVer; }
    // Only "1.0" and "1.1"; anything else raises and keeps the old value.
    void SetRequestVer(const std::string& v);
    bool FollowRelocation() const { return FFollowRelocation; }
    void SetFollowRelocation(bool v) { FFollowRelocation = v; }
    int LocationChangeMaxCount() const { return FLocationChangeMaxCount; }
    void SetLocationChangeMaxCount(int v) { FLocationChangeMaxCount = v; }
    int LocationChangeCurCount() const { return FLocationChangeCurCount; }
    THttpAuthType ServerAuth() const { return FServerAuth; }
    void SetServerAuth(THttpAuthType v) { FServerAuth = v; }
    THttpAuthType ProxyAuth() const { return FProxyAuth; }
    void SetProxyAuth(THttpAuthType v) { FProxyAuth = v; }
    int BandwidthLimit() const { return FBandwidthLimit; }
    void SetBandwidthLimit(int v) { FBandwidthLimit = v; }
    int BandwidthSampling() const { return FBandwidthSampling; }
    void SetBandwidthSampling(int v) { FBandwidthSampling = v; }
    // Reading copies the content-coding flags in; writing pushes them back.
    THttpCliOptions Options();
    void SetOptions(const THttpCliOptions& v);
    TIcsLogger* IcsLogger() const { return FIcsLogger; }
    void SetIcsLogger(TIcsLogger* logger);
    std::uint32_t Timeout() const { return FTimeout; }
    void SetTimeout(std::uint32_t seconds) { FTimeout = seconds; }
    const std::string& SocksServer() const { return FSocksServer; }
    void SetSocksServer(const std::string& v) { FSocksServer = v; }
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& v) { FSocksLevel = v; }
    const std::string& SocksPort() const { return FSocksPort; }
    void SetSocksPort(const std::string& v) { FSocksPort = v; }
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }
    // Through SOCKS 4A or 5: hand the socket the host name for the SOCKS
    // server to look up, instead of an address looked up here (false: the
    // client looks every name up itself, also for those levels).
    bool SocksResolveRemotely() const { return FSocksResolveRemotely; }
    void SetSocksResolveRemotely(bool v) { FSocksResolveRemotely = v; }

    // ---- run-time properties --------------------------------------------
    TStream* PostStream() const { return FPostStream; }
    void SetPostStream(TStream* s) { FPostStream = s; }
    TStream* DocStream() const { return FDocStream; }
    void SetDocStream(TStream* s) { FDocStream = s; }
    THttpCliState State() const { return FState; }
    THttpRequest RqType() const { return FRqType; }
    int StatusCode() const { return FStatusCode; }
    const std::string& ReasonPhrase() const { return FReasonPhrase; }
    const std::string& ResponseVer() const { return FResponseVer; }
    std::int64_t ContentLength() const { return FContentLength; }
    std::int64_t ReceivedCount() const { return FReceivedCount; }
    const std::string& ContentType() const { return FContentType; }
    const std::string& TransferEncoding() const { return FTransferEncoding; }
    const std::string& ContentEncoding() const { return FContentEncoding; }
    const std::string& Location() const { return FLocation; }
    const TStringList& HeaderLines() const { return FHeaderLines; }
    const TStringList& AuthChallenges() const { return FAuthChallenges; }
    const std::string& DocumentName() const { return FDocumentName; }
    bool CloseReq() const { return FCloseReq; }
    std::int64_t BodySentCount() const { return FBodySentCount; }
    std::uint16_t ErrCode() const { return FErrCode; }
    TWSocket* CtrlSocket() const { return FCtrlSocket; }
    // The authentication state bytes of the current request (read only).
    int AuthNTLMState() const { return FAuthNTLMState; }
    int ProxyAuthNTLMState() const { return FProxyAuthNTLMState; }
    int AuthDigestState() const { return FAuthDigestState; }
    int ProxyAuthDigestState() const { return FProxyAuthDigestState; }
    int AuthBasicState() const { return FAuthBasicState; }
    int ProxyAuthBasicState() const { return FProxyAuthBasicState; }
    THttpContCodHandler& ContentCodingHnd() { return *FContentCodingHnd; }

    // The asynchronous start of a request; the result comes through events.
    void StartRequest(THttpRequest rq);
    // The synchronous wait around StartRequest.
    void RunRequest(THttpRequest rq);

    // ---- events -----------------------------------------------------------
    THttpNotifyEvent OnStateChange;
    THttpNotifyEvent OnSessionConnected;
    THttpNotifyEvent OnSessionClosed;
    THttpNotifyEvent OnRequestHeaderBegin;
    THttpNotifyEvent OnRequestHeaderEnd;
    TBeforeHeaderSendEvent OnBeforeHeaderSend;
    TOnCommand OnCommand;
    THttpNotifyEvent OnSendBegin;
    THttpNotifyEvent OnSendEnd;
    TDocDataEvent OnSendData;
    THttpNotifyEvent OnHeaderBegin;
    THttpNotifyEvent OnHeaderEnd;
    THttpNotifyEvent OnHeaderData;
    THttpNotifyEvent OnDocBegin;
    THttpNotifyEvent OnDocEnd;
    TDocDataEvent OnDocData;
    TCookieRcvdEvent OnCookie;
    THttpNotifyEvent OnLocationChange;
    TLocationChangeExceeded OnLocationChangeExceeded;
    THttpRequestDone OnRequestDone;
    THttpDataAvailable OnDataPush;
    THttpNotifyEvent OnDataPush2;
    THttpBeforeAuthEvent OnBeforeAuth;
    THttpNotifyEvent OnSocketError;
    THttpDataAvailable OnSocksConnected;
    THttpSocksErrorEvent OnSocksError;
    // Assignable for compatibility; never fired.
    THttpTraceEvent OnTrace;
    THttpNotifyEvent OnSocksAuthState;

protected:
    int RequiredMessageCount() override { return TIcsWndControl::RequiredMessageCount() + 3; }
    void AllocateMessages() override;
    void FreeMessages() override;
    void HandleMessage(TIcsMessage& msg) override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class THttpCliTestAccess;
    enum class TNextStep { None, HeaderLine, BodyLine };

    // Request side.
    void ChangeState(THttpCliState newState);
    // Splits URL (and Proxy) into the per-request fields; false when the URL
    // cannot be sent as it is.
    bool SplitRequestTarget();
    void Login();
    void SocketDnsLookupDone(std::uint16_t error);
    bool SocksResolvesName() const;
    // Connects the socket to `address` (or, through SOCKS, to the name).
    void ConnectTo(const std::string& address);
    void SocketSessionConnected(std::uint16_t error);
    // Composes the header and queues it; it is sent at once unless a body
    // follows, whose first piece then goes with it.
    void SendRequest(const std::string& method, const std::string& version, bool bodyFollows);
    void BuildRequestHeader(const std::string& method, const std::string& version,
                            TStringList& lines);
    void SocketDataSent(std::uint16_t error);
    void SendBodyPiece();
    bool NtlmFirstStep() const;
    void StartBandwidthControl();
    void BandwidthTimerTick();
    void StopBandwidthTimer();

    // Response side.
    void SocketDataAvailable(std::uint16_t error);
    // Grows the receive buffer as needed; returns the bytes a read may take.
    std::size_t MakeReceiveRoom();
    void ProcessReceived(int count);
    // Cuts the buffer into lines; `fresh` bytes of it came after a response.
    void ReadLines(std::size_t fresh);
    void RunNextStep();
    void HeaderLineReader();
    void ReadStatusLine();
    void ReadFieldLine();
    // Sets up the relocation to a "location" value; false when the value
    // cannot be a target (the response is then malformed).
    bool TakeLocation(const std::string& field);
    void ApplyLocation(const std::string& v);
    void ForgetInterimResponse();
    void HeaderEnded();
    // Takes a body slice; returns how many of its bytes belong to the body.
    std::size_t GetBodyLineNext(const char* data, std::size_t len);
    void EndDocument();
    std::size_t WalkChunks(const char* data, std::size_t len);
    void StartNextChunk();
    void FailResponse(const std::string& reason);
    void SocketSessionClosed(std::uint16_t error);
    // Ends the sending of the request body; true when it had not all been sent.
    bool StopSendingBody();
    void BeginRelocation();
    void RelocateAfterClose();
    bool RelocationLimitPassed();
    void MarkReady();
    void PostMsg(UINT msg);
    // What a response header sets, back to its value before any header.
    void ClearHeaderFields();
    void ResetResponseFields(bool keepLocation);
    void RewindStreams();
    void DropFromBuffer(std::size_t count);
    void DiscardBuffer();
    char* BufferData() { return FReceiveBuffer.data() + FBufferStart; }
    // The response has been read whole; its end is posted or deferred.
    bool ResponseComplete() const;
    // Accounts for bytes that arrived after a complete response; false when
    // they were dropped or ended the request.
    bool HoldAfterResponse(std::size_t count);

    // Authentication (httpauth.cpp). One side of it: the server's or the
    // proxy's state bytes, credentials and challenge data.
    struct TAuthSide;
    enum class TAuthStep { No, Repeat, Stand };
    TAuthSide AuthSide(bool proxy);
    void ResetAuthStates();
    // The schemes chosen by ServerAuth and ProxyAuth, when credentials are
    // present (at the start of a request and after a relocation).
    void PrepareAuthAtStart();
    void PrepareRelocatedAuth();
    // A relocation to another origin drops the server credentials.
    void ForgetCredentialsOnNewOrigin(const std::string& proto, const std::string& host,
                                      const std::string& port);
    void AddAuthorizationLines(const std::string& method, TStringList& lines);
    std::string AuthorizationValue(TAuthSide& side, const std::string& method);
    bool RetryWithCredentials();
    void AdvanceAuthStates();
    TAuthStep PrepareNTLMAuth();
    TAuthStep PrepareDigestAuth();
    TAuthStep PrepareBasicAuth();
    bool FindChallenge(TAuthSide& side, THttpAuthType scheme, std::string& value,
                       THttpDigestData* digest);
    void KeepAliveForNtlm(TAuthSide& side);
    TAuthStep RepeatRequest();
    TAuthStep LetStand();
    void DecodingFailed();
    // Ends the decoding of a body; false when its coded data was cut short.
    bool CompleteContentCoding();

    void TriggerHeaderBegin();
    void TriggerHeaderEnd();
    void TriggerDocBegin();
    void TriggerDocEnd();
    void TriggerDocData(const char* data, std::int64_t len);
    void Fire(const THttpNotifyEvent& e) {
        if (e)
            e(this);
    }
    bool Tracing(TLogOption level) const;
    void Trace(TLogOption level, const std::string& text);

    // Published fields.
    std::string FURL, FLocalAddr, FProxy, FProxyPort, FSender, FAgent, FAccept, FAcceptLanguage,
        FReference, FConnection, FProxyConnection, FUsername, FPassword, FProxyUsername,
        FProxyPassword, FCookie, FContentTypePost, FContentRangeBegin, FContentRangeEnd,
        FAcceptRanges, FRequestVer;
    bool FNoCache = false;
    TDateTime FModifiedSince = 0;
    bool FMultiThreaded = false;
    bool FFollowRelocation = true;
    int FLocationChangeMaxCount = 5;
    int FLocationChangeCurCount = 0;
    THttpAuthType FServerAuth = httpAuthNone;
    THttpAuthType FProxyAuth = httpAuthNone;
    int FBandwidthLimit = 10000;
    int FBandwidthSampling = 1000;
    THttpCliOptions FOptions;
    TIcsLogger* FIcsLogger = nullptr;
    std::uint32_t FTimeout = 30;
    std::string FSocksServer, FSocksLevel, FSocksPort, FSocksUsercode, FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    bool FSocksResolveRemotely = false;
    // The SOCKS failure the socket reported for the current connect, so that
    // the failed connect that follows is told in the SOCKS layer's words.
    int FSocksErrorCode = 0;
    std::string FSocksErrorText;

    // Run-time fields.
    TStream* FPostStream = nullptr;
    TStream* FDocStream = nullptr;
    THttpCliState FState = httpReady;
    THttpRequest FRqType = httpABORT;
    int FStatusCode = 0;
    std::string FReasonPhrase, FResponseVer, FContentType, FTransferEncoding, FContentEncoding,
        FLocation, FDocumentName;
    std::int64_t FContentLength = -1;
    std::int64_t FReceivedCount = 0;
    TStringList FHeaderLines;
    TStringList FAuthChallenges;
    bool FCloseReq = false;
    std::int64_t FBodySentCount = 0;
    std::uint16_t FErrCode = 0;

    // Per-request fields.
    std::string FProtocol, FOriginHost, FOriginPort, FConnectHost, FConnectPort, FRequestUri, FPath,
        FRequestUsername, FRequestPassword, FRequestConnection, FRequestProxyConnection,
        FConnectedHost, FConnectedPort, FConnectedProtocol, FResolvedAddr;
    bool FConnected = false;
    TMemoryStream FHeaderBuffer;
    std::vector<char> FSendBuffer;
    bool FSendingBody = false;
    bool FReadyDeferred = false;
    std::int64_t FBandwidthUsed = 0;
    std::int64_t FBandwidthQuota = 0;
    bool FBandwidthPaused = false;
    TIcsTimer* FBandwidthTimer = nullptr;

    // Response parsing.
    std::vector<char> FReceiveBuffer;
    std::size_t FBufferStart = 0; // consumed bytes at the front, dropped at the next read
    std::size_t FBufferedLen = 0; // unconsumed bytes after FBufferStart
    std::size_t FLineScanned = 0; // of those, bytes known to hold no line feed
    std::int64_t FBytesAfterResponse = 0;
    std::string FLastLine;
    std::string FLastLineRaw; // the same line as received, line break included
    int FLineCount = 0;
    bool FInHeader = false;
    bool FHeaderComplete = false;
    std::int64_t FHeaderBytes = 0;
    int FBodyLineCount = 0;
    std::size_t FBodyDataLen = 0;
    int FChunkState = 0;
    std::int64_t FChunkLength = 0;
    std::int64_t FChunkReceived = 0;
    bool FChunkSizeSeen = false; // a digit of the current size was read
    bool FChunked = false;       // the last transfer coding is chunked
    // Framing that carries no data is capped as the header is: the bytes of
    // the current size or trailer line, and of the trailer as a whole.
    std::int64_t FChunkLineBytes = 0;
    std::int64_t FTrailerBytes = 0;
    std::int64_t FDocStartSize = 0;
    TNextStep FNextStep = TNextStep::None;
    // The value of the response's last "location" field, applied when its
    // header has ended (an interim answer's is forgotten).
    std::string FLocationField;
    bool FLocationFieldSeen = false;
    bool FRelocationPending = false;
    bool FRelocateOnClose = false;
    bool FLoginPending = false; // a relocated request is posted, not yet sent
    bool FResponseFailed = false;

    // Authentication state bytes (idle = 0). NTLM: 1 negotiate to send,
    // 3 authenticate to send, 4 done; Digest and Basic: 1 credentials to
    // send, 2 done.
    int FAuthNTLMState = 0, FProxyAuthNTLMState = 0, FAuthDigestState = 0,
        FProxyAuthDigestState = 0, FAuthBasicState = 0, FProxyAuthBasicState = 0;
    THttpDigestData FAuthDigestInfo, FProxyAuthDigestInfo;
    // The origin the server's Digest data came from: a preset Digest answer
    // goes only there.
    std::string FAuthDigestOrigin;
    // A stale nonce is answered once per request.
    bool FAuthDigestStaleTried = false, FProxyAuthDigestStaleTried = false;
    TNtlmChallenge FNTLMMsg2Info, FProxyNTLMMsg2Info;
    // A repetition with credentials is set up and waits for MsgLogin: the
    // request goes on although State is httpReady.
    bool FRepeatPending = false;
    bool FAuthDeciding = false;

    std::unique_ptr<THttpContCodHandler> FContentCodingHnd;
    TWSocket* FCtrlSocket = nullptr;

    UINT FMsgRequestDone = 0;
    UINT FMsgSetReady = 0;
    UINT FMsgLogin = 0;
};

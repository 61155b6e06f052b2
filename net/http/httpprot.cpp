#include "net/http/httpprot.h"

#include "framework/application.h"
#include "net/http/httpparse.h"
#include "net/socket/wsocket.h"
#include "platform/win32/reactor.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kSendBufferSize = 8192;
constexpr std::size_t kReceiveRoom = 8192;
// The first allocation: a large body is read in pieces of 16 KiB, which stay
// in the CPU's nearest caches while the kernel copies into them. 64 KiB
// pieces make a quarter of the system calls and cost less CPU on a busy
// machine, but on a quiet one a loopback download ran at about 1.75 GiB/s
// with them against 2.6-2.75 GiB/s with 16 KiB pieces. The buffer still grows
// only by the rule of kReceiveRoom.
constexpr std::size_t kReceiveFirst = 16 * 1024 + 1;
// Bounds that keep a hostile or broken server from growing the receive
// buffer without limit.
constexpr std::size_t kMaxHeaderLine = 64 * 1024;
constexpr std::int64_t kMaxHeaderTotal = 1024 * 1024;

const char* const kStateNames[] = {
    "httpReady",       "httpNotConnected",  "httpConnected",
    "httpDnsLookup",   "httpDnsLookupDone", "httpWaitingHeader",
    "httpWaitingBody", "httpBodyReceived",  "httpWaitingProxyConnect",
    "httpClosing",     "httpAborting"};

std::string WinsockErrorText(int code) {
    return WSocketErrorText(code);
}

bool IsHexDigit(char c, int& value) {
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else
        return false;
    return true;
}

} // namespace

const char* HttpCliStateName(int state) {
    if (state < 0 || state > httpAborting)
        return "INVALID STATE";
    return kStateNames[state];
}

// ---- construction -----------------------------------------------------------

THttpCli::THttpCli(TComponent* owner) : TIcsWndControl(owner) {
    FLocalAddr = "0.0.0.0";
    FProxyPort = "80";
    FAgent = "Mozilla/4.0 (compatible; TORVELIX)";
    FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    FContentTypePost = "application/x-www-form-urlencoded";
    FRequestVer = "1.0";
    FContentCodingHnd = std::make_unique<THttpContCodHandler>(
        [this]() { return FDocStream; },
        [this](const char* data, std::int64_t len) { TriggerDocData(data, len); });
    FOptions = Options();
    // The client takes its message numbers before its socket does, so the
    // first client of a thread holds 1025 to 1028 and its socket 1029 to 1035.
    Handle();
    FCtrlSocket = new TWSocket(this);
    FCtrlSocket->OnSessionClosed = [this](TComponent*, WORD e) { SocketSessionClosed(e); };
    FCtrlSocket->OnDataAvailable = [this](TComponent*, WORD e) { SocketDataAvailable(e); };
    FCtrlSocket->OnSessionConnected = [this](TComponent*, WORD e) { SocketSessionConnected(e); };
    FCtrlSocket->OnDataSent = [this](TComponent*, WORD e) { SocketDataSent(e); };
    FCtrlSocket->OnDnsLookupDone = [this](TComponent*, WORD e) { SocketDnsLookupDone(e); };
    FCtrlSocket->OnSocksError = [this](TComponent*, int error, const std::string& msg) {
        FSocksErrorCode = error;
        FSocksErrorText = msg;
        if (OnSocksError)
            OnSocksError(this, error, msg);
    };
    FCtrlSocket->OnSocksConnected = [this](TComponent*, WORD e) {
        if (OnSocksConnected)
            OnSocksConnected(this, e);
    };
    FCtrlSocket->OnError = [this](TComponent*) { Fire(OnSocketError); };
    FLocationChangeCurCount = 0;
    FState = httpReady;
}

THttpCli::~THttpCli() {
    BeginDestruction();
    delete FBandwidthTimer;
    FBandwidthTimer = nullptr;
    // Freeing the socket closes it; its events must not reach a half-freed client.
    if (FCtrlSocket) {
        FCtrlSocket->OnSessionClosed = nullptr;
        FCtrlSocket->OnDataAvailable = nullptr;
        FCtrlSocket->OnSessionConnected = nullptr;
        FCtrlSocket->OnDataSent = nullptr;
        FCtrlSocket->OnDnsLookupDone = nullptr;
        FCtrlSocket->OnError = nullptr;
        delete FCtrlSocket;
        FCtrlSocket = nullptr;
    }
    if (FIcsLogger)
        FIcsLogger->RemoveFreeNotification(this);
    ReleaseHandlerOnce();
}

void THttpCli::AllocateMessages() {
    TIcsWndControl::AllocateMessages();
    FMsgRequestDone = FWindowHandler->AllocateMessage(this);
    FMsgSetReady = FWindowHandler->AllocateMessage(this);
    FMsgLogin = FWindowHandler->AllocateMessage(this);
}

void THttpCli::FreeMessages() {
    if (FWindowHandler) {
        FWindowHandler->FreeMessage(FMsgLogin);
        FWindowHandler->FreeMessage(FMsgSetReady);
        FWindowHandler->FreeMessage(FMsgRequestDone);
    }
    TIcsWndControl::FreeMessages();
}

void THttpCli::HandleMessage(TIcsMessage& msg) {
    if (msg.Msg != 0 && msg.Msg == FMsgRequestDone) {
        Trace(loProtSpecInfo, "RequestDone");
        if (OnRequestDone)
            OnRequestDone(this, FRqType, FErrCode);
    } else if (msg.Msg != 0 && msg.Msg == FMsgSetReady) {
        ChangeState(httpReady);
    } else if (msg.Msg != 0 && msg.Msg == FMsgLogin) {
        // A request that was aborted meanwhile is not started again.
        if (FState == httpReady && !FRepeatPending)
            return;
        FRepeatPending = false;
        Login();
    } else {
        TIcsWndControl::HandleMessage(msg);
    }
}

// The socket goes along with the client from one thread to another.
void THttpCli::AttachToThread() {
    TIcsWndControl::AttachToThread();
    FCtrlSocket->AttachToThread();
}

void THttpCli::DetachFromThread() {
    FCtrlSocket->DetachFromThread();
    TIcsWndControl::DetachFromThread();
}

void THttpCli::Notification(TComponent* component, TOperation operation) {
    TIcsWndControl::Notification(component, operation);
    if (operation == TOperation::opRemove && component == FIcsLogger)
        FIcsLogger = nullptr;
}

void THttpCli::PostMsg(UINT msg) {
    if (msg != 0)
        PostMessageA(Handle(), msg, 0, 0);
}

// ---- properties ---------------------------------------------------------------

void THttpCli::SetRequestVer(const std::string& v) {
    if (v == FRequestVer)
        return;
    if (v != "1.0" && v != "1.1")
        throw EHttpException("Insupported HTTP version", httperrVersion);
    FRequestVer = v;
}

void THttpCli::SetMultiThreaded(bool v) {
    FMultiThreaded = v;
    FCtrlSocket->SetMultiThreaded(v);
}

THttpCliOptions THttpCli::Options() {
    if (FContentCodingHnd) {
        FContentCodingHnd->Enabled() ? FOptions.Include(httpoEnableContentCoding)
                                     : FOptions.Exclude(httpoEnableContentCoding);
        FContentCodingHnd->UseQuality() ? FOptions.Include(httpoUseQuality)
                                        : FOptions.Exclude(httpoUseQuality);
    }
    return FOptions;
}

void THttpCli::SetOptions(const THttpCliOptions& v) {
    FOptions = v;
    FContentCodingHnd->SetEnabled(v.Contains(httpoEnableContentCoding));
    FContentCodingHnd->SetUseQuality(v.Contains(httpoUseQuality));
}

void THttpCli::SetIcsLogger(TIcsLogger* logger) {
    if (FIcsLogger)
        FIcsLogger->RemoveFreeNotification(this);
    FIcsLogger = logger;
    if (logger)
        logger->FreeNotification(this);
    FCtrlSocket->SetIcsLogger(logger);
}

bool THttpCli::Tracing(TLogOption level) const {
    return FIcsLogger && FIcsLogger->CheckLogOptions(level);
}

void THttpCli::Trace(TLogOption level, const std::string& text) {
    if (Tracing(level))
        FIcsLogger->DoDebugLog(this, level, text);
}

// ---- state --------------------------------------------------------------------

void THttpCli::ChangeState(THttpCliState newState) {
    if (FState == newState)
        return;
    FState = newState;
    Trace(loProtSpecInfo, std::string("State = ") + HttpCliStateName(newState));
    {
        // Until the retry decision below is made, a 401 or 407 may still be
        // repeated: no other request may start from OnStateChange.
        struct TDeciding {
            bool& Flag;
            ~TDeciding() { Flag = false; }
        } deciding{FAuthDeciding};
        FAuthDeciding = newState == httpReady && (FStatusCode == 401 || FStatusCode == 407);
        Fire(OnStateChange);
    }
    if (newState != httpReady)
        return;
    bool repeat = false;
    try {
        repeat = RetryWithCredentials();
    } catch (const EHttpException&) {
        // An impossible authentication state: the request ends as it stands.
        PostMsg(FMsgRequestDone);
        throw;
    }
    if (repeat) {
        // A repetition with credentials: the ready state is only a passage.
        // What the body sender still had to send belongs to the old request.
        StopSendingBody();
        RewindStreams();
        DiscardBuffer();
        FAuthChallenges.Clear();
        ResetResponseFields(true);
        return;
    }
    PostMsg(FMsgRequestDone);
}

bool THttpCli::NtlmFirstStep() const {
    return FAuthNTLMState == 1 || FProxyAuthNTLMState == 1;
}

void THttpCli::ClearHeaderFields() {
    FStatusCode = 0;
    FHeaderLines.Clear();
    FContentLength = -1;
    FReceivedCount = 0;
    FContentType.clear();
    FTransferEncoding.clear();
    FChunked = false;
    FContentEncoding.clear();
    FCloseReq = FRequestVer == "1.0";
    FLocationField.clear();
    FLocationFieldSeen = false;
}

void THttpCli::ResetResponseFields(bool keepLocation) {
    ClearHeaderFields();
    if (!keepLocation)
        FLocation = FURL;
    FErrCode = 0;
    FLineCount = 0;
    FBodyLineCount = 0;
    FInHeader = false;
    FHeaderComplete = false;
    FHeaderBytes = 0;
    FBytesAfterResponse = 0;
    FResponseFailed = false;
    FNextStep = TNextStep::None;
}

void THttpCli::RewindStreams() {
    if (FDocStream) {
        FDocStream->SetSize(FDocStartSize);
        FDocStream->Seek(0, TSeekOrigin::soEnd);
    }
    if (FPostStream && FBodySentCount > 0) {
        FPostStream->Seek(-FBodySentCount, TSeekOrigin::soCurrent);
        FBodySentCount = 0;
    }
}

// ---- synchronous requests ------------------------------------------------------

// Every synchronous call counts its relocations afresh.
void THttpCli::Get() {
    FLocationChangeCurCount = 0;
    RunRequest(httpGET);
}

void THttpCli::Post() {
    FLocationChangeCurCount = 0;
    RunRequest(httpPOST);
}

void THttpCli::Put() {
    FLocationChangeCurCount = 0;
    RunRequest(httpPUT);
}

void THttpCli::Head() {
    FLocationChangeCurCount = 0;
    RunRequest(httpHEAD);
}

void THttpCli::Close() {
    RunRequest(httpCLOSE);
}

void THttpCli::Abort() {
    if (FState == httpReady && !FRepeatPending)
        return;
    FRepeatPending = false;
    bool wasLookup = FState == httpDnsLookup;
    ChangeState(httpAborting);
    if (wasLookup) {
        try {
            FCtrlSocket->CancelLookup();
        } catch (const Exception&) {
        }
    }
    FStatusCode = 404;
    FReasonPhrase = "Request aborted";
    FErrCode = httperrAborted;
    if (wasLookup)
        SocketSessionClosed(0);
    else
        FCtrlSocket->Close();
    ChangeState(httpReady);
}

void THttpCli::RunRequest(THttpRequest rq) {
    // The wait below is this thread's pump: it looks at the queue (through
    // MsgWaitForMultipleObjects) before it blocks, so the request's own
    // posts need not wake the thread.
    platform::PumpScope pumping;
    StartRequest(rq);
    if (!FCtrlSocket->ActivityCounter())
        FCtrlSocket->MakeCounter();
    FCtrlSocket->ActivityCounter()->SetConnected();
    const DWORD limit = FTimeout * 1000u;
    // A repetition with credentials passes through httpReady: the call goes
    // on until the final answer.
    while (FState != httpReady || FRepeatPending) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT) == WAIT_OBJECT_0)
            FCtrlSocket->ServiceMessages();
        if (FState == httpReady && !FRepeatPending)
            break;
        bool terminating = Application().Terminated() || QuitSeen() || FCtrlSocket->QuitSeen();
        bool timedOut = false;
        if (!terminating) {
            // Bytes still flowing out of the system's send queue are activity
            // too, though no send of ours was needed for a while.
            FCtrlSocket->NoteSendProgress();
            DWORD now = GetTickCount();
            DWORD last = FCtrlSocket->ActivityCounter()->LastActivityTicks();
            DWORD elapsed = now >= last ? now - last : now + (0xFFFFFFFFu - last);
            timedOut = elapsed >= limit;
        }
        if (!terminating && !timedOut)
            continue;
        bool wasLookup = FState == httpDnsLookup;
        FRepeatPending = false;
        ChangeState(httpAborting);
        if (wasLookup) {
            try {
                FCtrlSocket->CancelLookup();
            } catch (const Exception&) {
            }
        }
        FStatusCode = 404;
        if (terminating) {
            FReasonPhrase = "Request aborted";
            FErrCode = httperrAborted;
        } else {
            FReasonPhrase = "Request aborted on timeout";
            FErrCode = httperrTimeout;
        }
        if (wasLookup)
            SocketSessionClosed(0);
        else
            FCtrlSocket->Close();
        ChangeState(httpReady);
    }
    if (FStatusCode >= 400 && FStatusCode != 401 && FStatusCode != 407)
        throw EHttpException(FReasonPhrase, static_cast<std::uint16_t>(FStatusCode));
}

// ---- starting a request ---------------------------------------------------------

void THttpCli::StartRequest(THttpRequest rq) {
    if (rq != httpCLOSE && (FState != httpReady || FRepeatPending || FAuthDeciding))
        throw EHttpException("HTTP component " + Name() + " is busy", httperrBusy);
    if ((rq == httpPOST || rq == httpPUT) && !FPostStream)
        throw EHttpException("HTTP component has nothing to post or put", httperrNoData);

    if (rq == httpCLOSE) {
        FStatusCode = 200;
        FReasonPhrase = "OK";
        ChangeState(httpClosing);
        if (FCtrlSocket->State() == wsClosed)
            PostMsg(FMsgSetReady);
        else
            FCtrlSocket->CloseLater();
        return;
    }

    FRqType = rq;
    ResetResponseFields(false);
    FAuthChallenges.Clear();
    FRelocationPending = false;
    FRelocateOnClose = false;
    FLoginPending = false;
    FSendingBody = false;
    FReadyDeferred = false;
    FBodySentCount = 0;
    FDocStartSize = FDocStream ? FDocStream->Size() : 0;
    // Leftovers of an earlier response on a kept connection are not part of
    // this one.
    DiscardBuffer();
    FRequestUsername = FUsername;
    FRequestPassword = FPassword;
    FRequestConnection = FConnection;
    FRequestProxyConnection = FProxyConnection;

    if (!SplitRequestTarget()) {
        // Refused before anything is sent; the request ends as any failure
        // before an answer does.
        FStatusCode = 404;
        FReasonPhrase = "Malformed URL";
        ChangeState(httpNotConnected);
        ChangeState(httpReady);
        return;
    }

    ResetAuthStates();
    PrepareAuthAtStart();

    if (FCtrlSocket->State() == wsConnected) {
        if (FConnectHost == FConnectedHost && FConnectPort == FConnectedPort &&
            FProtocol == FConnectedProtocol) {
            SocketSessionConnected(0);
            return;
        }
        FCtrlSocket->Abort();
    }
    ChangeState(httpNotConnected);
    Login();
}

bool THttpCli::SplitRequestTarget() {
    TUrlParts url = SplitUrl(FURL);
    // A control character anywhere in the URL, or a blank in its host or
    // port, would end or add a line of the request header. Blanks in the
    // path are sent as "%20".
    if (HasControlChar(FURL) || !IsWireSafe(url.Host) || !IsWireSafe(url.Port))
        return false;
    const std::string path = EncodeBlanks(url.Path);
    FOriginHost = url.Host;
    FOriginPort = url.Port.empty() ? "80" : url.Port;
    FProtocol = url.Proto;
    FPath = url.Path;
    if (!url.User.empty())
        FRequestUsername = url.User;
    if (!url.Pass.empty())
        FRequestPassword = url.Pass;
    if (FProxy.empty()) {
        FRequestUri = path;
        FConnectHost = FOriginHost;
        FConnectPort = FOriginPort;
    } else {
        FRequestUri = (url.Proto.empty() ? std::string("http") : url.Proto) + "://" + url.Host +
                      (url.Port.empty() ? std::string() : ":" + url.Port) + path;
        TUrlParts proxy = SplitUrl(FProxy);
        FConnectHost = proxy.Host;
        FConnectPort = proxy.Port.empty() ? FProxyPort : proxy.Port;
    }
    if (FProtocol.empty())
        FProtocol = "http";
    if (FRequestUri.empty())
        FRequestUri = "/";
    FDocumentName = ExtractDocumentName(FPath);
    return true;
}

void THttpCli::Login() {
    Trace(loProtSpecInfo, "Login " + FConnectHost);
    FRelocateOnClose = false;
    FLoginPending = false;
    if (FCtrlSocket->State() == wsConnected) {
        SocketSessionConnected(0);
        return;
    }
    FResolvedAddr.clear();
    ChangeState(httpDnsLookup);
    if (SocksResolvesName()) {
        // The SOCKS server looks the name up: it goes to the socket as it is,
        // and no lookup here tells anyone where the request is going.
        ConnectTo(FConnectHost);
        return;
    }
    try {
        FCtrlSocket->SetLocalAddr(FLocalAddr);
        FCtrlSocket->DnsLookup(FConnectHost);
    } catch (const Exception& e) {
        FStatusCode = 404;
        FReasonPhrase = e.Message();
        FConnected = false;
        ChangeState(httpReady);
    }
}

void THttpCli::SocketDnsLookupDone(std::uint16_t error) {
    if (error != 0) {
        if (FState == httpAborting)
            return;
        FErrCode = error;
        FStatusCode = 404;
        FReasonPhrase = "can't resolve hostname to IP address";
        SocketSessionClosed(error);
        return;
    }
    ConnectTo(FCtrlSocket->LookupResult());
}

bool THttpCli::SocksResolvesName() const {
    // SOCKS 4 carries an address only; 4A and 5 carry the name.
    return FSocksResolveRemotely && !FSocksServer.empty() && FSocksLevel != "4";
}

void THttpCli::ConnectTo(const std::string& address) {
    FResolvedAddr = address;
    ChangeState(httpDnsLookupDone);
    FCtrlSocket->SetAddr(FResolvedAddr);
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    FCtrlSocket->SetPort(FConnectPort);
    FCtrlSocket->SetProto("tcp");
    FCtrlSocket->SetSocksServer(FSocksServer);
    FCtrlSocket->SetSocksLevel(FSocksLevel.empty() ? std::string("5") : FSocksLevel);
    FCtrlSocket->SetSocksPort(FSocksPort);
    FCtrlSocket->SetSocksUsercode(FSocksUsercode);
    FCtrlSocket->SetSocksPassword(FSocksPassword);
    FCtrlSocket->SetSocksAuthentication(FSocksAuthentication);
    FSocksErrorCode = 0;
    FSocksErrorText.clear();
    FConnectedHost = FConnectHost;
    FConnectedPort = FConnectPort;
    FConnectedProtocol = FProtocol;

    if (FProtocol != "http") {
        // Secure connections are not supported.
        FErrCode = static_cast<std::uint16_t>(FCtrlSocket->LastError());
        FStatusCode = 501;
        FReasonPhrase = "Protocol \"" + FProtocol + "\" not implemented";
        FCtrlSocket->Close();
        SocketSessionClosed(static_cast<std::uint16_t>(FCtrlSocket->LastError()));
        return;
    }

    Trace(loProtSpecInfo, "connect to " + FResolvedAddr + "/" + FConnectPort);
    bool raised = false;
    try {
        FCtrlSocket->Connect();
    } catch (const Exception&) {
        raised = true;
    }
    // The socket reports a failing connect through OnError instead of raising
    // when that event is set (it is, here): a socket that is neither
    // connecting nor connected afterwards failed the same way.
    TSocketState st = FCtrlSocket->State();
    if (raised || (st != wsConnecting && st != wsConnected && FState == httpDnsLookupDone)) {
        int code = FCtrlSocket->LastError();
        // A host or port text the socket refused has a reason of its own,
        // clearer than the text of its code ("Invalid argument").
        const std::string& refused = FCtrlSocket->ResolveErrorText();
        FErrCode = static_cast<std::uint16_t>(code);
        FStatusCode = 404;
        FReasonPhrase = "can't connect: " + (refused.empty() ? WinsockErrorText(code) : refused) +
                        " (Error #" + std::to_string(code) + ")";
        FCtrlSocket->Close();
        SocketSessionClosed(static_cast<std::uint16_t>(code));
    }
}

void THttpCli::SocketSessionConnected(std::uint16_t error) {
    Trace(loProtSpecInfo, "SessionConnected");
    if (error != 0) {
        FErrCode = error;
        FStatusCode = 404;
        const std::string text = error == FSocksErrorCode && !FSocksErrorText.empty()
                                     ? FSocksErrorText
                                     : WinsockErrorText(error);
        FReasonPhrase = text + " (Error #" + std::to_string(error) + ")";
        Fire(OnSessionConnected);
        return;
    }
    try {
        FRelocationPending = false;
        FConnected = true;
        ChangeState(httpConnected);
        Fire(OnSessionConnected);
        FNextStep = TNextStep::HeaderLine;
        ChangeState(httpWaitingHeader);
        const bool withBody = (FRqType == httpPOST || FRqType == httpPUT) && !NtlmFirstStep();
        switch (FRqType) {
        case httpPOST:
            SendRequest("POST", FRequestVer, withBody);
            break;
        case httpPUT:
            SendRequest("PUT", FRequestVer, withBody);
            break;
        case httpHEAD:
            SendRequest("HEAD", FRequestVer, false);
            break;
        default:
            SendRequest("GET", FRequestVer, false);
            break;
        }
        if (withBody) {
            Fire(OnSendBegin);
            FSendingBody = true;
            FReadyDeferred = false;
            SendBodyPiece();
        }
    } catch (const std::exception&) {
        FCtrlSocket->Close();
    }
}

// ---- the request header -----------------------------------------------------------

void THttpCli::BuildRequestHeader(const std::string& method, const std::string& version,
                                  TStringList& lines) {
    const bool withBody = FRqType == httpPOST || FRqType == httpPUT;
    lines.Add(method + " " + FRequestUri + " HTTP/" + version);
    if (!FSender.empty())
        lines.Add("From: " + FSender);
    if (!FAccept.empty())
        lines.Add("Accept: " + FAccept);
    if (!FReference.empty())
        lines.Add("Referer: " + FReference);
    if (!FRequestConnection.empty())
        lines.Add("Connection: " + FRequestConnection);
    if (!FAcceptLanguage.empty())
        lines.Add("Accept-Language: " + FAcceptLanguage);
    std::string coding = FContentCodingHnd->HeaderText();
    if (!coding.empty() && FRqType != httpHEAD)
        lines.Add("Accept-Encoding: " + coding);
    if (withBody && !FContentTypePost.empty())
        lines.Add("Content-Type: " + FContentTypePost);
    if (!FAgent.empty())
        lines.Add("User-Agent: " + FAgent);
    if (!FOriginPort.empty() && FOriginPort != "80")
        lines.Add("Host: " + FOriginHost + ":" + FOriginPort);
    else
        lines.Add("Host: " + FOriginHost);
    if (FNoCache)
        lines.Add("Pragma: no-cache");
    if (!FRequestProxyConnection.empty())
        lines.Add("Proxy-Connection: " + FRequestProxyConnection);
    if (withBody) {
        if (NtlmFirstStep()) {
            lines.Add("Content-Length: 0");
        } else {
            std::int64_t left = FPostStream ? FPostStream->Size() - FPostStream->Position() : 0;
            lines.Add("Content-Length: " + std::to_string(std::max<std::int64_t>(0, left)));
        }
    }
    if (FModifiedSince != 0)
        lines.Add("If-Modified-Since: " + HttpDateText(FModifiedSince) + " GMT");
    AddAuthorizationLines(method, lines);
    if (!FCookie.empty())
        lines.Add("Cookie: " + FCookie);
    if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
        lines.Add("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
        FContentRangeBegin.clear();
        FContentRangeEnd.clear();
    }
    FAcceptRanges.clear();
}

void THttpCli::SendRequest(const std::string& method, const std::string& version,
                           bool bodyFollows) {
    FHeaderBuffer.Clear();
    FBandwidthUsed = 0;
    if (FOptions.Contains(httpoBandwidthControl))
        StartBandwidthControl();

    Fire(OnRequestHeaderBegin);
    TStringList lines;
    BuildRequestHeader(method, version, lines);
    if (Tracing(loProtSpecInfo))
        Trace(loProtSpecInfo,
              std::to_string(lines.Count()) + " header lines to send\r\n" + lines.Text());
    if (OnBeforeHeaderSend)
        OnBeforeHeaderSend(this, method, lines);
    for (int i = 0; i < lines.Count(); ++i) {
        std::string s = lines[i];
        if (OnCommand)
            OnCommand(this, s);
        if (!s.empty())
            FHeaderBuffer.Write(s);
        FHeaderBuffer.Write(std::string("\r\n"));
    }
    Fire(OnRequestHeaderEnd);
    FHeaderBuffer.Write(std::string("\r\n"));

    FCtrlSocket->QueueForSend(FHeaderBuffer.Memory(), static_cast<int>(FHeaderBuffer.Size()));
    FHeaderBuffer.Clear();
    // A body that follows at once leaves with the header: the first piece
    // fills the header's last send block, so header and body start go out
    // in one send. Sent alone, the header would hold the body back under
    // Nagle's rule until a server that delays its acknowledgements (most
    // do, up to 200 ms) acknowledges it. The bytes on the wire are the same.
    if (!bodyFollows)
        FCtrlSocket->Send(nullptr, 0);
    Trace(loProtSpecInfo, "SendRequest Done");
}

// ---- the request body --------------------------------------------------------------

void THttpCli::SocketDataSent(std::uint16_t) {
    if (FSendingBody)
        SendBodyPiece();
}

void THttpCli::SendBodyPiece() {
    if (!FSendingBody)
        return;
    if (FSendBuffer.empty())
        FSendBuffer.resize(kSendBufferSize);
    std::int64_t n = FPostStream ? FPostStream->Read(FSendBuffer.data(), kSendBufferSize) : 0;
    if (n > 0) {
        FBodySentCount += n;
        if (OnSendData)
            OnSendData(this, FSendBuffer.data(), static_cast<int>(n));
        FCtrlSocket->Send(FSendBuffer.data(), static_cast<int>(n));
        return;
    }
    // An empty body: the header is still waiting for it in the send buffer.
    if (FBodySentCount == 0)
        FCtrlSocket->Send(nullptr, 0);
    FSendingBody = false;
    Fire(OnSendEnd);
    if (FReadyDeferred) {
        FReadyDeferred = false;
        PostMsg(FMsgSetReady);
    }
}

// ---- bandwidth control ---------------------------------------------------------------

void THttpCli::StartBandwidthControl() {
    if (!FBandwidthTimer) {
        FBandwidthTimer = new TIcsTimer(this);
        FBandwidthTimer->SetOnTimer([this](TComponent*) { BandwidthTimerTick(); });
    }
    FBandwidthTimer->SetEnabled(false);
    FBandwidthTimer->SetInterval(static_cast<UINT>(std::max(1, FBandwidthSampling)));
    FBandwidthTimer->SetEnabled(true);
    FBandwidthQuota = static_cast<std::int64_t>(FBandwidthLimit) * FBandwidthSampling / 1000;
    FBandwidthPaused = false;
    TWSocketOptions opts = FCtrlSocket->ComponentOptions();
    opts.Include(wsoNoReceiveLoop);
    FCtrlSocket->SetComponentOptions(opts);
}

void THttpCli::BandwidthTimerTick() {
    if (FBandwidthPaused) {
        FBandwidthUsed -= FBandwidthQuota;
        FBandwidthPaused = false;
        FCtrlSocket->Resume();
    } else {
        FBandwidthUsed = 0;
    }
}

void THttpCli::StopBandwidthTimer() {
    if (FBandwidthTimer)
        FBandwidthTimer->SetEnabled(false);
    if (FBandwidthPaused) {
        FBandwidthPaused = false;
        FCtrlSocket->Resume();
    }
}

// ---- receiving -------------------------------------------------------------------------

std::size_t THttpCli::MakeReceiveRoom() {
    // What was consumed since the last read is dropped here, once per read:
    // the unconsumed rest (and the zero byte after it) moves to the front.
    if (FBufferStart > 0) {
        std::memmove(FReceiveBuffer.data(), FReceiveBuffer.data() + FBufferStart, FBufferedLen + 1);
        FBufferStart = 0;
    }
    // Bandwidth control counts every read against its quota, so it keeps
    // reads small.
    if (FReceiveBuffer.empty() && !FOptions.Contains(httpoBandwidthControl))
        FReceiveBuffer.resize(kReceiveFirst);
    if (FReceiveBuffer.size() < FBufferedLen + kReceiveRoom)
        FReceiveBuffer.resize(FBufferedLen + kReceiveRoom + 1);
    // One byte stays for the zero after the data.
    return FReceiveBuffer.size() - FBufferedLen - 1;
}

void THttpCli::SocketDataAvailable(std::uint16_t) {
    int room = static_cast<int>(MakeReceiveRoom());
    int count = FCtrlSocket->Receive(FReceiveBuffer.data() + FBufferedLen, room);
    if (Tracing(loProtSpecDump))
        Trace(loProtSpecDump, "Data available. Len=" + std::to_string(count));
    ProcessReceived(count);
}

void THttpCli::DropFromBuffer(std::size_t count) {
    // Consumed bytes are only skipped; the next read moves the rest to the
    // front, so cutting many lines out of one read stays linear.
    count = std::min(count, FBufferedLen);
    FBufferStart += count;
    FBufferedLen -= count;
    FLineScanned = 0;
    if (FBufferedLen == 0)
        FBufferStart = 0;
}

void THttpCli::DiscardBuffer() {
    FBufferStart = 0;
    FBufferedLen = 0;
    FLineScanned = 0;
    if (!FReceiveBuffer.empty())
        FReceiveBuffer[0] = 0;
}

bool THttpCli::ResponseComplete() const {
    return (FState == httpWaitingHeader && FHeaderComplete) || FState == httpBodyReceived;
}

bool THttpCli::HoldAfterResponse(std::size_t count) {
    // Bytes after a complete response belong to no request. While its end
    // waits for the body to be sent (a 401 or 407 answered early), a server
    // that keeps sending must neither grow the buffer nor keep the request
    // alive: the header caps apply to what it sends.
    FBytesAfterResponse += static_cast<std::int64_t>(count);
    if (FBytesAfterResponse <= kMaxHeaderTotal && FBufferedLen <= kMaxHeaderLine)
        return true;
    if (FReadyDeferred)
        FailResponse("Malformed response");
    else
        DiscardBuffer();
    return false;
}

void THttpCli::ProcessReceived(int count) {
    if (FRqType == httpABORT)
        return;
    if (count <= 0) {
        Trace(loProtSpecDump, "**data available. Len=" + std::to_string(count));
        return;
    }
    if (FOptions.Contains(httpoBandwidthControl)) {
        FBandwidthUsed += count;
        if (FBandwidthUsed > FBandwidthQuota && !FBandwidthPaused) {
            FBandwidthPaused = true;
            FCtrlSocket->Pause();
        }
    }
    FBufferedLen += static_cast<std::size_t>(count);
    BufferData()[FBufferedLen] = 0;

    // A response found malformed ends the request: nothing that arrives
    // after it is read, and none of it reaches DocStream.
    if (FResponseFailed) {
        DiscardBuffer();
        return;
    }
    // Once a relocation is set up, what the old response still sends is
    // no one's: it would otherwise be read as the start of the next answer.
    if (FRelocateOnClose || FLoginPending) {
        DiscardBuffer();
        return;
    }

    std::size_t fresh = static_cast<std::size_t>(count);
    if (FState == httpWaitingBody) {
        if (FRqType == httpHEAD) {
            DiscardBuffer();
            FCtrlSocket->Abort();
            return;
        }
        if (FChunked || FContentLength < 0)
            FBodyDataLen = FBufferedLen;
        else
            FBodyDataLen = static_cast<std::size_t>(std::min<std::int64_t>(
                static_cast<std::int64_t>(FBufferedLen), FContentLength - FReceivedCount));
        DropFromBuffer(GetBodyLineNext(BufferData(), FBodyDataLen));
        FBodyDataLen = 0;
        if (FResponseFailed || FNextStep != TNextStep::None)
            return;
        if (FRelocationPending) {
            BeginRelocation();
            return;
        }
        MarkReady();
        // What followed the body in this read is taken as if it had come
        // in a read of its own, so that any split gives the same result.
        fresh = FBufferedLen;
    }
    if (FBufferedLen > 0)
        ReadLines(fresh);
}

void THttpCli::ReadLines(std::size_t fresh) {
    if (ResponseComplete()) {
        if (!HoldAfterResponse(fresh))
            return;
        // A complete response without body is waiting for its end: what
        // follows it is held for no one.
        if (FState == httpWaitingHeader)
            return;
    }
    // Line phase: cut the buffer into lines while a response header is expected.
    while (FBufferedLen > 0 && !FResponseFailed) {
        const char* base = BufferData();
        // Bytes already searched for a line end are not searched again, so
        // a line that trickles in costs no more than one that comes whole.
        const void* lf = std::memchr(base + FLineScanned, '\n', FBufferedLen - FLineScanned);
        if (!lf) {
            FLineScanned = FBufferedLen;
            if (FBufferedLen > kMaxHeaderLine) {
                if (FState == httpWaitingHeader)
                    FailResponse("Malformed response");
                else if (!ResponseComplete())
                    DiscardBuffer(); // a line to no one, held without bound
            }
            return;
        }
        std::size_t lineLen = static_cast<const char*>(lf) - base;
        if (lineLen > kMaxHeaderLine && FState == httpWaitingHeader) {
            FailResponse("Malformed response");
            return;
        }
        std::size_t textLen = lineLen > 0 && base[lineLen - 1] == '\r' ? lineLen - 1 : lineLen;
        FLastLine.assign(base, textLen);
        FLastLineRaw.assign(base, lineLen + 1);
        Trace(loProtSpecDump, ">|" + FLastLine + "|");
        DropFromBuffer(lineLen + 1);
        if (FState != httpWaitingHeader && FState != httpWaitingBody) {
            if (OnDataPush)
                OnDataPush(this, static_cast<std::uint16_t>(FCtrlSocket->LastError()));
            continue;
        }
        FHeaderBytes += static_cast<std::int64_t>(lineLen + 1);
        if (FHeaderBytes > kMaxHeaderTotal) {
            FailResponse("Malformed response");
            return;
        }
        if (FNextStep != TNextStep::None)
            RunNextStep();
        else
            MarkReady();
        if (FResponseFailed || FState == httpWaitingBody)
            return; // the body took what was left
        if (FState == httpWaitingHeader && !FHeaderComplete)
            continue;
        // The response has ended: the rest of this read follows it.
        if (FBufferedLen > 0)
            ReadLines(FBufferedLen);
        return;
    }
}

void THttpCli::RunNextStep() {
    switch (FNextStep) {
    case TNextStep::HeaderLine:
        HeaderLineReader();
        break;
    case TNextStep::BodyLine:
        GetBodyLineNext(nullptr, 0);
        break;
    case TNextStep::None:
        break;
    }
}

void THttpCli::FailResponse(const std::string& reason) {
    // The response cannot be read: end the request with the reason and drop
    // the connection, whose session-closed event then ends it.
    FResponseFailed = true;
    FStatusCode = 404;
    FReasonPhrase = reason;
    FNextStep = TNextStep::None;
    FRelocationPending = false;
    StopSendingBody();
    DiscardBuffer();
    Trace(loProtSpecErr, reason);
    if (FCtrlSocket->State() == wsClosed)
        PostMsg(FMsgSetReady);
    else
        FCtrlSocket->CloseLater();
}

// Coded body bytes that do not decode: the request fails, never returning a
// cut or garbled document as a success.
void THttpCli::DecodingFailed() {
    FailResponse("Content decoding failed: " + FContentCodingHnd->Error());
}

void THttpCli::TriggerHeaderBegin() {
    FInHeader = true;
    Fire(OnHeaderBegin);
}

void THttpCli::TriggerHeaderEnd() {
    FInHeader = false;
    Fire(OnHeaderEnd);
}

void THttpCli::TriggerDocBegin() {
    Trace(loProtSpecInfo, "DocBegin");
    Fire(OnDocBegin);
}

void THttpCli::TriggerDocEnd() {
    Trace(loProtSpecInfo, "DocEnd");
    Fire(OnDocEnd);
}

void THttpCli::TriggerDocData(const char* data, std::int64_t len) {
    if (OnDocData)
        OnDocData(this, data, static_cast<int>(len));
}

// ---- the response header --------------------------------------------------------------

void THttpCli::HeaderLineReader() {
    if (FLineCount == 0)
        TriggerHeaderBegin();
    else if (FLineCount == -1)
        FLineCount = 0;
    ++FLineCount;

    const std::string& line = FLastLine;
    if (FLineCount == 1 && !line.empty() && line[0] == '<') {
        std::string head = LowerCase(line.substr(0, 9));
        if (head.compare(0, 6, "<html>") == 0 || head == "<!doctype") {
            // A body without status line or header: it runs until the
            // connection closes. Its first line is part of it.
            if (FContentType.empty())
                FContentType = "text/html";
            ChangeState(httpWaitingBody);
            FNextStep = TNextStep::BodyLine;
            FHeaderComplete = true;
            TriggerHeaderEnd();
            if (FRqType == httpHEAD) {
                // No body is read for HEAD, as in the body phase.
                DiscardBuffer();
                FCtrlSocket->Abort();
                return;
            }
            // The line came out of the buffer; hand it on as received, with
            // whatever followed it in the same read, as one slice.
            std::string slice = FLastLineRaw + std::string(BufferData(), FBufferedLen);
            DiscardBuffer();
            GetBodyLineNext(slice.data(), slice.size());
            return;
        }
    }

    if (!line.empty())
        FHeaderLines.Add(line);

    if (FLineCount == 1) {
        ReadStatusLine();
    } else if (!line.empty()) {
        ReadFieldLine();
    }
    if (FResponseFailed)
        return;
    if (!line.empty()) {
        Fire(OnHeaderData);
        return;
    }
    if (FLineCount == 1) {
        // An empty line where a status line was expected (a stray line break
        // between answers) counts as nothing: the next line is still read
        // as the status line, as after an interim answer.
        FLineCount = -1;
        return;
    }
    HeaderEnded();
}

void THttpCli::ReadStatusLine() {
    TStatusLine st;
    if (!ParseStatusLine(FLastLine, st)) {
        Fire(OnDataPush2);
        return;
    }
    FResponseVer = st.Version;
    if (FRequestVer == "1.1" && FResponseVer == "1.0")
        FCloseReq = true;
    else if (FRequestVer == "1.0")
        FCloseReq = true;
    else if (FRequestVer == "1.1")
        FCloseReq = false;
    Trace(loProtSpecDump, std::string("FCloseReq=") + (FCloseReq ? "1" : "0"));
    if (!st.CodeValid) {
        FailResponse("Malformed response status line");
        return;
    }
    FStatusCode = st.Code;
    FReasonPhrase = st.Reason;
}

void THttpCli::ReadFieldLine() {
    std::string name, value;
    if (!SplitHeaderField(FLastLine, name, value))
        return;
    if (name == "location") {
        // Only the last one counts; it is applied when the header has ended,
        // so that each line costs the same whatever came before it.
        FLocationField = value;
        FLocationFieldSeen = true;
    } else if (name == "content-length") {
        FContentLength = ParseContentLength(value);
    } else if (name == "transfer-encoding") {
        // A list of codings in the order they were applied, which a second
        // field continues.
        const std::string codings = LowerCase(TrimBlanks(value));
        if (!codings.empty())
            FTransferEncoding += (FTransferEncoding.empty() ? "" : ", ") + codings;
        FChunked = ReadTransferCodings(FTransferEncoding).Chunked;
    } else if (name == "content-range") {
        ParseContentRange(value, FContentRangeBegin, FContentRangeEnd);
    } else if (name == "accept-ranges") {
        FAcceptRanges = value;
    } else if (name == "content-type") {
        FContentType = LowerCase(value);
    } else if (name == "www-authenticate" || name == "proxy-authenticate") {
        FAuthChallenges.Add(value);
    } else if (name == "set-cookie") {
        bool accept = true;
        if (OnCookie)
            OnCookie(this, value, accept);
    } else if (name == "connection" || name == "proxy-connection") {
        std::string v = LowerCase(TrimBlanks(value));
        if (v == "close")
            FCloseReq = true;
        else if (v == "keep-alive")
            FCloseReq = false;
    } else if (name == "content-encoding") {
        FContentEncoding = value;
    }
}

namespace {

bool StartsNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && LowerCase(s.substr(0, prefix.size())) == prefix;
}

// The request URI up to and including its last "/" or ":" before any "?".
std::string RelativeBase(const std::string& uri) {
    std::string u = uri.substr(0, uri.find('?'));
    std::size_t k = u.find_last_of("/:");
    return k == std::string::npos ? std::string() : u.substr(0, k + 1);
}

} // namespace

bool THttpCli::TakeLocation(const std::string& field) {
    if (!FFollowRelocation || FRqType == httpPUT) {
        FLocation = field;
        return true;
    }
    // Blanks after the value are the field's padding, not part of it. A
    // control character or a blank left inside would reach the next
    // request's first line or its Host line and could add header lines
    // there: such a target is refused.
    std::string v = field.substr(0, field.find_last_not_of(" \t") + 1);
    if (!IsWireSafe(v))
        return false;
    FRelocationPending = true;
    ApplyLocation(v);
    // A relative target grows with each relocation; the bound keeps a chain
    // of them from making every later step longer without end.
    return FRequestUri.size() <= kMaxRelocationTarget && FLocation.size() <= kMaxRelocationTarget;
}

void THttpCli::ApplyLocation(const std::string& v) {
    const bool absolute = StartsNoCase(v, "http://") || StartsNoCase(v, "https://");
    if (FProxy.empty()) {
        TUrlParts cur = SplitUrl(FURL);
        std::string proto = cur.Proto.empty() ? std::string("http") : cur.Proto;
        // The server's port belongs in the new location when it is not 80.
        std::string server = FConnectHost + (FConnectPort == "80" ? "" : ":" + FConnectPort);
        if (!v.empty() && v[0] == '/') {
            FRequestUri = v;
            FLocation = proto + "://" + server + FRequestUri;
        } else if (!absolute) {
            FRequestUri = RelativeBase(FRequestUri) + v;
            FLocation = proto + "://" + server + FRequestUri;
        } else {
            TUrlParts to = SplitUrl(v);
            ForgetCredentialsOnNewOrigin(to.Proto, to.Host, to.Port);
            FConnectHost = to.Host;
            FConnectPort = to.Port.empty() ? "80" : to.Port;
            FProtocol = to.Proto;
            FRequestUri = to.Path;
            if (!to.User.empty() && !to.Pass.empty()) {
                FRequestUsername = to.User;
                FRequestPassword = to.Pass;
            }
            if (!to.Proto.empty() && !to.Host.empty()) {
                FOriginHost = to.Host;
                // The Host line and Location name the server relocated to,
                // port included. A deliberate departure from the first
                // design, which kept the first URL's port in the Host line
                // and dropped it from Location: both then named a server
                // the request did not go to.
                FOriginPort = FConnectPort;
                std::string server = to.Host + (to.Port.empty() ? "" : ":" + to.Port);
                if (to.Path.empty()) {
                    FLocation = to.Proto + "://" + server;
                    FRequestUri = "/";
                } else {
                    FLocation = to.Proto + "://" + server + to.Path;
                }
            }
        }
        return;
    }
    // Through a proxy the request URI is absolute.
    TUrlParts cur = SplitUrl(FRequestUri);
    std::string proto = cur.Proto.empty() ? std::string("http") : cur.Proto;
    if (!v.empty() && v[0] == '/') {
        FRequestUri = proto + "://" + cur.Host + (cur.Port.empty() ? "" : ":" + cur.Port) + v;
        FLocation = FRequestUri;
    } else if (!absolute) {
        FRequestUri = RelativeBase(FRequestUri) + v;
        FLocation = FRequestUri;
    } else {
        TUrlParts to = SplitUrl(v);
        ForgetCredentialsOnNewOrigin(to.Proto, to.Host, to.Port);
        FRequestUri = to.Proto + "://" + to.Host + (to.Port.empty() ? "" : ":" + to.Port) +
                      (to.Path.empty() ? std::string("/") : to.Path);
        FLocation = FRequestUri;
        FOriginHost = to.Host;
        FOriginPort = to.Port.empty() ? "80" : to.Port;
    }
}

void THttpCli::ForgetInterimResponse() {
    // The final response is read as if it were the first: nothing of the
    // interim one (a length, a coding, a location) applies to it. The bytes
    // it took still count toward the header caps.
    ClearHeaderFields();
    FAuthChallenges.Clear();
    FLineCount = -1;
}

void THttpCli::HeaderEnded() {
    Trace(loProtSpecInfo, "End of header");
    if (FStatusCode >= 100 && FStatusCode < 200 && FStatusCode != 101) {
        // An interim answer (100 Continue, 102 Processing, 103 Early Hints,
        // whatever the version): the real response header follows. A 101
        // ends the exchange, the connection now speaks another protocol.
        ForgetInterimResponse();
        return;
    }
    FHeaderComplete = true;
    TriggerHeaderEnd();
    if (FState == httpReady) {
        DiscardBuffer();
        return;
    }
    if (FLocationFieldSeen && !TakeLocation(FLocationField)) {
        FailResponse("Malformed response");
        return;
    }

    // HEAD, 1xx, 204 and 304 answers never have a body, whatever their
    // length or coding says (RFC 9112, 6.3); a transfer coding overrides a
    // length. A 3xx, 401 or 407 without either has none either.
    const bool noBody = FRqType == httpHEAD || (FStatusCode >= 100 && FStatusCode < 200) ||
                        FStatusCode == 204 || FStatusCode == 304 ||
                        (!FChunked && FContentLength == 0) ||
                        (!FChunked && FContentLength == -1 &&
                         (FStatusCode < 200 || FStatusCode == 301 || FStatusCode == 302 ||
                          FStatusCode == 401 || FStatusCode == 407));
    if (noBody) {
        if (FRqType == httpHEAD) {
            DiscardBuffer();
            ChangeState(httpWaitingBody);
            FNextStep = TNextStep::None;
        }
        if (FCloseReq) {
            if (FRelocationPending)
                BeginRelocation();
            else
                FCtrlSocket->CloseLater(); // the session-closed handler ends the request
            return;
        }
        // Over a kept connection a relocating answer without a body is not
        // followed: the request ends with its 3xx, and a later close of the
        // connection must not start the relocation either.
        FRelocationPending = false;
        if (FRqType == httpHEAD)
            PostMsg(FMsgSetReady);
        else
            MarkReady();
        return;
    }
    // A transfer coding the client cannot undo would hand its framing to
    // DocStream as if it were the document.
    const std::string unsupported = ReadTransferCodings(FTransferEncoding).Unsupported;
    if (!unsupported.empty()) {
        FailResponse("Transfer coding not supported: " + unsupported);
        return;
    }

    // "text/html" saved under a program's or no extension gets ".htm".
    if (FContentType == "text/html") {
        std::size_t dot = FDocumentName.rfind('.');
        std::string ext =
            dot == std::string::npos ? std::string() : LowerCase(FDocumentName.substr(dot));
        if (dot == std::string::npos)
            FDocumentName += ".htm";
        else if (ext == ".exe" || ext == ".")
            FDocumentName = FDocumentName.substr(0, dot) + ".htm";
    }
    ChangeState(httpWaitingBody);
    FNextStep = TNextStep::BodyLine;
    if (FBufferedLen > 0) {
        std::size_t len = FBufferedLen;
        if (!FChunked && FContentLength >= 0)
            len = static_cast<std::size_t>(std::min<std::int64_t>(
                static_cast<std::int64_t>(FBufferedLen), FContentLength - FReceivedCount));
        len = GetBodyLineNext(BufferData(), len);
        if (!FResponseFailed)
            DropFromBuffer(len);
    }
    if (FResponseFailed || FNextStep != TNextStep::None)
        return;
    if (FRelocationPending)
        BeginRelocation();
    else
        MarkReady();
}

// ---- the response body ----------------------------------------------------------------

std::size_t THttpCli::GetBodyLineNext(const char* data, std::size_t len) {
    const bool tracing = Tracing(loProtSpecDump);
    if (tracing)
        Trace(loProtSpecDump, "GetBodyLineNext begin");
    if (FBodyLineCount == 0) {
        FChunkState = 0;
        FTrailerBytes = 0;
        StartNextChunk();
        TriggerDocBegin();
        FContentCodingHnd->Prepare(FContentEncoding);
        FDocStartSize = FDocStream ? FDocStream->Size() : 0;
    }
    ++FBodyLineCount;
    if (tracing)
        Trace(loProtSpecDump, "GetBodyLineNext FBodyDataLen=" + std::to_string(len));

    if (!FChunked) {
        if (len > 0) {
            FReceivedCount += static_cast<std::int64_t>(len);
            if (!FContentCodingHnd->WriteBuffer(data, static_cast<std::int64_t>(len))) {
                DecodingFailed();
                return len;
            }
        }
        if (FReceivedCount == FContentLength) {
            Trace(loProtSpecInfo, "End of document");
            EndDocument();
            if (FResponseFailed)
                return len;
            TriggerDocEnd();
            // The caller marks the request ready, or relocates: NextStep is
            // clear. Not marking it ready here is a deliberate departure from
            // the first design, where a relocating answer with a body over a
            // kept connection passed through httpReady (ending a synchronous
            // call) before the relocated request went out; now the call
            // returns with the relocated answer, as over a new connection.
            if (FCloseReq)
                FCtrlSocket->CloseLater();
        }
    } else {
        len = WalkChunks(data, len);
    }
    if (tracing)
        Trace(loProtSpecDump, "GetBodyLineNext end");
    return len;
}

std::size_t THttpCli::WalkChunks(const char* data, std::size_t len) {
    // Chunk states beyond the four of the walk itself: the size line's
    // extension, a CR seen where a line must end (after the size, after the
    // data), and the trailer lines after the last chunk, skipped up to the
    // empty line that ends the message so that a kept connection stays in
    // step with the next response.
    enum {
        kSize = 0,
        kSizeEnd = 1,
        kData = 2,
        kDataEnd = 3,
        kDone = 4,
        kExtension = 5,
        kSizeLineFeed = 6,
        kDataLineFeed = 7,
        kTrailerLine = 8,
        kTrailerLineFeed = 9
    };
    std::size_t i = 0;
    // A chunk framing that is not what it claims ends the request: reading
    // on would hand the wrong bytes to DocStream as the document.
    auto malformed = [this, len]() {
        FailResponse("Malformed response");
        return len;
    };
    // Framing bytes carry no data: `n` more of the current size or trailer
    // line (of the trailer, when `trailer`), false once past the header's caps.
    auto framing = [this](std::size_t n, bool trailer) {
        FChunkLineBytes += static_cast<std::int64_t>(n);
        if (trailer)
            FTrailerBytes += static_cast<std::int64_t>(n);
        return FChunkLineBytes <= static_cast<std::int64_t>(kMaxHeaderLine) &&
               FTrailerBytes <= kMaxHeaderTotal;
    };
    // Moves past the next LF; false when this read holds none (all of it is
    // then consumed and the state stays for the next read).
    auto skipLine = [&]() {
        const void* lf = std::memchr(data + i, '\n', len - i);
        i = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1 : len;
        return lf != nullptr;
    };
    while (i < len && FChunkState != kDone) {
        const char c = data[i];
        switch (FChunkState) {
        case kSize: { // hexadecimal digits, at least one
            int digit = 0;
            if (IsHexDigit(c, digit)) {
                if (FChunkLength > (INT64_MAX - digit) / 16 || !framing(1, false))
                    return malformed(); // too large, or endless zeros
                FChunkLength = FChunkLength * 16 + digit;
                FChunkSizeSeen = true;
                ++i;
            } else if (!FChunkSizeSeen) {
                return malformed(); // empty, signed or blank-led size
            } else {
                FChunkState = kSizeEnd;
                if (Tracing(loProtSpecDump))
                    Trace(loProtSpecDump, "ChunkLength = " + std::to_string(FChunkLength));
            }
            break;
        }
        case kSizeEnd: // blanks, then an extension or the end of the line
            ++i;
            if (!framing(1, false))
                return malformed();
            if (c == ';')
                FChunkState = kExtension;
            else if (c == '\r')
                FChunkState = kSizeLineFeed;
            else if (c == '\n')
                FChunkState = kData;
            else if (c != ' ' && c != '\t')
                return malformed();
            break;
        case kExtension:     // skipped up to the end of the size line
        case kTrailerLine: { // skipped, as the trailer's other lines
            const std::size_t from = i;
            const bool ended = skipLine();
            if (!framing(i - from, FChunkState == kTrailerLine))
                return malformed();
            if (ended)
                FChunkState = FChunkState == kExtension ? kData : kDataEnd;
            break;
        }
        case kTrailerLineFeed:
            if (c != '\n')
                return malformed();
            ++i;
            FChunkState = kDone;
            break;
        case kSizeLineFeed:
        case kDataLineFeed:
            if (c != '\n')
                return malformed();
            ++i;
            if (FChunkState == kSizeLineFeed) {
                FChunkState = kData;
            } else {
                FChunkState = kSize;
                StartNextChunk();
            }
            break;
        case kData: {
            std::int64_t n = std::min<std::int64_t>(FChunkLength - FChunkReceived,
                                                    static_cast<std::int64_t>(len - i));
            if (n > 0) {
                if (!FContentCodingHnd->WriteBuffer(data + i, n)) {
                    DecodingFailed();
                    return len;
                }
                FReceivedCount += n;
                FChunkReceived += n;
                i += static_cast<std::size_t>(n);
            }
            if (FChunkReceived >= FChunkLength)
                FChunkState = kDataEnd;
            break;
        }
        case kDataEnd:
            if (FChunkLength == 0) {
                // After the last chunk: an empty line ends the message; any
                // other line is a trailer, skipped unread.
                ++i;
                FChunkLineBytes = 0; // a line of the trailer begins
                if (!framing(1, true))
                    return malformed();
                if (c == '\r')
                    FChunkState = kTrailerLineFeed;
                else if (c == '\n')
                    FChunkState = kDone;
                else
                    FChunkState = kTrailerLine;
                break;
            }
            // Exactly a line end after the data: anything else means the
            // chunk was longer than its size said.
            if (c == '\r')
                FChunkState = kDataLineFeed;
            else if (c == '\n')
                FChunkState = kSize;
            else
                return malformed();
            ++i;
            if (FChunkState == kSize)
                StartNextChunk();
            break;
        }
    }
    // A last chunk whose size line has just been read carries no data: reach
    // its end without waiting for more bytes.
    if (FChunkState == kData && FChunkLength == 0)
        FChunkState = kDataEnd;
    if (FChunkState == kDone) {
        Trace(loProtSpecInfo, "httpChunkDone, end of document");
        EndDocument();
        if (FResponseFailed)
            return len;
        TriggerDocEnd();
        if (FCloseReq)
            FCtrlSocket->CloseLater();
    }
    return i;
}

void THttpCli::StartNextChunk() {
    FChunkLength = 0;
    FChunkReceived = 0;
    FChunkSizeSeen = false;
    FChunkLineBytes = 0;
}

void THttpCli::EndDocument() {
    FBodyLineCount = 0;
    FNextStep = TNextStep::None;
    ChangeState(httpBodyReceived);
    StopBandwidthTimer();
    if (!CompleteContentCoding())
        DecodingFailed();
}

bool THttpCli::CompleteContentCoding() {
    if (!FContentCodingHnd->Complete())
        return false;
    if (FContentCodingHnd->Decoding() && Tracing(loProtSpecInfo))
        Trace(loProtSpecInfo, "content uncompressed from " +
                                  std::to_string(FContentCodingHnd->InputCount()) + " bytes to " +
                                  std::to_string(FContentCodingHnd->OutputCount()) + " bytes");
    return true;
}

void THttpCli::MarkReady() {
    if (FSendingBody && (FStatusCode == 401 || FStatusCode == 407)) {
        FReadyDeferred = true;
        return;
    }
    PostMsg(FMsgSetReady);
}

// ---- the end of a connection ----------------------------------------------------------

void THttpCli::SocketSessionClosed(std::uint16_t error) {
    if (Destroying())
        return;
    if (FRelocateOnClose) {
        RelocateAfterClose();
        return;
    }
    Trace(loProtSpecInfo, "SessionClosed Error: " + std::to_string(error));
    DiscardBuffer();
    if (error != 0)
        FErrCode = error;
    FConnected = false;

    auto endRequest = [this]() {
        Fire(OnSessionClosed);
        // A synchronous call that gives up enters httpReady itself.
        if (FState != httpReady && FState != httpAborting)
            PostMsg(FMsgSetReady);
    };

    if (FResponseFailed) {
        StopBandwidthTimer();
        endRequest();
        return;
    }
    // A close of our own (abort, httpCLOSE) keeps the reason already given.
    const bool closedByPeer = FState != httpAborting && FState != httpClosing;
    if (FInHeader) {
        TriggerHeaderEnd();
        // A header cut short after its "location" still relocates.
        if (FLocationFieldSeen && closedByPeer && !TakeLocation(FLocationField)) {
            FStatusCode = 404;
            FReasonPhrase = "Malformed response";
            FRelocationPending = false;
            endRequest();
            return;
        }
        if (FRelocationPending) {
            RelocateAfterClose();
            return;
        }
        // A header cut short is no response: say so instead of waiting.
        if (closedByPeer) {
            FStatusCode = 404;
            FReasonPhrase = "Connection closed before a complete response header";
        }
        endRequest();
        return;
    }
    if (FBodyLineCount > 0) {
        StopBandwidthTimer();
        // A body that ends with the connection ends its coded data too.
        if (!CompleteContentCoding()) {
            FStatusCode = 404;
            FReasonPhrase = "Content decoding failed: " + FContentCodingHnd->Error();
            FRelocationPending = false;
        }
        TriggerDocEnd();
    }
    if (FRelocationPending) {
        RelocateAfterClose();
        return;
    }
    if (closedByPeer && FState == httpWaitingHeader && !FHeaderComplete) {
        FStatusCode = 404;
        FReasonPhrase = "Connection closed before a complete response header";
    } else if (closedByPeer && FState == httpWaitingBody && FRqType != httpHEAD &&
               (FChunked || FContentLength >= 0)) {
        // Only a body delimited by the close may end with it.
        FStatusCode = 404;
        FReasonPhrase = "Connection closed before the whole response body";
    }
    endRequest();
}

bool THttpCli::RelocationLimitPassed() {
    ++FLocationChangeCurCount;
    if (FLocationChangeCurCount <= FLocationChangeMaxCount)
        return false;
    bool allowMore = false;
    if (OnLocationChangeExceeded)
        OnLocationChangeExceeded(this, FLocationChangeCurCount, allowMore);
    if (allowMore)
        return false;
    FRelocationPending = false;
    PostMsg(FMsgSetReady);
    return true;
}

bool THttpCli::StopSendingBody() {
    const bool unfinished = FSendingBody;
    FSendingBody = false;
    FReadyDeferred = false;
    return unfinished;
}

void THttpCli::BeginRelocation() {
    Trace(loProtSpecInfo, "Starting relocation process");
    // The relocated request has no body: whatever of the old one is left is
    // not sent, neither on this connection nor on the next one.
    const bool bodyCutShort = StopSendingBody();
    FReceivedCount = 0;
    DiscardBuffer();
    FLineCount = 0;
    FBodyLineCount = 0;
    if (RelocationLimitPassed())
        return;
    if (FConnectedHost != FConnectHost || FConnectedPort != FConnectPort ||
        FConnectedProtocol != FProtocol || FCloseReq || bodyCutShort) {
        // Another server, or this connection ends, or the server still
        // expects the rest of a body it answered before reading: relocate
        // once the connection has closed.
        FRelocateOnClose = true;
        FCtrlSocket->CloseLater();
        return;
    }
    Fire(OnLocationChange);
    ResetResponseFields(true);
    FDocumentName = ExtractDocumentName(FRequestUri);
    if (FRqType == httpPOST)
        FRqType = httpGET;
    RewindStreams();
    PrepareRelocatedAuth();
    FLoginPending = true;
    PostMsg(FMsgLogin);
}

void THttpCli::RelocateAfterClose() {
    FRelocateOnClose = false;
    std::string target = FLocation.substr(0, FLocation.find('#'));
    TUrlParts loc = SplitUrl(target);
    FDocumentName = ExtractDocumentName(loc.Path);
    FConnected = false;
    FRelocationPending = false;
    if (FRqType == httpPOST)
        FRqType = httpGET;
    if (RelocationLimitPassed())
        return;
    Fire(OnLocationChange);
    ResetResponseFields(true);
    if (!FProxy.empty()) {
        TUrlParts proxy = SplitUrl(FProxy);
        FConnectPort = proxy.Port.empty() ? FProxyPort : proxy.Port;
    }
    RewindStreams();
    PrepareRelocatedAuth();
    FLoginPending = true;
    PostMsg(FMsgLogin);
}

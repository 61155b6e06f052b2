#include "net/socket/wsocket.h"

#include "framework/application.h"
#include "net/socket/icsbuffer.h"

#include <cstdio>
#include <cstring>

using namespace winsock;

namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

// Holds the send buffer's lock for a scope (it is recursive, so handlers
// called under it may send again).
class SendLock {
public:
    explicit SendLock(TIcsBufferHandler& h) : FHandler(h) { FHandler.Lock(); }
    ~SendLock() { FHandler.Unlock(); }
    SendLock(const SendLock&) = delete;
    SendLock& operator=(const SendLock&) = delete;

private:
    TIcsBufferHandler& FHandler;
};

// Consecutive OnDataAvailable calls that read nothing before the read loop
// gives up; the bytes stay queued for the handler's next Receive.
constexpr int MaxIdleDataAvailableCalls = 100;

// OnDataAvailable calls one read notice makes at most: a peer that keeps the
// socket readable must not keep the read loop, and the pump around it, from
// the rest of the program. Each read re-arms the notice, so the rest comes
// with the next one, in its turn among the thread's messages.
constexpr int MaxDataAvailablePerNotice = 16;

} // namespace

std::string WSocketTrim(const std::string& s) {
    return Trim(s);
}

// ---- TWSocketCounter --------------------------------------------------------

void TWSocketCounter::SetConnected() {
    ConnectTicks = GetTickCount();
    ConnectedAt = Now();
    LastReceiveTicks = 0;
    LastSendTicks = 0;
}

DWORD TWSocketCounter::LastActivityTicks() const {
    DWORD result = ConnectTicks;
    if (LastReceiveTicks > result)
        result = LastReceiveTicks;
    if (LastSendTicks > result)
        result = LastSendTicks;
    return result;
}

// ---- construction -----------------------------------------------------------

TCustomWSocket::TCustomWSocket(TComponent* owner) : TIcsWndControl(owner) {
    AttachHandler();
    FHSocket = INVALID_SOCKET;
    FBufHandler = std::make_unique<TIcsBufferHandler>(nullptr);
    FBufHandler->SetBufSize(1460);
    FMultiCastIpTTL = 1;
    FListenBacklog = 5;
    FAddrStr.clear();
    FPortStr.clear();
    TCustomWSocket::ResetDefaults();
    WSocketRaiseSocketCount();
    FSocketCounted = true;
}

TCustomWSocket::~TCustomWSocket() {
    BeginDestruction();
    try {
        CancelLookup();
    } catch (...) {
    }
    try {
        if (FState != wsClosed)
            Close();
    } catch (...) {
    }
    if (FSocketCounted) {
        FSocketCounted = false;
        WSocketLowerSocketCount();
    }
    FBufHandler.reset();
    FLookupResults.clear();
    FCounter.reset();
    // Frees this class's message numbers (purging what is still queued for
    // them); the base destructor cannot reach this override.
    ReleaseHandlerOnce();
}

void TCustomWSocket::AllocateMessages() {
    TIcsWndControl::AllocateMessages();
    FMsg_WM_ASYNCSELECT = FWindowHandler->AllocateMessage(this);
    FMsg_WM_ASYNCGETHOSTBYNAME = FWindowHandler->AllocateMessage(this);
    FMsg_WM_ASYNCGETHOSTBYADDR = FWindowHandler->AllocateMessage(this);
    FMsg_WM_CLOSE_DELAYED = FWindowHandler->AllocateMessage(this);
    FMsg_WM_WSOCKET_RELEASE_TEST = FWindowHandler->AllocateMessage(this);
    FMsg_WM_TRIGGER_DATA_AVAILABLE = FWindowHandler->AllocateMessage(this);
}

void TCustomWSocket::FreeMessages() {
    if (FWindowHandler) {
        FWindowHandler->FreeMessage(FMsg_WM_ASYNCSELECT);
        FWindowHandler->FreeMessage(FMsg_WM_ASYNCGETHOSTBYNAME);
        FWindowHandler->FreeMessage(FMsg_WM_ASYNCGETHOSTBYADDR);
        FWindowHandler->FreeMessage(FMsg_WM_CLOSE_DELAYED);
        FWindowHandler->FreeMessage(FMsg_WM_WSOCKET_RELEASE_TEST);
        FWindowHandler->FreeMessage(FMsg_WM_TRIGGER_DATA_AVAILABLE);
    }
    TIcsWndControl::FreeMessages();
}

void TCustomWSocket::AttachToThread() {
    TIcsWndControl::AttachToThread();
    if (FHSocket != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(FHSocket, FHandle, FMsg_WM_ASYNCSELECT, FEventMask);
}

void TCustomWSocket::DetachFromThread() {
    if (GetCurrentThreadId() == FThreadId && FHSocket != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(FHSocket, FHandle, 0, 0);
    TIcsWndControl::DetachFromThread();
}

void TCustomWSocket::ResetDefaults() {
    FRemoteSockAddr = SOCKADDR_IN{};
    FRemoteSockAddr.sin_family = AF_INET;
    FAddressFamily = PF_INET;
    FHasAddr = false;
    FHasPort = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FHasProto = true;
    FProtoNumber = IPPROTO_TCP;
    FProtoStr = "tcp";
    FSocketType = SOCK_STREAM;
    // A string, not the literal: GCC 12 at -O3 takes assigning a one-character literal
    // for an overlapping copy (a false -Wrestrict).
    FLocalPortStr = std::string("0");
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FEventMask = 0;
    FState = wsClosed; // quietly: a reset is not a state change anyone waits for
    FSendBufferEmpty = true;
    FNoticesPaused = false;
    FNoticesHeld.clear();
    FCloseInvoked = false;
    FSendFailed = false;
    FFlushTimeout = 60;
}

// ---- properties -------------------------------------------------------------

// Addr, Port and Proto: the same value is accepted in any state; a new one
// only while the socket is closed, and it must be resolved again.
void TCustomWSocket::SetTarget(const std::string& value, const char* property, std::string& text,
                               bool& assigned, bool& resolved) {
    std::string v = Trim(value);
    if (assigned && v == text)
        return;
    if (FState != wsClosed) {
        ReportError(std::string("Cannot change ") + property + " if not closed");
        return;
    }
    text = v;
    assigned = !v.empty();
    resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& value) {
    SetTarget(value, "Addr", FAddrStr, FHasAddr, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& value) {
    SetTarget(value, "Port", FPortStr, FHasPort, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& value) {
    SetTarget(value, "Proto", FProtoStr, FHasProto, FProtoResolved);
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
    if (FState != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string v = Trim(value);
    FLocalAddr = v.empty() ? "0.0.0.0" : v;
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
    if (FState != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Trim(value);
    FLocalPortResolved = false;
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
    switch (FSendFlags) {
    case 0:
        return wsSendNormal;
    case MSG_OOB:
        return wsSendUrgent;
    default:
        const_cast<TCustomWSocket*>(this)->ReportError("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value) {
    switch (value) {
    case wsSendNormal:
        FSendFlags = 0;
        break;
    case wsSendUrgent:
        FSendFlags = MSG_OOB;
        break;
    default:
        ReportError("Invalid SendFlags");
    }
}

BYTE TCustomWSocket::ReqVerLow() const {
    return WSocketReqVerLow();
}
BYTE TCustomWSocket::ReqVerHigh() const {
    return WSocketReqVerHigh();
}

void TCustomWSocket::SetReqVerLow(BYTE value) {
    std::string refusal = WSocketSetReqVerLow(value);
    if (!refusal.empty())
        ReportError(refusal);
}

void TCustomWSocket::SetReqVerHigh(BYTE value) {
    std::string refusal = WSocketSetReqVerHigh(value);
    if (!refusal.empty())
        ReportError(refusal);
}

void TCustomWSocket::SetIcsLogger(TIcsLogger* logger) {
    if (logger == FIcsLogger)
        return;
    if (FIcsLogger)
        RemoveFreeNotification(FIcsLogger);
    FIcsLogger = logger;
    if (FIcsLogger)
        FreeNotification(FIcsLogger);
}

void TCustomWSocket::Notification(TComponent* component, TOperation operation) {
    TIcsWndControl::Notification(component, operation);
    if (operation == TOperation::opRemove && component == FIcsLogger)
        FIcsLogger = nullptr;
}

int TCustomWSocket::BufSize() const {
    return FBufHandler->BufSize();
}
void TCustomWSocket::SetBufSize(int value) {
    FBufHandler->SetBufSize(value);
}

void TCustomWSocket::SetSocketRcvBufSize(int value) {
    if (FHSocket == INVALID_SOCKET)
        return;
    SetOption(SOL_SOCKET, SO_RCVBUF, value, "setsockopt(SO_RCVBUF)");
}

void TCustomWSocket::SetSocketSndBufSize(int value) {
    if (FHSocket == INVALID_SOCKET)
        return;
    SetOption(SOL_SOCKET, SO_SNDBUF, value, "setsockopt(SO_SNDBUF)");
}

// ---- logging and failure reports --------------------------------------------

bool TCustomWSocket::LogEnabled(TLogOption level) const {
    return FIcsLogger && FIcsLogger->CheckLogOptions(level);
}

void TCustomWSocket::WriteLog(TLogOption level, const std::string& text) {
    if (LogEnabled(level))
        FIcsLogger->DoDebugLog(this, level, text);
}

std::string TCustomWSocket::ComponentAddressHex() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(this)));
    return buf;
}

void TCustomWSocket::ReportError(const std::string& text) {
    if (OnError) {
        FireError();
        return;
    }
    throw ESocketException(text);
}

void TCustomWSocket::ReportResolveFailure(const std::string& prefix, const Exception& E) {
    FLastError = WSocket_WSAGetLastError();
    FResolveErrorText = E.Message();
    ReportError(prefix + E.Message());
}

void TCustomWSocket::FireError() {
    if (OnError)
        OnError(this);
}

void TCustomWSocket::SocketFailure(const std::string& operation) {
    int code = WSocket_WSAGetLastError();
    std::string text =
        WSocketErrorText(code) + " (#" + std::to_string(code) + " in " + operation + ")";
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        // The connection is gone: close at once, telling the owner once.
        if (FHSocket != INVALID_SOCKET) {
            WSocket_closesocket(FHSocket);
            FHSocket = INVALID_SOCKET;
        }
        if (FState != wsClosed && !FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(static_cast<WORD>(code));
        }
        ChangeState(wsClosed);
    }
    FLastError = code;
    ReportError(text);
}

// ---- events -----------------------------------------------------------------

void TCustomWSocket::ChangeState(TSocketState newState) {
    if (FState == newState)
        return;
    TSocketState oldState = FState;
    FState = newState;
    FireChangeState(oldState, newState);
}

void TCustomWSocket::FireChangeState(TSocketState oldState, TSocketState newState) {
    if (OnChangeState)
        OnChangeState(this, oldState, newState);
}

bool TCustomWSocket::FireDataAvailable(WORD error) {
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(WORD error) {
    if (OnSessionAvailable)
        OnSessionAvailable(this, error);
}

void TCustomWSocket::ConnectDone(WORD error) {
    if (IsStream() && error == 0 && FCounter)
        FCounter->SetConnected();
    FireSessionConnected(error);
}

void TCustomWSocket::FireSessionConnected(WORD error) {
    FTotalReceived = 0;
    FTotalSent = 0;
    FLastUnsent = 0;
    FSentAtLastCheck = 0;
    if (OnSessionConnected)
        OnSessionConnected(this, error);
}

void TCustomWSocket::FireSessionClosed(WORD error) {
    if (OnSessionClosed)
        OnSessionClosed(this, error);
}

void TCustomWSocket::TriggerDataSent(WORD error) {
    if (LogEnabled(loWsockDump))
        WriteLog(loWsockDump,
                 ComponentAddressHex() + " TriggerDataSent " + std::to_string(FHSocket));
    if (OnDataSent)
        OnDataSent(this, error);
}

void TCustomWSocket::FireDnsLookupDone(WORD error) {
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, error);
}

// ---- messages ---------------------------------------------------------------

void TCustomWSocket::HandleMessage(TIcsMessage& msg) {
    if (msg.Msg == 0) {
        TIcsWndControl::HandleMessage(msg);
    } else if (msg.Msg == FMsg_WM_ASYNCSELECT) {
        HandleNetEvent(msg);
    } else if (msg.Msg == FMsg_WM_ASYNCGETHOSTBYNAME) {
        HandleLookupDone(msg);
    } else if (msg.Msg == FMsg_WM_ASYNCGETHOSTBYADDR) {
        // Reverse lookups are never started by this component.
    } else if (msg.Msg == FMsg_WM_CLOSE_DELAYED) {
        Close();
    } else if (msg.Msg == FMsg_WM_WSOCKET_RELEASE_TEST) {
        throw ESocketException("Test exception in WSocket");
    } else if (msg.Msg == FMsg_WM_TRIGGER_DATA_AVAILABLE) {
        // Posted and handled by the line layer only.
    } else {
        TIcsWndControl::HandleMessage(msg);
    }
}

void TCustomWSocket::HandleEscapedException(Exception& E) {
    // OnBgException first; unless it clears CanClose, EmergencyStop aborts.
    TIcsWndControl::HandleEscapedException(E);
}

void TCustomWSocket::EmergencyStop() {
    Abort();
}

void TCustomWSocket::HandleNetEvent(TIcsMessage& msg) {
    SOCKET s = static_cast<SOCKET>(msg.WParam);
    if (s == INVALID_SOCKET || s != FHSocket)
        return;
    WORD events = WSAGETSELECTEVENT(msg.LParam);
    if (FNoticesPaused) {
        // Read and write readiness are reported again when Resume registers
        // anew; a connect or a close is not.
        const WORD once = events & (FD_CONNECT | FD_CLOSE);
        if (once != 0)
            FNoticesHeld.push_back(WSAMAKESELECTREPLY(once, WSAGETSELECTERROR(msg.LParam)));
        return;
    }
    // Fixed order. A handler may close the socket (or open a new one), so
    // each step checks that the socket is still the one the event is for.
    if ((events & FD_CONNECT) && FHSocket == s)
        HandleConnectNotice(msg);
    if ((events & FD_READ) && FHSocket == s)
        HandleReadNotice(msg);
    if ((events & FD_WRITE) && FHSocket == s)
        HandleWriteNotice(msg);
    if ((events & FD_ACCEPT) && FHSocket == s)
        HandleAcceptNotice(msg);
    if ((events & FD_CLOSE) && FHSocket == s)
        HandleCloseNotice(msg);
}

void TCustomWSocket::HandleConnectNotice(TIcsMessage& msg) {
    if (FState == wsConnected)
        return;
    WORD error = WSAGETSELECTERROR(msg.LParam);
    ChangeState(wsConnected);
    ConnectDone(error);
    if (error != 0 && FState != wsClosed)
        Close();
}

void TCustomWSocket::HandleReadNotice(TIcsMessage& msg) {
    WORD error = WSAGETSELECTERROR(msg.LParam);
    if (FState != wsConnected) {
        // The read notice came before the connect notice.
        ChangeState(wsConnected);
        ConnectDone(error);
    }
    ReadLoop(error, FComponentOptions);
}

void TCustomWSocket::HandleWriteNotice(TIcsMessage& msg) {
    TryToSend();
    // After a failed send nothing was sent: the close notice follows.
    if (FSendBufferEmpty && !FSendFailed)
        TriggerDataSent(WSAGETSELECTERROR(msg.LParam));
}

void TCustomWSocket::HandleAcceptNotice(TIcsMessage& msg) {
    FireSessionAvailable(WSAGETSELECTERROR(msg.LParam));
}

void TCustomWSocket::HandleCloseNotice(TIcsMessage& msg) {
    if (FState == wsConnecting || FHSocket == INVALID_SOCKET)
        return;
    SOCKET s = FHSocket;
    // Everything still queued is delivered before the close is reported.
    TWSocketOptions options = FComponentOptions;
    options.Exclude(wsoNoReceiveLoop);
    ReadLoop(0, options, true);
    // A handler that closed the socket has already reported the close.
    if (FHSocket != s)
        return;
    if (!FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(WSAGETSELECTERROR(msg.LParam));
    }
    if (FHSocket == s && FState != wsClosed)
        Close();
}

void TCustomWSocket::ReadLoop(WORD error, TWSocketOptions options, bool toTheEnd) {
    // An exception from OnDataAvailable ends the loop and travels on to the
    // background-exception path (OnBgException, then Abort unless the
    // handler keeps the socket): dropping it silently would leave the
    // owner waiting for data it already failed to take.
    FLastError = 0;
    const SOCKET socket = FHSocket;
    const std::uint64_t receivedAtStart = FTotalReceived;
    bool stoppedEarly = options.Contains(wsoNoReceiveLoop);
    bool readHeld = false; // a read took bytes a layer held
    int idleCalls = 0;
    for (int calls = 1;; ++calls) {
        SOCKET s = FHSocket;
        std::uint64_t before = FTotalReceived;
        int heldBefore = HeldByteCount();
        if (!FireDataAvailable(error)) {
            // Nobody reads: drop what is there so the socket keeps working.
            char scratch[4096];
            int n = Receive(scratch, sizeof scratch);
            if (n < 0 && FLastError == WSAEWOULDBLOCK) {
                FLastError = 0;
                break;
            }
        }
        readHeld = readHeld || HeldByteCount() < heldBefore;
        if (options.Contains(wsoNoReceiveLoop))
            break;
        if (FLastError != 0)
            break;
        if (FHSocket == INVALID_SOCKET || FHSocket != s)
            break; // closed by the handler
        winsock::u_long count = 0;
        if (WSocket_ioctlsocket(FHSocket, FIONREAD, &count) != 0) {
            FLastError = WSocket_WSAGetLastError();
            break;
        }
        const int held = HeldByteCount();
        if (count == 0 && held == 0)
            break;
        // A handler that never reads would be called without end.
        if (FTotalReceived == before && held >= heldBefore) {
            if (++idleCalls >= MaxIdleDataAvailableCalls)
                break;
        } else {
            idleCalls = 0;
        }
        if (!toTheEnd && calls >= MaxDataAvailablePerNotice) {
            stoppedEarly = true;
            break;
        }
    }
    // Bytes a layer holds (what came with the SOCKS grant, a line buffer's
    // rest) get no notice from the network, and a read served from them
    // re-arms none there: as Windows does after a recv, another notice
    // follows while some may remain, held or behind them on the network.
    if (stoppedEarly && FHSocket == socket && socket != INVALID_SOCKET &&
        (readHeld || (HeldByteCount() > 0 && FTotalReceived != receivedAtStart)))
        PostMessageA(Handle(), FMsg_WM_ASYNCSELECT, static_cast<WPARAM>(socket),
                     WSAMAKESELECTREPLY(static_cast<WORD>(FD_READ), 0));
}

// ---- name lookup --------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& hostName) {
    if (hostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    if (FLookupTask) {
        WSocket_WSACancelAsyncRequest(FLookupTask);
        FLookupTask = nullptr;
    }
    FLookupResult.clear();
    FLookupResults.clear();

    if (WSocketIsDottedIP(hostName)) {
        winsock::u_long addr = WSocket_inet_addr(Trim(hostName).c_str());
        if (addr != INADDR_NONE) {
            IN_ADDR in{addr};
            FLookupResult = WSocket_inet_ntoa(in);
            FLookupResults.push_back(FLookupResult);
            FireDnsLookupDone(0);
            return;
        }
    }

    if (!FHandle) {
        ReportError("DnsLookup: Window not assigned");
        return;
    }
    FEarlyLookupReplyValid = false;
    FLookupTask =
        WSocket_WSAAsyncGetHostByName(FHandle, FMsg_WM_ASYNCGETHOSTBYNAME, hostName.c_str(),
                                      FLookupBuffer, static_cast<int>(sizeof FLookupBuffer));
    if (!FLookupTask) {
        ReportError(hostName + ": can't start DNS lookup - " +
                    WSocketErrorDesc(WSocket_WSAGetLastError()));
        return;
    }
    if (FEarlyLookupReplyValid) {
        FEarlyLookupReplyValid = false;
        TIcsMessage early = FEarlyLookupReply;
        HandleLookupDone(early);
    }
}

void TCustomWSocket::HandleLookupDone(TIcsMessage& msg) {
    if (!FLookupTask) {
        // The answer came before WSAAsyncGetHostByName returned its handle:
        // DnsLookup processes it once the handle is known.
        FEarlyLookupReply = msg;
        FEarlyLookupReplyValid = true;
        return;
    }
    if (reinterpret_cast<HANDLE>(msg.WParam) != FLookupTask)
        return;
    FLookupTask = nullptr;
    WORD error = WSAGETASYNCERROR(msg.LParam);
    if (error == 0) {
        const auto* entry = reinterpret_cast<const HOSTENT*>(FLookupBuffer);
        for (char** p = entry->h_addr_list; p && *p; ++p) {
            IN_ADDR in{};
            std::memcpy(&in.s_addr, *p, sizeof in.s_addr);
            FLookupResults.push_back(WSocket_inet_ntoa(in));
        }
        if (!FLookupResults.empty())
            FLookupResult = FLookupResults.front();
    }
    FireDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup() {
    if (!FLookupTask)
        return;
    if (WSocket_WSACancelAsyncRequest(FLookupTask) != 0) {
        FLookupTask = nullptr;
        // A lookup that has just finished cannot be cancelled any more, but
        // its answer is still queued: with no task recorded it will be
        // ignored, so for the caller the lookup is cancelled all the same.
        const int error = WSocket_WSAGetLastError();
        if (error != WSAEINVAL && error != WSAEALREADY) {
            SocketFailure("WSACancelAsyncRequest");
            return;
        }
    }
    FLookupTask = nullptr;
    if (!Destroying())
        FireDnsLookupDone(WSAEINTR);
}

// ---- connecting ---------------------------------------------------------------

void TCustomWSocket::Connect() {
    if (!CheckConnectSettings() || !ResolveTarget())
        return;
    EmptySendBuffer();
    FCloseInvoked = false; // a new connection gets its own close report
    if (!OpenSocket())
        return;
    if (!(IsStream() ? ApplyStreamOptions() : PrepareDatagram()))
        return;
    FEventMask = FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT;
    if (WSocket_WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FEventMask) != 0) {
        SocketFailure("WSAAsyncSelect");
        return;
    }
    if (!IsStream()) {
        ChangeState(wsConnected);
        ConnectDone(0);
        return;
    }
    StartConnecting();
}

bool TCustomWSocket::CheckConnectSettings() {
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return false;
    }
    FResolveErrorText.clear();
    // The port is tested first, so a socket with neither gets this text.
    if (!FHasPort) {
        ReportError("Connect: No Port Specified");
        return false;
    }
    if (!FHasAddr) {
        ReportError("Connect: No IP Address Specified");
        return false;
    }
    if (!FHasProto) {
        ReportError("Connect: No Protocol Specified");
        return false;
    }
    return true;
}

bool TCustomWSocket::ResolveTarget() {
    try {
        if (!FProtoResolved) {
            FProtoNumber = WSocketResolveProto(FProtoStr);
            FSocketType = FProtoNumber == IPPROTO_TCP   ? SOCK_STREAM
                          : FProtoNumber == IPPROTO_UDP ? SOCK_DGRAM
                                                        : SOCK_RAW;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNumber = WSocketResolvePort(FPortStr, FProtoStr);
            FRemoteSockAddr.sin_port = WSocket_htons(FPortNumber);
            FPortResolved = true;
        }
        if (!FLocalPortResolved) {
            FLocalPortNumber = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            FRemoteSockAddr.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
    } catch (ESocketException& E) {
        ReportResolveFailure("connect: ", E);
        return false;
    }
    return true;
}

bool TCustomWSocket::OpenSocket() {
    FHSocket = WSocket_socket(FAddressFamily, FSocketType, FProtoNumber);
    if (FHSocket == INVALID_SOCKET) {
        SocketFailure("Connect (socket)");
        return false;
    }
    int optlen = sizeof FSndBufSize;
    if (WSocket_getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&FSndBufSize),
                           &optlen) != 0) {
        SocketFailure("getsockopt(SO_SNDBUF)");
        return false;
    }
    optlen = sizeof FRcvBufSize;
    if (WSocket_getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&FRcvBufSize),
                           &optlen) != 0) {
        SocketFailure("getsockopt(SO_RCVBUF)");
        return false;
    }
    ChangeState(wsOpened);
    if (FState != wsOpened) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketFailure("Connect (Invalid operation in OnChangeState)");
        return false;
    }
    return true;
}

bool TCustomWSocket::ApplyStreamOptions() {
    const int on = 1;
    if (!SetOption(SOL_SOCKET, SO_REUSEADDR, on, "setsockopt(SO_REUSEADDR)"))
        return false;
    if (FComponentOptions.Contains(wsoTcpNoDelay) &&
        !SetOption(IPPROTO_TCP, TCP_NODELAY, on, "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
        return false;
    if (!ApplyLinger() || !ApplyKeepAlive())
        return false;
    // Bound only when asked for a local port or address.
    return (FLocalPortNumber == 0 && FLocalAddr == "0.0.0.0") || BindLocal();
}

bool TCustomWSocket::PrepareDatagram() {
    // Always bound, so that answers can come back.
    if (!BindLocal())
        return false;
    const int on = 1;
    return FRemoteSockAddr.sin_addr.s_addr != INADDR_BROADCAST ||
           SetOption(SOL_SOCKET, SO_BROADCAST, on, "setsockopt(SO_BROADCAST)");
}

void TCustomWSocket::StartConnecting() {
    if (LogEnabled(loWsockInfo)) {
        IN_ADDR in = FRemoteSockAddr.sin_addr;
        // The port connected to: the target's, or the SOCKS server's.
        WriteLog(loWsockInfo, std::string("TWSocket will connect to ") + WSocket_inet_ntoa(in) +
                                  ":" + std::to_string(WSocket_ntohs(FRemoteSockAddr.sin_port)));
    }
    if (WSocket_connect(FHSocket, reinterpret_cast<const SOCKADDR*>(&FRemoteSockAddr),
                        sizeof FRemoteSockAddr) != 0) {
        int code = WSocket_WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            FLastError = code;
            SocketFailure("Connect");
            return;
        }
    }
    ChangeState(wsConnecting);
}

template <class T>
bool TCustomWSocket::SetOption(int level, int option, const T& value, const char* operation) {
    if (WSocket_setsockopt(FHSocket, level, option, reinterpret_cast<const char*>(&value),
                           sizeof value) == 0)
        return true;
    SocketFailure(operation);
    return false;
}

bool TCustomWSocket::ApplyLinger() {
    if (FLingerOnOff == wsLingerNoSet)
        return true;
    if (FHSocket == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return false;
    }
    LINGER linger{static_cast<u_short>(FLingerOnOff == wsLingerOn ? 1 : 0),
                  static_cast<u_short>(FLingerTimeout)};
    return SetOption(SOL_SOCKET, SO_LINGER, linger, "setsockopt(SO_LINGER)");
}

bool TCustomWSocket::ApplyKeepAlive() {
    if (FKeepAliveOnOff == wsKeepAliveOff)
        return true;
    if (FKeepAliveOnOff == wsKeepAliveOnSystem) {
        const int on = 1;
        return SetOption(SOL_SOCKET, SO_KEEPALIVE, on, "setsockopt(SO_KEEPALIVE)");
    }
    tcp_keepalive values{1, static_cast<winsock::u_long>(FKeepAliveTime),
                         static_cast<winsock::u_long>(FKeepAliveInterval)};
    DWORD returned = 0;
    if (WSocket_WSAIoctl(FHSocket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                         &returned, nullptr, nullptr) != 0) {
        SocketFailure("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
        return false;
    }
    return true;
}

bool TCustomWSocket::BindLocal() {
    SOCKADDR_IN local{};
    local.sin_family = AF_INET;
    try {
        local.sin_port = WSocket_htons(FLocalPortNumber);
        local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    } catch (ESocketException& E) {
        ReportResolveFailure("connect: ", E);
        return false;
    }
    if (WSocket_bind(FHSocket, reinterpret_cast<const SOCKADDR*>(&local), sizeof local) != 0) {
        ReportError("Bind socket failed - " + WSocketErrorDesc(WSocket_WSAGetLastError()));
        return false;
    }
    int len = sizeof local;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<SOCKADDR*>(&local), &len) != 0) {
        ReportError("Winsock get socket name failed - " +
                    WSocketErrorDesc(WSocket_WSAGetLastError()));
        return false;
    }
    FLocalPortNumber = WSocket_ntohs(local.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNumber);
    return true;
}

void TCustomWSocket::Listen() {
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Listen: Socket already in use");
        return;
    }
    try {
        FProtoNumber = WSocketResolveProto(FProtoStr);
        FLocalPortNumber = WSocketResolvePort(FLocalPortStr, FProtoStr);
        FLocalPortResolved = true;
    } catch (ESocketException& E) {
        ReportError("listen: " + E.Message());
        return;
    }
    if (FProtoNumber != IPPROTO_TCP) {
        ReportError("listen: only TCP sockets listen");
        return;
    }
    FSocketType = SOCK_STREAM;
    FHSocket = WSocket_socket(FAddressFamily, FSocketType, FProtoNumber);
    if (FHSocket == INVALID_SOCKET) {
        SocketFailure("Listen (socket)");
        return;
    }
    ChangeState(wsOpened);
    const int on = 1;
    if (FReuseAddr && !SetOption(SOL_SOCKET, SO_REUSEADDR, on, "setsockopt(SO_REUSEADDR)"))
        return;
    if (!BindLocal())
        return;
    ChangeState(wsBound);
    if (WSocket_listen(FHSocket, FListenBacklog) != 0) {
        SocketFailure("listen");
        return;
    }
    FEventMask = FD_ACCEPT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FEventMask) != 0) {
        SocketFailure("WSAAsyncSelect");
        return;
    }
    ChangeState(wsListening);
}

SOCKET TCustomWSocket::Accept() {
    if (FState != wsListening) {
        FLastError = WSAEINVAL;
        return INVALID_SOCKET;
    }
    SOCKADDR_IN peer{};
    int len = sizeof peer;
    SOCKET s = WSocket_accept(FHSocket, reinterpret_cast<SOCKADDR*>(&peer), &len);
    if (s == INVALID_SOCKET)
        SocketFailure("accept");
    return s;
}

void TCustomWSocket::AdoptConnected() {
    if (FCounter)
        FCounter->SetConnected();
    FTotalReceived = 0;
    FTotalSent = 0;
    ChangeState(wsConnected);
}

// ---- receiving --------------------------------------------------------------

int TCustomWSocket::RecvRaw(void* buffer, int size, int flags) {
    return WSocket_recv(FHSocket, static_cast<char*>(buffer), size, flags);
}

int TCustomWSocket::Receive(void* buffer, int size) {
    int n = RecvRaw(buffer, size, 0);
    if (n < 0) {
        FLastError = WSocket_WSAGetLastError();
    } else if (n > 0) {
        FTotalReceived += static_cast<std::uint64_t>(n);
        if (FCounter)
            FCounter->LastReceiveTicks = GetTickCount();
    }
    return n;
}

std::string TCustomWSocket::ReceiveText() {
    int n = PendingReadCount();
    if (n < 0)
        return std::string();
    if (n == 0)
        n = 255;
    std::string text(static_cast<size_t>(n), '\0');
    int got = Receive(text.data(), n);
    if (got < 1)
        return std::string();
    text.resize(static_cast<size_t>(got));
    return text;
}

int TCustomWSocket::PendingReadCount() {
    winsock::u_long count = 0;
    if (WSocket_ioctlsocket(FHSocket, FIONREAD, &count) != 0) {
        SocketFailure("ioctlSocket");
        return -1;
    }
    return static_cast<int>(count);
}

// ---- sending ----------------------------------------------------------------

// A peer that reads an upload slowly drains the system's send queue between
// our sends, which come only when the queue has room again: with a large
// system buffer that can take longer than an inactivity time-out while bytes
// are moving all along.
void TCustomWSocket::NoteSendProgress() {
    if (FHSocket == INVALID_SOCKET || !FCounter || FState != wsConnected)
        return;
    // Nothing was unsent and nothing was sent since: nothing to ask (a
    // download calls here after every read).
    if (FLastUnsent == 0 && FTotalSent == FSentAtLastCheck)
        return;
    FSentAtLastCheck = FTotalSent;
    winsock::u_long unsent = 0;
    if (WSocket_ioctlsocket(FHSocket, FIONWRITE, &unsent) != 0)
        return;
    if (unsent < FLastUnsent)
        FCounter->LastSendTicks = GetTickCount();
    FLastUnsent = unsent;
}

void TCustomWSocket::EmptySendBuffer() {
    SendLock lock(*FBufHandler);
    FBufHandler->DeleteAll();
    FSendBufferEmpty = true;
}

int TCustomWSocket::Send(const void* data, int len) {
    if (FState != wsConnected && FState != wsSocksConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        SocketFailure("Send");
        return -1;
    }
    FSendBufferEmpty = false;
    if (len > 0)
        QueueForSend(data, len);
    else
        len = 0;
    TryToSend();
    // OnDataSent comes from the message loop, never from inside Send.
    if (FSendBufferEmpty && FHSocket != INVALID_SOCKET && !FSendFailed)
        PostMessageA(Handle(), FMsg_WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                     WSAMAKESELECTREPLY(static_cast<WORD>(FD_WRITE), 0));
    return len;
}

int TCustomWSocket::SendText(const std::string& text) {
    if (text.empty())
        return 0;
    return Send(text.data(), static_cast<int>(text.size()));
}

int TCustomWSocket::SendByte(BYTE value) {
    return Send(&value, 1);
}

void TCustomWSocket::QueueForSend(const void* data, int len) {
    if (!data || len <= 0)
        return;
    SendLock lock(*FBufHandler);
    FBufHandler->Write(data, len);
    FSendBufferEmpty = false;
}

void TCustomWSocket::TryToSend() {
    SendLock lock(*FBufHandler);
    if (FSendFailed)
        FBufHandler->DeleteAll(); // nothing more leaves this connection
    if (FHSocket == INVALID_SOCKET || FBufHandler->IsEmpty()) {
        FSendBufferEmpty = true;
        return;
    }
    for (;;) {
        int len = 0;
        const char* data = FBufHandler->Peek(len);
        if (!data || len <= 0) {
            FSendBufferEmpty = true;
            return;
        }
        int sent = SendNow(data, len);
        if (sent > 0) {
            // After a partial write the loop tries once more instead of
            // waiting: the write notice is re-enabled only by a send that
            // would block, and POSIX sockets (unlike Windows) do take part of
            // a block. The rest stays at the head of the buffer either way.
            FBufHandler->Remove(sent);
            continue;
        }
        if (sent == 0)
            return;
        int code = WSocket_WSAGetLastError();
        if (code == WSAEWOULDBLOCK)
            return; // the next write notice goes on
        if (code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN ||
            code == WSAEINVAL || code == WSAECONNABORTED) {
            WriteLog(loWsockErr, Name() + " Winsock Send failed - " + WSocketErrorDesc(code));
            // A peer that answers before it has read everything (a 401 or
            // 407 during an upload) and then resets the connection has its
            // answer waiting in the receive queue: closing now would throw
            // it away. The failure is reported as the close notice of the
            // connection, posted, so what arrived is delivered first.
            FSendFailed = true;
            FBufHandler->DeleteAll();
            FSendBufferEmpty = true;
            PostMessageA(Handle(), FMsg_WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                         WSAMAKESELECTREPLY(static_cast<WORD>(FD_CLOSE), static_cast<WORD>(code)));
            return;
        }
        SocketFailure("TryToSend failed");
        return;
    }
}

int TCustomWSocket::SendNow(const void* data, int len) {
    int sent;
    if (IsStream())
        sent = WSocket_send(FHSocket, static_cast<const char*>(data), len, FSendFlags);
    else
        sent = WSocket_sendto(FHSocket, static_cast<const char*>(data), len, FSendFlags,
                              reinterpret_cast<const SOCKADDR*>(&FRemoteSockAddr),
                              sizeof FRemoteSockAddr);
    if (sent > 0) {
        FTotalSent += static_cast<std::uint64_t>(sent);
        if (FCounter)
            FCounter->LastSendTicks = GetTickCount();
        if (OnSendData)
            OnSendData(this, sent);
    }
    return sent;
}

void TCustomWSocket::Flush() {
    while (FHSocket != INVALID_SOCKET && !FSendBufferEmpty) {
        TryToSend();
        ServiceMessages();
        if (FHSocket != INVALID_SOCKET && !FSendBufferEmpty)
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT); // rather than spin
    }
}

// ---- closing ----------------------------------------------------------------

void TCustomWSocket::Close() {
    FinishClose(true, 0);
}

void TCustomWSocket::CloseLater() {
    PostMessageA(Handle(), FMsg_WM_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::Abort() {
    AbortWithError(0);
}

void TCustomWSocket::AbortWithError(WORD error) {
    CancelLookup();
    EmptySendBuffer();
    if (FState == wsConnected && FProtoNumber == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    FinishClose(false, error);
}

void TCustomWSocket::FinishClose(bool doShutdown, WORD error) {
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed)
            ChangeState(wsClosed);
        ResetDefaults();
        return;
    }
    if (FState == wsClosed)
        return;
    if (doShutdown)
        Shutdown(SD_SEND);
    // A socket that lingers for a time may not close at once while what it
    // queued goes out: the attempts go on, servicing messages, for that time
    // at most, then it closes at once and drops the rest.
    const DWORD lingerMs = FLingerOnOff == wsLingerOn ? FLingerTimeout * 1000u : 0u;
    const DWORD start = GetTickCount();
    bool atOnce = false;
    for (;;) {
        if (WSocket_closesocket(FHSocket) == 0)
            break;
        int code = WSocket_WSAGetLastError();
        if (code == WSAEWOULDBLOCK && !atOnce) {
            const SOCKET s = FHSocket;
            if (GetTickCount() - start < lingerMs) {
                ServiceMessages();
                if (FHSocket != s)
                    return; // a handler closed it meanwhile
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT); // rather than spin
            } else {
                atOnce = true;
                FLingerOnOff = wsLingerOn;
                FLingerTimeout = 0;
                ApplyLinger();
                if (FHSocket != s)
                    return;
            }
            continue;
        }
        FHSocket = INVALID_SOCKET;
        if (code != WSANOTINITIALISED) {
            SocketFailure("Disconnect (closesocket)");
            return;
        }
        break;
    }
    FHSocket = INVALID_SOCKET;
    ChangeState(wsClosed);
    if (!Destroying() && !FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(error);
    }
    // A handler that connected again from OnSessionClosed keeps its new
    // connection: resetting now would orphan that socket.
    if (FHSocket != INVALID_SOCKET)
        return;
    try {
        ResetDefaults();
    } catch (Exception&) {
    }
}

void TCustomWSocket::Shutdown(int how) {
    if (LogEnabled(loWsockInfo))
        WriteLog(loWsockInfo, ComponentAddressHex() + " TCustomWSocket.Shutdown " +
                                  std::to_string(how) + " " + std::to_string(FHSocket));
    if (FHSocket != INVALID_SOCKET)
        WSocket_shutdown(FHSocket, how);
}

void TCustomWSocket::Pause() {
    FNoticesPaused = true;
    if (FHSocket != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(FHSocket, Handle(), 0, 0);
}

void TCustomWSocket::Resume() {
    FNoticesPaused = false;
    if (FHSocket == INVALID_SOCKET)
        return;
    WSocket_WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FEventMask);
    for (LPARAM notice : FNoticesHeld)
        PostMessageA(Handle(), FMsg_WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), notice);
    FNoticesHeld.clear();
}

std::unique_ptr<TWSocketCounter> TCustomWSocket::CreateCounter() {
    return std::make_unique<TWSocketCounter>();
}

void TCustomWSocket::MakeCounter() {
    FCounter = CreateCounter();
}

// ---- ends of the connection -----------------------------------------------------

std::string TCustomWSocket::PeerAddress() {
    if (FState != wsConnected)
        return "error";
    SOCKADDR_IN peer{};
    int len = sizeof peer;
    if (WSocket_getpeername(FHSocket, reinterpret_cast<SOCKADDR*>(&peer), &len) != 0)
        return "error";
    return WSocket_inet_ntoa(peer.sin_addr);
}

std::string TCustomWSocket::GetPeerPort() {
    if (FState != wsConnected)
        return "error";
    SOCKADDR_IN peer{};
    int len = sizeof peer;
    if (WSocket_getpeername(FHSocket, reinterpret_cast<SOCKADDR*>(&peer), &len) != 0) {
        SocketFailure("GetPeerPort");
        return "error";
    }
    return std::to_string(WSocket_ntohs(peer.sin_port));
}

int TCustomWSocket::GetPeerName(SOCKADDR_IN& name, int namelen) {
    if (FState != wsConnected)
        return -1;
    int result = WSocket_getpeername(FHSocket, reinterpret_cast<SOCKADDR*>(&name), &namelen);
    if (result != 0)
        SocketFailure("GetPeerName");
    return result;
}

std::string TCustomWSocket::LocalPortText() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    SOCKADDR_IN local{};
    int len = sizeof local;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<SOCKADDR*>(&local), &len) != 0)
        return "error";
    return std::to_string(WSocket_ntohs(local.sin_port));
}

std::string TCustomWSocket::LocalAddressText() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    SOCKADDR_IN local{};
    int len = sizeof local;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<SOCKADDR*>(&local), &len) != 0)
        return "error";
    return WSocket_inet_ntoa(local.sin_addr);
}

// ---- TCustomSyncWSocket -----------------------------------------------------------

int TCustomSyncWSocket::WaitUntilReady(const int* flag, int timeoutMs) {
    constexpr int TimedOut = 12001;
    DWORD start = GetTickCount();
    for (;;) {
        if (*flag)
            return 0;
        if (QuitSeen() || Application().Terminated())
            return TimedOut;
        DWORD waited = GetTickCount() - start;
        if (timeoutMs > 0 && waited >= static_cast<DWORD>(timeoutMs))
            return TimedOut;
        ServiceMessages();
        if (*flag)
            return 0;
        DWORD slice = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) - waited : 100;
        if (slice > 100)
            slice = 100;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

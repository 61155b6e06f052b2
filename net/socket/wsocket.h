// The asynchronous TCP socket. It wraps one Windows Sockets socket, has its
// network events posted as messages to the hidden window of its thread and
// turns them into component events. Sending never blocks: bytes are copied
// into a chain of fixed-size blocks (TIcsBufferHandler) and written out as
// the network takes them.
//
// Class chain: TIcsWndControl -> TCustomWSocket -> TCustomSocksWSocket ->
// TCustomLineWSocket -> TCustomSyncWSocket -> TWSocket. The SOCKS and line
// layers pass everything straight through while SocksServer is empty and
// line mode is off, which is how the HTTP client uses them.
#pragma once

#include "framework/datetime.h"
#include "net/socket/icslogger.h"
#include "net/socket/icswndcontrol.h"
#include "net/socket/linebuffer.h"
#include "net/socket/socksreply.h"
#include "net/socket/wsocket_binding.h"
#include "platform/winsock/winsock.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class TIcsBufferHandler;

// Blanks and control characters at both ends removed, as the property setters
// store their texts.
std::string WSocketTrim(const std::string& s);

enum TSocketState {
    wsInvalidState,   // never entered in normal use
    wsOpened,         // socket created, not yet connecting
    wsBound,          // bound to a local address (server and datagram use)
    wsConnecting,     // connect issued, waiting for the connect notification
    wsSocksConnected, // never entered here; Send accepts it like wsConnected
    wsConnected,      // connected; data may flow
    wsAccepting,      // server use
    wsListening,      // server use
    wsClosed          // no socket: the initial and final state
};

enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

// A set of TWSocketOption values.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
        for (TWSocketOption o : options)
            FBits |= Bit(o);
    }
    constexpr bool Contains(TWSocketOption o) const { return (FBits & Bit(o)) != 0; }
    constexpr void Include(TWSocketOption o) { FBits |= Bit(o); }
    constexpr void Exclude(TWSocketOption o) { FBits &= ~Bit(o); }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr unsigned Bit(TWSocketOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned FBits = 0;
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };

using TDnsLookupDone = std::function<void(TComponent* Sender, WORD ErrCode)>;
using TSessionConnected = std::function<void(TComponent* Sender, WORD ErrCode)>;
using TSessionClosed = std::function<void(TComponent* Sender, WORD ErrCode)>;
using TSessionAvailable = std::function<void(TComponent* Sender, WORD ErrCode)>;
using TDataAvailable = std::function<void(TComponent* Sender, WORD ErrCode)>;
using TDataSent = std::function<void(TComponent* Sender, WORD ErrCode)>;
using TSendData = std::function<void(TComponent* Sender, int BytesSent)>;
using TChangeState =
    std::function<void(TComponent* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = TIcsBgExceptionEvent;

// The socket's activity clock.
class TWSocketCounter {
public:
    virtual ~TWSocketCounter() = default;
    // ConnectTicks := now, ConnectedAt := now, the other two ticks := 0.
    virtual void SetConnected();
    // The greatest of the three ticks (unsigned comparison).
    DWORD LastActivityTicks() const;

    TDateTime ConnectedAt = 0;
    DWORD ConnectTicks = 0;
    DWORD LastReceiveTicks = 0;
    DWORD LastSendTicks = 0;
};

class TCustomWSocket : public TIcsWndControl {
public:
    explicit TCustomWSocket(TComponent* owner = nullptr);
    ~TCustomWSocket() override;

    // ---- properties ----
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& value);
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& value);
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& value);
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& value);
    int LastError() const { return FLastError; }
    void SetLastError(int code) { FLastError = code; }
    // Why the last Connect refused its host, port or protocol text, in the
    // resolver's words ("Winsock Resolve Port: Invalid Port."); LastError
    // holds the code. Empty when the last Connect got past them.
    const std::string& ResolveErrorText() const { return FResolveErrorText; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions value) { FComponentOptions = value; }
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff value) { FLingerOnOff = value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int value) { FLingerTimeout = value; }
    TSocketKeepAliveOnOff KeepAliveOnOff() const { return FKeepAliveOnOff; }
    void SetKeepAliveOnOff(TSocketKeepAliveOnOff value) { FKeepAliveOnOff = value; }
    int KeepAliveTime() const { return FKeepAliveTime; }
    void SetKeepAliveTime(int value) { FKeepAliveTime = value; }
    int KeepAliveInterval() const { return FKeepAliveInterval; }
    void SetKeepAliveInterval(int value) { FKeepAliveInterval = value; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags value);
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool value) { FMultiThreaded = value; }
    BYTE ReqVerLow() const;
    void SetReqVerLow(BYTE value);
    BYTE ReqVerHigh() const;
    void SetReqVerHigh(BYTE value);
    TIcsLogger* IcsLogger() const { return FIcsLogger; }
    virtual void SetIcsLogger(TIcsLogger* logger);
    int BufSize() const;
    virtual void SetBufSize(int value);
    // setsockopt SO_RCVBUF / SO_SNDBUF on the open socket.
    void SetSocketRcvBufSize(int value);
    void SetSocketSndBufSize(int value);
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool value) { FMultiCast = value; }
    const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& value) { FMultiCastAddrStr = value; }
    int MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int value) { FMultiCastIpTTL = value; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool value) { FReuseAddr = value; }
    int ListenBacklog() const { return FListenBacklog; }
    void SetListenBacklog(int value) { FListenBacklog = value; }
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int value) { FFlushTimeout = value; }

    // ---- read-only state ----
    TSocketState State() const { return FState; }
    winsock::SOCKET HSocket() const { return FHSocket; }
    const std::string& LookupResult() const { return FLookupResult; }
    const std::vector<std::string>& LookupResults() const { return FLookupResults; }
    std::uint64_t TotalReceived() const { return FTotalReceived; }
    std::uint64_t TotalSent() const { return FTotalSent; }
    TWSocketCounter* ActivityCounter() const { return FCounter.get(); }
    bool AllSent() const { return FSendBufferEmpty; }
    bool Paused() const { return FNoticesPaused; }
    TIcsBufferHandler* OutQueue() const { return FBufHandler.get(); }
    // Message numbers taken from the hidden window (0 while detached).
    UINT NetEventMessage() const { return FMsg_WM_ASYNCSELECT; }
    UINT LookupDoneMessage() const { return FMsg_WM_ASYNCGETHOSTBYNAME; }
    UINT CloseLaterMessage() const { return FMsg_WM_CLOSE_DELAYED; }
    UINT TestExceptionMessage() const { return FMsg_WM_WSOCKET_RELEASE_TEST; }
    UINT LineDataMessage() const { return FMsg_WM_TRIGGER_DATA_AVAILABLE; }

    // ---- operations ----
    virtual void Connect();
    virtual void Close();
    virtual void CloseLater();
    virtual void Abort();
    // Waits, servicing messages, until the send buffer is empty or the socket is gone.
    virtual void Flush();
    virtual void Shutdown(int how);
    virtual int Receive(void* buffer, int size);
    virtual std::string ReceiveText();
    virtual int PendingReadCount();
    // Counts bytes the network took from the system's send queue since the
    // last call as send activity (LastSendTicks := now). Only the activity
    // counter is touched; nothing is reported.
    void NoteSendProgress();
    // Queues and writes; returns the length accepted (bytes may still wait in
    // the buffer), -1 when not connected.
    virtual int Send(const void* data, int len);
    int SendText(const std::string& text);
    int SendByte(BYTE value);
    virtual void QueueForSend(const void* data, int len);
    virtual void TryToSend();
    virtual int SendNow(const void* data, int len);
    virtual void DnsLookup(const std::string& hostName);
    // Server use: binds to LocalAddr and LocalPort and listens; OnSessionAvailable
    // announces each connection waiting, which Accept takes (INVALID_SOCKET on failure).
    virtual void Listen();
    virtual winsock::SOCKET Accept();
    virtual void CancelLookup();
    virtual void Pause();
    virtual void Resume();
    virtual void MakeCounter();
    // Remote and local ends, readable only in the states that have them.
    std::string PeerAddress();
    std::string GetPeerPort();
    int GetPeerName(winsock::SOCKADDR_IN& name, int namelen);
    std::string LocalPortText();
    std::string LocalAddressText();

    void AttachToThread() override;
    void DetachFromThread() override;

    // ---- events ----
    TDnsLookupDone OnDnsLookupDone;
    TSessionConnected OnSessionConnected;
    TDataAvailable OnDataAvailable;
    TSendData OnSendData;
    TDataSent OnDataSent;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TNotifyEvent OnError;
    TSessionAvailable OnSessionAvailable;

protected:
    void HandleMessage(TIcsMessage& msg) override;
    void HandleEscapedException(Exception& E) override;
    int RequiredMessageCount() override { return 7; }
    void AllocateMessages() override;
    void FreeMessages() override;
    void EmergencyStop() override;
    void Notification(TComponent* component, TOperation operation) override;

    virtual void WriteLog(TLogOption level, const std::string& text);
    virtual bool LogEnabled(TLogOption level) const;
    virtual void ResetDefaults();
    virtual void FinishClose(bool doShutdown, WORD error);
    virtual void AbortWithError(WORD error);
    // False when binding failed (already reported).
    virtual bool BindLocal();
    virtual void ReportError(const std::string& text);
    // Reports a resolver's refusal `E` of a text, with the code it left as
    // the thread's Windows Sockets error.
    void ReportResolveFailure(const std::string& prefix, const Exception& E);
    void SetTarget(const std::string& value, const char* property, std::string& text,
                   bool& assigned, bool& resolved);
    // Reports the calling thread's Windows Sockets error for `operation`.
    virtual void SocketFailure(const std::string& operation);
    virtual bool FireDataAvailable(WORD error);
    virtual void FireSessionAvailable(WORD error);
    virtual void ConnectDone(WORD error);
    virtual void FireSessionConnected(WORD error);
    virtual void FireSessionClosed(WORD error);
    virtual void TriggerDataSent(WORD error);
    virtual void FireChangeState(TSocketState oldState, TSocketState newState);
    virtual void FireDnsLookupDone(WORD error);
    virtual void FireError();
    virtual int RecvRaw(void* buffer, int size, int flags);
    virtual void HandleConnectNotice(TIcsMessage& msg);
    virtual void HandleReadNotice(TIcsMessage& msg);
    virtual void HandleWriteNotice(TIcsMessage& msg);
    virtual void HandleAcceptNotice(TIcsMessage& msg);
    virtual void HandleCloseNotice(TIcsMessage& msg);
    virtual void HandleLookupDone(TIcsMessage& msg);
    virtual std::unique_ptr<TWSocketCounter> CreateCounter();
    // Received bytes a layer above holds for OnDataAvailable (the read loop
    // goes on while there are some, as it does while the network has more).
    virtual int HeldByteCount() { return 0; }
    // Resets the counter and the byte counts and enters wsConnected (server use).
    virtual void AdoptConnected();

    // Enters a state; a change fires OnChangeState.
    void ChangeState(TSocketState newState);
    // OnDataAvailable while bytes can be read, at most a few times per
    // notice unless toTheEnd (the close notice: no read notice follows it).
    void ReadLoop(WORD error, TWSocketOptions options, bool toTheEnd = false);
    // The steps of Connect, in order. Each returns false when it reported a
    // failure and the connect stops there.
    bool CheckConnectSettings();
    bool ResolveTarget();
    bool OpenSocket(); // the socket and its system buffer sizes; wsOpened
    bool ApplyStreamOptions();
    bool PrepareDatagram();
    void StartConnecting(); // the non-blocking connect; wsConnecting
    // setsockopt on the socket; a refusal is reported as the failure of
    // `operation` and gives false.
    template <class T> bool SetOption(int level, int option, const T& value, const char* operation);
    bool ApplyLinger();
    bool ApplyKeepAlive();
    void HandleNetEvent(TIcsMessage& msg);
    void EmptySendBuffer();
    bool IsStream() const { return FSocketType == winsock::SOCK_STREAM; }
    std::string ComponentAddressHex() const;

    winsock::SOCKET FHSocket = winsock::INVALID_SOCKET;
    TSocketState FState = wsClosed;
    int FAddressFamily = winsock::PF_INET;
    int FSocketType = winsock::SOCK_STREAM;
    int FProtoNumber = winsock::IPPROTO_TCP;
    WORD FPortNumber = 0;
    WORD FLocalPortNumber = 0;
    winsock::SOCKADDR_IN FRemoteSockAddr{};
    bool FHasAddr = false, FHasPort = false, FHasProto = true;
    bool FAddrResolved = false, FPortResolved = false, FProtoResolved = false,
         FLocalPortResolved = false;
    long FEventMask = 0;
    bool FSendBufferEmpty = true;
    bool FNoticesPaused = false;
    // Connect and close notices dropped while paused (lParam each): they are
    // posted once, so Resume posts them again.
    std::vector<LPARAM> FNoticesHeld;
    bool FCloseInvoked = false; // OnSessionClosed already fired for this connection
    bool FSendFailed = false;   // the connection refused a send; its close notice is posted
    std::uint64_t FTotalReceived = 0, FTotalSent = 0;
    HANDLE FLookupTask = nullptr;
    alignas(8) char FLookupBuffer[1025] = {};
    bool FEarlyLookupReplyValid = false;
    TIcsMessage FEarlyLookupReply{};
    std::string FLookupResult;
    std::vector<std::string> FLookupResults;
    std::unique_ptr<TIcsBufferHandler> FBufHandler;
    std::unique_ptr<TWSocketCounter> FCounter;
    int FLastError = 0;
    winsock::u_long FLastUnsent = 0;    // the system's unsent count at the last NoteSendProgress
    std::uint64_t FSentAtLastCheck = 0; // FTotalSent then
    std::string FResolveErrorText;
    int FSndBufSize = 0, FRcvBufSize = 0; // system buffer sizes read at connect

    UINT FMsg_WM_ASYNCSELECT = 0;
    UINT FMsg_WM_ASYNCGETHOSTBYNAME = 0;
    UINT FMsg_WM_ASYNCGETHOSTBYADDR = 0;
    UINT FMsg_WM_CLOSE_DELAYED = 0;
    UINT FMsg_WM_WSOCKET_RELEASE_TEST = 0;
    UINT FMsg_WM_TRIGGER_DATA_AVAILABLE = 0;

private:
    std::string FAddrStr, FPortStr, FProtoStr = "tcp";
    std::string FLocalAddr = "0.0.0.0", FLocalPortStr = "0";
    TWSocketOptions FComponentOptions;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    TSocketKeepAliveOnOff FKeepAliveOnOff = wsKeepAliveOff;
    int FKeepAliveTime = 0, FKeepAliveInterval = 0;
    int FSendFlags = 0; // the flags value handed to send: 0 or MSG_OOB
    bool FMultiThreaded = false;
    TIcsLogger* FIcsLogger = nullptr;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    int FListenBacklog = 5;
    int FFlushTimeout = 60;
    bool FSocketCounted = false;
};

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
// The SOCKS protocol spoken with the server. The property SocksLevel keeps
// the texts callers set and read: "4", "4A" and "5".
enum class TSocksLevel { Socks4, Socks4A, Socks5 };
// How far a SOCKS negotiation has come: which answer the socket waits for.
enum class TSocksPhase {
    None,          // no negotiation: the bytes are the application's
    MethodChoice,  // the connection to the server, then its SOCKS 5 method choice
    AuthAnswer,    // the verdict on the SOCKS 5 user name and password
    ConnectAnswer, // the answer to the connect request: the target reached or not
};
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };
using TSocksErrorEvent = std::function<void(TComponent* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TComponent* Sender, TSocksAuthState AuthState)>;

// Reaches the target through a SOCKS 4, 4A or 5 server. With SocksServer set,
// Connect connects to the SOCKS server; State is wsConnected from then on,
// but OnSessionConnected waits until the server has connected the target.
// A failed negotiation reaches the application three times, in this order:
// OnSocksError (code, text), OnSessionConnected (code), OnSessionClosed
// (code), with the codes of SocksError (20001 to 20017). While SocksServer is empty every
// call and event passes straight through. Every close clears SocksServer,
// SocksPort and SocksLevel: they are set before every Connect.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TComponent* owner = nullptr) : TCustomWSocket(owner) {}

    const std::string& SocksServer() const { return FSocksServer; }
    void SetSocksServer(const std::string& value);
    const std::string& SocksPort() const { return FSocksPort; }
    void SetSocksPort(const std::string& value);
    // "4", "4A" or "5"; setting "4a" stores "4A".
    std::string SocksLevel() const;
    void SetSocksLevel(const std::string& value);
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& value) { FSocksUsercode = value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& value) { FSocksPassword = value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication value) { FSocksAuthentication = value; }

    TSocksPhase SocksPhase() const { return FSocksPhase; }
    // Reply bytes gathered so far in the current phase.
    int SocksReplyLen() const { return FSocksReply.Len(); }
    // The method offered in the SOCKS 5 greeting: Socks5MethodNone or
    // Socks5MethodUsercode.
    int SocksMethodOffered() const { return FSocksMethodOffered; }
    // Address (dotted or a name) and port the SOCKS 5 server reported.
    const std::string& SocksBoundAddr() const { return FSocksBoundAddr; }
    const std::string& SocksBoundPort() const { return FSocksBoundPort; }

    void Connect() override;
    void Listen() override;
    // Bytes that came after the server's final reply are served first.
    int PendingReadCount() override;

    // The TCP connection to the SOCKS server was made (0) or failed.
    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void ResetDefaults() override;
    void ConnectDone(WORD error) override;
    bool FireDataAvailable(WORD error) override;
    int RecvRaw(void* buffer, int size, int flags) override;
    void TriggerDataSent(WORD error) override;
    void HandleCloseNotice(TIcsMessage& msg) override;
    void FireSessionClosed(WORD error) override;
    int HeldByteCount() override { return FSocksLeftoverCount; }

private:
    bool IsSocks4() const { return FSocksLevel != TSocksLevel::Socks5; }
    void SocksDataAvailable(WORD error);
    void SendSocks4Request();
    void SendSocks5Greeting();
    void SendSocks5Auth();
    void SendSocks5Connect();
    // Sends a request and waits for its answer in `phase`.
    void SendSocksRequest(const std::string& request, TSocksPhase phase);
    // The reply the current phase waits for.
    TSocksReplyKind ExpectedReply() const;
    void SocksGranted(const TSocksVerdict& verdict);
    // OnSocksError, OnSessionConnected, then the close, all with `code`.
    void SocksFailure(int code, const std::string& text);
    void FireSocksAuthState(TSocksAuthState state);

    std::string FSocksServer, FSocksPort, FSocksUsercode, FSocksPassword;
    TSocksLevel FSocksLevel = TSocksLevel::Socks5;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    TSocksPhase FSocksPhase = TSocksPhase::None;
    TSocksReplyReader FSocksReply;
    // Bytes after the final reply, kept in the reply buffer: the application's.
    int FSocksLeftoverOffset = 0, FSocksLeftoverCount = 0;
    int FSocksMethodOffered = Socks5MethodNone;
    std::string FSocksBoundAddr, FSocksBoundPort;
};

// Line mode: with LineMode on, OnDataAvailable fires once per line (the
// terminator LineEnd included), and Receive and PendingReadCount in the
// handler see only that line. Bytes without a terminator are held until the
// rest arrives; past LineLimit held bytes, OnLineLimitExceeded decides
// whether they are dropped. When the connection closes, held bytes are
// offered as a last line before OnSessionClosed. With LineMode off (the
// default) everything passes straight through.
using TLineLimitEvent = std::function<void(TComponent* Sender, int RcvdLength, bool& ClearData)>;

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TComponent* owner = nullptr) : TCustomSocksWSocket(owner) {}

    bool LineMode() const { return FLineMode; }
    // Switching while bytes are held has them delivered from the message
    // loop, in the new mode.
    void SetLineMode(bool value);
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& value) { FLineEnd = value; }
    int LineLimit() const { return FLineLimit; }
    void SetLineLimit(int value) { FLineLimit = value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool value) { FLineEcho = value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool value) { FLineEdit = value; }
    // Bytes held now, and the length of the line being delivered.
    int LineBufferLen() const { return FLineBuffer.Len(); }
    int LineLength() const { return FLineLength; }

    int Receive(void* buffer, int size) override;
    int PendingReadCount() override;
    // Sends `line` and LineEnd: the bytes of both, -1 when the terminator
    // could not be sent, or the text's own result when that is below 0.
    int SendLine(const std::string& line);

    TLineLimitEvent OnLineLimitExceeded;

protected:
    void HandleMessage(TIcsMessage& msg) override;
    void ResetDefaults() override;
    bool FireDataAvailable(WORD error) override;
    void FireSessionClosed(WORD error) override;
    int HeldByteCount() override;
    // Room for `extra` more held bytes; throws std::bad_alloc when memory
    // runs out (a socket error, see ReadLines).
    virtual char* ReserveLineBuffer(int extra);

private:
    // Line mode in effect (a terminator to look for).
    bool LineAssembling() const { return FLineMode && !FLineEnd.empty(); }
    // One read into the held bytes, then delivery of every complete line,
    // searching all held bytes or only from where the last search ended.
    // False when nothing could be read and nothing is held.
    bool ReadLines(WORD error, bool searchAll);
    // Delivers the complete lines held, searching from `from`; true when at
    // least one was found.
    bool DeliverLines(WORD error, int from);
    // Offers the line at the front (FLineLength bytes) to OnDataAvailable.
    void OfferLine(WORD error);
    // Offers held bytes to OnDataAvailable as plain data (line mode off).
    void OfferHeldBytes(WORD error);
    void CheckLineLimit();
    void HandleLineData();
    void LineBufferFailure();
    void FreeLineBuffer();

    bool FLineMode = false;
    std::string FLineEnd = "\r\n";
    int FLineLimit = 65536;
    bool FLineEcho = false, FLineEdit = false;
    TLineBuffer FLineBuffer;
    int FLineLength = 0; // bytes of the line being delivered left to read
    bool FLineDelivering = false;
    bool FLimitHit = false;
    unsigned FLineBufferGeneration = 0; // changes whenever the held bytes are freed
};

// Adds a blocking wait that services messages.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* owner = nullptr) : TCustomLineWSocket(owner) {}
    // Services messages until *flag becomes nonzero (result 0), or until
    // timeoutMs (when above 0) passes or the quit message was seen (12001).
    int WaitUntilReady(const int* flag, int timeoutMs);
};

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TComponent* owner = nullptr) : TCustomSyncWSocket(owner) {}
};

// TCustomSocksWSocket: reaching the target through a SOCKS 4, 4A or 5 server.
//
// Connect connects to the SOCKS server instead of the target. When that TCP
// connection is made, the request goes out (SOCKS 4/4A) or the greeting
// (SOCKS 5: method choice, optional user name/password, then the connect
// request). Until the server's final reply every read notice is consumed
// here; only then does OnSessionConnected tell the application that its
// target is connected.
#include "net/socket/wsocket.h"

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace winsock;

namespace {

std::string PortBytes(WORD port) {
    return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

bool IsTcp(const std::string& proto) {
    std::string p = proto;
    std::transform(p.begin(), p.end(), p.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return p == "tcp" || p == "6";
}

// One length byte carries a SOCKS 5 name, user name or password.
constexpr size_t Socks5MaxField = 255;

// The texts of SocksLevel as callers set and read them ("4a" is taken as "4A").
struct LevelName {
    TSocksLevel Level;
    const char* Text;
};
constexpr LevelName LevelNames[] = {
    {TSocksLevel::Socks4, "4"}, {TSocksLevel::Socks4A, "4A"}, {TSocksLevel::Socks5, "5"}};

} // namespace

// ---- properties ------------------------------------------------------------------

void TCustomSocksWSocket::SetSocksServer(const std::string& value) {
    if (State() != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = WSocketTrim(value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
    if (State() != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = WSocketTrim(value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value) {
    if (State() != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    const std::string upper = value == "4a" ? std::string("4A") : value;
    for (const LevelName& n : LevelNames) {
        if (upper == n.Text) {
            FSocksLevel = n.Level;
            return;
        }
    }
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
}

std::string TCustomSocksWSocket::SocksLevel() const {
    for (const LevelName& n : LevelNames)
        if (n.Level == FSocksLevel)
            return n.Text;
    return {};
}

void TCustomSocksWSocket::ResetDefaults() {
    TCustomWSocket::ResetDefaults();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = TSocksLevel::Socks5;
    FSocksPhase = TSocksPhase::None;
    FSocksReply.Reset();
    FSocksLeftoverOffset = 0;
    FSocksLeftoverCount = 0;
}

// ---- connecting ------------------------------------------------------------------

void TCustomSocksWSocket::Connect() {
    FResolveErrorText.clear();
    // A socket in use and missing settings are refused by the normal
    // Connect, with its own texts, before anything here changes.
    if (FSocksServer.empty() || (FHSocket != INVALID_SOCKET && State() != wsClosed) || !FHasPort ||
        !FHasAddr || !FHasProto) {
        TCustomWSocket::Connect();
        return;
    }
    if (!IsTcp(Proto())) {
        ReportError("TCP is the only protocol supported thru socks server");
        return;
    }
    WORD socksPort = 0, targetPort = 0;
    winsock::u_long socksAddr = 0;
    try {
        socksPort = WSocketResolvePort(FSocksPort, "tcp");
        socksAddr = WSocketResolveHost(FSocksServer);
        targetPort = WSocketResolvePort(Port(), "tcp");
    } catch (const Exception& E) {
        ReportResolveFailure("Connect: ", E);
        return;
    }
    // The socket connects to the SOCKS server; the target's port is kept for
    // the request and its name goes to the server as it is.
    FRemoteSockAddr.sin_port = WSocket_htons(socksPort);
    FRemoteSockAddr.sin_addr.s_addr = socksAddr;
    FPortNumber = targetPort;
    FPortResolved = true;
    FAddrResolved = true;
    FSocksPhase = TSocksPhase::MethodChoice;
    FSocksReply.Reset();
    FSocksLeftoverOffset = 0;
    FSocksLeftoverCount = 0;
    FSocksMethodOffered = Socks5MethodNone;
    FSocksBoundAddr.clear();
    FSocksBoundPort.clear();
    // A connect that did not start must not leave the SOCKS server's address
    // standing as the target's.
    auto abandon = [this] {
        FSocksPhase = TSocksPhase::None;
        FPortResolved = false;
        FAddrResolved = false;
    };
    try {
        TCustomWSocket::Connect();
    } catch (...) {
        abandon();
        throw;
    }
    if (State() != wsConnecting && State() != wsConnected)
        abandon();
}

void TCustomSocksWSocket::Listen() {
    if (!FSocksServer.empty()) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::ConnectDone(WORD error) {
    // Waiting for the method choice here means the TCP connection to the
    // SOCKS server: this runs once per connection, before anything was sent.
    if (FSocksPhase != TSocksPhase::MethodChoice) {
        TCustomWSocket::ConnectDone(error);
        return;
    }
    const SOCKET s = FHSocket;
    if (OnSocksConnected)
        OnSocksConnected(this, error);
    if (FHSocket != s)
        return; // closed by the handler
    if (error != 0) {
        FSocksPhase = TSocksPhase::None;
        TCustomWSocket::ConnectDone(error);
        return;
    }
    if (IsSocks4()) {
        SendSocks4Request();
        return;
    }
    // What cannot be written in the request's one length byte is refused
    // before anything is sent: a longer name would be cut or overrun.
    if (Addr().size() > Socks5MaxField) {
        SocksFailure(SocksError::AddressTypeNotSupported, "address type not supported");
        return;
    }
    if (FSocksAuthentication == socksAuthenticateUsercode &&
        (FSocksUsercode.size() > Socks5MaxField || FSocksPassword.size() > Socks5MaxField)) {
        SocksFailure(SocksError::AuthenticationFailed, "socks authentication failed");
        return;
    }
    SendSocks5Greeting();
}

// ---- requests ----------------------------------------------------------------------

void TCustomSocksWSocket::SendSocksRequest(const std::string& request, TSocksPhase phase) {
    FSocksPhase = phase;
    FSocksReply.Reset();
    Send(request.data(), static_cast<int>(request.size()));
}

void TCustomSocksWSocket::SendSocks4Request() {
    // The user id and the 4A name end with a 0 byte: one inside would end
    // the field early and have the rest read as the next one.
    if (FSocksUsercode.find('\0') != std::string::npos) {
        SocksFailure(SocksError::AuthenticationFailed, "authentification failed");
        return;
    }
    if (FSocksLevel == TSocksLevel::Socks4A && Addr().find('\0') != std::string::npos) {
        SocksFailure(SocksError::AddressTypeNotSupported, "address type not supported");
        return;
    }
    std::string request{4, 1};
    request += PortBytes(FPortNumber);
    winsock::u_long target = 0;
    if (FSocksLevel == TSocksLevel::Socks4A) {
        // 0.0.0.1: the name follows the user id and the server resolves it.
        target = WSocket_htonl(1);
    } else {
        try {
            target = WSocketResolveHost(Addr());
        } catch (const Exception& E) {
            SocksFailure(SocksError::HostResolveFailed,
                         std::string(E.ClassName()) + " " + E.Message());
            return;
        }
    }
    request.append(reinterpret_cast<const char*>(&target), 4);
    request += FSocksUsercode;
    request += '\0';
    if (FSocksLevel == TSocksLevel::Socks4A) {
        request += Addr();
        request += '\0';
    }
    SendSocksRequest(request, TSocksPhase::ConnectAnswer);
}

void TCustomSocksWSocket::SendSocks5Greeting() {
    FSocksMethodOffered =
        FSocksAuthentication == socksAuthenticateUsercode ? Socks5MethodUsercode : Socks5MethodNone;
    SendSocksRequest({5, 1, static_cast<char>(FSocksMethodOffered)}, TSocksPhase::MethodChoice);
}

void TCustomSocksWSocket::SendSocks5Auth() {
    // The server may ask for user name/password although none was offered.
    if (FSocksUsercode.size() > Socks5MaxField || FSocksPassword.size() > Socks5MaxField) {
        SocksFailure(SocksError::AuthenticationFailed, "socks authentication failed");
        return;
    }
    FireSocksAuthState(socksAuthStart);
    std::string request{1, static_cast<char>(FSocksUsercode.size())};
    request += FSocksUsercode;
    request += static_cast<char>(FSocksPassword.size());
    request += FSocksPassword;
    SendSocksRequest(request, TSocksPhase::AuthAnswer);
}

void TCustomSocksWSocket::SendSocks5Connect() {
    // The target name always goes to the server, which resolves it.
    std::string request{5, 1, 0, 3, static_cast<char>(Addr().size())};
    request += Addr();
    request += PortBytes(FPortNumber);
    SendSocksRequest(request, TSocksPhase::ConnectAnswer);
}

// ---- replies -----------------------------------------------------------------------

bool TCustomSocksWSocket::FireDataAvailable(WORD error) {
    if (FSocksPhase == TSocksPhase::None)
        return TCustomWSocket::FireDataAvailable(error);
    SocksDataAvailable(error);
    return true;
}

void TCustomSocksWSocket::SocksDataAvailable(WORD error) {
    if (error != 0) {
        SocksFailure(error, "data receive error");
        return;
    }
    if (FSocksPhase == TSocksPhase::MethodChoice && IsSocks4()) {
        SocksFailure(SocksError::ProtocolError, "TWSocket logic error");
        return;
    }
    const TSocksReplyKind kind = ExpectedReply();
    const int room = FSocksReply.Room(kind);
    if (room > 0) {
        const int n = TCustomWSocket::Receive(FSocksReply.WritePos(), room);
        if (n <= 0)
            return; // nothing yet, or the close notice follows
        FSocksReply.Added(n);
    }
    const TSocksVerdict verdict = FSocksReply.Judge(kind);
    if (verdict.Outcome == TSocksVerdict::NeedMore)
        return;
    if (verdict.Outcome == TSocksVerdict::Failed) {
        SocksFailure(verdict.Code, verdict.Text);
        return;
    }
    if (FSocksPhase == TSocksPhase::MethodChoice) {
        if (verdict.Method == Socks5MethodUsercode) {
            SendSocks5Auth();
            return;
        }
        if (FSocksMethodOffered == Socks5MethodUsercode)
            FireSocksAuthState(socksAuthNotRequired);
        SendSocks5Connect();
    } else if (FSocksPhase == TSocksPhase::AuthAnswer) {
        FireSocksAuthState(socksAuthSuccess);
        SendSocks5Connect();
    } else {
        SocksGranted(verdict);
    }
}

TSocksReplyKind TCustomSocksWSocket::ExpectedReply() const {
    if (FSocksPhase == TSocksPhase::MethodChoice)
        return TSocksReplyKind::MethodChoice;
    if (FSocksPhase == TSocksPhase::AuthAnswer)
        return TSocksReplyKind::AuthAnswer;
    return IsSocks4() ? TSocksReplyKind::Socks4Connect : TSocksReplyKind::Socks5Connect;
}

void TCustomSocksWSocket::SocksGranted(const TSocksVerdict& verdict) {
    FSocksPhase = TSocksPhase::None;
    FSocksBoundAddr = verdict.BoundAddr;
    FSocksBoundPort = verdict.BoundPort;
    // Bytes after the reply are the target's first data.
    FSocksLeftoverOffset = verdict.ReplyLen;
    FSocksLeftoverCount = FSocksReply.Len() - verdict.ReplyLen;
    const SOCKET s = FHSocket;
    ConnectDone(0);
    if (FHSocket == s && FSocksLeftoverCount > 0)
        FireDataAvailable(0);
}

void TCustomSocksWSocket::SocksFailure(int code, const std::string& text) {
    const SOCKET s = FHSocket;
    const bool authenticating = FSocksPhase == TSocksPhase::AuthAnswer;
    // The phase ends first, so a handler that closes the socket is not told
    // of the failure a second time.
    FSocksPhase = TSocksPhase::None;
    FSocksLeftoverCount = 0;
    if (authenticating)
        FireSocksAuthState(socksAuthFailure);
    if (OnSocksError && FHSocket == s)
        OnSocksError(this, code, text);
    if (FHSocket != s)
        return;
    TCustomWSocket::ConnectDone(static_cast<WORD>(code));
    if (FHSocket == s && State() != wsClosed)
        FinishClose(true, static_cast<WORD>(code));
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState state) {
    if (OnSocksAuthState)
        OnSocksAuthState(this, state);
}

// ---- what the application sees ---------------------------------------------------------

int TCustomSocksWSocket::RecvRaw(void* buffer, int size, int flags) {
    if (FSocksLeftoverCount <= 0 || size <= 0)
        return TCustomWSocket::RecvRaw(buffer, size, flags);
    const int n = std::min(size, FSocksLeftoverCount);
    std::memcpy(buffer, FSocksReply.Data() + FSocksLeftoverOffset, static_cast<size_t>(n));
    if (!(flags & MSG_PEEK)) {
        FSocksLeftoverOffset += n;
        FSocksLeftoverCount -= n;
    }
    return n;
}

int TCustomSocksWSocket::PendingReadCount() {
    if (FSocksLeftoverCount > 0)
        return FSocksLeftoverCount;
    return TCustomWSocket::PendingReadCount();
}

void TCustomSocksWSocket::TriggerDataSent(WORD error) {
    // The requests are the negotiation's own: the application sent nothing.
    if (FSocksPhase != TSocksPhase::None)
        return;
    TCustomWSocket::TriggerDataSent(error);
}

void TCustomSocksWSocket::HandleCloseNotice(TIcsMessage& msg) {
    if (FSocksPhase == TSocksPhase::None || FHSocket == INVALID_SOCKET || State() == wsConnecting) {
        TCustomWSocket::HandleCloseNotice(msg);
        return;
    }
    // The last bytes may still complete the negotiation (or fail it).
    const SOCKET s = FHSocket;
    TWSocketOptions options = ComponentOptions();
    options.Exclude(wsoNoReceiveLoop);
    ReadLoop(0, options, true);
    if (FHSocket != s)
        return;
    if (FSocksPhase != TSocksPhase::None) {
        // The server ended the connection before the target was reached: the
        // application is told the connect failed rather than seeing a close
        // of a session it never had.
        const WORD error = WSAGETSELECTERROR(msg.LParam);
        if (error != 0)
            SocksFailure(error, "data receive error");
        else
            SocksFailure(WSAECONNRESET, "connection closed by socks server");
        return;
    }
    TCustomWSocket::HandleCloseNotice(msg);
}

void TCustomSocksWSocket::FireSessionClosed(WORD error) {
    // A close of our own while the server judges the credentials.
    if (FSocksPhase == TSocksPhase::AuthAnswer) {
        FSocksPhase = TSocksPhase::None;
        FireSocksAuthState(socksAuthFailure);
    }
    TCustomWSocket::FireSessionClosed(error);
}

// Reading a SOCKS server's replies. The reader gathers the bytes of one reply
// in a buffer sized for the longest legal reply and judges them once enough
// have arrived, so any split of a reply across reads gives the same verdict.
// Nothing here touches the network: the socket reads into WritePos(), tells
// the reader how much arrived and acts on the verdict.
#pragma once

#include <string>

// The longest legal reply: a SOCKS 5 connect answer naming a bound domain
// name of 255 bytes (version, code, reserved, type, length, name, port).
constexpr int SocksReplyBufferSize = 4 + 1 + 255 + 2;

// The SOCKS layer's own error codes. They lie above every Windows Sockets
// code, so the handler of OnSocksError, OnSessionConnected or OnSessionClosed
// can tell a refusal by the SOCKS server from a network failure.
namespace SocksError {
constexpr int ProtocolError = 20001; // a reply longer than asked for, or out of turn
constexpr int VersionError = 20002;  // a reply of another SOCKS version
constexpr int MethodNotAcceptable = 20003;
// SOCKS 5 reply codes 1 to 8, in their order.
constexpr int GeneralFailure = 20004;
constexpr int NotAllowedByRuleset = 20005;
constexpr int NetworkUnreachable = 20006;
constexpr int HostUnreachable = 20007;
constexpr int ConnectionRefused = 20008; // also SOCKS 4 code 92
constexpr int TtlExpired = 20009;
constexpr int CommandNotSupported = 20010;
constexpr int AddressTypeNotSupported = 20011; // also a name or address we cannot send
constexpr int Unassigned = 20012;              // a reply code no standard gives
constexpr int AuthenticationFailed = 20015;    // refused credentials, or ones we cannot send
constexpr int RequestRejected = 20016;         // SOCKS 4 code 91
constexpr int HostResolveFailed = 20017;       // SOCKS 4: the target name did not resolve here
constexpr int First = ProtocolError;
constexpr int Last = HostResolveFailed;
} // namespace SocksError

// SOCKS 5 authentication methods, as offered and chosen on the wire.
constexpr int Socks5MethodNone = 0;
constexpr int Socks5MethodUsercode = 2; // user name and password

// Which answer the socket is waiting for.
enum class TSocksReplyKind {
    MethodChoice,  // SOCKS 5: version and chosen method (2 bytes)
    AuthAnswer,    // SOCKS 5 user name/password: version and status (2 bytes)
    Socks4Connect, // SOCKS 4/4A: 8 bytes
    Socks5Connect, // SOCKS 5: 10 bytes (IPv4), 22 (IPv6) or 7 + name length (domain name)
};

struct TSocksVerdict {
    enum TOutcome {
        NeedMore, // the reply is not complete yet
        Accepted, // method chosen, authenticated, or connect granted
        Failed,   // Code and Text say why
    };
    TOutcome Outcome = NeedMore;
    int Code = 0;
    std::string Text;
    int Method = 0;        // MethodChoice: the method the server chose
    int ReplyLen = 0;      // bytes of the reply; the rest belongs to the application
    std::string BoundAddr; // Socks5Connect: dotted address, IPv6 text or the name
    std::string BoundPort; // Socks5Connect: decimal
};

class TSocksReplyReader {
public:
    void Reset() { FLen = 0; }
    int Len() const { return FLen; }
    const unsigned char* Data() const { return FBuf; }
    // How many bytes the next read may take: exactly the rest of the 8 bytes
    // of a SOCKS 4 answer (what follows is the application's and stays in
    // the socket), otherwise whatever still fits.
    int Room(TSocksReplyKind kind) const;
    unsigned char* WritePos() { return FBuf + FLen; }
    // Records `n` bytes written at WritePos(); never more than Room().
    void Added(int n);
    TSocksVerdict Judge(TSocksReplyKind kind) const;

private:
    TSocksVerdict JudgeMethodChoice() const;
    TSocksVerdict JudgeAuthAnswer() const;
    TSocksVerdict JudgeSocks4() const;
    TSocksVerdict JudgeSocks5() const;

    unsigned char FBuf[SocksReplyBufferSize] = {};
    int FLen = 0;
};

// The failure texts of the SOCKS layer's own codes.
TSocksVerdict SocksFailure(int code, std::string text);

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

// The SOCKS reply reader fed arbitrary replies in arbitrary pieces: it never
// reads or writes outside its buffer, a verdict never claims more bytes than
// arrived, and for the connect answers any split gives the verdict the whole
// reply gives.
//
// Input: byte 0 picks the answer awaited, byte 1 the piece size, the rest is
// what the server sends.
#include "net/socket/socksreply.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

TSocksVerdict Feed(TSocksReplyKind kind, const std::uint8_t* data, size_t size, size_t piece) {
    TSocksReplyReader reader;
    size_t pos = 0;
    TSocksVerdict verdict;
    for (;;) {
        const int room = reader.Room(kind);
        if (room < 0 || room > SocksReplyBufferSize - reader.Len())
            std::abort();
        const size_t n = std::min({static_cast<size_t>(room), piece, size - pos});
        std::memcpy(reader.WritePos(), data + pos, n);
        reader.Added(static_cast<int>(n));
        pos += n;
        verdict = reader.Judge(kind);
        if (verdict.Outcome != TSocksVerdict::NeedMore || n == 0)
            break;
    }
    if (reader.Len() > SocksReplyBufferSize)
        std::abort();
    if (verdict.Outcome == TSocksVerdict::Accepted &&
        (verdict.ReplyLen < 2 || verdict.ReplyLen > reader.Len() || verdict.BoundAddr.size() > 255))
        std::abort();
    if (verdict.Outcome == TSocksVerdict::Failed &&
        (verdict.Code < SocksError::First || verdict.Code > SocksError::Last))
        std::abort();
    return verdict;
}

bool Same(const TSocksVerdict& a, const TSocksVerdict& b) {
    return a.Outcome == b.Outcome && a.Code == b.Code && a.Text == b.Text &&
           a.ReplyLen == b.ReplyLen && a.Method == b.Method && a.BoundAddr == b.BoundAddr &&
           a.BoundPort == b.BoundPort;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const auto kind = static_cast<TSocksReplyKind>(data[0] % 4);
    const size_t piece = 1 + data[1] % 16;
    data += 2;
    size -= 2;
    const TSocksVerdict whole = Feed(kind, data, size, size + 1);
    const TSocksVerdict split = Feed(kind, data, size, piece);
    const TSocksVerdict bytewise = Feed(kind, data, size, 1);
    // The two-byte answers of the negotiation must come alone (more is an
    // error), so only the connect answers are the same under any split.
    if ((kind == TSocksReplyKind::Socks4Connect || kind == TSocksReplyKind::Socks5Connect) &&
        (!Same(whole, split) || !Same(whole, bytewise)))
        std::abort();
    return 0;
}

// TCustomLineWSocket: received data delivered line by line.
//
// In line mode every read notice reads what the network has into the held
// bytes (editing and echoing them when asked), then offers each complete
// line to OnDataAvailable; inside the handler Receive and PendingReadCount
// see that line only. Bytes without a terminator wait for the next read.
#include "net/socket/wsocket.h"

#include <algorithm>
#include <new>

using namespace winsock;

namespace {

// The most one read takes into the held bytes; the read loop comes back for
// the rest, so memory grows by at most this much past LineLimit.
constexpr int MaxLineRead = 65536;

} // namespace

void TCustomLineWSocket::SetLineMode(bool value) {
    if (value == FLineMode)
        return;
    FLineMode = value;
    // What is held is delivered in the new mode from the message loop, not
    // from inside the caller (which may be an OnDataAvailable handler).
    if (!FLineBuffer.Empty())
        PostMessageA(Handle(), FMsg_WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::ResetDefaults() {
    TCustomSocksWSocket::ResetDefaults();
    FreeLineBuffer();
    FLimitHit = false;
}

void TCustomLineWSocket::FreeLineBuffer() {
    FLineBuffer.Free();
    FLineLength = 0;
    ++FLineBufferGeneration;
}

char* TCustomLineWSocket::ReserveLineBuffer(int extra) {
    return FLineBuffer.Reserve(extra);
}

void TCustomLineWSocket::LineBufferFailure() {
    // Memory ran out (a handler kept an endless line): the connection
    // cannot go on without losing data, so it ends with an error.
    FreeLineBuffer();
    FLimitHit = false;
    FLastError = WSAENOBUFS;
    AbortWithError(WSAENOBUFS);
}

int TCustomLineWSocket::HeldByteCount() {
    // A held piece of a line is not deliverable; held bytes are once line
    // mode is off.
    if (LineAssembling())
        return TCustomSocksWSocket::HeldByteCount();
    return FLineBuffer.Len() + TCustomSocksWSocket::HeldByteCount();
}

// ---- receiving ---------------------------------------------------------------------

bool TCustomLineWSocket::FireDataAvailable(WORD error) {
    if (LineAssembling() && SocksPhase() == TSocksPhase::None) {
        ReadLines(error, false);
        return true;
    }
    // Plain data (or the SOCKS negotiation): Receive serves held bytes first.
    return TCustomSocksWSocket::FireDataAvailable(error);
}

int TCustomLineWSocket::Receive(void* buffer, int size) {
    char* out = static_cast<char*>(buffer);
    if (FLineLength > 0) {
        const int n = FLineBuffer.Take(out, std::min(size, FLineLength));
        FLineLength -= n;
        return n;
    }
    if (!FLineBuffer.Empty() && !LineAssembling())
        return FLineBuffer.Take(out, size);
    return TCustomSocksWSocket::Receive(buffer, size);
}

int TCustomLineWSocket::PendingReadCount() {
    if (FLineLength > 0)
        return FLineLength;
    if (!FLineBuffer.Empty() && !LineAssembling())
        return FLineBuffer.Len();
    return TCustomSocksWSocket::PendingReadCount();
}

bool TCustomLineWSocket::ReadLines(WORD error, bool searchAll) {
    int n = TCustomSocksWSocket::PendingReadCount();
    if (n < 0)
        return false;
    if (n == 0)
        n = 255;
    n = std::min(n, MaxLineRead);
    const int old = FLineBuffer.Len();
    int got = 0;
    try {
        char* room = ReserveLineBuffer(n);
        got = TCustomSocksWSocket::Receive(room, n);
    } catch (const std::bad_alloc&) {
        LineBufferFailure();
        return false;
    }
    int from = std::max(0, old - static_cast<int>(FLineEnd.size()));
    if (got > 0) {
        std::string echo;
        from = FLineBuffer.Arrived(got, FLineEnd, FLineEdit, echo);
        if (from < 0) {
            LineBufferFailure();
            return false;
        }
        if (FLineEcho && !FLineEdit)
            echo.assign(FLineBuffer.Data() + old, static_cast<size_t>(got));
        if (FLineEcho && !echo.empty() && State() == wsConnected)
            Send(echo.data(), static_cast<int>(echo.size()));
    }
    if (got <= 0 && FLineBuffer.Empty())
        return false;
    DeliverLines(error, searchAll ? 0 : from);
    return true;
}

bool TCustomLineWSocket::DeliverLines(WORD error, int from) {
    const unsigned generation = FLineBufferGeneration;
    bool found = false;
    while (LineAssembling()) {
        const int at = FLineBuffer.Find(FLineEnd, from);
        if (at < 0) {
            CheckLineLimit();
            return found;
        }
        found = true;
        FLimitHit = false;
        FLineLength = at + static_cast<int>(FLineEnd.size());
        OfferLine(error);
        if (generation != FLineBufferGeneration)
            return found; // closed inside the handler
        if (!FLineMode) {
            // Switched off in the handler: the rest is plain data now.
            FLineLength = 0;
            OfferHeldBytes(error);
            return found;
        }
        FLineBuffer.Remove(FLineLength); // what the handler left of the line
        FLineLength = 0;
        from = 0;
    }
    return found;
}

void TCustomLineWSocket::OfferLine(WORD error) {
    if (!OnDataAvailable)
        return; // nobody reads: the line is dropped
    const unsigned generation = FLineBufferGeneration;
    FLineDelivering = true;
    try {
        while (FLineMode && FLineLength > 0) {
            const int before = FLineLength;
            TCustomWSocket::FireDataAvailable(error);
            if (generation != FLineBufferGeneration)
                break;
            // A handler that leaves the line would be offered it without
            // end: what it left is dropped.
            if (FLineLength == before)
                break;
        }
    } catch (...) {
        // The line that made the handler fail is not offered again.
        FLineDelivering = false;
        if (generation == FLineBufferGeneration) {
            FLineBuffer.Remove(FLineLength);
            FLineLength = 0;
        }
        throw;
    }
    FLineDelivering = false;
}

void TCustomLineWSocket::OfferHeldBytes(WORD error) {
    const unsigned generation = FLineBufferGeneration;
    while (!FLineBuffer.Empty() && !LineAssembling()) {
        const int before = FLineBuffer.Len();
        if (!TCustomWSocket::FireDataAvailable(error)) {
            FLineBuffer.Remove(before); // nobody reads: dropped, as from the network
            return;
        }
        if (generation != FLineBufferGeneration || FLineBuffer.Len() >= before)
            return; // closed, or kept for the handler's next Receive
    }
}

void TCustomLineWSocket::CheckLineLimit() {
    if (FLineLimit <= 0 || FLineBuffer.Len() <= FLineLimit)
        return;
    FLimitHit = true;
    bool clearData = true;
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, FLineBuffer.Len(), clearData);
    if (clearData) {
        FLineBuffer.Free();
        FLimitHit = false;
    }
}

// ---- line data message -----------------------------------------------------------------

void TCustomLineWSocket::HandleMessage(TIcsMessage& msg) {
    if (msg.Msg != 0 && msg.Msg == FMsg_WM_TRIGGER_DATA_AVAILABLE) {
        HandleLineData();
        return;
    }
    TCustomSocksWSocket::HandleMessage(msg);
}

void TCustomLineWSocket::HandleLineData() {
    // Line mode was switched while bytes were held: deliver them in the new
    // mode. In line mode each round also reads what the network has, and
    // the rounds stop after 4 without a complete line.
    int roundsWithoutLine = 0;
    while (!FLineBuffer.Empty() && FHSocket != INVALID_SOCKET && !FLineDelivering &&
           SocksPhase() == TSocksPhase::None) {
        if (LineAssembling()) {
            const unsigned generation = FLineBufferGeneration;
            const int before = FLineBuffer.Len();
            if (DeliverLines(0, 0))
                continue;
            if (++roundsWithoutLine >= 4 || generation != FLineBufferGeneration ||
                FLineBuffer.Len() != before || TCustomSocksWSocket::PendingReadCount() <= 0)
                return;
            ReadLines(0, true);
        } else {
            const int before = FLineBuffer.Len();
            OfferHeldBytes(0);
            if (FLineBuffer.Len() >= before)
                return;
        }
    }
}

void TCustomLineWSocket::FireSessionClosed(WORD error) {
    // Held bytes are offered before the close is reported: complete lines
    // first, then the rest as a last line (unless it was over the limit).
    // A handler that closed the socket while reading a line gets no more.
    if (!FLineDelivering && !FLineBuffer.Empty()) {
        if (LineAssembling()) {
            const unsigned generation = FLineBufferGeneration;
            DeliverLines(0, 0);
            if (generation == FLineBufferGeneration && !FLineBuffer.Empty() && !FLimitHit &&
                FLineMode) {
                FLineLength = FLineBuffer.Len();
                OfferLine(0);
            }
        } else {
            OfferHeldBytes(0);
        }
    }
    FreeLineBuffer();
    FLimitHit = false;
    TCustomSocksWSocket::FireSessionClosed(error);
}

// ---- sending -----------------------------------------------------------------------------

int TCustomLineWSocket::SendLine(const std::string& line) {
    // An empty line is still a line: its terminator goes out.
    const int sent = line.empty() ? 0 : SendText(line);
    if (sent < 0 || (sent == 0 && !line.empty()))
        return sent;
    if (FLineEnd.empty())
        return sent;
    if (SendText(FLineEnd) <= 0)
        return -1;
    return sent + static_cast<int>(FLineEnd.size());
}

// Content coding of response bodies. Only "identity" and "*" are known, so
// the handler passes every body slice through unchanged; decoders for other
// codings chain in here without reshaping the HTTP client.
#pragma once

#include "framework/exception.h"
#include "framework/stream.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

DECLARE_EXCEPTION_CLASS(EHttpContentCodingException, Exception)

// The process-wide list of known codings, with their quality (0 disables).
struct THttpContCodItem {
    std::string Name;
    double Quality = 1.0;
    bool Enabled = true;
};
std::vector<THttpContCodItem>& HttpContentCodings();

class THttpContCodHandler {
public:
    // Where decoded bytes go: the stream the client's DocStream refers to at
    // the time, and the client's OnDocData.
    using TStreamGetter = std::function<TStream*()>;
    using TDataSink = std::function<void(const char* data, std::int64_t len)>;
    THttpContCodHandler(TStreamGetter stream, TDataSink onData)
        : FStream(std::move(stream)), FOnData(std::move(onData)) {}

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v) { FEnabled = v; }
    bool UseQuality() const { return FUseQuality; }
    void SetUseQuality(bool v) { FUseQuality = v; }

    // The "Accept-Encoding" value; empty while disabled.
    std::string HeaderText() const;

    // Start of a body coded with `contentEncoding`; decodes only when every
    // named coding is known.
    void Prepare(const std::string& contentEncoding);
    // One body slice, as received.
    void WriteBuffer(const char* data, std::int64_t len);
    // The body is complete.
    void Complete();
    // Bytes before and after decoding of the current body.
    std::int64_t InputCount() const { return FInputCount; }
    std::int64_t OutputCount() const { return FOutputCount; }
    bool Decoding() const { return FDecoding; }

private:
    TStreamGetter FStream;
    TDataSink FOnData;
    bool FEnabled = false;
    bool FUseQuality = false;
    bool FDecoding = false;
    std::int64_t FInputCount = 0;
    std::int64_t FOutputCount = 0;
};

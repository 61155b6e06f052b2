// Content coding of response bodies: a process-wide registry of the known
// codings, one decoder class per coding, and the handler of each THttpCli
// that asks for codings ("Accept-Encoding") and chains a decoder for each
// coding a body names. "identity" and "*" pass bytes through; "gzip" and
// "deflate" are decoded by zlib as the bytes arrive, never holding a whole
// body in memory.
#pragma once

#include "framework/exception.h"
#include "framework/stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

DECLARE_EXCEPTION_CLASS(EHttpContentCodingException, Exception)

// One stage of decoding: takes coded bytes, hands decoded bytes to the next
// stage. A coding class names itself by overriding GetCoding.
class THttpContentCoding {
public:
    // Where decoded bytes go; returns false when a later stage failed.
    using TSink = std::function<bool(const char* data, std::int64_t len)>;
    explicit THttpContentCoding(TSink next) : FNext(std::move(next)) {}
    virtual ~THttpContentCoding() = default;

    // The coding's name as written in "Content-Encoding"; the base raises
    // EHttpContentCodingException "GetCoding must be overridden in <class>".
    virtual std::string GetCoding() const;
    // Decodes a piece of the body. False when the bytes cannot be decoded;
    // Error() then says why.
    virtual bool WriteBuffer(const char* data, std::int64_t len) = 0;
    // The body has ended. False when it ended inside the coded data.
    virtual bool Complete() { return true; }
    const std::string& Error() const { return FError; }

protected:
    bool Pass(const char* data, std::int64_t len) { return len <= 0 || FNext(data, len); }
    bool Fail(const std::string& why) {
        if (FError.empty())
            FError = why;
        return false;
    }

private:
    TSink FNext;
    std::string FError;
};

// "identity" and "*": bytes as they are.
class THttpCodingIdentity : public THttpContentCoding {
public:
    using THttpContentCoding::THttpContentCoding;
    std::string GetCoding() const override { return "identity"; }
    bool WriteBuffer(const char* data, std::int64_t len) override { return Pass(data, len); }
};

class THttpCodingStar : public THttpCodingIdentity {
public:
    using THttpCodingIdentity::THttpCodingIdentity;
    std::string GetCoding() const override { return "*"; }
};

// The registry's view of one coding.
struct THttpContCodItem {
    std::string Name;
    double Quality = 1.0;
    bool Enabled = true;
};

using THttpContentCodingFactory =
    std::function<std::unique_ptr<THttpContentCoding>(THttpContentCoding::TSink next)>;

// Registers a coding class under the name it gives itself (replacing one of
// the same name); raises EHttpContentCodingException for a class that does
// not name itself.
void RegisterContentCoding(const THttpContentCodingFactory& factory, double quality = 1.0,
                           bool enabled = true);
template <class T> void RegisterContentCoding(double quality = 1.0, bool enabled = true) {
    RegisterContentCoding(
        [](THttpContentCoding::TSink next) { return std::make_unique<T>(std::move(next)); },
        quality, enabled);
}
// The known codings in registration order: "identity", "*" (not offered in
// "Accept-Encoding" by default: it would invite codings no decoder undoes),
// "gzip", "deflate".
std::vector<THttpContCodItem> HttpContentCodings();
// Changes the quality and the enabled flag of a registered coding (names
// compared without regard to case); false when there is none of that name.
bool SetContentCodingQuality(const std::string& name, double quality, bool enabled = true);

// Whether a handler can undo every coding a "Content-Encoding" value lists
// (an empty value: nothing to undo). "x-gzip" counts as "gzip".
bool ContentCodingsKnown(const std::string& contentEncoding);

class THttpContCodHandler {
public:
    // Where decoded bytes go: the stream the client's DocStream refers to at
    // the time, and the client's OnDocData.
    using TStreamGetter = std::function<TStream*()>;
    using TDataSink = std::function<void(const char* data, std::int64_t len)>;
    THttpContCodHandler(TStreamGetter stream, TDataSink onData);
    ~THttpContCodHandler();

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v) { FEnabled = v; }
    bool UseQuality() const { return FUseQuality; }
    void SetUseQuality(bool v) { FUseQuality = v; }

    // The "Accept-Encoding" value; empty while disabled.
    std::string HeaderText() const;

    // Start of a body coded with `contentEncoding`; decodes only when every
    // named coding is known.
    void Prepare(const std::string& contentEncoding);
    // One body slice, as received. False when it cannot be decoded; Error()
    // then says why, and later slices are dropped.
    bool WriteBuffer(const char* data, std::int64_t len);
    // The body is complete. False when the coded data was cut short.
    bool Complete();
    const std::string& Error() const { return FError; }
    // Bytes before and after decoding of the current body.
    std::int64_t InputCount() const { return FInputCount; }
    std::int64_t OutputCount() const { return FOutputCount; }
    bool Decoding() const { return FDecoding; }

private:
    bool Deliver(const char* data, std::int64_t len);
    bool Failed(THttpContentCoding& stage);

    TStreamGetter FStream;
    TDataSink FOnData;
    bool FEnabled = false;
    bool FUseQuality = false;
    bool FDecoding = false;
    std::int64_t FInputCount = 0;
    std::int64_t FOutputCount = 0;
    // The first stage is the decoder of the last coding named.
    std::vector<std::unique_ptr<THttpContentCoding>> FChain;
    std::string FError;
};

#include "net/http/httpcontcod.h"

#include "net/http/httpparse.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <mutex>
#include <typeinfo>

std::string THttpContentCoding::GetCoding() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string className = status == 0 && name ? name : mangled;
    std::free(name);
    throw EHttpContentCodingException("GetCoding must be overridden in " + className);
}

namespace {

// gzip and deflate through zlib, decoded as the bytes arrive: what inflate
// produces goes on at once in pieces of at most kOutPiece bytes.
class TZlibCoding : public THttpContentCoding {
public:
    TZlibCoding(TSink next, bool gzip) : THttpContentCoding(std::move(next)), FGzip(gzip) {}
    ~TZlibCoding() override {
        if (FStarted)
            inflateEnd(&FZ);
    }

    bool WriteBuffer(const char* data, std::int64_t len) override {
        if (!Error().empty())
            return false;
        if (!FStarted) {
            // The first two bytes tell a zlib stream from raw deflate data.
            while (len > 0 && FHead.size() < 2) {
                FHead += *data++;
                --len;
            }
            if (FHead.size() < 2)
                return true;
            if (!Start())
                return false;
            std::string head;
            head.swap(FHead);
            if (!Inflate(head.data(), head.size()))
                return false;
        }
        return Inflate(data, static_cast<std::size_t>(len));
    }

    bool Complete() override {
        if (!Error().empty())
            return false;
        if (!FStarted && FHead.empty())
            return true; // an empty body
        if (!FEnded)
            return Fail(Name() + ": data cut short");
        return true;
    }

protected:
    std::string Name() const { return FGzip ? "gzip" : "deflate"; }

private:
    static constexpr std::size_t kOutPiece = 16 * 1024;

    bool Start() {
        int windowBits = 15 + 16; // gzip members only
        if (!FGzip) {
            // RFC 1950: compression method 8, and the header's check value.
            unsigned cmf = static_cast<unsigned char>(FHead[0]);
            unsigned flg = static_cast<unsigned char>(FHead[1]);
            bool zlibHeader = (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
            windowBits = zlibHeader ? 15 : -15;
        }
        if (inflateInit2(&FZ, windowBits) != Z_OK)
            return Fail(Name() + ": cannot start the decoder");
        FStarted = true;
        return true;
    }

    bool Inflate(const char* data, std::size_t len) {
        FZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        FZ.avail_in = static_cast<uInt>(len);
        char out[kOutPiece];
        for (;;) {
            if (FEnded) {
                // Another gzip member may follow; anything else after the end
                // of the data is not part of it.
                if (!FGzip || FZ.avail_in == 0 || *FZ.next_in != 0x1f)
                    return true;
                inflateReset(&FZ);
                FEnded = false;
            }
            FZ.next_out = reinterpret_cast<Bytef*>(out);
            FZ.avail_out = sizeof out;
            int r = inflate(&FZ, Z_NO_FLUSH);
            std::size_t produced = sizeof out - FZ.avail_out;
            if (produced > 0 && !Pass(out, static_cast<std::int64_t>(produced)))
                return false;
            if (r == Z_STREAM_END) {
                FEnded = true;
                continue;
            }
            if (r == Z_BUF_ERROR)
                return true; // needs more input
            if (r != Z_OK)
                return Fail(Name() + ": " + (FZ.msg ? FZ.msg : "data error"));
            if (FZ.avail_in == 0 && FZ.avail_out != 0)
                return true;
        }
    }

    bool FGzip;
    bool FStarted = false;
    bool FEnded = false;
    std::string FHead;
    z_stream FZ{};
};

class THttpCodingGzip : public TZlibCoding {
public:
    explicit THttpCodingGzip(TSink next) : TZlibCoding(std::move(next), true) {}
    std::string GetCoding() const override { return "gzip"; }
};

class THttpCodingDeflate : public TZlibCoding {
public:
    explicit THttpCodingDeflate(TSink next) : TZlibCoding(std::move(next), false) {}
    std::string GetCoding() const override { return "deflate"; }
};

struct TRegistered {
    THttpContCodItem Item;
    THttpContentCodingFactory Factory;
};

struct TRegistry {
    std::mutex Lock;
    std::vector<TRegistered> Codings;
};

void AddLocked(TRegistry& r, const THttpContentCodingFactory& factory, double quality,
               bool enabled) {
    // Asking a probe for its name raises for a class that does not give one.
    std::string name = factory([](const char*, std::int64_t) { return true; })->GetCoding();
    for (TRegistered& c : r.Codings) {
        if (LowerCase(c.Item.Name) == LowerCase(name)) {
            c = {{name, quality, enabled}, factory};
            return;
        }
    }
    r.Codings.push_back({{name, quality, enabled}, factory});
}

template <class T> THttpContentCodingFactory FactoryOf() {
    return [](THttpContentCoding::TSink next) { return std::make_unique<T>(std::move(next)); };
}

TRegistry& Registry() {
    static TRegistry* registry = [] {
        auto* r = new TRegistry;
        AddLocked(*r, FactoryOf<THttpCodingIdentity>(), 1.0, true);
        AddLocked(*r, FactoryOf<THttpCodingStar>(), 1.0, false);
        AddLocked(*r, FactoryOf<THttpCodingGzip>(), 1.0, true);
        AddLocked(*r, FactoryOf<THttpCodingDeflate>(), 1.0, true);
        return r;
    }();
    return *registry;
}

// "0.###" with a "." whatever the locale.
std::string QualityText(double q) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", q);
    std::string s = buf;
    for (char& c : s)
        if (c == ',')
            c = '.';
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

// The decoders of the codings a "Content-Encoding" value lists, in its
// order; false when one of them is not registered. "x-gzip" is "gzip"
// (RFC 9110, 8.4.1.3).
bool FindCodings(const std::string& contentEncoding,
                 std::vector<THttpContentCodingFactory>& factories) {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    std::size_t at = 0;
    while (at <= contentEncoding.size()) {
        std::size_t comma = contentEncoding.find(',', at);
        std::string name = LowerCase(TrimBlanks(contentEncoding.substr(
            at, comma == std::string::npos ? std::string::npos : comma - at)));
        if (name == "x-gzip")
            name = "gzip";
        const TRegistered* found = nullptr;
        for (const TRegistered& c : r.Codings)
            if (LowerCase(c.Item.Name) == name)
                found = &c;
        if (!found)
            return false;
        factories.push_back(found->Factory);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return true;
}

} // namespace

bool ContentCodingsKnown(const std::string& contentEncoding) {
    std::vector<THttpContentCodingFactory> factories;
    return TrimBlanks(contentEncoding).empty() || FindCodings(contentEncoding, factories);
}

void RegisterContentCoding(const THttpContentCodingFactory& factory, double quality, bool enabled) {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    AddLocked(r, factory, quality, enabled);
}

std::vector<THttpContCodItem> HttpContentCodings() {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    std::vector<THttpContCodItem> out;
    for (const TRegistered& c : r.Codings)
        out.push_back(c.Item);
    return out;
}

bool SetContentCodingQuality(const std::string& name, double quality, bool enabled) {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    for (TRegistered& c : r.Codings) {
        if (LowerCase(c.Item.Name) == LowerCase(name)) {
            c.Item.Quality = quality;
            c.Item.Enabled = enabled;
            return true;
        }
    }
    return false;
}

THttpContCodHandler::THttpContCodHandler(TStreamGetter stream, TDataSink onData)
    : FStream(std::move(stream)), FOnData(std::move(onData)) {}

THttpContCodHandler::~THttpContCodHandler() = default;

std::string THttpContCodHandler::HeaderText() const {
    if (!FEnabled)
        return std::string();
    std::string out;
    for (const THttpContCodItem& item : HttpContentCodings()) {
        if (!item.Enabled || item.Quality <= 0)
            continue;
        if (!out.empty())
            out += ", ";
        out += item.Name;
        if (FUseQuality)
            out += ";q=" + QualityText(item.Quality);
    }
    return out;
}

void THttpContCodHandler::Prepare(const std::string& contentEncoding) {
    FInputCount = 0;
    FOutputCount = 0;
    FDecoding = false;
    FChain.clear();
    FError.clear();
    if (!FEnabled || TrimBlanks(contentEncoding).empty())
        return;
    // Every listed coding must be known, or the body is left as it came.
    std::vector<THttpContentCodingFactory> factories;
    if (!FindCodings(contentEncoding, factories))
        return;
    // The codings are listed in the order they were applied, so the last one
    // is undone first: its decoder takes the received bytes, and the decoder
    // of the first one hands the result to the document.
    THttpContentCoding::TSink sink = [this](const char* data, std::int64_t len) {
        return Deliver(data, len);
    };
    for (const THttpContentCodingFactory& f : factories) {
        FChain.push_back(f(sink));
        THttpContentCoding* stage = FChain.back().get();
        sink = [stage](const char* data, std::int64_t len) {
            return stage->WriteBuffer(data, len);
        };
    }
    FDecoding = true;
}

bool THttpContCodHandler::Deliver(const char* data, std::int64_t len) {
    FOutputCount += len;
    if (TStream* s = FStream ? FStream() : nullptr)
        s->Write(data, len);
    if (FOnData)
        FOnData(data, len);
    return true;
}

bool THttpContCodHandler::WriteBuffer(const char* data, std::int64_t len) {
    if (!FError.empty())
        return false;
    if (len <= 0)
        return true;
    FInputCount += len;
    if (FChain.empty())
        return Deliver(data, len);
    if (FChain.back()->WriteBuffer(data, len))
        return true;
    return Failed(*FChain.back());
}

bool THttpContCodHandler::Complete() {
    if (!FError.empty())
        return false;
    // From the stage that takes the received bytes to the one that feeds the
    // document, so what a stage still gives out passes the later ones.
    for (auto it = FChain.rbegin(); it != FChain.rend(); ++it)
        if (!(*it)->Complete())
            return Failed(**it);
    return true;
}

bool THttpContCodHandler::Failed(THttpContentCoding& stage) {
    // The stage that failed may be a later one than the one that was called.
    FError = stage.Error();
    for (const auto& s : FChain)
        if (FError.empty())
            FError = s->Error();
    if (FError.empty())
        FError = "content decoding failed";
    return false;
}

// The content-coding registry, the handler's "Accept-Encoding" value and the
// gzip and deflate decoders, fed whole, split at every byte and cut short.
#include "net/http/httpcontcod.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

// `plain` compressed by zlib: format 31 = gzip, 15 = zlib, -15 = raw deflate.
std::string Compress(const std::string& plain, int windowBits) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, plain.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Text(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; s.size() < n; ++i)
        s += "line " + std::to_string(i) + " of the logbook\n";
    s.resize(n);
    return s;
}

struct Decoded {
    TMemoryStream doc;
    std::string data; // what OnDocData saw
    THttpContCodHandler handler{[this]() { return &doc; },
                                [this](const char* d, std::int64_t n) { data.append(d, n); }};
    Decoded() { handler.SetEnabled(true); }

    // Feeds `body` in pieces of `piece` bytes; returns whether all went well.
    bool Run(const std::string& coding, const std::string& body, std::size_t piece) {
        handler.Prepare(coding);
        for (std::size_t at = 0; at < body.size(); at += piece)
            if (!handler.WriteBuffer(body.data() + at,
                                     static_cast<std::int64_t>(std::min(piece, body.size() - at))))
                return false;
        return handler.Complete();
    }
};

} // namespace

TEST(ContentCoding, RegistryHoldsIdentityStarGzipAndDeflate) {
    auto codings = HttpContentCodings();
    ASSERT_GE(codings.size(), 4u);
    EXPECT_EQ(codings[0].Name, "identity");
    EXPECT_EQ(codings[1].Name, "*");
    EXPECT_FALSE(codings[1].Enabled);
    EXPECT_EQ(codings[2].Name, "gzip");
    EXPECT_EQ(codings[3].Name, "deflate");
}

TEST(ContentCoding, AcceptEncodingWithAndWithoutQuality) {
    Decoded d;
    EXPECT_EQ(d.handler.HeaderText(), "identity, gzip, deflate");
    d.handler.SetUseQuality(true);
    ASSERT_TRUE(SetContentCodingQuality("GZIP", 0.8766));
    EXPECT_EQ(d.handler.HeaderText(), "identity;q=1, gzip;q=0.877, deflate;q=1");
    ASSERT_TRUE(SetContentCodingQuality("deflate", 0));
    EXPECT_EQ(d.handler.HeaderText(), "identity;q=1, gzip;q=0.877");
    SetContentCodingQuality("gzip", 1);
    SetContentCodingQuality("deflate", 1);
    EXPECT_FALSE(SetContentCodingQuality("br", 1));
    d.handler.SetEnabled(false);
    EXPECT_EQ(d.handler.HeaderText(), "");
}

TEST(ContentCoding, ACodingClassThatDoesNotNameItselfIsRefused) {
    class TNameless : public THttpContentCoding {
    public:
        using THttpContentCoding::THttpContentCoding;
        bool WriteBuffer(const char* d, std::int64_t n) override { return Pass(d, n); }
    };
    try {
        RegisterContentCoding<TNameless>();
        FAIL() << "no exception";
    } catch (const EHttpContentCodingException& e) {
        EXPECT_TRUE(e.Message().starts_with("GetCoding must be overridden in ")) << e.Message();
        EXPECT_NE(e.Message().find("TNameless"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(HttpContentCodings().size(), 4u);
}

TEST(ContentCoding, GzipAndDeflateDecodeWholeAndSplitAtEveryByte) {
    const std::string plain = Text(5000);
    struct Case {
        const char* coding;
        int windowBits;
    };
    // "x-gzip" is "gzip" (RFC 9110, 8.4.1.3).
    for (Case c : {Case{"gzip", 31}, Case{"deflate", 15}, Case{"deflate", -15}, Case{"GZip", 31},
                   Case{"x-gzip", 31}}) {
        const std::string body = Compress(plain, c.windowBits);
        for (std::size_t piece : {body.size(), std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
            Decoded d;
            ASSERT_TRUE(d.Run(c.coding, body, piece))
                << c.coding << " " << c.windowBits << " " << piece << ": " << d.handler.Error();
            EXPECT_EQ(d.doc.DataString(), plain);
            EXPECT_EQ(d.data, plain);
            EXPECT_TRUE(d.handler.Decoding());
            EXPECT_EQ(d.handler.InputCount(), static_cast<std::int64_t>(body.size()));
            EXPECT_EQ(d.handler.OutputCount(), static_cast<std::int64_t>(plain.size()));
        }
    }
}

TEST(ContentCoding, ChainedCodingsAreUndoneLastFirst) {
    const std::string plain = Text(3000);
    // Applied gzip first, then deflate: "Content-Encoding: gzip, deflate".
    const std::string body = Compress(Compress(plain, 31), 15);
    Decoded d;
    ASSERT_TRUE(d.Run("gzip, deflate", body, 100)) << d.handler.Error();
    EXPECT_EQ(d.doc.DataString(), plain);
    Decoded wrongOrder;
    EXPECT_FALSE(wrongOrder.Run("deflate, gzip", body, 100));
    EXPECT_NE(wrongOrder.handler.Error().find("gzip"), std::string::npos);
}

TEST(ContentCoding, ConcatenatedGzipMembersAreOneBody) {
    Decoded d;
    ASSERT_TRUE(d.Run("gzip", Compress("first ", 31) + Compress("second", 31), 5));
    EXPECT_EQ(d.doc.DataString(), "first second");
}

TEST(ContentCoding, UnknownOrIdentityCodingsLeaveTheBytesAsTheyCame) {
    const std::string gz = Compress("abc", 31);
    for (const char* coding : {"br", "gzip, br", "", "identity"}) {
        Decoded d;
        ASSERT_TRUE(d.Run(coding, gz, 3)) << coding;
        EXPECT_EQ(d.doc.DataString(), gz) << coding;
    }
    Decoded off;
    off.handler.SetEnabled(false);
    ASSERT_TRUE(off.Run("gzip", gz, 3));
    EXPECT_EQ(off.doc.DataString(), gz);
    EXPECT_FALSE(off.handler.Decoding());
}

TEST(ContentCoding, CorruptOrCutDataIsAFailureNotADocument) {
    const std::string plain = Text(20000);
    std::string gz = Compress(plain, 31);
    {
        Decoded d;
        std::string bad = gz;
        bad[bad.size() / 2] ^= 0x55;
        bad[bad.size() / 2 + 1] ^= 0x55;
        EXPECT_FALSE(d.Run("gzip", bad, 512));
        EXPECT_TRUE(d.handler.Error().starts_with("gzip: ")) << d.handler.Error();
        // Once failed, nothing more is written.
        std::int64_t size = d.doc.Size();
        EXPECT_FALSE(d.handler.WriteBuffer("xyz", 3));
        EXPECT_EQ(d.doc.Size(), size);
    }
    {
        Decoded d;
        EXPECT_FALSE(d.Run("gzip", gz.substr(0, gz.size() - 4), 512)); // no length trailer
        EXPECT_EQ(d.handler.Error(), "gzip: data cut short");
    }
    {
        Decoded d;
        EXPECT_FALSE(d.Run("deflate", "x", 1));
        EXPECT_EQ(d.handler.Error(), "deflate: data cut short");
    }
    {
        Decoded d;
        EXPECT_FALSE(d.Run("gzip", "not gzip at all", 4));
    }
    Decoded empty;
    EXPECT_TRUE(empty.Run("gzip", "", 1)); // an empty body is no coded data at all
    EXPECT_EQ(empty.doc.Size(), 0);
}

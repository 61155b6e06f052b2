// The message work of the authentication schemes against published vectors:
// the MD5 and MD4 test suites of their RFCs, Base64 of RFC 4648, the Basic
// example of RFC 7617, the Digest example of RFC 2617 and the NTLM version 1
// values of the published NTLM protocol document.
#include "net/http/httpbasic.h"
#include "net/http/httpdigest.h"
#include "net/http/httpntlm.h"

#include <nettle/md4.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

template <std::size_t N> std::string Hex(const std::array<std::uint8_t, N>& bytes) {
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string Md4Hex(const std::string& s) {
    md4_ctx ctx;
    md4_init(&ctx);
    md4_update(&ctx, s.size(), reinterpret_cast<const std::uint8_t*>(s.data()));
    std::array<std::uint8_t, 16> d{};
    md4_digest(&ctx, d.size(), d.data());
    return Hex(d);
}

const std::string kDigits80 = [] {
    std::string s;
    for (int i = 0; i < 8; ++i)
        s += "1234567890";
    return s;
}();

const std::array<std::uint8_t, 8> kServerChallenge = {0x01, 0x23, 0x45, 0x67,
                                                      0x89, 0xab, 0xcd, 0xef};

} // namespace

TEST(HashVectors, Md5TestSuiteOfRfc1321) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {kDigits80, "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(Md5Hex(in), out) << in;
}

TEST(HashVectors, Md4TestSuiteOfRfc1320) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {kDigits80, "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(Md4Hex(in), out) << in;
}

TEST(Base64, VectorsOfRfc4648RoundTrip) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, coded] : cases) {
        EXPECT_EQ(Base64Encode(plain), coded);
        std::string back;
        EXPECT_TRUE(Base64Decode(coded, back)) << coded;
        EXPECT_EQ(back, plain);
    }
    std::string binary("\x00\xff\x10\x80", 4);
    std::string back;
    EXPECT_TRUE(Base64Decode(Base64Encode(binary), back));
    EXPECT_EQ(back, binary);
}

TEST(Base64, TextThatDoesNotDecodeIsRefused) {
    for (const char* bad : {"Zg", "Zg=", "Z", "Zm9v!A==", "Zg==Zg==", "Zm 9v",
                            "====", "Zm9vY===", "TlRMTVNTUAACAAAA\x80"}) {
        std::string out = "left over";
        EXPECT_FALSE(Base64Decode(bad, out)) << bad;
        EXPECT_EQ(out, "");
    }
}

TEST(BasicScheme, CredentialsOfRfc7617) {
    EXPECT_EQ(BasicCredentials("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    // A colon in the password is kept; the user name ends at the first one.
    EXPECT_EQ(BasicCredentials("u", "a:b"), Base64Encode("u:a:b"));
}

// ---- Digest -------------------------------------------------------------------------------

TEST(DigestScheme, ExampleOfRfc2617) {
    THttpDigestData d;
    ASSERT_TRUE(ParseDigestChallenge("realm=\"testrealm@host.com\",\r\n qop=\"auth,auth-int\", "
                                     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                                     "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
                                     d));
    EXPECT_EQ(d.Realm, "testrealm@host.com");
    EXPECT_EQ(d.Qop, "auth");
    EXPECT_EQ(d.Nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
    EXPECT_EQ(d.Opaque, "5ccc069c403ebaf9f0171e9517f40e41");
    EXPECT_EQ(DigestResponse("Mufasa", "Circle Of Life", "GET", "/dir/index.html", d, "00000001",
                             "0a4f113b"),
              "6629fae49393a05397450978507c4ef1");
    d.NonceCount = 1;
    EXPECT_EQ(
        DigestAuthorization("Mufasa", "Circle Of Life", "GET", "/dir/index.html", d, "0a4f113b"),
        "username=\"Mufasa\", realm=\"testrealm@host.com\", "
        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
        "response=\"6629fae49393a05397450978507c4ef1\", "
        "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, "
        "cnonce=\"0a4f113b\"");
}

TEST(DigestScheme, WithoutQopTheResponseLeavesCountAndCnonceOut) {
    THttpDigestData d;
    ASSERT_TRUE(ParseDigestChallenge("realm=\"r\", nonce=\"n\"", d));
    d.NonceCount = 1;
    std::string ha1 = Md5Hex("u:r:p"), ha2 = Md5Hex("POST:/x");
    EXPECT_EQ(DigestAuthorization("u", "p", "POST", "/x", d, "ABCDEF01"),
              "username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/x\", response=\"" +
                  Md5Hex(ha1 + ":n:" + ha2) + "\"");
}

TEST(DigestScheme, ChallengesThatAreAcceptedOrNot) {
    struct Case {
        const char* text;
        bool accepted;
    };
    const Case cases[] = {
        {"realm=\"r\", nonce=\"n\"", true},
        {"realm=\"r\", nonce=\"n\", algorithm=MD5", true},
        {"realm=\"r\", nonce=\"n\", algorithm=\"MD5\", qop=auth", true},
        {"realm=\"r\", nonce=\"n\", qop=\"auth-int,auth\"", true},
        {"realm=\"\", nonce=\"n\"", true},
        {"nonce=\"n\"", false},                                 // no realm
        {"realm=\"r\"", false},                                 // no nonce to answer
        {"realm=\"r\", nonce=\"n\", algorithm=SHA-256", false}, // unknown algorithm
        {"realm=\"r\", nonce=\"n\", algorithm=MD5-sess", false},
        {"realm=\"r\", nonce=\"n\", qop=\"auth-int\"", false}, // unknown qop
        {"realm=\"r\", nonce=\"n\", qop=\"authx\"", false},
        {"realm=\"r, nonce=\"n\"", false}, // unterminated quote
        {"", false},
    };
    for (const Case& c : cases) {
        THttpDigestData d;
        EXPECT_EQ(ParseDigestChallenge(c.text, d), c.accepted) << c.text;
    }
}

TEST(DigestScheme, ReadsStaleDomainAndEscapedQuotes) {
    THttpDigestData d;
    ASSERT_TRUE(ParseDigestChallenge(
        "realm=\"a \\\"b\\\" c\", domain=\"/x /y\", nonce=\"n2\", stale=TRUE, opaque=\"o\"", d));
    EXPECT_EQ(d.Realm, "a \"b\" c");
    EXPECT_EQ(d.Domain, "/x /y");
    EXPECT_TRUE(d.Stale);
    ASSERT_TRUE(ParseDigestChallenge("realm=\"r\", nonce=\"n\", stale=false", d));
    EXPECT_FALSE(d.Stale);
}

TEST(DigestScheme, FieldsNeverCarryControlCharactersAndQuoteWhatTheyMust) {
    THttpDigestData d;
    d.Realm = "r\"q";
    d.Nonce = "n\rX-Injected: 1";
    d.NonceCount = 1;
    std::string a = DigestAuthorization("us\\er\r\n", "p", "GET", "/", d, "00000001");
    EXPECT_EQ(a.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(a.find("username=\"us\\\\er\""), std::string::npos);
    EXPECT_NE(a.find("realm=\"r\\\"q\""), std::string::npos);
}

TEST(DigestScheme, CnonceIsEightUpperCaseHexDigitsAndVaries) {
    std::string first = NewDigestCnonce();
    bool varied = false;
    for (int i = 0; i < 20; ++i) {
        std::string c = NewDigestCnonce();
        ASSERT_EQ(c.size(), 8u);
        EXPECT_EQ(c.find_first_not_of("0123456789ABCDEF"), std::string::npos) << c;
        EXPECT_LT(std::stoul(c, nullptr, 16), 2147483647ul);
        varied = varied || c != first;
    }
    EXPECT_TRUE(varied);
}

// ---- NTLM ---------------------------------------------------------------------------------

TEST(NtlmScheme, VersionOneValuesOfThePublishedProtocolDocument) {
    // User "User", password "Password", server challenge 0123456789abcdef.
    EXPECT_EQ(Hex(NtlmLmHash("Password")), "e52cac67419a9a224a3b108f3fa6cb6d");
    EXPECT_EQ(Hex(NtlmNtHash("Password")), "a4f49c406510bdcab6824ee7c30fd852");
    EXPECT_EQ(Hex(NtlmResponse(NtlmNtHash("Password"), kServerChallenge)),
              "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(Hex(NtlmResponse(NtlmLmHash("Password"), kServerChallenge)),
              "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    // The LM hash of an empty password is the well-known one (weak DES keys).
    EXPECT_EQ(Hex(NtlmLmHash("")), "aad3b435b51404eeaad3b435b51404ee");
    EXPECT_EQ(Hex(NtlmNtHash("")), "31d6cfe0d16ae931b73c59d7e0c089c0");
}

TEST(NtlmScheme, NegotiateMessageBytes) {
    std::string m;
    ASSERT_TRUE(Base64Decode(NtlmNegotiateMessage(), m));
    EXPECT_EQ(m, std::string("NTLMSSP\0\x01\0\0\0\x07\x82\0\0", 16) + std::string(16, '\0'));
}

namespace {

// A type-2 message: fixed part, then `extra` bytes of payload.
std::string Type2(std::uint32_t flags, std::uint16_t nameLen, std::uint32_t nameOffset,
                  const std::string& payload = std::string(), std::uint32_t type = 2) {
    std::string m("NTLMSSP\0", 8);
    auto u32 = [&m](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            m += static_cast<char>(v >> (8 * i));
    };
    auto u16 = [&m](std::uint16_t v) {
        m += static_cast<char>(v & 0xff);
        m += static_cast<char>(v >> 8);
    };
    u32(type);
    u16(nameLen);
    u16(nameLen);
    u32(nameOffset);
    u32(flags);
    m.append(reinterpret_cast<const char*>(kServerChallenge.data()), 8);
    m.append(8, '\0'); // context
    return m + payload;
}

} // namespace

// The client reads the flags and the server challenge, nothing else: a name
// or target information pointing outside the message (Squid's own
// ntlm_fake_auth writes a garbage target-name offset) cannot refuse it.
TEST(NtlmScheme, ChallengeIsReadFromItsFixedPartWhateverItsNamesSay) {
    const std::string name = NtlmUnicode("DOMAIN");
    const struct {
        std::string message;
        std::uint32_t flags;
    } cases[] = {
        {Type2(0x8201, static_cast<std::uint16_t>(name.size()), 40, name), 0x8201},
        {Type2(0x8201, 12, 40, "DOMAIN"), 0x8201}, // the name runs past the end
        {Type2(0x8201, 1, 0xffffffffu), 0x8201},
        // Target information flagged, pointing past the end.
        {Type2(0x00808201, 0, 0, std::string("\x10\0\x10\0\x30\0\0\0", 8)), 0x00808201},
    };
    for (const auto& k : cases) {
        TNtlmChallenge c;
        std::string error;
        ASSERT_TRUE(NtlmDecodeChallenge(Base64Encode(k.message), c, error)) << error;
        EXPECT_EQ(c.Flags, k.flags);
        EXPECT_EQ(c.Challenge, kServerChallenge);
    }
}

TEST(NtlmScheme, MalformedChallengesAreRefusedWithAReason) {
    const std::string good = Type2(0x8201, 0, 0);
    struct Case {
        std::string base64;
        const char* reason;
    };
    std::string shortMsg = good.substr(0, 31);
    std::string badSig = good;
    badSig[0] = 'X';
    const std::vector<Case> cases = {
        {"not base64!", "not Base64"},
        {Base64Encode(shortMsg), "too short (31 bytes)"},
        {Base64Encode(badSig), "without NTLMSSP signature"},
        {Base64Encode(Type2(0x8201, 0, 0, "", 3)), "type 3 where 2"},
    };
    for (const Case& k : cases) {
        TNtlmChallenge c;
        std::string error;
        EXPECT_FALSE(NtlmDecodeChallenge(k.base64, c, error)) << k.reason;
        EXPECT_NE(error.find(k.reason), std::string::npos) << error;
    }
}

TEST(NtlmScheme, AuthenticateMessageLayout) {
    TNtlmChallenge c;
    c.Flags = 0x8201; // unicode chosen
    c.Challenge = kServerChallenge;
    std::string m;
    ASSERT_TRUE(Base64Decode(NtlmAuthenticateMessage(c, "User", "Password", "COMPUTER"), m));
    auto u16 = [&m](std::size_t at) {
        return static_cast<unsigned>(static_cast<std::uint8_t>(m[at]) |
                                     static_cast<std::uint8_t>(m[at + 1]) << 8);
    };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    ASSERT_EQ(m.size(), 64u + 24 + 24 + 8 + 16);
    EXPECT_EQ(m.substr(0, 12), std::string("NTLMSSP\0\x03\0\0\0", 12));
    EXPECT_EQ(u32(60), 0x8205u);
    // LM at 64, NT at 88, no domain, user at 112, workstation at 120.
    EXPECT_EQ(u16(12), 24u);
    EXPECT_EQ(u32(16), 64u);
    EXPECT_EQ(u16(20), 24u);
    EXPECT_EQ(u32(24), 88u);
    EXPECT_EQ(u16(28), 0u);
    EXPECT_EQ(u16(36), 8u);
    EXPECT_EQ(u32(40), 112u);
    EXPECT_EQ(u16(44), 16u);
    EXPECT_EQ(u32(48), 120u);
    std::array<std::uint8_t, 24> lm{}, nt{};
    std::memcpy(lm.data(), m.data() + 64, 24);
    std::memcpy(nt.data(), m.data() + 88, 24);
    EXPECT_EQ(Hex(lm), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(Hex(nt), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(m.substr(112, 8), NtlmUnicode("User"));
    EXPECT_EQ(m.substr(120), NtlmUnicode("COMPUTER"));

    // A server that chose OEM strings gets the names as they are.
    c.Flags = 0x8202;
    ASSERT_TRUE(Base64Decode(NtlmAuthenticateMessage(c, "User", "Password", "COMPUTER"), m));
    EXPECT_EQ(m.substr(m.size() - 12), "UserCOMPUTER");
}

TEST(NtlmScheme, UnicodeOfUtf8AndOfOtherBytes) {
    EXPECT_EQ(NtlmUnicode("Ab"), std::string("A\0b\0", 4));
    EXPECT_EQ(NtlmUnicode("\xc3\xa9"), std::string("\xe9\0", 2));                   // é in UTF-8
    EXPECT_EQ(NtlmUnicode("\xe9"), std::string("\xe9\0", 2));                       // é in Latin-1
    EXPECT_EQ(NtlmUnicode("\xf0\x9f\x93\xbb"), std::string("\x3d\xd8\xfb\xdc", 4)); // U+1F4FB
    EXPECT_EQ(NtlmUnicode("\xc3"), std::string("\xc3\0", 2)); // cut sequence: Latin-1
}

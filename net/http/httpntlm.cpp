#include "net/http/httpntlm.h"

#include "net/http/httpbasic.h"

#include <nettle/des.h>
#include <nettle/md4.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
constexpr std::size_t kChallengeFixedPart = 32;

void PutU16(std::string& m, std::size_t at, std::uint16_t v) {
    m[at] = static_cast<char>(v & 0xff);
    m[at + 1] = static_cast<char>(v >> 8);
}

void PutU32(std::string& m, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        m[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint32_t GetU32(const std::string& m, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(m[at + i]);
    return v;
}

// A security buffer at `at` describing `len` bytes at `offset`.
void PutBuffer(std::string& m, std::size_t at, std::size_t len, std::size_t offset) {
    PutU16(m, at, static_cast<std::uint16_t>(len));
    PutU16(m, at + 2, static_cast<std::uint16_t>(len));
    PutU32(m, at + 4, static_cast<std::uint32_t>(offset));
}

// DES of one block under a 56-bit key spread over 8 bytes with parity.
void DesEncrypt(const std::uint8_t key7[7], const std::uint8_t in[8], std::uint8_t out[8]) {
    std::uint8_t key[8] = {
        static_cast<std::uint8_t>(key7[0]),
        static_cast<std::uint8_t>(key7[0] << 7 | key7[1] >> 1),
        static_cast<std::uint8_t>(key7[1] << 6 | key7[2] >> 2),
        static_cast<std::uint8_t>(key7[2] << 5 | key7[3] >> 3),
        static_cast<std::uint8_t>(key7[3] << 4 | key7[4] >> 4),
        static_cast<std::uint8_t>(key7[4] << 3 | key7[5] >> 5),
        static_cast<std::uint8_t>(key7[5] << 2 | key7[6] >> 6),
        static_cast<std::uint8_t>(key7[6] << 1),
    };
    des_fix_parity(sizeof key, key, key);
    des_ctx ctx;
    // A weak key (the LM halves of an empty password are one) still gets its
    // schedule; the return value only reports the weakness.
    (void)des_set_key(&ctx, key);
    des_encrypt(&ctx, DES_BLOCK_SIZE, out, in);
}

} // namespace

namespace {

// The code points of `text` when it is valid UTF-8.
bool DecodeUtf8(const std::string& text, std::vector<std::uint32_t>& cps) {
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = 0;
        std::uint32_t cp = c;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07;
        } else if (c >= 0x80) {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        cps.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

void PutUtf16(std::string& out, std::uint32_t unit) {
    out += static_cast<char>(unit & 0xff);
    out += static_cast<char>(unit >> 8);
}

} // namespace

std::string NtlmUnicode(const std::string& text) {
    std::vector<std::uint32_t> cps;
    if (!DecodeUtf8(text, cps)) {
        cps.clear();
        for (char c : text)
            cps.push_back(static_cast<unsigned char>(c));
    }
    std::string out;
    for (std::uint32_t cp : cps) {
        if (cp >= 0x10000) {
            PutUtf16(out, 0xD800 + ((cp - 0x10000) >> 10));
            PutUtf16(out, 0xDC00 + ((cp - 0x10000) & 0x3ff));
        } else {
            PutUtf16(out, cp);
        }
    }
    return out;
}

std::string NtlmNegotiateMessage() {
    std::string m(32, '\0');
    std::memcpy(m.data(), kSignature, 8);
    PutU32(m, 8, 1);
    PutU32(m, 12, kNtlmNegotiateFlags);
    // Domain (16) and workstation (24) buffers stay empty.
    return Base64Encode(m);
}

bool NtlmDecodeChallenge(const std::string& base64, TNtlmChallenge& out, std::string& error) {
    std::string m;
    if (!Base64Decode(base64, m)) {
        error = "NTLM challenge is not Base64";
        return false;
    }
    if (m.size() < kChallengeFixedPart) {
        error = "NTLM challenge too short (" + std::to_string(m.size()) + " bytes)";
        return false;
    }
    if (std::memcmp(m.data(), kSignature, 8) != 0) {
        error = "NTLM challenge without NTLMSSP signature";
        return false;
    }
    if (GetU32(m, 8) != 2) {
        error = "NTLM message type " + std::to_string(GetU32(m, 8)) + " where 2 was expected";
        return false;
    }
    TNtlmChallenge c;
    c.Flags = GetU32(m, 20);
    std::memcpy(c.Challenge.data(), m.data() + 24, 8);
    out = c;
    return true;
}

std::array<std::uint8_t, 16> NtlmLmHash(const std::string& password) {
    std::uint8_t key[14] = {};
    for (std::size_t i = 0; i < password.size() && i < 14; ++i)
        key[i] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(password[i])));
    static const std::uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    std::array<std::uint8_t, 16> hash{};
    DesEncrypt(key, kMagic, hash.data());
    DesEncrypt(key + 7, kMagic, hash.data() + 8);
    return hash;
}

std::array<std::uint8_t, 16> NtlmNtHash(const std::string& password) {
    std::string u = NtlmUnicode(password);
    md4_ctx ctx;
    md4_init(&ctx);
    md4_update(&ctx, u.size(), reinterpret_cast<const std::uint8_t*>(u.data()));
    std::array<std::uint8_t, 16> hash{};
    md4_digest(&ctx, hash.size(), hash.data());
    return hash;
}

std::array<std::uint8_t, 24> NtlmResponse(const std::array<std::uint8_t, 16>& hash,
                                          const std::array<std::uint8_t, 8>& challenge) {
    std::uint8_t key[21] = {};
    std::memcpy(key, hash.data(), hash.size());
    std::array<std::uint8_t, 24> out{};
    for (int i = 0; i < 3; ++i)
        DesEncrypt(key + 7 * i, challenge.data(), out.data() + 8 * i);
    return out;
}

std::string NtlmAuthenticateMessage(const TNtlmChallenge& challenge, const std::string& user,
                                    const std::string& password, const std::string& workstation) {
    const bool unicode = (challenge.Flags & kNtlmFlagUnicode) != 0;
    std::array<std::uint8_t, 24> lm = NtlmResponse(NtlmLmHash(password), challenge.Challenge);
    std::array<std::uint8_t, 24> nt = NtlmResponse(NtlmNtHash(password), challenge.Challenge);
    std::string userBytes = unicode ? NtlmUnicode(user) : user;
    std::string hostBytes = unicode ? NtlmUnicode(workstation) : workstation;
    // Names longer than a security buffer can describe are cut.
    userBytes.resize(std::min<std::size_t>(userBytes.size(), 0xfffe));
    hostBytes.resize(std::min<std::size_t>(hostBytes.size(), 0xfffe));

    constexpr std::size_t kHeader = 64;
    std::string m(kHeader, '\0');
    std::memcpy(m.data(), kSignature, 8);
    PutU32(m, 8, 3);
    std::size_t at = kHeader;
    PutBuffer(m, 12, lm.size(), at);
    at += lm.size();
    PutBuffer(m, 20, nt.size(), at);
    at += nt.size();
    PutBuffer(m, 28, 0, at); // no domain
    PutBuffer(m, 36, userBytes.size(), at);
    at += userBytes.size();
    PutBuffer(m, 44, hostBytes.size(), at);
    at += hostBytes.size();
    PutBuffer(m, 52, 0, at); // no session key
    PutU32(m, 60, kNtlmAuthenticateFlags);
    m.append(reinterpret_cast<const char*>(lm.data()), lm.size());
    m.append(reinterpret_cast<const char*>(nt.data()), nt.size());
    m += userBytes;
    m += hostBytes;
    return Base64Encode(m);
}

std::string NtlmLocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

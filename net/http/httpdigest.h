// The Digest scheme with MD5: reading a challenge and composing the fields
// of an answer. MD5 itself is nettle's.
#pragma once

#include <cstdint>
#include <string>

// What a challenge told, kept for the answers that follow (one record for
// the server, one for the proxy).
struct THttpDigestData {
    std::string Realm;
    std::string Nonce;
    std::string Opaque;
    bool HasOpaque = false; // the challenge carried one (perhaps empty)
    std::string Algorithm = "MD5";
    std::string Qop; // "auth" or empty
    std::string Domain;
    bool Stale = false;
    std::uint32_t NonceCount = 0;
};

// MD5 of `bytes` as 32 lower-case hexadecimal digits.
std::string Md5Hex(const std::string& bytes);

// Reads the parameters of a challenge, the text after "Digest ". Returns
// false when it is not one we can answer: no realm or nonce, an algorithm
// other than "MD5", or a qop that does not offer "auth". `out` is filled
// only when it is accepted.
bool ParseDigestChallenge(const std::string& text, THttpDigestData& out);

// The response digest: MD5 of HA1 ":" nonce ":" [nc ":" cnonce ":" qop ":"]
// HA2, with HA1 = MD5(user ":" realm ":" password), HA2 = MD5(method ":" uri).
// `nc` is the nonce count as written (8 hexadecimal digits).
std::string DigestResponse(const std::string& user, const std::string& password,
                           const std::string& method, const std::string& uri,
                           const THttpDigestData& data, const std::string& nc,
                           const std::string& cnonce);

// The value after "Authorization: Digest ": username, realm, nonce, uri,
// response, opaque when the challenge had one, then qop, nc and cnonce when
// it had a qop.
// Uses data.NonceCount as the count.
std::string DigestAuthorization(const std::string& user, const std::string& password,
                                const std::string& method, const std::string& uri,
                                const THttpDigestData& data, const std::string& cnonce);

// A client nonce: 8 upper-case hexadecimal digits of a random number below
// 2147483647.
std::string NewDigestCnonce();

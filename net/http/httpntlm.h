// The NTLM scheme, version 1 responses: the negotiate message (type 1), the
// reading of the challenge (type 2) and the authenticate message (type 3).
// The message layouts are ours; MD4 and DES are nettle's.
#pragma once

#include <array>
#include <cstdint>
#include <string>

constexpr std::uint32_t kNtlmNegotiateFlags = 0x8207;    // unicode, OEM, target, NTLM, sign
constexpr std::uint32_t kNtlmAuthenticateFlags = 0x8205; // unicode, target, NTLM, sign
constexpr std::uint32_t kNtlmFlagUnicode = 0x0001;

// What the client takes from the server's or proxy's challenge: the flags
// and the server challenge of its fixed part. Version 1 responses need
// nothing else, so the names the message points at are not read (and cannot
// make it unreadable).
struct TNtlmChallenge {
    std::uint32_t Flags = 0;
    std::array<std::uint8_t, 8> Challenge{};
};

// The Base64 text of the negotiate message: "NTLMSSP", type 1, flags 0x8207,
// no domain and no workstation.
std::string NtlmNegotiateMessage();

// Reads a type-2 message from its Base64 text (the header value after
// "NTLM "). False, with the reason in `error`, when the text is not Base64,
// the message is shorter than its fixed part, or the signature or type is
// wrong.
bool NtlmDecodeChallenge(const std::string& base64, TNtlmChallenge& out, std::string& error);

// The 24-byte responses of version 1 to an 8-byte server challenge.
std::array<std::uint8_t, 16> NtlmLmHash(const std::string& password);
std::array<std::uint8_t, 16> NtlmNtHash(const std::string& password);
std::array<std::uint8_t, 24> NtlmResponse(const std::array<std::uint8_t, 16>& hash,
                                          const std::array<std::uint8_t, 8>& challenge);

// The Base64 text of the authenticate message: type 3, flags 0x8205, the LM
// and NT responses, no domain, `user` and `workstation` (UTF-16LE when the
// challenge chose unicode, else as they are).
std::string NtlmAuthenticateMessage(const TNtlmChallenge& challenge, const std::string& user,
                                    const std::string& password, const std::string& workstation);

// This machine's host name, the workstation of the authenticate message.
std::string NtlmLocalHostName();

// Text to UTF-16LE: UTF-8 when it is valid UTF-8, otherwise each byte as
// its own character (Latin-1).
std::string NtlmUnicode(const std::string& text);

// NTLM challenge (type 2) decoding on arbitrary bytes, given both as the
// message itself (Base64-encoded for the decoder) and as the header's Base64
// text: a message is accepted only when it holds its fixed part (the names
// it points at are not read), and an accepted one always gives an
// authenticate message that decodes again.
#include "net/http/httpbasic.h"
#include "net/http/httpntlm.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void Check(const std::string& message, const TNtlmChallenge& c) {
    if (message.size() < 32 || std::memcmp(message.data(), "NTLMSSP\0\x02\0\0\0", 12) != 0)
        Fail("a message without its fixed part, signature or type was accepted");
    if (std::memcmp(c.Challenge.data(), message.data() + 24, 8) != 0)
        Fail("the server challenge is not the message's bytes 24 to 31");
    if (c.Flags != (static_cast<std::uint8_t>(message[20]) |
                    static_cast<std::uint32_t>(static_cast<std::uint8_t>(message[21])) << 8 |
                    static_cast<std::uint32_t>(static_cast<std::uint8_t>(message[22])) << 16 |
                    static_cast<std::uint32_t>(static_cast<std::uint8_t>(message[23])) << 24))
        Fail("the flags are not the message's bytes 20 to 23");
    std::string answer;
    if (!Base64Decode(NtlmAuthenticateMessage(c, "User", "Password", "HOST"), answer) ||
        answer.size() != 64 + 24 + 24 + ((c.Flags & kNtlmFlagUnicode) ? 16 : 8))
        Fail("an authenticate message of the wrong size");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TNtlmChallenge c;
    std::string error;
    if (NtlmDecodeChallenge(Base64Encode(bytes), c, error))
        Check(bytes, c);
    else if (error.empty())
        Fail("a refusal without a reason");

    // The same bytes as the header's text.
    std::string decoded;
    const bool base64 = Base64Decode(bytes, decoded);
    if (NtlmDecodeChallenge(bytes, c, error)) {
        if (!base64)
            Fail("text that is not Base64 was accepted");
        Check(decoded, c);
    }
    return 0;
}

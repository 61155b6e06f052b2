#include "net/http/httpbasic.h"

#include "net/http/httpparse.h"

#include <nettle/base64.h>

#include <cstdint>
#include <vector>

std::string Base64Encode(const std::string& bytes) {
    std::string out(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
    base64_encode_raw(reinterpret_cast<char*>(out.data()), bytes.size(),
                      reinterpret_cast<const std::uint8_t*>(bytes.data()));
    return out;
}

bool Base64Decode(const std::string& text, std::string& bytes) {
    bytes.clear();
    std::string t = TrimBlanks(text);
    // nettle skips white space inside the text; a value of a header line
    // has none, so any is a fault of the sender.
    if (t.find_first_of(" \t\r\n") != std::string::npos || t.size() % 4 != 0)
        return false;
    base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    std::vector<std::uint8_t> out(BASE64_DECODE_LENGTH(t.size()) + 1);
    std::size_t len = out.size();
    if (!base64_decode_update(&ctx, &len, out.data(), t.size(), t.data()) ||
        !base64_decode_final(&ctx))
        return false;
    bytes.assign(reinterpret_cast<const char*>(out.data()), len);
    return true;
}

std::string BasicCredentials(const std::string& user, const std::string& password) {
    return Base64Encode(user + ":" + password);
}

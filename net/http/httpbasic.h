// Base64 (the standard alphabet with "=" padding) and the credentials of the
// Basic scheme. The Base64 work itself is nettle's.
#pragma once

#include <string>

std::string Base64Encode(const std::string& bytes);
// Decodes `text` (blanks around it are ignored). False when it is not Base64:
// a character outside the alphabet, a missing or misplaced "=", or a length
// that ends inside a group; `bytes` is then empty.
bool Base64Decode(const std::string& text, std::string& bytes);

// The value after "Authorization: Basic ": Base64 of user ":" password.
std::string BasicCredentials(const std::string& user, const std::string& password);

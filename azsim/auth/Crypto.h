// Small cryptographic helpers of the access authority, over OpenSSL:
// HMAC-SHA256 signatures, base64 in its standard and URL-safe forms, random
// bytes and a comparison that does not leak where two signatures differ.
#pragma once

#include <cstddef>
#include <string>

namespace azsim::crypto {

std::string hmacSha256(const std::string& key, const std::string& data);

std::string base64(const std::string& bytes);
// False when `text` is not valid padded base64.
bool unbase64(const std::string& text, std::string& bytes);

// URL-safe alphabet, no padding (the form of compact signed tokens).
std::string base64Url(const std::string& bytes);
bool unbase64Url(const std::string& text, std::string& bytes);

// Cryptographically strong random bytes; throws std::runtime_error when the generator fails.
std::string randomBytes(std::size_t count);

// Equality in time that depends only on the lengths.
bool equalConstantTime(const std::string& a, const std::string& b);

}  // namespace azsim::crypto

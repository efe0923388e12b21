#include "azsim/auth/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

namespace azsim::crypto {

std::string hmacSha256(const std::string& key, const std::string& data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLength = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &macLength))
        throw std::runtime_error("HMAC-SHA256 failed");
    return std::string(reinterpret_cast<const char*>(mac), macLength);
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

bool unbase64(const std::string& text, std::string& bytes) {
    if (text.size() % 4 != 0) return false;
    bytes.assign(3 * text.size() / 4 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    // EVP_DecodeBlock counts the zero bytes that padding stands for.
    std::size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '=' && padding < 2; ++it) ++padding;
    bytes.resize(static_cast<std::size_t>(n) - padding);
    return true;
}

std::string base64Url(const std::string& bytes) {
    std::string text = base64(bytes);
    while (!text.empty() && text.back() == '=') text.pop_back();
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

bool unbase64Url(const std::string& text, std::string& bytes) {
    if (text.find_first_of("+/=") != std::string::npos) return false;
    std::string standard = text;
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    standard.append((4 - standard.size() % 4) % 4, '=');
    return unbase64(standard, bytes);
}

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count && RAND_bytes(reinterpret_cast<unsigned char*>(&bytes[0]), static_cast<int>(count)) != 1)
        throw std::runtime_error("the random generator failed");
    return bytes;
}

bool equalConstantTime(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace azsim::crypto

// Streaming SHA-256 with a lower-case hex result.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

namespace vsagent {

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    // Finishes the digest; the object is not used afterwards.
    std::string hex();

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
};

}  // namespace vsagent

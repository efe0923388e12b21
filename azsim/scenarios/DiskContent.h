// Content instructions for simulated disks: a range filled with a repeated
// text, seeded pseudo-random bytes or zeros. Pages outside every range stay
// unallocated (sparse), as on a disk that was never written there.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "azsim/blob/PageBlobStore.h"

namespace azsim {

enum class FillKind { Text, Random, Zeros };

struct ContentFill {
    std::uint64_t offset = 0;  // bytes, multiple of 512
    std::uint64_t length = 0;  // bytes, multiple of 512
    FillKind kind = FillKind::Zeros;
    // Repeated over each MiB of the range; "{disk}" becomes the disk name and
    // "{block}" the index of the MiB within the disk.
    std::string text;
    std::uint64_t seed = 0;
};

// {"offset": O, "length": L, "fill": "text" | "random" | "zeros", "text": T, "seed": S};
// throws azsim::Error when a member is missing, misaligned or of the wrong kind.
ContentFill ContentFillFromJson(const nlohmann::json& j);

// Produces the bytes of one fill in order, from its offset on.
class ContentGenerator {
public:
    static constexpr std::uint64_t kBlockSize = 1024 * 1024;

    ContentGenerator(const ContentFill& fill, std::string diskName);
    // The next `length` bytes of the fill.
    void next(char* out, std::size_t length);

private:
    ContentFill fill_;
    std::string diskName_;
    std::uint64_t position_;  // absolute disk offset of the next byte
    std::mt19937_64 random_;
    std::uint64_t randomWord_ = 0;
    unsigned randomBytesLeft_ = 0;
};

// Writes a fill into a page blob in chunks; false with `error` set when the store refuses.
bool WriteContent(PageBlobStore& store, const BlobKey& blob, const ContentFill& fill, const std::string& diskName,
                  std::string* error);

}  // namespace azsim

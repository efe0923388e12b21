// Something that can be read at random, read-only: a backed-up disk, one
// partition of it, or (in tests) an image file. File-system readers and the
// block-device export read through it and never see where the bytes are kept.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsagent {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Fills `out` with `length` bytes from `offset`; throws StoreError when the
    // range lies beyond size() or the bytes cannot be read or proven sound.
    // May be called from several threads at once.
    virtual void read(std::uint64_t offset, std::size_t length, unsigned char* out) const = 0;
};

}  // namespace vsagent

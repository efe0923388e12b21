// A heap buffer whose start is aligned for direct (page-cache-bypassing) I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace vsagent {

// Alignment of file offsets, lengths and buffer addresses for direct I/O.
constexpr std::size_t kDirectIoAlign = 4096;

inline bool DirectIoAligned(std::uint64_t offset, const void* data, std::size_t size) {
    return offset % kDirectIoAlign == 0 && size % kDirectIoAlign == 0 &&
           reinterpret_cast<std::uintptr_t>(data) % kDirectIoAlign == 0;
}

struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<unsigned char[], FreeDeleter>;

inline AlignedBuffer MakeAlignedBuffer(std::size_t size) {
    void* p = nullptr;
    if (posix_memalign(&p, kDirectIoAlign, size) != 0) throw std::bad_alloc();
    return AlignedBuffer(static_cast<unsigned char*>(p));
}

}  // namespace vsagent

// Byte buffer that a libcurl callback works through: a response body lands
// in it piece by piece (write callback), or a request body is pulled from it
// (read callback).
#pragma once

#include <cstddef>
#include <vector>

struct SCURLData {
    SCURLData() = default;
    // `size` zero bytes, all of them still expected.
    explicit SCURLData(size_t size) : buffer(size, 0), remaining(size) {}
    // A copy of `size` bytes at `data`, all of them still to send.
    SCURLData(const void* data, size_t size)
        : buffer(static_cast<const char*>(data), static_cast<const char*>(data) + size), remaining(size) {}
    // The `size` bytes at `data`, sent from where they are, uncopied: they must outlive the transfer.
    static SCURLData Borrowed(const void* data, size_t size) {
        SCURLData out;
        out.borrowed = static_cast<const char*>(data);
        out.remaining = size;
        return out;
    }
    // Where the bytes to send start.
    const char* source() const { return borrowed ? borrowed : buffer.data(); }

    std::vector<char> buffer;
    const char* borrowed = nullptr;    // set: the bytes to send, not owned
    unsigned long long offset = 0;     // bytes stored (or sent) so far
    unsigned long long remaining = 0;  // bytes still expected (or still to send)
};

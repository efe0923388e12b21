// The stored image of one disk of one backup job: a sparse file as long as the
// disk, holding the bytes read at their own offsets. Blocks of zeros are not
// written, so unread and zero areas stay holes and cost no space.
//
// Aligned writes and reads (see AlignedBuffer.h) bypass the page cache where the
// file system allows it: a backup streams far more data than it will read again
// soon, and filling the page cache with it costs more than the disk transfer
// (it also makes the final flush short). Other ranges go through the page cache.
#pragma once

#include <cstdint>
#include <string>

namespace vsagent {

class SparseImage {
public:
    // Creates (or truncates) the file at `path` with `size` bytes, all holes.
    static SparseImage Create(const std::string& path, std::uint64_t size);
    // Opens an existing image for reading.
    static SparseImage Open(const std::string& path);

    SparseImage(SparseImage&& other) noexcept;
    SparseImage& operator=(SparseImage&& other) noexcept;
    SparseImage(const SparseImage&) = delete;
    SparseImage& operator=(const SparseImage&) = delete;
    ~SparseImage();

    // Both may be called from several threads at once; they throw StoreError.
    void write(std::uint64_t offset, const unsigned char* data, std::size_t size);
    void read(std::uint64_t offset, unsigned char* data, std::size_t size) const;
    // Flushes the data to the disk.
    void sync();
    const std::string& path() const { return path_; }

private:
    SparseImage(int fd, int directFd, std::string path) : fd_(fd), directFd_(directFd), path_(std::move(path)) {}
    void close();
    int fd_ = -1;
    int directFd_ = -1;  // the same file opened for direct I/O; -1 where the file system has none
    std::string path_;
};

}  // namespace vsagent

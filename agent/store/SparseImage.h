// The stored image of one disk of one backup job: a sparse file as long as the
// disk, holding the bytes read at their own offsets. Blocks of zeros are not
// written, so unread and zero areas stay holes and cost no space: this goes down
// to each 4 KiB block (at a file offset that is a multiple of 4 KiB), the unit
// in which file systems allocate.
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
    // write() skips every 4 KiB block, or part of one at either end of the range,
    // that `data` holds only zeros for, and writes the rest in as few transfers as
    // it can. A skipped block keeps what the file held: every caller writes a range
    // of a new image (all holes) at most once, so it reads as the zeros it was given.
    void write(std::uint64_t offset, const unsigned char* data, std::size_t size);
    void read(std::uint64_t offset, unsigned char* data, std::size_t size) const;
    // Flushes the data to the disk.
    void sync();
    const std::string& path() const { return path_; }

private:
    SparseImage(int fd, int directFd, std::string path) : fd_(fd), directFd_(directFd), path_(std::move(path)) {}
    void close();
    // One contiguous pwrite of the whole range, retried until done.
    void writeAll(std::uint64_t offset, const unsigned char* data, std::size_t size);
    int fd_ = -1;
    int directFd_ = -1;  // the same file opened for direct I/O; -1 where the file system has none
    std::string path_;
};

}  // namespace vsagent

// The stored image of one disk of one backup job: a sparse file as long as the
// disk, holding the bytes read at their own offsets. Blocks of zeros are not
// written, so unread and zero areas stay holes and cost no space.
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
    SparseImage(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::string path_;
};

}  // namespace vsagent

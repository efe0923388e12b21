// File helpers for blob data and metadata: whole-file reads, atomic
// replacement, positional I/O that retries short transfers, clearing ranges by
// punching holes, copies that keep a sparse file sparse, and shared data with
// copy on write.
#pragma once

#include <cstdint>
#include <string>

namespace azsim::blob {

// Owns a file descriptor.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd_; }
    void reset(int fd);
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

std::string systemError(const std::string& what, const std::string& path);

bool readWholeFile(const std::string& path, std::string& out);
// Writes `bytes` to a temporary file beside `path`, then renames it over `path`.
bool replaceFile(const std::string& path, const std::string& bytes, std::string* error);
// Creates (or truncates) `path` as a file of `size` bytes holding no data.
bool createSparseFile(const std::string& path, std::uint64_t size, std::string* error);

// Reads until `length` bytes or the end of the file; returns the count, -1 on error.
std::int64_t readAt(int fd, void* out, std::uint64_t length, std::uint64_t offset);
bool writeAt(int fd, const void* data, std::uint64_t length, std::uint64_t offset);
// Makes a range read as zeros, releasing its storage where the file system can.
bool zeroRange(int fd, std::uint64_t offset, std::uint64_t length);
// Copies a file's bytes to `to` (created or replaced), leaving holes as holes.
bool copySparseFile(const std::string& from, const std::string& to, std::string* error);
// Makes `to` (created or replaced) name the data of `from` without copying it: a
// second link to the same file, or a copy where the file system cannot link.
// Whoever changes a file that may be shared this way calls ownFile first.
bool shareFile(const std::string& from, const std::string& to, std::string* error);
// Copy on write: when the data at `path` is shared with another name, `path` gets
// a copy of its own (replacing it atomically), so a change leaves the other name alone.
bool ownFile(const std::string& path, std::string* error);

}  // namespace azsim::blob

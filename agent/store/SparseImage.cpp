#include "agent/store/SparseImage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

bool AllZero(const unsigned char* data, std::size_t size) {
    return size == 0 || (data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0);
}

// One pread or pwrite (`io` on a descriptor): through the direct descriptor when
// the range is aligned for it, else, or when the file system refuses direct I/O
// at this alignment (EINVAL), through the page cache.
template <typename Io>
ssize_t Transfer(int directFd, int fd, std::uint64_t offset, const unsigned char* data, std::size_t size, Io io) {
    if (directFd >= 0 && DirectIoAligned(offset, data, size)) {
        ssize_t n = io(directFd);
        if (n >= 0 || errno != EINVAL) return n;
    }
    return io(fd);
}

}  // namespace

void ThrowSystemError(const std::string& what, const std::string& path) {
    throw StoreError(what + " [" + path + "]: " + std::strerror(errno));
}

SparseImage SparseImage::Create(const std::string& path, std::uint64_t size) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) ThrowSystemError("cannot create disk image", path);
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        ThrowSystemError("cannot size disk image", path);
    }
    return SparseImage(fd, ::open(path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC), path);
}

SparseImage SparseImage::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("cannot open disk image", path);
    return SparseImage(fd, ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC), path);
}

SparseImage::SparseImage(SparseImage&& other) noexcept
    : fd_(other.fd_), directFd_(other.directFd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
    other.directFd_ = -1;
}

SparseImage& SparseImage::operator=(SparseImage&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(directFd_, other.directFd_);
    std::swap(path_, other.path_);
    return *this;
}

SparseImage::~SparseImage() { close(); }

void SparseImage::close() {
    if (fd_ >= 0) ::close(fd_);
    if (directFd_ >= 0) ::close(directFd_);
    fd_ = directFd_ = -1;
}

void SparseImage::write(std::uint64_t offset, const unsigned char* data, std::size_t size) {
    // Walk the range block by block (the first and last may be partial) and write
    // each run of blocks that are not all zeros with one transfer. A run of whole
    // blocks from an aligned buffer stays aligned, so it can still bypass the page cache.
    std::size_t run = 0;  // start of the current run of non-zero blocks
    bool inRun = false;
    for (std::size_t at = 0; at < size;) {
        const std::size_t next =
            std::min<std::size_t>(size, at + kDirectIoAlign - static_cast<std::size_t>((offset + at) % kDirectIoAlign));
        const bool zero = AllZero(data + at, next - at);
        if (!zero && !inRun) run = at;
        if (zero && inRun) writeAll(offset + run, data + run, at - run);
        inRun = !zero;
        at = next;
    }
    if (inRun) writeAll(offset + run, data + run, size - run);
}

void SparseImage::writeAll(std::uint64_t offset, const unsigned char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        ssize_t n = Transfer(directFd_, fd_, offset + done, data + done, size - done, [&](int fd) {
            return ::pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
        });
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ThrowSystemError("cannot write disk image", path_);
        done += static_cast<std::size_t>(n);
    }
}

void SparseImage::read(std::uint64_t offset, unsigned char* data, std::size_t size) const {
    for (std::size_t done = 0; done < size;) {
        ssize_t n = Transfer(directFd_, fd_, offset + done, data + done, size - done, [&](int fd) {
            return ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
        });
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowSystemError("cannot read disk image", path_);
        if (n == 0) throw StoreError("disk image [" + path_ + "] is shorter than its manifest says");
        done += static_cast<std::size_t>(n);
    }
}

void SparseImage::sync() {
    if (::fsync(fd_) != 0) ThrowSystemError("cannot flush disk image", path_);
}

}  // namespace vsagent

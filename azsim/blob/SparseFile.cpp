#include "azsim/blob/SparseFile.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace azsim::blob {

namespace {

constexpr std::uint64_t kChunk = 1 << 20;

// Copies [offset, offset + length) between files at the same offsets, in the kernel when it can.
bool copyRange(int in, int out, std::uint64_t offset, std::uint64_t length) {
    loff_t inPos = static_cast<loff_t>(offset), outPos = static_cast<loff_t>(offset);
    std::uint64_t left = length;
    while (left > 0) {
        ssize_t n = ::copy_file_range(in, &inPos, out, &outPos, left, 0);
        if (n > 0) {
            left -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return false;
        break;  // not supported between these files: copy through a buffer
    }
    std::vector<char> buffer(std::min<std::uint64_t>(left, kChunk));
    while (left > 0) {
        std::uint64_t step = std::min<std::uint64_t>(left, kChunk);
        std::uint64_t at = static_cast<std::uint64_t>(inPos);
        if (readAt(in, buffer.data(), step, at) != static_cast<std::int64_t>(step)) return false;
        if (!writeAt(out, buffer.data(), step, at)) return false;
        inPos += static_cast<loff_t>(step);
        left -= step;
    }
    return true;
}

bool copyDataExtents(int in, int out, std::uint64_t size) {
    std::uint64_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(in, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) return true;  // only a hole remains
            return copyRange(in, out, pos, size - pos);
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        std::uint64_t end = hole < 0 ? size : std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size);
        if (!copyRange(in, out, static_cast<std::uint64_t>(data), end - static_cast<std::uint64_t>(data)))
            return false;
        pos = end;
    }
    return true;
}

}  // namespace

FileHandle::~FileHandle() { reset(-1); }

void FileHandle::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " [" + path + "]: " + std::strerror(errno);
}

bool readWholeFile(const std::string& path, std::string& out) {
    FileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return false;
    out.resize(static_cast<std::size_t>(st.st_size));
    return readAt(fd.get(), out.data(), out.size(), 0) == static_cast<std::int64_t>(out.size());
}

bool replaceFile(const std::string& path, const std::string& bytes, std::string* error) {
    const std::string tmp = path + ".tmp";
    {
        FileHandle fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid() || !writeAt(fd.get(), bytes.data(), bytes.size(), 0)) {
            if (error) *error = systemError("cannot write", tmp);
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = systemError("cannot replace", path);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool createSparseFile(const std::string& path, std::uint64_t size, std::string* error) {
    FileHandle fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid() || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        if (error) *error = systemError("cannot create", path);
        return false;
    }
    return true;
}

std::int64_t readAt(int fd, void* out, std::uint64_t length, std::uint64_t offset) {
    auto* p = static_cast<char*>(out);
    std::uint64_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

bool writeAt(int fd, const void* data, std::uint64_t length, std::uint64_t offset) {
    const auto* p = static_cast<const char*>(data);
    std::uint64_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool zeroRange(int fd, std::uint64_t offset, std::uint64_t length) {
    if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length)) == 0)
        return true;
    std::vector<char> zeros(std::min<std::uint64_t>(length, kChunk), 0);
    for (std::uint64_t done = 0; done < length;) {
        std::uint64_t step = std::min<std::uint64_t>(length - done, kChunk);
        if (!writeAt(fd, zeros.data(), step, offset + done)) return false;
        done += step;
    }
    return true;
}

bool copySparseFile(const std::string& from, const std::string& to, std::string* error) {
    FileHandle in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        if (error) *error = systemError("cannot open", from);
        return false;
    }
    FileHandle out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid()) {
        if (error) *error = systemError("cannot create", to);
        return false;
    }
    if (::ioctl(out.get(), FICLONE, in.get()) == 0) return true;
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (::ftruncate(out.get(), st.st_size) != 0 || !copyDataExtents(in.get(), out.get(), size)) {
        if (error) *error = systemError("cannot copy to", to);
        return false;
    }
    return true;
}

bool shareFile(const std::string& from, const std::string& to, std::string* error) {
    ::unlink(to.c_str());
    if (::link(from.c_str(), to.c_str()) == 0) return true;
    return copySparseFile(from, to, error);
}

bool ownFile(const std::string& path, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (error) *error = systemError("cannot inspect", path);
        return false;
    }
    if (st.st_nlink <= 1) return true;
    const std::string own = path + ".own";
    const bool copied = copySparseFile(path, own, error);
    if (copied && std::rename(own.c_str(), path.c_str()) == 0) return true;
    if (copied && error) *error = systemError("cannot take a copy of", path);
    ::unlink(own.c_str());
    return false;
}

}  // namespace azsim::blob

#include "agent/files/NtfsDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace vsagent {

namespace {

constexpr int kSectorBytes = 512;

}  // namespace

ntfs_device_operations NtfsDevice::operations_ = {Open, Close, Seek, Read, Write, Pread, Pwrite, Sync, Stat, Ioctl};

ntfs_device* NtfsDevice::allocate(const std::string& name) {
    return ntfs_device_alloc(name.c_str(), 0, &operations_, this);
}

int NtfsDevice::Open(ntfs_device* dev, int flags) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EROFS;
        return -1;
    }
    Of(dev).position_ = 0;
    NDevSetOpen(dev);
    NDevSetReadOnly(dev);
    return 0;
}

int NtfsDevice::Close(ntfs_device* dev) {
    NDevClearOpen(dev);
    return 0;
}

s64 NtfsDevice::Seek(ntfs_device* dev, s64 offset, int whence) {
    NtfsDevice& self = Of(dev);
    const s64 size = static_cast<s64>(self.source_.size());
    const s64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? self.position_ : whence == SEEK_END ? size : -1;
    if (base < 0 || base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    self.position_ = base + offset;
    return self.position_;
}

s64 NtfsDevice::Read(ntfs_device* dev, void* buffer, s64 count) {
    const s64 done = Pread(dev, buffer, count, Of(dev).position_);
    if (done > 0) Of(dev).position_ += done;
    return done;
}

// Up to `count` bytes at `offset`, fewer at the end of the source; a source that
// cannot serve them (a damaged store) fails the read with EIO and says why in error().
s64 NtfsDevice::Pread(ntfs_device* dev, void* buffer, s64 count, s64 offset) {
    NtfsDevice& self = Of(dev);
    const std::uint64_t size = self.source_.size();
    if (offset < 0 || count < 0) {
        errno = EINVAL;
        return -1;
    }
    if (static_cast<std::uint64_t>(offset) >= size) return 0;
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size - offset));
    try {
        self.source_.read(static_cast<std::uint64_t>(offset), length, static_cast<unsigned char*>(buffer));
    } catch (const std::exception& e) {
        self.error_ = e.what();
        errno = EIO;
        return -1;
    }
    return static_cast<s64>(length);
}

s64 NtfsDevice::Write(ntfs_device*, const void*, s64) {
    errno = EROFS;
    return -1;
}

s64 NtfsDevice::Pwrite(ntfs_device*, const void*, s64, s64) {
    errno = EROFS;
    return -1;
}

int NtfsDevice::Sync(ntfs_device*) { return 0; }

int NtfsDevice::Stat(ntfs_device* dev, struct stat* out) {
    std::memset(out, 0, sizeof *out);
    out->st_mode = S_IFREG | 0444;
    out->st_size = static_cast<off_t>(Of(dev).source_.size());
    out->st_blksize = kSectorBytes;
    return 0;
}

// The geometry questions a block device answers; anything else is not ours to answer.
int NtfsDevice::Ioctl(ntfs_device* dev, unsigned long request, void* argument) {
    const std::uint64_t size = Of(dev).source_.size();
    switch (request) {
    case BLKGETSIZE64: *static_cast<std::uint64_t*>(argument) = size; return 0;
    case BLKGETSIZE: *static_cast<unsigned long*>(argument) = size / kSectorBytes; return 0;
    case BLKSSZGET: *static_cast<int*>(argument) = kSectorBytes; return 0;
    default: errno = ENOTTY; return -1;
    }
}

}  // namespace vsagent

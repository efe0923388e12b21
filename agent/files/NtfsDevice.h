// The block device libntfs-3g reads an NTFS volume from, made of a ByteSource:
// reads are served from the source, every write is refused. Also the one place
// the library's C headers are included (they need these system headers first).
#pragma once

#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/ntfstime.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// The library's headers define these as macros, which the standard library's would clash with.
#undef min
#undef max

#include "agent/files/ByteSource.h"

namespace vsagent {

class NtfsDevice {
public:
    explicit NtfsDevice(const ByteSource& source) : source_(source) {}
    NtfsDevice(const NtfsDevice&) = delete;
    NtfsDevice& operator=(const NtfsDevice&) = delete;

    // A library device reading through this object, which must outlive it. The
    // volume mounted on it frees it at unmount; the caller frees it otherwise.
    ntfs_device* allocate(const std::string& name);
    // Why the last failed read of the source failed ("" when none did since clearError()).
    const std::string& error() const { return error_; }
    void clearError() { error_.clear(); }

private:
    static NtfsDevice& Of(ntfs_device* dev) { return *static_cast<NtfsDevice*>(dev->d_private); }
    static int Open(ntfs_device* dev, int flags);
    static int Close(ntfs_device* dev);
    static s64 Seek(ntfs_device* dev, s64 offset, int whence);
    static s64 Read(ntfs_device* dev, void* buffer, s64 count);
    static s64 Write(ntfs_device* dev, const void* buffer, s64 count);
    static s64 Pread(ntfs_device* dev, void* buffer, s64 count, s64 offset);
    static s64 Pwrite(ntfs_device* dev, const void* buffer, s64 count, s64 offset);
    static int Sync(ntfs_device* dev);
    static int Stat(ntfs_device* dev, struct stat* out);
    static int Ioctl(ntfs_device* dev, unsigned long request, void* argument);
    static ntfs_device_operations operations_;

    const ByteSource& source_;
    s64 position_ = 0;  // of the sequential Read the library uses to probe the size
    std::string error_;
};

}  // namespace vsagent

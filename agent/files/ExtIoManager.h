// The block device libext2fs reads an ext file system from: a ByteSource, read
// through at the block the library asks for and never written (every write is
// refused). The library opens a device by name, so a source is given a name for
// as long as its ExtDevice lives.
#pragma once

#include <string>

#include <ext2fs/ext2fs.h>

#include "agent/files/ByteSource.h"

namespace vsagent {

class ExtDevice {
public:
    explicit ExtDevice(const ByteSource& source);
    ~ExtDevice();
    ExtDevice(const ExtDevice&) = delete;
    ExtDevice& operator=(const ExtDevice&) = delete;

    // The name to open with ExtIoManager().
    const std::string& name() const { return name_; }
    const ByteSource& source() const { return source_; }
    // Why the last read failed (a damaged store, a read beyond the partition); empty when none did.
    std::string lastError() const;
    void setLastError(const std::string& error);

private:
    const ByteSource& source_;
    std::string name_;
    std::string lastError_;
};

// The I/O manager that opens the names ExtDevice gives.
io_manager ExtIoManager();

}  // namespace vsagent

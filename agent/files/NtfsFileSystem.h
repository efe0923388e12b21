// NTFS file systems of backed-up disks, read through libntfs-3g with a device of
// ours over a ByteSource: no kernel mount, no root, nothing ever written.
#pragma once

#include <memory>

#include "agent/files/FileSystem.h"

namespace vsagent {

// Whether `partition` starts with an NTFS boot sector (its "NTFS    " system id);
// says nothing of whether the rest is sound.
bool LooksLikeNtfs(const ByteSource& partition);

// The NTFS file system held by `partition`, which must outlive the result. Throws
// StoreError when `partition` holds no NTFS file system or a damaged one.
// Listings leave out the volume's own metadata files ($MFT, $Bitmap, ...). Every
// call into the library is serialised: it is not safe to use from several threads.
std::unique_ptr<FileSystem> OpenNtfs(const ByteSource& partition);

}  // namespace vsagent

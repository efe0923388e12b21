// ext2, ext3 and ext4 file systems, read through libext2fs over a ByteSource:
// no kernel mount, no journal replay (what the journal holds and the file system
// does not yet is not seen), no write. Reading one file reads its inode, the
// directories on its path, its extent or block map and its blocks only.
#pragma once

#include <memory>

#include "agent/files/FileSystem.h"

namespace vsagent {

// Whether `source` carries the ext superblock's magic number.
bool LooksLikeExt(const ByteSource& source);
// The ext file system on `source`, which must outlive it; throws StoreError saying
// why when the library cannot open it (a damaged superblock, an unknown feature).
std::unique_ptr<FileSystem> OpenExt(const ByteSource& source);

}  // namespace vsagent

#include "agent/files/FileSystems.h"

#include "agent/files/ExtFileSystem.h"
#include "agent/files/NtfsFileSystem.h"

namespace vsagent {

std::unique_ptr<FileSystem> OpenFileSystem(const ByteSource& partition, std::string& why) {
    if (LooksLikeExt(partition)) return OpenExt(partition);
    if (LooksLikeNtfs(partition)) return OpenNtfs(partition);
    why = "no file system the agent reads (ext2, ext3, ext4, NTFS)";
    return nullptr;
}

}  // namespace vsagent

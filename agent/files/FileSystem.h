// A read-only view of one file system found on a backed-up disk. Each kind of
// file system the agent understands implements it over a ByteSource; the files
// commands list, find and copy out through it only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/files/ByteSource.h"

namespace vsagent {

struct FileEntry {
    enum class Type { File, Directory, Symlink, Other };
    std::string name;          // one path component, as the file system holds it (never "." or "..")
    Type type = Type::Other;
    std::uint64_t size = 0;
    std::uint32_t mode = 0;    // permission bits (and set-id, sticky), without the type
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::int64_t mtime = 0;    // seconds since the epoch
    std::int64_t atime = 0;
    std::string linkTarget;    // of a symbolic link
    std::uint64_t id = 0;      // the file system's own number of the file (inode, record); 0 where it has none
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // "ext4", "ext3", "ext2", "ntfs".
    virtual std::string kind() const = 0;
    // The entry `path` names ("/" is the root); follows no symbolic link. Throws
    // StoreError naming the path when it is not there or the file system is damaged.
    virtual FileEntry stat(const std::string& path) const = 0;
    // The entries of the directory `path`.
    virtual std::vector<FileEntry> list(const std::string& path) const = 0;
    // Streams the content of the regular file `path` to `sink`, in order, in
    // pieces; reads only the blocks the file and its metadata take.
    virtual void read(const std::string& path,
                      const std::function<void(const unsigned char*, std::size_t)>& sink) const = 0;
    // Extended attributes of `path` (name -> value); empty where the file system has none.
    virtual std::map<std::string, std::string> xattrs(const std::string& path) const = 0;
};

}  // namespace vsagent

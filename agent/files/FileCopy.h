// Copies files, folders and symbolic links out of a backed-up file system into a
// local folder, and never writes outside it whatever names and links the file
// system holds: every name is one checked component (no "/", "." or "..", no NUL,
// at most 255 bytes), every file is created new (O_EXCL) under an open directory
// descriptor, no symbolic link is followed while writing (O_NOFOLLOW), and links
// are recreated as links with their target text untouched.
//
// Modes and times are kept. Owners, set-id bits and extended attributes outside
// "user." are kept only when running as root (they need its privilege); what is
// left out is counted in notes(). A directory that leads back to one of its own
// parents is not followed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/files/FileSystem.h"
#include "agent/store/StoreError.h"

namespace vsagent {

struct CopyCounts {
    std::uint64_t files = 0, directories = 0, links = 0, bytes = 0;
};

class FileCopy {
public:
    // Copies into the folder `out`, made when missing; throws StoreError when it cannot be opened.
    FileCopy(const std::string& out, StopRequested stop);
    ~FileCopy();
    FileCopy(const FileCopy&) = delete;
    FileCopy& operator=(const FileCopy&) = delete;

    // Copies the entry `path` of `fs` (a folder with everything in it; the root's
    // content for "/") into the folder under its own name. An entry that cannot be
    // copied is left out (a file written in part is removed) and told in problems();
    // the copy goes on. Throws StoreCancelled when `stop` says so.
    void copy(const FileSystem& fs, const std::string& path);
    const CopyCounts& counts() const { return counts_; }
    const std::vector<std::string>& problems() const { return problems_; }
    std::vector<std::string> notes() const;

private:
    void copyEntry(const FileSystem& fs, const std::string& path, const FileEntry& entry, int dirFd);
    void copyChildren(const FileSystem& fs, const std::string& path, int dirFd);
    void copyFile(const FileSystem& fs, const std::string& path, const FileEntry& entry, int dirFd);
    void copyDirectory(const FileSystem& fs, const std::string& path, const FileEntry& entry, int dirFd);
    void copyLink(const FileEntry& entry, int dirFd);
    void keepAttributes(const FileSystem& fs, const std::string& path, const FileEntry& entry, int fd);

    int outFd_ = -1;
    StopRequested stop_;
    bool root_;
    std::vector<std::uint64_t> ancestors_;  // ids of the directories being copied, outermost first
    CopyCounts counts_;
    std::vector<std::string> problems_;
    std::uint64_t attributesSkipped_ = 0;
    std::uint64_t setIdDropped_ = 0;
    std::uint64_t othersSkipped_ = 0;
};

// Whether `name` can be created as one entry of a folder: not empty, ".", ".." and
// no "/" or NUL in it, at most 255 bytes.
bool IsSafeName(const std::string& name);

}  // namespace vsagent

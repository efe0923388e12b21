// NTFS images made by mkntfs and filled through the library itself, mounted
// read-write on the image file, for the tests that read them back.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "agent/files/FileSystem.h"
#include "agent/files/NtfsDevice.h"

namespace ntfstest {

using Type = vsagent::FileEntry::Type;

struct Expected {
    std::string path;
    Type type;
    mode_t make;            // 0: a link as Windows' Linux subsystem makes them (a reparse point)
    std::string content;    // of a file; the target of a link
    std::int64_t mtime = 0; // of a file, when set; else the library's own
};

// `e` made through a volume mounted read-write; its record number.
inline u64 Make(ntfs_volume* volume, const Expected& e) {
    const std::size_t slash = e.path.rfind('/');
    ntfs_inode* parent = ntfs_pathname_to_inode(volume, nullptr, e.path.substr(0, slash).c_str());
    ntfschar *name = nullptr, *target = nullptr;
    const int length = ntfs_mbstoucs(e.path.substr(slash + 1).c_str(), &name);
    const int targetLength = e.type == Type::Symlink ? ntfs_mbstoucs(e.content.c_str(), &target) : 0;
    ntfs_inode* made = e.make == S_IFLNK ? ntfs_create_symlink(parent, 0, name, length, target, targetLength)
                                         : ntfs_create(parent, 0, name, static_cast<u8>(length), e.make ? e.make : S_IFREG);
    EXPECT_NE(made, nullptr) << e.path;
    EXPECT_EQ(e.make ? 0 : ntfs_reparse_set_wsl_symlink(made, target, targetLength), 0);
    const std::size_t data = e.content.find_first_not_of('\0');  // what comes before stays a hole
    ntfs_attr* attr = e.make == S_IFREG ? ntfs_attr_open(made, AT_DATA, AT_UNNAMED, 0) : nullptr;
    const s64 written = attr ? ntfs_attr_pwrite(attr, data, e.content.size() - data, e.content.data() + data) : 0;
    EXPECT_EQ(static_cast<std::size_t>(written), attr ? e.content.size() - data : 0);
    if (attr) ntfs_attr_close(attr);
    if (e.mtime) {
        made->last_data_change_time = timespec2ntfs({e.mtime, 0});
        ntfs_inode_mark_dirty(made);
    }
    const u64 record = made->mft_no;
    // The parent goes first: closing the new entry writes it into its folder, which the library
    // opens again for that, and an inode open twice at once is never freed.
    ntfs_inode_close(parent), ntfs_inode_close(made);
    std::free(name), std::free(target);
    return record;
}

// Removes the file or empty folder `path`.
inline void Remove(ntfs_volume* volume, const std::string& path) {
    const std::size_t slash = path.rfind('/');
    ntfschar* name = nullptr;
    const int length = ntfs_mbstoucs(path.substr(slash + 1).c_str(), &name);
    ntfs_inode* parent = ntfs_pathname_to_inode(volume, nullptr, path.substr(0, slash).c_str());
    ntfs_inode* inode = ntfs_pathname_to_inode(volume, nullptr, path.c_str());
    EXPECT_EQ(ntfs_delete(volume, path.c_str(), inode, parent, name, static_cast<u8>(length)), 0) << path;
    std::free(name);
}

// Gives the file or folder `path` one more name, `name` in the folder `parent`.
inline void Link(ntfs_volume* volume, const std::string& path, const std::string& parent, const std::string& name) {
    ntfs_inode* inode = ntfs_pathname_to_inode(volume, nullptr, path.c_str());
    ntfs_inode* folder = ntfs_pathname_to_inode(volume, nullptr, parent.c_str());
    ntfschar* unicode = nullptr;
    const int length = ntfs_mbstoucs(name.c_str(), &unicode);
    EXPECT_EQ(ntfs_link(inode, folder, unicode, static_cast<u8>(length)), 0) << parent << "/" << name;
    ntfs_inode_close(inode), ntfs_inode_close(folder);
    std::free(unicode);
}

// Makes `image` a new NTFS file system of `bytes`; fails the test where mkntfs is missing.
inline void Format(const std::string& image, std::uint64_t bytes) {
    ASSERT_EQ(std::system(("rm -f " + image + " && truncate -s " + std::to_string(bytes) + " " + image +
                           " && PATH=$PATH:/sbin:/usr/sbin mkntfs -F -f -Q -q " + image + " >/dev/null 2>&1").c_str()),
              0)
        << "mkntfs (Debian ntfs-3g) is needed";
}

// Runs `change` on the file system of `image` mounted read-write, then unmounts it.
inline void Change(const std::string& image, const std::function<void(ntfs_volume*)>& change) {
    ntfs_volume* volume = ntfs_mount(image.c_str(), 0);
    ASSERT_NE(volume, nullptr) << image;
    change(volume);
    ASSERT_EQ(ntfs_umount(volume, FALSE), 0);
}

inline std::string Random(std::size_t length, unsigned seed) {
    std::string out(length, '\0');
    std::generate(out.begin(), out.end(), std::mt19937(seed));
    return out;
}

}  // namespace ntfstest

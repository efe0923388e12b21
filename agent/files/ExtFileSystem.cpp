#include "agent/files/ExtFileSystem.h"

#include <cstddef>
#include <mutex>
#include <vector>

// The error-text header of the library declares no C linkage of its own.
extern "C" {
#include <et/com_err.h>
}

#include "agent/files/ExtIoManager.h"
#include "agent/store/StoreError.h"

namespace vsagent {
namespace {

constexpr std::size_t kReadPiece = 256 * 1024;

// A time of the inode: 32 signed bits and, in a large inode, two more of epoch.
std::int64_t InodeTime(std::uint32_t seconds, const std::uint32_t* extra) {
    std::int64_t t = static_cast<std::int32_t>(seconds);
    if (extra) t += static_cast<std::int64_t>(*extra & 3) << 32;
    return t;
}

class ExtFileSystem : public FileSystem {
public:
    explicit ExtFileSystem(const ByteSource& source) : device_(source) {
        static std::once_flag tables;
        std::call_once(tables, [] { initialize_ext2_error_table(); });
        check(ext2fs_open2(device_.name().c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, ExtIoManager(), &fs_),
              "cannot open the ext file system");
    }
    ~ExtFileSystem() override { ext2fs_close_free(&fs_); }

    std::string kind() const override {
        if (ext2fs_has_feature_extents(fs_->super) || ext2fs_has_feature_flex_bg(fs_->super) ||
            ext2fs_has_feature_64bit(fs_->super) || ext2fs_has_feature_huge_file(fs_->super) ||
            ext2fs_has_feature_metadata_csum(fs_->super) || ext2fs_has_feature_gdt_csum(fs_->super))
            return "ext4";
        return ext2fs_has_feature_journal(fs_->super) ? "ext3" : "ext2";
    }

    FileEntry stat(const std::string& path) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        const ext2_ino_t ino = resolve(path);
        return entry(ino == EXT2_ROOT_INO ? "/" : path.substr(path.find_last_of('/') + 1), ino);
    }

    std::vector<FileEntry> list(const std::string& path) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        const ext2_ino_t dir = resolve(path);
        if (!LINUX_S_ISDIR(inode(dir).i_mode)) throw StoreError("[" + path + "] is not a directory");
        std::vector<std::pair<std::string, ext2_ino_t>> names;
        auto collect = [](ext2_ino_t, int, ext2_dir_entry* d, int, int, char*, void* out) -> int {
            const std::string name(d->name, static_cast<std::size_t>(ext2fs_dirent_name_len(d)));
            if (name != "." && name != "..")
                static_cast<std::vector<std::pair<std::string, ext2_ino_t>>*>(out)->emplace_back(name, d->inode);
            return 0;
        };
        check(ext2fs_dir_iterate2(fs_, dir, 0, nullptr, collect, &names),
              "cannot read the directory [" + path + "]");
        std::vector<FileEntry> out;
        for (const auto& [name, ino] : names) out.push_back(entry(name, ino));
        return out;
    }

    void read(const std::string& path,
              const std::function<void(const unsigned char*, std::size_t)>& sink) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        const ext2_ino_t ino = resolve(path);
        const ext2_inode_large in = inode(ino);
        if (!LINUX_S_ISREG(in.i_mode)) throw StoreError("[" + path + "] is not a regular file");
        readContent(ino, path, EXT2_I_SIZE(&in), sink);
    }

    std::map<std::string, std::string> xattrs(const std::string& path) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        const ext2_ino_t ino = resolve(path);
        std::map<std::string, std::string> out;
        if (!ext2fs_has_feature_xattr(fs_->super)) return out;
        ext2_xattr_handle* handle = nullptr;
        check(ext2fs_xattrs_open(fs_, ino, &handle), "cannot read the attributes of [" + path + "]");
        errcode_t error = ext2fs_xattrs_read(handle);
        auto collect = [](char* name, char* value, std::size_t length, void* data) -> int {
            // Inline file data is kept as an attribute; it is the file's content, not one of its attributes.
            if (std::string(name) != "system.data")
                (*static_cast<std::map<std::string, std::string>*>(data))[name] = std::string(value, length);
            return 0;
        };
        if (!error) error = ext2fs_xattrs_iterate(handle, collect, &out);
        ext2fs_xattrs_close(&handle);
        check(error, "cannot read the attributes of [" + path + "]");
        return out;
    }

private:
    void check(errcode_t error, const std::string& what) const {
        if (!error) return;
        const std::string device = device_.lastError();
        throw StoreError(what + ": " + (device.empty() ? std::string(error_message(error)) : device));
    }

    ext2_inode_large inode(ext2_ino_t ino) const {
        ext2_inode_large in{};
        check(ext2fs_read_inode_full(fs_, ino, reinterpret_cast<ext2_inode*>(&in), sizeof in),
              "cannot read inode " + std::to_string(ino));
        return in;
    }

    // The inode `path` names, each directory on the way looked up, no symbolic link followed.
    ext2_ino_t resolve(const std::string& path) const {
        ext2_ino_t ino = EXT2_ROOT_INO;
        std::string walked;
        for (std::size_t at = 0; at <= path.size();) {
            std::size_t end = path.find('/', at);
            if (end == std::string::npos) end = path.size();
            const std::string part = path.substr(at, end - at);
            at = end + 1;
            if (part.empty() || part == ".") continue;
            if (part == "..") throw StoreError("[" + path + "]: \"..\" is not followed; name the path from the root");
            if (!LINUX_S_ISDIR(inode(ino).i_mode)) throw StoreError("[" + walked + "] is not a directory");
            walked += "/" + part;
            const errcode_t error = ext2fs_lookup(fs_, ino, part.data(), static_cast<int>(part.size()), nullptr, &ino);
            if (error == EXT2_ET_FILE_NOT_FOUND) throw StoreError("no [" + walked + "] in the file system");
            check(error, "cannot look up [" + walked + "]");
        }
        return ino;
    }

    FileEntry entry(const std::string& name, ext2_ino_t ino) const {
        const ext2_inode_large in = inode(ino);
        const bool large = EXT2_INODE_SIZE(fs_->super) > EXT2_GOOD_OLD_INODE_SIZE;
        auto extra = [&](std::size_t offset) { return large && std::size_t{EXT2_GOOD_OLD_INODE_SIZE} + in.i_extra_isize >= offset + 4; };
        FileEntry e;
        e.name = name;
        e.id = ino;
        e.type = LINUX_S_ISREG(in.i_mode)   ? FileEntry::Type::File
                 : LINUX_S_ISDIR(in.i_mode) ? FileEntry::Type::Directory
                 : LINUX_S_ISLNK(in.i_mode) ? FileEntry::Type::Symlink
                                            : FileEntry::Type::Other;
        e.size = EXT2_I_SIZE(&in);
        e.mode = in.i_mode & 07777;
        e.uid = inode_uid(in);
        e.gid = inode_gid(in);
        e.mtime = InodeTime(in.i_mtime, extra(offsetof(ext2_inode_large, i_mtime_extra)) ? &in.i_mtime_extra : nullptr);
        e.atime = InodeTime(in.i_atime, extra(offsetof(ext2_inode_large, i_atime_extra)) ? &in.i_atime_extra : nullptr);
        if (e.type == FileEntry::Type::Symlink) e.linkTarget = linkTarget(ino, in, name);
        return e;
    }

    std::string linkTarget(ext2_ino_t ino, const ext2_inode_large& in, const std::string& name) const {
        const std::uint64_t size = EXT2_I_SIZE(&in);
        if (size == 0 || size >= fs_->blocksize)
            throw StoreError("symbolic link [" + name + "] has a target of " + std::to_string(size) + " bytes");
        std::string target;
        if (in.i_flags & EXT4_INLINE_DATA_FL) {
            std::vector<char> buffer(EXT2_INODE_SIZE(fs_->super) + sizeof in.i_block);
            std::size_t got = 0;
            check(ext2fs_inline_data_size(fs_, ino, &got), "cannot read the link [" + name + "]");
            if (got > buffer.size()) throw StoreError("link [" + name + "] holds more inline data than its inode");
            check(ext2fs_inline_data_get(fs_, ino, const_cast<ext2_inode*>(reinterpret_cast<const ext2_inode*>(&in)),
                                         buffer.data(), &got),
                  "cannot read the link [" + name + "]");
            target.assign(buffer.data(), std::min<std::size_t>(got, size));
        } else if (ext2fs_is_fast_symlink(const_cast<ext2_inode*>(reinterpret_cast<const ext2_inode*>(&in)))) {
            target.assign(reinterpret_cast<const char*>(in.i_block), std::min<std::size_t>(size, sizeof in.i_block));
        } else {
            readContent(ino, name, size, [&](const unsigned char* p, std::size_t n) {
                target.append(reinterpret_cast<const char*>(p), n);
            });
        }
        return target;
    }

    void readContent(ext2_ino_t ino, const std::string& path, std::uint64_t size,
                     const std::function<void(const unsigned char*, std::size_t)>& sink) const {
        ext2_file_t opened = nullptr;
        check(ext2fs_file_open(fs_, ino, 0, &opened), "cannot open [" + path + "]");
        const std::unique_ptr<ext2_file, errcode_t (*)(ext2_file_t)> file(opened, ext2fs_file_close);
        std::vector<unsigned char> buffer(kReadPiece);
        std::uint64_t done = 0;
        for (;;) {
            unsigned got = 0;
            check(ext2fs_file_read(file.get(), buffer.data(), static_cast<unsigned>(buffer.size()), &got),
                  "cannot read [" + path + "]");
            if (got == 0 || got > size - done) break;
            sink(buffer.data(), got);
            done += got;
        }
        if (done != size)
            throw StoreError("[" + path + "] gave " + std::to_string(done) + " of its " + std::to_string(size) + " bytes");
    }

    ExtDevice device_;
    ext2_filsys fs_ = nullptr;
    mutable std::mutex mutex_;
};

}  // namespace

bool LooksLikeExt(const ByteSource& source) {
    unsigned char magic[2] = {};
    if (source.size() < 2048) return false;
    source.read(1024 + 56, 2, magic);
    return magic[0] == 0x53 && magic[1] == 0xEF;
}

std::unique_ptr<FileSystem> OpenExt(const ByteSource& source) { return std::make_unique<ExtFileSystem>(source); }

}  // namespace vsagent

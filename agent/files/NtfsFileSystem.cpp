#include "agent/files/NtfsFileSystem.h"

#include <errno.h>
#include <linux/limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "agent/files/NtfsDevice.h"
#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr u32 kErrorLevels = NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL;

// The library keeps state across calls (its log, its caches) and is not safe to
// call from two threads at once: every call into it holds this lock.
std::mutex& LibraryLock() {
    static std::mutex lock;
    return lock;
}

// The last error the library logged; its log goes nowhere else. Guarded by LibraryLock().
std::string& LibraryMessage() {
    static std::string message;
    return message;
}

int KeepLastError(const char*, const char*, int, u32 level, void*, const char* format, va_list args) {
    if (!(level & kErrorLevels)) return 0;
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, args);
    std::string message(text, length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    if (!message.empty()) LibraryMessage() = message;
    return 0;
}

// `name` of `length` UTF-16 units as UTF-8; false when the library cannot convert it.
bool Utf8(const ntfschar* name, int length, std::string& text) {
    char* out = nullptr;
    if (ntfs_ucstombs(name, length, &out, 0) < 0) return false;
    text = out;
    std::free(out);
    return true;
}

// An open inode, closed when it goes.
class Inode {
public:
    explicit Inode(ntfs_inode* inode) : inode_(inode) {}
    Inode(const Inode&) = delete;
    Inode& operator=(const Inode&) = delete;
    ~Inode() { ntfs_inode_close(inode_); }
    ntfs_inode* operator->() const { return inode_; }
    ntfs_inode* get() const { return inode_; }

private:
    ntfs_inode* inode_;
};

// The unnamed data stream of an inode, closed when it goes; none when the inode has none.
class DataStream {
public:
    explicit DataStream(ntfs_inode* inode) : attr_(ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0)) {}
    DataStream(const DataStream&) = delete;
    DataStream& operator=(const DataStream&) = delete;
    ~DataStream() {
        if (attr_) ntfs_attr_close(attr_);
    }
    ntfs_attr* get() const { return attr_; }
    std::uint64_t size() const { return attr_ ? static_cast<std::uint64_t>(attr_->data_size) : 0; }

private:
    ntfs_attr* attr_;
};

struct DirectoryEntry {
    std::string name;
    MFT_REF reference;
};

struct DirectoryListing {
    std::vector<DirectoryEntry> entries;
    bool badName = false;
};

class NtfsFileSystem : public FileSystem {
public:
    explicit NtfsFileSystem(const ByteSource& partition);
    ~NtfsFileSystem() override;

    std::string kind() const override { return "ntfs"; }
    FileEntry stat(const std::string& path) const override;
    std::vector<FileEntry> list(const std::string& path) const override;
    void read(const std::string& path,
              const std::function<void(const unsigned char*, std::size_t)>& sink) const override;
    std::map<std::string, std::string> xattrs(const std::string&) const override { return {}; }

private:
    // Forgets the reasons the last call left; the caller holds LibraryLock().
    void startCall() const;
    [[noreturn]] void fail(const std::string& what, const std::string& path, std::string why = "") const;
    std::unique_ptr<Inode> open(const std::string& path) const;
    FileEntry describe(const Inode& inode, std::string name, const std::string& path) const;
    std::string linkTarget(const Inode& inode, const std::string& path) const;

    mutable NtfsDevice device_;
    ntfs_volume* volume_ = nullptr;
};

NtfsFileSystem::NtfsFileSystem(const ByteSource& partition) : device_(partition) {
    std::lock_guard<std::mutex> lock(LibraryLock());
    ntfs_log_set_handler(KeepLastError);
    ntfs_log_set_levels(kErrorLevels);
    startCall();
    ntfs_device* dev = device_.allocate("backed-up partition");
    if (!dev) fail("cannot set up a device for", "the partition");
    volume_ = ntfs_device_mount(dev, NTFS_MNT_RDONLY);
    if (!volume_) {
        const int mountErrno = errno;
        if (NDevOpen(dev)) dev->d_ops->close(dev);  // a device still open cannot be freed
        ntfs_device_free(dev);
        errno = mountErrno;
        fail("no sound NTFS file system on", "the partition");
    }
}

NtfsFileSystem::~NtfsFileSystem() {
    std::lock_guard<std::mutex> lock(LibraryLock());
    ntfs_umount(volume_, FALSE);
}

void NtfsFileSystem::startCall() const {
    LibraryMessage().clear();
    device_.clearError();
    errno = 0;
}

// "<what> [<path>]: <why>", the why when not given being the store's own failure
// when the partition could not be read, else what the library logged, else errno.
void NtfsFileSystem::fail(const std::string& what, const std::string& path, std::string why) const {
    const int number = errno;
    if (why.empty()) why = device_.error();
    if (why.empty()) why = LibraryMessage();
    if (why.empty()) why = std::strerror(number ? number : EIO);
    throw StoreError(what + " [" + path + "]: " + why);
}

// The inode `path` names. The volume's metadata files are not there to callers.
std::unique_ptr<Inode> NtfsFileSystem::open(const std::string& path) const {
    ntfs_inode* found = ntfs_pathname_to_inode(volume_, nullptr, path.c_str());
    if (!found) fail("cannot find", path);
    auto inode = std::make_unique<Inode>(found);
    if (inode->get()->mft_no < FILE_first_user && inode->get()->mft_no != FILE_root)
        fail("cannot find", path, std::strerror(ENOENT));
    return inode;
}

// The target of a symbolic link, a junction or a link of the POSIX subsystem; "" when `inode` is none of them.
std::string NtfsFileSystem::linkTarget(const Inode& inode, const std::string& path) const {
    if (inode->flags & FILE_ATTR_REPARSE_POINT) {
        char* target = ntfs_make_symlink(inode.get(), "");
        if (!target) return "";
        std::string text(target);
        std::free(target);
        return text;
    }
    if (!(inode->flags & FILE_ATTR_SYSTEM) || (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY)) return "";
    DataStream data(inode.get());
    const std::uint64_t size = data.size();
    if (size <= sizeof(INTX_FILE_TYPES) || size > sizeof(INTX_FILE_TYPES) + sizeof(ntfschar) * PATH_MAX) return "";
    std::string buffer(static_cast<std::size_t>(size), '\0');
    if (ntfs_attr_pread(data.get(), 0, static_cast<s64>(size), &buffer[0]) != static_cast<s64>(size))
        fail("cannot read the link", path);
    le64 magic;
    std::memcpy(&magic, buffer.data(), sizeof magic);
    if (magic != INTX_SYMBOLIC_LINK) return "";
    std::vector<ntfschar> units((size - sizeof magic) / sizeof(ntfschar));
    std::memcpy(units.data(), buffer.data() + sizeof magic, units.size() * sizeof(ntfschar));
    std::string target;
    if (!Utf8(units.data(), static_cast<int>(units.size()), target))
        fail("cannot read the link", path, "its target is not valid UTF-16");
    return target;
}

FileEntry NtfsFileSystem::describe(const Inode& inode, std::string name, const std::string& path) const {
    FileEntry entry;
    entry.name = std::move(name);
    entry.id = inode->mft_no;  // a folder reached again by another name is the same record
    entry.linkTarget = linkTarget(inode, path);
    const bool directory = inode->mrec->flags & MFT_RECORD_IS_DIRECTORY;
    if (!entry.linkTarget.empty()) {
        entry.type = FileEntry::Type::Symlink;
        entry.size = entry.linkTarget.size();
        entry.mode = 0777;
    } else if (directory) {
        entry.type = FileEntry::Type::Directory;
        entry.mode = 0755;
    } else {
        // Reparse points other than links (deduplicated or cloud files) hold no data the library can read.
        entry.type = inode->flags & FILE_ATTR_REPARSE_POINT ? FileEntry::Type::Other : FileEntry::Type::File;
        entry.size = DataStream(inode.get()).size();
        entry.mode = 0644;
    }
    if (entry.type != FileEntry::Type::Symlink && (inode->flags & FILE_ATTR_READONLY)) entry.mode &= ~0222u;
    entry.mtime = ntfs2timespec(inode->last_data_change_time).tv_sec;
    entry.atime = ntfs2timespec(inode->last_access_time).tv_sec;
    return entry;
}

std::string LastComponent(const std::string& path) {
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return "/";
    const std::size_t slash = path.rfind('/', end);
    return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

FileEntry NtfsFileSystem::stat(const std::string& path) const {
    std::lock_guard<std::mutex> lock(LibraryLock());
    startCall();
    return describe(*open(path), LastComponent(path), path);
}

// Keeps the long (Windows or POSIX) name of each entry, not its DOS 8.3 alias,
// and none of "." and "..".
int CollectEntry(void* out, const ntfschar* name, const int length, const int type, const s64, const MFT_REF reference,
                 const unsigned) {
    DirectoryListing& listing = *static_cast<DirectoryListing*>(out);
    std::string text;
    if (type == FILE_NAME_DOS) return 0;
    if (!Utf8(name, length, text)) {
        listing.badName = true;
        return -1;
    }
    if (text != "." && text != "..") listing.entries.push_back({std::move(text), reference});
    return 0;
}

std::vector<FileEntry> NtfsFileSystem::list(const std::string& path) const {
    std::lock_guard<std::mutex> lock(LibraryLock());
    startCall();
    std::unique_ptr<Inode> directory = open(path);
    if (!((*directory)->mrec->flags & MFT_RECORD_IS_DIRECTORY)) fail("cannot list", path, "not a directory");
    DirectoryListing listing;
    s64 position = 0;
    if (ntfs_readdir(directory->get(), &position, &listing, CollectEntry) || listing.badName)
        fail("cannot list", path, listing.badName ? "a name in it is not valid UTF-16" : "");
    std::vector<FileEntry> entries;
    for (const DirectoryEntry& name : listing.entries) {
        if (MREF(name.reference) < FILE_first_user) continue;
        const std::string child = (path.empty() || path.back() != '/' ? path + "/" : path) + name.name;
        ntfs_inode* found = ntfs_inode_open(volume_, name.reference);
        if (!found) fail("cannot open", child);
        entries.push_back(describe(Inode(found), name.name, child));
    }
    return entries;
}

// Reads piece by piece, the lock held for each piece only, so that the sink may
// take its time (or read another file) without holding up other readers.
void NtfsFileSystem::read(const std::string& path,
                          const std::function<void(const unsigned char*, std::size_t)>& sink) const {
    std::unique_lock<std::mutex> lock(LibraryLock());
    startCall();
    std::unique_ptr<Inode> inode = open(path);
    if (describe(*inode, "", path).type != FileEntry::Type::File) fail("cannot read", path, "not a regular file");
    DataStream data(inode->get());
    if (!data.get()) {
        if (errno == ENOENT) return;  // a file without data
        fail("cannot open the data of", path);
    }
    std::vector<unsigned char> buffer(kReadChunk);
    for (std::uint64_t offset = 0; offset < data.size();) {
        const s64 want = static_cast<s64>(std::min<std::uint64_t>(kReadChunk, data.size() - offset));
        if (ntfs_attr_pread(data.get(), static_cast<s64>(offset), want, buffer.data()) != want)
            fail("cannot read", path);
        lock.unlock();
        try {
            sink(buffer.data(), static_cast<std::size_t>(want));
        } catch (...) {
            lock.lock();  // the stream and the inode close under the lock
            throw;
        }
        lock.lock();
        startCall();
        offset += static_cast<std::uint64_t>(want);
    }
}

}  // namespace

bool LooksLikeNtfs(const ByteSource& partition) {
    unsigned char id[8] = {};
    if (partition.size() < 512) return false;
    partition.read(3, sizeof id, id);
    return std::memcmp(id, "NTFS    ", sizeof id) == 0;
}

std::unique_ptr<FileSystem> OpenNtfs(const ByteSource& partition) { return std::make_unique<NtfsFileSystem>(partition); }

}  // namespace vsagent

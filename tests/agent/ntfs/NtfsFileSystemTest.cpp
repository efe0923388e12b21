// NTFS images made by mkntfs and filled through the library itself, read back
// through a ByteSource over the image file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/files/NtfsDevice.h"
#include "agent/files/NtfsFileSystem.h"
#include "agent/store/StoreError.h"
#include "tests/support/SimulatedCloud.h"

using namespace vsagent;
using ::testing::HasSubstr;
using Type = FileEntry::Type;

namespace {

class ImageFile : public ByteSource {
public:
    explicit ImageFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)), size_(lseek(fd_, 0, SEEK_END)) {}
    ~ImageFile() override { ::close(fd_); }
    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, std::size_t length, unsigned char* out) const override {
        if (pread(fd_, out, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length))
            throw StoreError("image file: short read");
    }

private:
    int fd_;
    std::uint64_t size_;
};

// A file, folder, link (type 0: a link as Windows' Linux subsystem makes them) created in `parent` through a volume mounted read-write.
ntfs_inode* Create(ntfs_inode* parent, const std::string& name, mode_t type, const std::string& link = "") {
    ntfschar* uname = nullptr;
    ntfschar* utarget = nullptr;
    const int length = ntfs_mbstoucs(name.c_str(), &uname);
    const int targetLength = link.empty() ? 0 : ntfs_mbstoucs(link.c_str(), &utarget);
    ntfs_inode* made = type == S_IFLNK ? ntfs_create_symlink(parent, 0, uname, length, utarget, targetLength)
                                       : ntfs_create(parent, 0, uname, static_cast<u8>(length), type ? type : S_IFREG);
    if (!type && made && ntfs_reparse_set_wsl_symlink(made, utarget, targetLength)) made = nullptr;  // as WSL makes links
    std::free(uname);
    std::free(utarget);
    return made;
}

void Write(ntfs_inode* file, std::uint64_t offset, const std::string& data) {
    ntfs_attr* attr = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
    ASSERT_EQ(ntfs_attr_pwrite(attr, static_cast<s64>(offset), static_cast<s64>(data.size()), data.data()),
              static_cast<s64>(data.size()));
    ntfs_attr_close(attr);
}

std::string Random(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(length, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

std::string ReadAll(const FileSystem& fs, const std::string& path) {
    std::string out;
    fs.read(path, [&](const unsigned char* data, std::size_t length) { out.append(reinterpret_cast<const char*>(data), length); });
    return out;
}

struct Expected {
    std::string path;
    Type type;
    mode_t make;
    std::string content;  // of a file; the target of a link
};

}  // namespace

TEST(NtfsFileSystem, ReadsWhatTheLibraryWroteAndRefusesDamage) {
    testsupport::TempDir dir;
    const std::string image = dir.path() + "/ntfs.img";
    std::ofstream(image).close();
    ASSERT_EQ(truncate(image.c_str(), 32 << 20), 0);
    ASSERT_EQ(std::system(("PATH=$PATH:/sbin:/usr/sbin mkntfs -F -f -Q -q " + image + " >/dev/null 2>&1").c_str()), 0)
        << "mkntfs (Debian ntfs-3g) is needed";

    const std::vector<Expected> expected = {
        {"/small.txt", Type::File, S_IFREG, "resident in its record"},
        {"/big.bin", Type::File, S_IFREG, Random(3 << 20, 1)},
        {"/holes.bin", Type::File, S_IFREG, std::string(5 << 20, '\0') + Random(4096, 2)},
        {"/folder", Type::Directory, S_IFDIR, ""},
        {"/folder/inner.txt", Type::File, S_IFREG, Random(70000, 3)},
        {"/posix-link", Type::Symlink, S_IFLNK, "folder/inner.txt"},
        {"/wsl-link", Type::Symlink, 0, "../elsewhere"},
    };
    u64 bigRecord = 0;
    {
        ntfs_volume* volume = ntfs_mount(image.c_str(), 0);
        ASSERT_NE(volume, nullptr);
        for (const Expected& e : expected) {
            const std::size_t slash = e.path.rfind('/');
            ntfs_inode* parent = ntfs_pathname_to_inode(volume, nullptr, e.path.substr(0, slash).c_str());
            ntfs_inode* made = Create(parent, e.path.substr(slash + 1), e.make, e.content);
            ASSERT_NE(made, nullptr) << e.path;
            const std::size_t data = e.content.find_first_not_of('\0');
            if (e.make == S_IFREG) Write(made, data, e.content.substr(data));
            if (e.path == "/big.bin") bigRecord = made->mft_no;
            ntfs_inode_close(made);
            ntfs_inode_close(parent);
        }
        ASSERT_EQ(ntfs_umount(volume, FALSE), 0);
    }

    ImageFile source(image);
    std::unique_ptr<FileSystem> fs = OpenNtfs(source);
    EXPECT_EQ(fs->kind(), "ntfs");
    std::vector<std::string> rootNames;
    for (const FileEntry& entry : fs->list("/")) rootNames.push_back(entry.name);
    EXPECT_THAT(rootNames, ::testing::UnorderedElementsAre("small.txt", "big.bin", "holes.bin", "folder", "posix-link",
                                                          "wsl-link"));
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.path);
        const FileEntry entry = fs->stat(e.path);
        EXPECT_EQ(entry.type, e.type);
        EXPECT_EQ(entry.mode, e.type == Type::Directory ? 0755u : e.type == Type::File ? 0644u : 0777u);
        EXPECT_GT(entry.mtime, 1500000000);
        EXPECT_EQ(entry.linkTarget, e.type == Type::Symlink ? e.content : "");
        if (e.type != Type::File) continue;
        EXPECT_EQ(entry.size, e.content.size());
        EXPECT_TRUE(ReadAll(*fs, e.path) == e.content);
    }
    // The library is not thread-safe; readers on several threads still get whole, right files.
    std::vector<std::string> reads(4);
    std::vector<std::thread> readers;
    for (std::string& out : reads) readers.emplace_back([&] { out = ReadAll(*fs, "/big.bin"); });
    for (std::thread& reader : readers) reader.join();
    for (const std::string& out : reads) EXPECT_TRUE(out == expected[1].content);

    // Metadata files, missing names and non-files are refused with the path named.
    for (const char* path : {"/$MFT", "/$Bitmap", "/missing", "/folder/missing"})
        EXPECT_THROW(fs->stat(path), StoreError) << path;
    EXPECT_THROW(ReadAll(*fs, "/folder"), StoreError);
    EXPECT_THROW(fs->list("/small.txt"), StoreError);

    // A damaged record of the master file table, and a source that is no NTFS at all.
    {
        ntfs_volume* volume = ntfs_mount(image.c_str(), NTFS_MNT_RDONLY);
        ASSERT_NE(volume, nullptr);
        const std::uint64_t at = static_cast<std::uint64_t>(volume->mft_lcn) * volume->cluster_size +
                                 bigRecord * volume->mft_record_size;
        ntfs_umount(volume, FALSE);
        std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
        char magic[4];
        file.seekg(static_cast<std::streamoff>(at));
        file.read(magic, 4);
        ASSERT_EQ(std::string(magic, 4), "FILE");
        file.seekp(static_cast<std::streamoff>(at));
        file.write("BAAD", 4);
    }
    std::unique_ptr<FileSystem> damaged = OpenNtfs(source);
    EXPECT_NO_THROW(damaged->stat("/small.txt"));
    try {
        ReadAll(*damaged, "/big.bin");
        ADD_FAILURE() << "a damaged record was read";
    } catch (const StoreError& e) {
        EXPECT_THAT(e.what(), HasSubstr("[/big.bin]"));
    }
    ASSERT_EQ(truncate(image.c_str(), 0), 0);
    ASSERT_EQ(truncate(image.c_str(), 1 << 20), 0);
    ImageFile zeros(image);
    EXPECT_THROW(OpenNtfs(zeros), StoreError);
}

// NTFS images made by mkntfs and filled through the library itself, read back
// through a ByteSource over the image's bytes.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/files/NtfsFileSystem.h"
#include "agent/store/StoreError.h"
#include "tests/agent/ntfs/NtfsImages.h"
#include "tests/support/SimulatedCloud.h"

using namespace vsagent;
using ::testing::HasSubstr;
using namespace ntfstest;

namespace {

struct ImageBytes : ByteSource {
    std::string bytes;
    std::uint64_t size() const override { return bytes.size(); }
    void read(std::uint64_t at, std::size_t length, unsigned char* out) const override { std::memcpy(out, &bytes[at], length); }
};

std::string ReadAll(const FileSystem& fs, const std::string& path) {
    std::string out;
    fs.read(path, [&](const unsigned char* data, std::size_t length) { out.append(reinterpret_cast<const char*>(data), length); });
    return out;
}

}  // namespace

TEST(NtfsFileSystem, ReadsWhatTheLibraryWroteAndRefusesDamage) {
    testsupport::TempDir dir;
    const std::string image = dir.path() + "/ntfs.img";
    Format(image, 32 << 20);
    const std::vector<Expected> expected = {
        {"/small.txt", Type::File, S_IFREG, "resident in its record"},
        {"/big.bin", Type::File, S_IFREG, Random(3 << 20, 1)},
        {"/holes.bin", Type::File, S_IFREG, std::string(5 << 20, '\0') + Random(4096, 2)},
        {"/folder", Type::Directory, S_IFDIR, ""},
        {"/folder/inner.txt", Type::File, S_IFREG, Random(70000, 3)},
        {"/posix-link", Type::Symlink, S_IFLNK, "folder/inner.txt"},
        {"/wsl-link", Type::Symlink, 0, "../elsewhere"},
    };
    std::uint64_t bigRecordAt = 0;
    Change(image, [&](ntfs_volume* volume) {
        for (const Expected& e : expected) {
            const u64 record = Make(volume, e);
            if (e.path == "/big.bin") bigRecordAt = volume->mft_lcn * volume->cluster_size + record * volume->mft_record_size;
        }
    });
    ImageBytes source;
    std::ostringstream bytes;
    bytes << std::ifstream(image, std::ios::binary).rdbuf();
    source.bytes = bytes.str();

    std::unique_ptr<FileSystem> fs = OpenNtfs(source);
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
    // Metadata files, missing names and non-files are refused with the path named.
    for (const char* path : {"/$MFT", "/$Bitmap", "/missing", "/folder/missing"}) EXPECT_THROW(fs->stat(path), StoreError);
    EXPECT_THROW(ReadAll(*fs, "/folder"), StoreError);
    EXPECT_THROW(fs->list("/small.txt"), StoreError);

    // A damaged record of the master file table, and a source that is no NTFS at all.
    ASSERT_EQ(source.bytes.substr(bigRecordAt, 4), "FILE");
    source.bytes.replace(bigRecordAt, 4, "BAAD");
    std::unique_ptr<FileSystem> damaged = OpenNtfs(source);
    EXPECT_NO_THROW(damaged->stat("/small.txt"));
    EXPECT_THROW(
        try { ReadAll(*damaged, "/big.bin"); } catch (const StoreError& e) {
            EXPECT_THAT(e.what(), HasSubstr("[/big.bin]: Record"));
            throw;
        },
        StoreError);
    source.bytes.assign(1 << 20, '\0');
    EXPECT_THROW(OpenNtfs(source), StoreError);
}

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "host/util/CKaDirectory.h"
#include "host/util/CKaFile.h"
#include "host/util/FXFile.h"
#include "host/util/FileSystem.h"
#include "host/util/Guid.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;

namespace {

class FileSystemTest : public ::testing::Test {
protected:
    std::string at(const std::string& relative) const { return (fs::path(root_) / relative).string(); }
    void write(const std::string& relative, const std::string& content) const {
        fs::create_directories(fs::path(at(relative)).parent_path());
        std::ofstream(at(relative), std::ios::binary) << content;
    }

    testsupport::TempDir dir_;
    const std::string root_ = dir_.path();
};

}  // namespace

// Sizes count the holes of sparse files; a failed size or read says why and leaves the output alone.
TEST_F(FileSystemTest, FilesAreSizedReadAndRemoved) {
    const std::uint64_t logical = (5ULL << 30) + 7;  // past 4 GiB: no 32-bit truncation
    write("sparse.bin", "x");
    fs::resize_file(at("sparse.bin"), logical);  // extends with a hole
    const std::string json("{\0}", 3);
    write("a.json", json);
    std::uint64_t size = 0;
    std::string content = "old", error;
    EXPECT_TRUE(FXFile::NXGetFileSize(at("sparse.bin"), size, &error));
    EXPECT_TRUE(CKaFile::ReadWholeFile(at("a.json"), content, &error));
    EXPECT_EQ(std::make_pair(logical, json), std::make_pair(size, content));

    EXPECT_FALSE(FXFile::NXGetFileSize(root_, size, &error));
    EXPECT_FALSE(FXFile::NXGetFileSize(at("missing"), size, &error));
    EXPECT_EQ("No such file or directory", error);
    EXPECT_FALSE(CKaFile::ReadWholeFile(root_, content, &error));
    EXPECT_FALSE(CKaFile::ReadWholeFile(at("none"), content, &error));
    EXPECT_EQ("No such file or directory", error);
    EXPECT_EQ(std::make_pair(logical, json), std::make_pair(size, content));

    EXPECT_FALSE(FXFile::DoesFileExist(root_));
    EXPECT_TRUE(FXFile::DoesFileExist(at("a.json")));
    EXPECT_TRUE(FXFile::RemoveFile(at("a.json")));
    EXPECT_FALSE(FXFile::DoesFileExist(at("a.json")));
    EXPECT_TRUE(FXFile::RemoveFile(at("a.json")));
    EXPECT_FALSE(FXFile::RemoveFile(root_, &error));
    EXPECT_TRUE(fs::is_directory(root_));
}

TEST_F(FileSystemTest, DirectoryListsMatchingEntriesInNameOrder) {
    write("b.json", "1");
    write("a.xml", "2");
    write("backup_1.xml", "3");
    fs::create_directory(at("sub"));

    CKaDirectory dir;
    std::string error;
    ASSERT_TRUE(dir.Open(root_, "*", &error));
    std::vector<std::string> names;
    SKaDirEntry entry;
    while (dir.Next(entry, &error)) {
        names.push_back(entry.name + (entry.isDirectory ? "/" : ""));
        EXPECT_EQ(root_ + "/" + entry.name, entry.path);
    }
    EXPECT_EQ("", error);
    EXPECT_EQ((std::vector<std::string>{"a.xml", "b.json", "backup_1.xml", "sub/"}), names);

    ASSERT_TRUE(dir.Open(root_, "*.xml", &error));
    fs::remove(at("a.xml"));
    EXPECT_FALSE(dir.Next(entry, &error));
    EXPECT_EQ("No such file or directory", error);
    EXPECT_TRUE(dir.Next(entry, &error));
    EXPECT_EQ("backup_1.xml", entry.name);
    EXPECT_FALSE(dir.Next(entry, &error));
    EXPECT_EQ("", error);

    EXPECT_FALSE(dir.Open(at("missing"), "*", &error));
}

TEST_F(FileSystemTest, CreateFolderMakesParentsAndDeleteRemovesTrees) {
    const std::string deep = at("m/1234/guid/x");
    EXPECT_TRUE(CreateFolderIfNotPresent(deep));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(CreateFolderIfNotPresent(deep));
    write("file", "x");
    std::string error;
    EXPECT_FALSE(CreateFolderIfNotPresent(at("file"), &error));
    EXPECT_FALSE(CreateFolderIfNotPresent(at("file/below"), &error));

    write("m/1234/a.json", "{}");
    write("m/1234/guid/x/y/z.bin", "z");
    fs::create_symlink(at("file"), at("m/link"));
    EXPECT_TRUE(DeleteDirRecursively(at("m")));
    EXPECT_FALSE(fs::exists(at("m")));
    EXPECT_TRUE(fs::exists(at("file")));  // a link's target survives
    EXPECT_TRUE(DeleteDirRecursively(at("m")));
    EXPECT_FALSE(DeleteDirRecursively(at("file"), &error));
    EXPECT_TRUE(fs::exists(at("file")));
}

TEST(GuidTest, VersionFourFormatAndUnique) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    std::set<char> variants;
    for (int i = 0; i < 5000; ++i) {
        const std::string guid = CreateGuid();
        ASSERT_TRUE(std::regex_match(guid, form)) << guid;
        variants.insert(guid[19]);
        seen.insert(guid);
    }
    EXPECT_EQ(5000u, seen.size());
    EXPECT_EQ(4u, variants.size());  // all four variant digits occur: the random bits around them are used
}

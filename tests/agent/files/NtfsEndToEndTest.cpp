// files ls, get and find on NTFS as a person runs them: a real NTFS file system
// on an MBR partition of a simulated VM's disk, backed up, changed through the
// library, backed up again.
#include <sys/stat.h>

#include "tests/agent/e2e/VsagentFixture.h"
#include "tests/agent/files/DiskImages.h"
#include "tests/agent/ntfs/NtfsImages.h"

using namespace ntfstest;
using e2e::json;
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class NtfsEndToEnd : public e2e::Vsagent {
protected:
    // The file system goes into partition 1 of an MBR disk on data disk 0 of the VM, which is backed up.
    long long BackUp(const std::string& type) {
        filestest::Shell("cd " + dir.path() + " && rm -f disk.img && truncate -s 40M disk.img"
                         " && printf 'label: dos\\nstart=2048,size=65536,type=7\\n' | sfdisk -q disk.img"
                         " && dd if=fs.img of=disk.img bs=1M seek=1 conv=notrunc 2>/dev/null",
                         dir.path());
        EXPECT_EQ(Azsim({"write", "--vm", "app-win01", "--disk", "1", "--file", dir.path() + "/disk.img"}).exitCode, 0);
        const json job = Backup("app-win01");
        EXPECT_EQ(job["backupType"], type);
        return job["jobId"].get<long long>();
    }
    e2e::Run Files(long long job, std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"files", "--store", store, "--job", std::to_string(job), "--disk", "1", "--partition", "1"});
        return Agent(args);
    }
    std::set<std::string> Names(long long job) {
        const e2e::Run run = Files(job, {"ls", "/", "--json"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::set<std::string> names;
        const json listing = json::parse(run.out);
        for (const json& e : listing["volumes"][0]["entries"]) names.insert(e["name"].get<std::string>());
        return names;
    }

    std::string image = dir.path() + "/fs.img";
    std::string outside = dir.path() + "/outside";
};

TEST_F(NtfsEndToEnd, EachJobGivesBackItsOwnTreeAndNothingLandsOutsideOut) {
    fs::create_directories(outside);
    const std::string big = Random(3 << 20, 1), broken = Random(9000, 2);
    std::uint64_t brokenAt = 0;
    Format(image, 32 << 20);
    Change(image, [&](ntfs_volume* volume) {
        for (const Expected& e : std::vector<Expected>{
                 {"/hello.txt", Type::File, S_IFREG, "hello, first", 1600000000},
                 {"/old.txt", Type::File, S_IFREG, "only in the first job", 1500000000},
                 {"/big.bin", Type::File, S_IFREG, big, 1600000100},
                 {"/sub", Type::Directory, S_IFDIR, ""},
                 {"/sub/nested.txt", Type::File, S_IFREG, "nested", 1600000200},
                 {"/evil", Type::Symlink, 0, outside},
                 {"/deep", Type::Directory, S_IFDIR, ""},
                 {"/deep/evil", Type::Directory, S_IFDIR, ""},
                 {"/deep/evil/planted", Type::File, S_IFREG, "planted"},
                 {"/damaged", Type::Directory, S_IFDIR, ""},
                 {"/ring", Type::Directory, S_IFDIR, ""},
                 {"/ring/inner", Type::Directory, S_IFDIR, ""}})
            Make(volume, e);
        Link(volume, "/ring", "/ring/inner", "again");
        const u64 record = Make(volume, {"/damaged/broken.bin", Type::File, S_IFREG, broken, 1600000300});
        brokenAt = volume->mft_lcn * volume->cluster_size + record * volume->mft_record_size;
    });
    const long long first = BackUp("full");
    Change(image, [&](ntfs_volume* volume) {
        Remove(volume, "/old.txt");
        Remove(volume, "/hello.txt");
        Make(volume, {"/hello.txt", Type::File, S_IFREG, "hello, second and longer", 1700000000});
        Make(volume, {"/new.txt", Type::File, S_IFREG, "only in the second job", 1700000100});
    });
    // The second job's record of the file is damaged.
    filestest::Shell("printf BAAD | dd of=" + image + " bs=1 conv=notrunc 2>/dev/null seek=" + std::to_string(brokenAt),
                     dir.path());
    const long long second = BackUp("incremental");

    EXPECT_THAT(Names(first), ::testing::IsSupersetOf({"hello.txt", "old.txt", "big.bin", "sub", "evil", "damaged"}));
    EXPECT_THAT(Names(second), ::testing::AllOf(::testing::Contains("new.txt"), Not(::testing::Contains("old.txt"))));
    EXPECT_THAT(Files(second, {"get", "/old.txt", "--out", dir.path() + "/x"}).err, HasSubstr("no [/old.txt]"));

    // Each job's whole tree: the folder that loops and the second job's damaged record are told, by path,
    // and the rest is copied.
    const e2e::Run firstTree = Files(first, {"get", "/", "--out", dir.path() + "/1"});
    EXPECT_EQ(firstTree.exitCode, 1);
    EXPECT_THAT(firstTree.err, HasSubstr("[/ring/inner/again]: the folder leads back to one of its own parents"));
    EXPECT_THAT(firstTree.err, Not(HasSubstr("broken.bin")));
    const e2e::Run secondTree = Files(second, {"get", "/", "--out", dir.path() + "/2"});
    EXPECT_EQ(secondTree.exitCode, 1);
    EXPECT_THAT(secondTree.err, HasSubstr("[/damaged/broken.bin]: Record"));
    struct stat st {};
    for (const auto& [job, name, content, mtime] : std::vector<std::tuple<int, std::string, std::string, std::int64_t>>{
             {1, "hello.txt", "hello, first", 1600000000},
             {1, "old.txt", "only in the first job", 1500000000},
             {1, "big.bin", big, 1600000100},
             {1, "damaged/broken.bin", broken, 1600000300},
             {2, "hello.txt", "hello, second and longer", 1700000000},
             {2, "new.txt", "only in the second job", 1700000100},
             {2, "big.bin", big, 1600000100},
             {2, "sub/nested.txt", "nested", 1600000200}}) {
        const std::string path = dir.path() + "/" + std::to_string(job) + "/" + name;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(vsagent::storetest::Slurp(path) == content) << path;
        EXPECT_EQ(st.st_mtime, mtime) << path;
        EXPECT_EQ(st.st_mode & 07777, 0644u) << path;
    }
    EXPECT_FALSE(fs::exists(dir.path() + "/2/old.txt"));
    EXPECT_FALSE(fs::exists(dir.path() + "/2/damaged/broken.bin"));
    EXPECT_EQ(fs::read_symlink(dir.path() + "/2/evil").string(), outside);

    // A link and then a folder of the same name: the folder is not entered through the link.
    const e2e::Run clash = Files(second, {"get", "/evil", "/deep/evil", "--out", dir.path() + "/c"});
    EXPECT_EQ(clash.exitCode, 1);
    EXPECT_THAT(clash.err, HasSubstr("[/deep/evil]: cannot open the folder"));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_THAT(Files(first, {"find", "*.txt"}).out, HasSubstr("disk 1 partition 1: /sub/nested.txt\n"));
}

}  // namespace

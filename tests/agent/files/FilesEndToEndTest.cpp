// files ls, get and find as a person runs them: a real ext4 file system on a
// partitioned disk of a simulated VM, backed up, changed, backed up again.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "tests/agent/e2e/VsagentFixture.h"
#include "tests/agent/files/DiskImages.h"

using filestest::Shell;
using e2e::json;
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kLongName(255, 'n');

class FilesEndToEnd : public e2e::Vsagent {
protected:
    std::string Put(const std::string& name, const std::string& content, mode_t mode, std::int64_t mtime) {
        const std::string path = src + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        ::chmod(path.c_str(), mode);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        return path;
    }
    // Partition 1 holds an ext4 file system made from `src` and changed by `debugfs`, partition 2 one with
    // a damaged superblock, partition 3 nothing; the image goes on data disk 0 and is backed up.
    long long BackUp(const std::string& debugfs) {
        std::ofstream(dir.path() + "/debugfs.cmd") << debugfs;
        Shell("cd " + dir.path() + " && rm -f fs.img bad.img disk.img && mkfs.ext4 -q -F -d src fs.img 24M"
              " && debugfs -w -f debugfs.cmd fs.img >/dev/null 2>&1 && mkfs.ext4 -q -F bad.img 8M"
              " && printf '\\024' | dd of=bad.img bs=1 seek=1048 conv=notrunc 2>/dev/null && truncate -s 40M disk.img"
              " && printf 'label: gpt\\nstart=2048,size=49152\\nstart=51200,size=16384\\nstart=67584,size=8192\\n'"
              " | sfdisk -q disk.img && dd if=fs.img of=disk.img bs=1M seek=1 conv=notrunc 2>/dev/null"
              " && dd if=bad.img of=disk.img bs=1M seek=25 conv=notrunc 2>/dev/null",
              dir.path());
        EXPECT_EQ(Azsim({"write", "--vm", "web-linux01", "--disk", "1", "--file", dir.path() + "/disk.img"}).exitCode, 0);
        return Backup("web-linux01")["jobId"].get<long long>();
    }
    e2e::Run Files(long long job, std::vector<std::string> args, bool partition1 = true) {
        args.insert(args.begin(), {"files", "--store", store, "--job", std::to_string(job), "--disk", "1"});
        if (partition1) args.insert(args.begin() + 7, {"--partition", "1"});
        return Agent(args);
    }
    std::set<std::string> Names(long long job, const std::string& path) {
        const e2e::Run run = Files(job, {"ls", path, "--json"});
        EXPECT_EQ(run.exitCode, 0) << run.err << run.out;
        std::set<std::string> names;
        const json listing = json::parse(run.out);
        for (const json& e : listing["volumes"][0]["entries"]) names.insert(e["name"].get<std::string>());
        return names;
    }

    std::string src = dir.path() + "/src";
    std::string outside = dir.path() + "/outside";
};

TEST_F(FilesEndToEnd, EachJobGivesBackItsOwnTreeAndNothingLandsOutsideOut) {
    fs::create_directories(src + "/sub");
    fs::create_directories(outside);
    std::string big;
    for (int i = 0; big.size() < 1536 * 1024; ++i) big += std::to_string(i * 7919) + ",";
    Put("hello.txt", "hello, first", 0640, 1600000000);
    Put("old.txt", "only in the first job", 0600, 1500000000);
    Put("big.bin", big, 0755, 1600000100);
    Put("sub/nested.txt", "nested", 0444, 1600000200);
    Put(kLongName, "long", 0644, 1600000300);
    ::chmod((src + "/sub").c_str(), 0750);
    fs::create_symlink("hello.txt", src + "/link");
    const std::string hostile = "ea_set /hello.txt user.color blue\nea_set /hello.txt trusted.secret x\n"
                                "symlink /evil " + outside + "\nmkdir /deep\nmkdir /deep/evil\nwrite " + src +
                                "/old.txt /deep/evil/planted\nsymlink /up a/../../x\nsymlink /loop1 loop2\n"
                                "symlink /loop2 loop1\nmkdir /ring\nln /ring /ring/again\nln /hello.txt /sub/..\n";
    const long long first = BackUp(hostile);
    fs::remove(src + "/old.txt");
    Put("hello.txt", "hello, second and longer", 0640, 1700000000);
    Put("new.txt", "only in the second job", 0600, 1700000100);
    const long long second = BackUp(hostile);

    EXPECT_THAT(Names(first, "/"), ::testing::IsSupersetOf(std::vector<std::string>{"old.txt", "hello.txt", "big.bin", "sub", "link", kLongName}));
    EXPECT_THAT(Names(second, "/"), ::testing::AllOf(::testing::Contains("new.txt"), Not(::testing::Contains("old.txt"))));

    // The file only the first job holds comes back from it, and from no later one.
    EXPECT_EQ(Files(first, {"get", "/old.txt", "--out", dir.path() + "/a"}).exitCode, 0);
    EXPECT_EQ(vsagent::storetest::Slurp(dir.path() + "/a/old.txt"), "only in the first job");
    EXPECT_THAT(Files(second, {"get", "/old.txt", "--out", dir.path() + "/b"}).err, HasSubstr("no [/old.txt]"));

    // The whole tree: contents, modes, times, links as links, user attributes; the folder that loops is told.
    const std::string out = dir.path() + "/tree";
    const e2e::Run tree = Files(second, {"get", "/", "--out", out});
    EXPECT_EQ(tree.exitCode, 1);
    EXPECT_THAT(tree.err, HasSubstr("[/ring/again]: the folder leads back to one of its own parents"));
    // Attributes outside user.* need root: set when run as root, else told.
    char value[16] = {};
    if (::geteuid() == 0) {
        EXPECT_EQ(::getxattr((out + "/hello.txt").c_str(), "trusted.secret", value, sizeof value), 1);
    } else {
        EXPECT_THAT(tree.out, HasSubstr("1 extended attributes outside user.* not set"));
    }
    EXPECT_EQ(vsagent::storetest::Slurp(out + "/hello.txt"), "hello, second and longer");
    EXPECT_TRUE(vsagent::storetest::Slurp(out + "/big.bin") == big);
    EXPECT_EQ(vsagent::storetest::Slurp(out + "/" + kLongName), "long");
    struct stat st {};
    for (const auto& [name, mode, mtime] : std::vector<std::tuple<std::string, mode_t, std::int64_t>>{
             {"hello.txt", 0640, 1700000000}, {"big.bin", 0755, 1600000100}, {"sub", 0750, -1},
             {"sub/nested.txt", 0444, 1600000200}}) {
        ASSERT_EQ(::lstat((out + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
        EXPECT_TRUE(mtime < 0 || st.st_mtime == mtime) << name << " " << st.st_mtime;
    }
    for (const auto& [name, target] : std::map<std::string, std::string>{
             {"link", "hello.txt"}, {"evil", outside}, {"up", "a/../../x"}, {"loop1", "loop2"}})
        EXPECT_EQ(fs::read_symlink(out + "/" + name).string(), target);
    char color[16] = {};
    EXPECT_EQ(::getxattr((out + "/hello.txt").c_str(), "user.color", color, sizeof color), 4);
    EXPECT_STREQ(color, "blue");

    // A link and then a folder of the same name: the folder is not entered through the link.
    const e2e::Run clash = Files(second, {"get", "/evil", "/deep/evil", "--out", dir.path() + "/c"});
    EXPECT_EQ(clash.exitCode, 1);
    EXPECT_THAT(clash.err, HasSubstr("[/deep/evil]: cannot open the folder"));
    EXPECT_TRUE(fs::is_empty(outside));

    // Every partition: the damaged one is an error naming it, the empty one is skipped, the sound one is listed.
    const e2e::Run all = Files(second, {"ls"}, false);
    EXPECT_EQ(all.exitCode, 1);
    EXPECT_THAT(all.err, HasSubstr("disk 1 partition 2: cannot open the ext file system"));
    EXPECT_THAT(all.out, HasSubstr("skipped disk 1 partition 3"));
    EXPECT_THAT(all.out, HasSubstr("new.txt"));
    EXPECT_THAT(Files(second, {"find", "*.txt"}).out, HasSubstr("disk 1 partition 1: /sub/nested.txt\n"));
    EXPECT_EQ(Files(second, {"get", "/x"}).exitCode, 2);
}

}  // namespace

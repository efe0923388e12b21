// A document replaced atomically is, under its own name, the old one or the new one whole.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "agent/store/AtomicFile.h"
#include "agent/store/StoreError.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A write that fails part-way (the file-size limit stops it after 1000 bytes, as a full disk
// would), and a rename that fails: each leaves the old document whole and no temporary file.
TEST(AtomicFile, AFailedReplacementLeavesTheOldDocumentWholeAndNoTemporaryFile) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/manifest.json";
    const std::string old(100, 'o'), next(5000, 'n');
    vsagent::WriteFileAtomically(path, old);
    ASSERT_EQ(Read(path), old);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            vsagent::WriteFileAtomically(path, next);
        } catch (const vsagent::StoreError&) {
            _exit(3);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "a write cut short was not reported";
    EXPECT_EQ(Read(path), old);
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    const std::string folder = dir.path() + "/taken";
    fs::create_directories(folder + "/inside");
    EXPECT_THROW(vsagent::WriteFileAtomically(folder, next), vsagent::StoreError);
    EXPECT_TRUE(fs::is_directory(folder + "/inside"));
    EXPECT_FALSE(fs::exists(folder + ".tmp"));

    vsagent::WriteFileAtomically(path, next);
    EXPECT_EQ(Read(path), next);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

}  // namespace

// Blobs on disk: persistence, sharing between processes, sparseness, names kept inside the root.
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>

#include "tests/azsim/blob/BlobStoreFixture.h"
#include "tests/azsim/model/ChildProcess.h"

namespace fs = std::filesystem;
using namespace azsim;
using namespace blobtest;

namespace {

constexpr std::uint64_t kGiB = 1ULL << 30;

std::uint64_t bytesOutside(const std::string& root, const std::string& excluded) {
    std::uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path() != excluded) total += entry.file_size();
    return total;
}

TEST_F(BlobStoreTest, ScatteredWritesOnALargeDiskStaySparseAndSurviveReopening) {
    ASSERT_TRUE(store().createPageBlob(key_, 4 * kGiB, false, nullptr));  // no 4 GiB model
    std::mt19937_64 random(7);
    std::set<std::uint64_t> slots;  // 4 KiB slots written
    const std::string block = blobtest::pattern(4096, 5);
    while (slots.size() < 10000) {
        std::uint64_t slot = random() % (4 * kGiB / 4096);
        if (!slots.insert(slot).second) continue;
        ASSERT_TRUE(store().writePages(key_, slot * 4096, block.data(), 4096, nullptr));
    }
    Ranges expected;
    for (std::uint64_t slot : slots) {
        if (!expected.empty() && expected.back().end == slot * 4096)
            expected.back().end += 4096;
        else
            expected.push_back({slot * 4096, slot * 4096 + 4096});
    }

    azsim::PageBlobStore reopened(root_);
    Ranges got;
    ASSERT_TRUE(reopened.pageRanges(key_, "", 0, UINT64_MAX, got));
    EXPECT_EQ(got, expected);
    std::string bytes(4096, '\0');
    std::uint64_t probe = *std::next(slots.begin(), 4321) * 4096;
    ASSERT_EQ(reopened.read(key_, "", probe, bytes.data(), 4096), 4096);
    EXPECT_EQ(bytes, block);

    const std::string data = store().dataPath(key_, "");
    EXPECT_LT(bytesOutside(root_, data), 1024u * 1024u) << "metadata grew with the disk or the writes";
    struct stat st {};
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 4 * kGiB);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 100ULL << 20);
}

// The store keeps nothing in memory: a new one on the root reads what the old one wrote.
TEST_F(BlobStoreTest, BlockBlobsListingsAndPropertiesReadBackFromANewStoreOnTheSameRoot) {
    create(1 << 20);
    write(0, 8192, 1);
    ASSERT_TRUE(store().putBlockBlob({"acct", "config", "vm.json"}, "{\"vm\":1}", nullptr));
    azsim::BlobProperties before;
    ASSERT_TRUE(store().properties(key_, "", before));

    store_ = azsim::PageBlobStore(root_);
    azsim::BlobProperties after;
    ASSERT_TRUE(store().properties(key_, "", after));
    EXPECT_EQ(std::tie(after.etag, after.lastModified), std::tie(before.etag, before.lastModified));

    std::string content;
    ASSERT_TRUE(store().getBlockBlob({"acct", "config", "vm.json"}, content));
    EXPECT_EQ(content, "{\"vm\":1}");
    EXPECT_FALSE(store().getBlockBlob(key_, content));
    Ranges none;
    EXPECT_FALSE(store().pageRanges({"acct", "config", "vm.json"}, "", 0, 512, none));
    EXPECT_EQ(store().list("acct", ""), (std::vector<BlobKey>{key_, {"acct", "config", "vm.json"}}));
    EXPECT_EQ(store().list("acct", "config"), (std::vector<BlobKey>{{"acct", "config", "vm.json"}}));
}

TEST_F(BlobStoreTest, TwoProcessesWritingOneBlobLoseNothing) {
    constexpr std::uint64_t kSlots = 600;  // 4 KiB slots; the child writes even ones, the parent odd ones
    create(kSlots * 4096);
    for (std::uint64_t slot = 0; slot < kSlots; ++slot)
        model_.replace(slot * 4096, 4096, blobtest::pattern(4096, static_cast<unsigned>(slot)));
    auto writeSlots = [this](azsim::PageBlobStore& s, std::uint64_t parity) {
        for (std::uint64_t slot = parity; slot < kSlots; slot += 2)
            if (!s.writePages(key_, slot * 4096, model_.data() + slot * 4096, 4096, nullptr)) return false;
        return true;
    };
    azsimtest::ChildProcess child([&] {
        azsim::PageBlobStore own(root_);
        return writeSlots(own, 0) ? 0 : 1;
    });
    ASSERT_TRUE(writeSlots(store(), 1));
    ASSERT_EQ(0, child.wait());

    EXPECT_EQ(ranges(), (Ranges{{0, kSlots * 4096}}));
    EXPECT_EQ(readAll(), model_);
    const std::string id = snapshot();
    azsim::PageRangeDiff diff;
    ASSERT_TRUE(store().pageRangesDiff(key_, "", id, diff));
    EXPECT_TRUE(diff.written.empty());
}

TEST_F(BlobStoreTest, HostileNamesStayInsideTheRootAndKeepTheirIdentity) {
    const fs::path parent = fs::path(root_).parent_path();
    const std::vector<BlobKey> keys = {
        {"acct", "vhds", "../../escape"}, {"acct", "vhds", ".."},          {"acct", "..", "x"},
        {"..", "vhds", "x"},              {"acct", "vhds", "a/b"},         {"acct", "vhds", "a%2Fb"},
        {"acct", "vhds", "with space %"}, {"acct", "vhds", std::string(1000, 'n')},
        {"acct", "vhds", std::string(1000, '/')}};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string error;
        ASSERT_TRUE(store().createPageBlob(keys[i], 4096, false, &error)) << keys[i].name << ": " << error;
        std::string bytes = blobtest::pattern(512, static_cast<unsigned>(i));
        ASSERT_TRUE(store().writePages(keys[i], 0, bytes.data(), 512, &error)) << error;
        const std::string data = fs::weakly_canonical(store().dataPath(keys[i], "")).string();
        EXPECT_EQ(data.rfind(fs::weakly_canonical(root_).string() + "/", 0), 0u) << data;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string bytes(512, '\0');
        ASSERT_EQ(store().read(keys[i], "", 0, bytes.data(), 512), 512);
        EXPECT_EQ(bytes, blobtest::pattern(512, static_cast<unsigned>(i))) << keys[i].name;
    }
    EXPECT_EQ(store().list("acct", "vhds").size(), 7u);
    for (const auto& entry : fs::directory_iterator(parent))
        EXPECT_NE(entry.path().filename(), "escape");
    std::string error;
    EXPECT_FALSE(store().createPageBlob({"acct", "vhds", ""}, 4096, false, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(store().exists({"acct", "vhds", "x"}, "../../meta"));
}

}  // namespace

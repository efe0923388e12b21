// Snapshots: isolation from later writes, ids, deletion, copies.
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "azsim/blob/SnapshotId.h"
#include "tests/azsim/blob/BlobStoreFixture.h"

using namespace azsim;
using namespace blobtest;

namespace {

TEST_F(BlobStoreTest, SnapshotsKeepTheirContentAndRangesWhateverChangesFirst) {
    create(kMiB);
    write(0, 64 * 1024, 1);
    write(kMiB - 4096, 4096, 2);
    const std::string first = model_;
    const std::string a = snapshot();
    const std::string b = snapshot();  // nothing changed in between: same data as a

    clear(kMiB - 4096, 4096);  // a clear, not a write, is the first change after both
    const std::string second = model_;
    const std::string c = snapshot();
    write(0, 4096, 3);
    write(512 * 1024, 4096, 4);

    EXPECT_EQ(readAll(a), first);
    EXPECT_EQ(ranges(a), (Ranges{{0, 64 * 1024}, {kMiB - 4096, kMiB}}));
    EXPECT_EQ(readAll(b), first);
    EXPECT_EQ(readAll(c), second);
    EXPECT_EQ(readAll(), model_);
    EXPECT_EQ(ranges(), (Ranges{{0, 64 * 1024}, {512 * 1024, 512 * 1024 + 4096}}));
    // Deleting a snapshot leaves the others and the blob as they were.
    EXPECT_TRUE(store().deleteSnapshot(key_, a));
    EXPECT_EQ(readAll(b), first);
    EXPECT_EQ(readAll(), model_);
}

TEST_F(BlobStoreTest, SnapshotIdsHaveTheCloudFormStrictlyIncreaseAndGoWithTheBlob) {
    create(4096);
    std::vector<std::string> ids;
    for (int i = 0; i < 20; ++i) ids.push_back(snapshot());
    const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z)");
    for (const std::string& id : ids) EXPECT_TRUE(std::regex_match(id, form)) << id;
    EXPECT_EQ(ids.end(), std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()));  // strictly increasing
    EXPECT_EQ(store().snapshots(key_), ids);

    EXPECT_TRUE(store().deleteSnapshot(key_, ids[3]));
    EXPECT_FALSE(store().deleteSnapshot(key_, ids[3]));
    EXPECT_FALSE(store().exists(key_, ids[3]));
    EXPECT_EQ(store().read(key_, ids[3], 0, model_.data(), 512), -1);
    // A later snapshot is still later than every earlier one, including deleted ids.
    const std::string later = snapshot();
    EXPECT_GT(later, ids.back());

    // Deleting the blob deletes its snapshots; a new blob of the name starts empty.
    write(0, 4096, 1);
    ASSERT_TRUE(store().exists(key_, later));
    EXPECT_TRUE(store().deleteBlob(key_));
    EXPECT_FALSE(store().exists(key_));
    EXPECT_FALSE(store().exists(key_, later));
    EXPECT_EQ(store().read(key_, later, 0, model_.data(), 512), -1);
    EXPECT_FALSE(store().deleteBlob(key_));
    create(8192);
    EXPECT_TRUE(store().snapshots(key_).empty());
    EXPECT_TRUE(ranges().empty());
    EXPECT_EQ(readAll(), std::string(8192, '\0'));
}

TEST_F(BlobStoreTest, CopyOfASnapshotEqualsItAndStartsItsOwnHistory) {
    create(4 * kMiB);
    write(kMiB, 8192, 1);
    write(3 * kMiB, 512, 2);
    const std::string frozenBytes = model_;
    const std::string id = snapshot();
    write(kMiB, 512, 3);

    const azsim::BlobKey copy{"acct", "staging", "restore.vhd"};
    std::string error;
    ASSERT_TRUE(store().copyBlob(key_, id, copy, &error)) << error;
    Ranges copied;
    ASSERT_TRUE(store().pageRanges(copy, "", 0, UINT64_MAX, copied));
    struct stat st {};
    ASSERT_EQ(::stat(store().dataPath(copy, "").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1024 * 1024) << "the copy lost its holes";
    EXPECT_TRUE(store().snapshots(copy).empty());

    // Copied back over a blob that has snapshots: the snapshot's bytes and ranges, the old snapshots kept and
    // every page counted as changed.
    const std::string old = snapshot();
    ASSERT_TRUE(store().copyBlob(copy, "", key_, &error)) << error;
    EXPECT_EQ(readAll(old), model_);
    EXPECT_EQ(readAll(), frozenBytes);
    PageRangeDiff diff;
    ASSERT_TRUE(store().pageRangesDiff(key_, "", old, diff));
    EXPECT_EQ(diff.written, copied);
    EXPECT_EQ(diff.cleared, (Ranges{{0, kMiB}, {kMiB + 8192, 3 * kMiB}, {3 * kMiB + 512, 4 * kMiB}}));

    EXPECT_FALSE(store().copyBlob(key_, "2001-01-01T00:00:00.0000000Z", copy, &error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
}

// A copy names its source's data until one of them changes pages; then each reads only its own changes.
TEST_F(BlobStoreTest, ACopySharesItsSourceDataUntilEitherSideWrites) {
    create(kMiB);
    write(0, 64 * 1024, 1);
    const std::string before = model_;
    const azsim::BlobKey copy{"acct", "vhds", "copy.vhd"};
    ASSERT_TRUE(store().copyBlob(key_, "", copy, &error_)) << error_;
    auto inode = [&](const azsim::BlobKey& key) {
        struct stat st {};
        EXPECT_EQ(::stat(store().dataPath(key, "").c_str(), &st), 0);
        return st.st_ino;
    };
    auto read = [&](const azsim::BlobKey& key) {
        std::string bytes(kMiB, '\1');
        EXPECT_EQ(store().read(key, "", 0, bytes.data(), kMiB), static_cast<std::int64_t>(kMiB));
        return bytes;
    };
    EXPECT_EQ(inode(key_), inode(copy));

    write(4096, 4096, 2);
    EXPECT_EQ(readAll(), model_);
    EXPECT_EQ(read(copy), before);
    const std::string page = pattern(512, 3);
    ASSERT_TRUE(store().writePages(copy, kMiB - 512, page.data(), 512, &error_)) << error_;
    EXPECT_EQ(read(copy), before.substr(0, kMiB - 512) + page);
    EXPECT_EQ(readAll(), model_);
    EXPECT_NE(inode(key_), inode(copy));
}

TEST(SnapshotIdTest, NextIdFollowsALaterLastIdByOneTickAndMalformedIdsAreRejected) {
    EXPECT_EQ(azsim::blob::nextSnapshotId("9999-12-31T23:59:59.9999990Z"), "9999-12-31T23:59:59.9999991Z");
    EXPECT_EQ(azsim::blob::nextSnapshotId("2999-02-28T23:59:59.9999999Z"), "2999-03-01T00:00:00.0000000Z");
    std::int64_t ticks = 0;
    for (const char* bad : {"2026-12-06T07:31:12.123456Z", "2026-13-06T07:31:12.1234567Z",
                            "2026-12-06 07:31:12.1234567Z", "../../2026-12-06T07:31:12.1234567Z", ""})
        EXPECT_FALSE(azsim::blob::parseSnapshotId(bad, ticks)) << bad;
}

}  // namespace

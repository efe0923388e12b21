// Page ranges, diffs and the checks on page writes.
#include "tests/azsim/blob/BlobStoreFixture.h"

using namespace azsim;
using namespace blobtest;

namespace {

TEST_F(BlobStoreTest, RangesAreExactAfterScatteredOverlappingWritesAndClears) {
    create(kMiB);
    write(0, 4096, 1);
    write(8192, 4096, 2);
    write(2048, 8192, 3);            // bridges the two: [0, 12288)
    write(65536, 512, 4);
    write(66048, 1024, 5);           // touches the previous one: [65536, 67072)
    clear(4096, 512);                // hole in the middle of written data
    clear(200 * 1024, 4096);         // clearing pages never written changes no range
    write(kMiB - 512, 512, 6);       // the very last page
    EXPECT_EQ(ranges(), (Ranges{{0, 4096}, {4608, 12288}, {65536, 67072}, {kMiB - 512, kMiB}}));
    EXPECT_EQ(readAll(), model_);

    Ranges window;
    ASSERT_TRUE(store().pageRanges(key_, "", 4096, 61952, window));
    EXPECT_EQ(window, (Ranges{{4608, 12288}, {65536, 66048}}));
    ASSERT_TRUE(store().pageRanges(key_, "", 2 * kMiB, 512, window));
    EXPECT_TRUE(window.empty());

    clear(0, kMiB);
    EXPECT_TRUE(ranges().empty());
    EXPECT_EQ(readAll(), std::string(kMiB, '\0'));
}

TEST_F(BlobStoreTest, DiffListsEveryChangedPageSplitIntoWrittenAndCleared) {
    create(kMiB);
    write(0, 8192, 1);
    write(32768, 4096, 2);
    const std::string first = snapshot();

    write(16384, 1024, 3);                                  // new data
    EXPECT_TRUE(store().writePages(key_, 0, model_.data(), 512, nullptr));  // same bytes: still a change
    clear(32768 + 1024, 1024);                              // inside written data
    clear(512 * 1024, 512);                                 // never written
    const std::string second = snapshot();
    write(4096, 512, 4);

    PageRangeDiff diff;
    ASSERT_TRUE(store().pageRangesDiff(key_, second, first, diff));
    EXPECT_EQ(diff.written, (Ranges{{0, 512}, {16384, 17408}}));
    EXPECT_EQ(diff.cleared, (Ranges{{33792, 34816}, {512 * 1024, 512 * 1024 + 512}}));

    ASSERT_TRUE(store().pageRangesDiff(key_, "", second, diff));
    EXPECT_EQ(diff.written, (Ranges{{4096, 4608}}));
    EXPECT_TRUE(diff.cleared.empty());

    ASSERT_TRUE(store().pageRangesDiff(key_, "", first, diff));
    EXPECT_EQ(diff.written, (Ranges{{0, 512}, {4096, 4608}, {16384, 17408}}));
    EXPECT_EQ(diff.cleared.size(), 2u);

    // The previous version must exist (that it must be older is held by the endpoint's page list tests).
    EXPECT_FALSE(store().pageRangesDiff(key_, "", "2001-01-01T00:00:00.0000000Z", diff));
    EXPECT_FALSE(store().pageRangesDiff(key_, "", "", diff));
    EXPECT_TRUE(diff.written.empty() && diff.cleared.empty());
}

TEST_F(BlobStoreTest, MisalignedOrOutOfRangeChangesAreRejectedAndChangeNothing) {
    create(64 * 1024);
    write(0, 4096, 1);
    const std::string page = blobtest::pattern(1024, 2);
    const struct { std::uint64_t offset, length; const char* text; } cases[] = {
        {100, 512, "offset 100 is not a multiple of 512"}, {512, 700, "length 700 is not a positive multiple of 512"},
        {512, 0, "length 0 is not a positive multiple of 512"}, {63 * 1024, 2048, "outside the blob of 65536 bytes"},
        {64 * 1024, 512, "outside the blob"}};
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(store().writePages(key_, c.offset, page.data(), c.length, &error));
        EXPECT_NE(error.find(c.text), std::string::npos) << error;
        error.clear();
        EXPECT_FALSE(store().clearPages(key_, c.offset, c.length, &error));
        EXPECT_NE(error.find(c.text), std::string::npos) << error;
    }
    EXPECT_EQ(ranges(), (Ranges{{0, 4096}}));
    EXPECT_EQ(readAll(), model_);

    std::string error;
    EXPECT_FALSE(store().createPageBlob({"acct", "vhds", "odd"}, 1000, false, &error));
    EXPECT_NE(error.find("not a multiple of 512"), std::string::npos) << error;
    EXPECT_FALSE(store().createPageBlob(key_, 4096, false, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_FALSE(store().writePages({"acct", "vhds", "absent"}, 0, page.data(), 512, &error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
}

TEST_F(BlobStoreTest, ReadsClampAtTheEndAndTimesAreInSeconds) {
    create(8192);
    write(4096, 4096, 3);
    std::string tail(10000, 'x');
    EXPECT_EQ(store().read(key_, "", 6144, tail.data(), tail.size()), 2048);
    EXPECT_EQ(tail.substr(0, 2048), model_.substr(6144));
    EXPECT_EQ(store().read(key_, "", 8192, tail.data(), 512), 0);

    azsim::BlobProperties props;
    ASSERT_TRUE(store().properties(key_, "", props));
    EXPECT_GT(props.lastModified, 1700000000);
}

}  // namespace

// Page ranges of a managed snapshot named by its group and name: read through the caller's SAS, or through
// an access granted for the call and ended with it, unless the snapshot was being read already.
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

TEST_F(WrapperTest, SnapshotPageRangesLeaveTheSnapshotsAccessAsTheyFoundIt) {
    std::vector<SDisk> disks = {ManagedEntry(state.load().findVm("web-linux01")->disks[0].id, true, -1)}, snapped;
    disks[0].isManaged = true;
    std::string guid, sas;
    ASSERT_TRUE(sdk.CreateDiskSnapshots(disks, "rg-prod", "westeurope", "web-linux01", 1, 1, guid, snapped))
        << sdk.GetLastErrorString();
    const std::string id = snapped.at(0).managedDiskId, name = id.substr(id.rfind('/') + 1);
    auto read = [&](const std::string& uri) {
        std::vector<VMInfoStructs::SectorRange> ranges;
        EXPECT_TRUE(sdk.GetBlobPageRanges(uri, "rg-prod", name, ranges, true)) << sdk.GetLastErrorString();
        return std::make_pair(ranges.size(), state.load().findSnapshot(id)->grant.active);
    };
    const auto idle = read(disks[0].managedDiskId);
    EXPECT_GT(idle.first, 0u);
    EXPECT_FALSE(idle.second);  // the access granted for the call ended with it
    ASSERT_TRUE(sdk.GetSASTokenURI("rg-prod", name, sas));
    EXPECT_EQ(read(disks[0].managedDiskId), std::make_pair(idle.first, true));  // another reader's access stays
    EXPECT_EQ(read(sas), std::make_pair(idle.first, true));
    std::vector<VMInfoStructs::SectorRange> none;
    EXPECT_FALSE(sdk.GetBlobPageRanges(sas, "rg-prod", "absent", none, true));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
}

}  // namespace

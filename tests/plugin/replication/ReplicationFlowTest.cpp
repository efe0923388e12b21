// Replication runs through the restore slots: the first run builds the replica in full, later runs revert its
// blobs to their integrity snapshot and write only the changes; each way of failing ends with its own code.
#include "tests/plugin/replication/ReplicaFixture.h"

namespace replicationtest {
namespace {

std::string TagOf(const azsim::StateDocument& doc, const azsim::BlobKey& key) {
    const azsim::UnmanagedDisk* disk = doc.findUnmanagedDisk(key);
    return disk && disk->tags.count("_NX_REPLICATION_DISK_GUID_") ? disk->tags.at("_NX_REPLICATION_DISK_GUID_") : "";
}

TEST_F(Replication, FirstRunBuildsTheReplicaAndTheNextRevertsItBeforeWritingChanges) {
    RestoreCtx first = Ctx();
    ASSERT_TRUE(Run(first, 0x11)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(1, first.replicationSyncType);
    EXPECT_TRUE(first.firstTimeReplication && first.replicaReset);
    azsim::StateDocument doc = State();
    ASSERT_EQ(1u, doc.snapshotSets.size());
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(first.disks[i].replicationGuid, TagOf(doc, i ? kDataBlob : kOsBlob));
        EXPECT_EQ(doc.snapshotSets[0].guid, first.disks[i].changeId);
    }
    EXPECT_EQ(std::vector<unsigned long>{5 * 60000}, sleeper.waits());
    EXPECT_EQ("deallocated", nlohmann::json(doc.findVm("replica01")->powerState));

    // The replica's disk changed after its integrity snapshot: the next run starts from the snapshot.
    const std::vector<unsigned char> drift(512, 0xdd);
    ASSERT_TRUE(Blobs().writePages(kOsBlob, 512, drift.data(), drift.size(), nullptr));
    RestoreCtx next = Next(first);
    ASSERT_EQ(1, plugin->InitRestoreVM(next)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(2, next.replicationSyncType);
    EXPECT_EQ(0, Byte(kOsBlob, 512));
    EXPECT_EQ(0x11, Byte(kOsBlob));
    EXPECT_EQ(nullptr, State().findVm("replica01"));  // deleted to free its blobs, which stay
    ASSERT_TRUE(Write(next, 0x22) && plugin->PreRestoreVM(next) == 1 && plugin->RestoreVM(next) == 1 &&
                plugin->PostRestoreVM(next) == 1);
    doc = State();
    ASSERT_EQ(1u, doc.snapshotSets.size());
    EXPECT_EQ(doc.snapshotSets[0].guid, next.disks[0].changeId);
    EXPECT_NE(first.disks[0].changeId, next.disks[0].changeId);
    EXPECT_EQ(first.disks[0].replicationGuid, TagOf(doc, kOsBlob));
    EXPECT_EQ(0x22, Byte(kOsBlob));
}

}  // namespace
}  // namespace replicationtest

// The replica's blobs on their own: existence and integrity checks, deletion, integrity snapshots, tags,
// reverts, disk growth, and the failback mount that reads the replica's disks by their tags.
#include "azsim/model/ResourceIds.h"
#include "tests/plugin/replication/ReplicaFixture.h"

namespace replicationtest {
namespace {

constexpr long long kGiB = 1LL << 30;
const azsim::BlobKey kForeignBlob{"prodstaging01", "vhds", "foreign.vhd"};

SDisk BlobDisk(const std::string& name, const std::string& account = "prodstaging01") {
    SDisk disk;
    disk.name = name, disk.storageAccount = account;
    return disk;
}

class ReplicaBlobs : public Replication {
public:
    void SetUp() override {
        Replication::SetUp();
        ASSERT_EQ(4, Run(first, 0x11)) << plugin->GetLastVMErrorDetails();
        ASSERT_TRUE(Blobs().createPageBlob(kForeignBlob, kDiskBytes, false, nullptr));
    }
    RestoreCtx first = Ctx();
};

TEST_F(ReplicaBlobs, ChecksAndDeletionOfDestinationBlobs) {
    RestoreCtx ctx;
    bool exist = true;
    EXPECT_TRUE(plugin->CheckIfBlobsExist(ctx, exist) && !exist);
    EXPECT_TRUE(plugin->DeleteExistingBlobs({}));
    EXPECT_FALSE(plugin->VerifyIntegrity(ctx));
    ctx.disks = {BlobDisk("absent.vhd")};
    EXPECT_FALSE(plugin->VerifyIntegrity(ctx));
    ctx.disks = {BlobDisk(kOsBlob.name)};
    EXPECT_TRUE(plugin->CheckIfBlobsExist(ctx, exist) && exist);
    EXPECT_TRUE(plugin->VerifyIntegrity(ctx));
    ctx.disks.push_back(BlobDisk(kForeignBlob.name));  // one blob without a snapshot spoils the others
    EXPECT_FALSE(plugin->VerifyIntegrity(ctx));
    // For an existing unmanaged VM only its own integrity snapshots count.
    ctx.destVmExists = true;
    ctx.vmInfo.name = "replica01", ctx.vmInfo.guid = State().findVm("replica01")->guid;
    ctx.disks = {BlobDisk(kForeignBlob.name)};
    EXPECT_TRUE(plugin->VerifyIntegrity(ctx));

    // The replica's blob is held by its VM: the deletion stops there, after the blob before it went.
    EXPECT_FALSE(plugin->DeleteExistingBlobs({BlobDisk(kForeignBlob.name), BlobDisk(kOsBlob.name)}));
    EXPECT_EQ(VMINFO_ERR_BLOB_DELETE, plugin->GetLastVMError());
    EXPECT_FALSE(Blobs().exists(kForeignBlob));
    EXPECT_TRUE(Blobs().exists(kOsBlob));
}

TEST_F(ReplicaBlobs, IntegritySnapshotsTagsAndRevertsTouchOnlyWhatTheyName) {
    auto& sdk = *plugin->sdk;
    const std::string vmGuid = State().findVm("replica01")->guid;
    SDisk os = BlobDisk(kOsBlob.name, "prodstaging01\\vhds"), byUri = os;
    EXPECT_FALSE(sdk.RevertBlobSnapshots({os}));
    EXPECT_NE(std::string::npos, sdk.GetLastErrorString().find("cannot be reverted while the VM holds it"));

    // A backup's snapshot of the same blob is neither the snapshot engine's nor deleted with integrity snapshots.
    std::string backupSet;
    std::vector<SDisk> snapped;
    byUri.uri = azsim::PageBlobUri(kOsBlob);
    ASSERT_TRUE(sdk.CreateDiskSnapshots({byUri}, "rg-prod", "westeurope", "replica01", 1, 1, backupSet, snapped));
    int count = -1;
    EXPECT_TRUE(sdk.GetBlobSnapshotCount("prodstaging01", "vhds", kOsBlob.name, true, count) && count == 0);
    EXPECT_TRUE(sdk.GetVMSnapshotCount("replica01", vmGuid, "", count) && count == 2);
    ASSERT_TRUE(sdk.DeleteDiskSnapshots("", {os, BlobDisk(kDataBlob.name)}, "", false));
    ASSERT_EQ(1u, State().snapshotSets.size());
    EXPECT_EQ(backupSet, State().snapshotSets[0].guid);
    EXPECT_TRUE(sdk.GetVMSnapshotCount("replica01", vmGuid, "", count) && count == 1);

    // A tag name given anew replaces the value under any spelling; the GUID is read whatever the case.
    SInventoryInfo tag;
    tag.name = "_nx_replication_disk_guid_", tag.id = "lower";
    ASSERT_TRUE(sdk.SetDiskTagInfo("", os, {tag}));
    EXPECT_TRUE(plugin->GetReplicationDiskGuid("", os) && os.guid == "lower");
    std::vector<SInventoryInfo> tags;
    EXPECT_TRUE(sdk.GetDiskTagInfo("", os, tags) && tags.size() == 2);  // with the job's own mark
    EXPECT_FALSE(plugin->GetReplicationDiskGuid("", byUri = BlobDisk(kForeignBlob.name)) || !byUri.guid.empty());
}

TEST_F(ReplicaBlobs, GrowthCountsWholeGigabytesOfTheMatchingDisk) {
    struct Row { long long dest, src; const char* guid; long long after; };
    for (const Row& row : {Row{100 * kGiB + 1, 101 * kGiB, "g", 100 * kGiB + 1},
                           Row{101 * kGiB, 102 * kGiB, "g", 102 * kGiB},
                           Row{102 * kGiB, 101 * kGiB, "g", 102 * kGiB}, Row{kGiB, 2 * kGiB, "other", kGiB}}) {
        SDisk source, dest;
        source.guid = "g", source.capacity = row.src, dest.guid = row.guid, dest.capacity = row.dest;
        EXPECT_EQ(row.after != row.dest, plugin->IsDiskSizeIncreasedinSourceVM({source}, dest)) << row.dest;
        EXPECT_EQ(row.after, dest.capacity);
    }
}

TEST_F(ReplicaBlobs, FailbackMountReadsTheReplicasDisksByTheirTags) {
    testsupport::TempDir mountDir;
    MountCtx mount;
    mount.vmName = "replica01", mount.vmGuid = State().findVm("replica01")->guid, mount.hostName = "rg-prod";
    mount.mountPath = mountDir.path() + "/mount";
    mount.isFailback = true;
    ASSERT_EQ(1, plugin->MountVM(mount)) << plugin->GetLastVMErrorDetails();
    ASSERT_EQ(2u, mount.vmInfo.disks.size());
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(first.disks[i].replicationGuid, mount.vmInfo.disks[i].guid);
    EXPECT_EQ(1, plugin->UnmountVM(mount));
}

}  // namespace
}  // namespace replicationtest

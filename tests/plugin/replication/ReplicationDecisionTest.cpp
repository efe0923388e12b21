// Replication runs through the restore slots, one fresh subscription per row: the init's decision between a
// full and an incremental write, what each run leaves, and every way a run fails with its own code.
#include <fstream>
#include <functional>

#include "tests/plugin/replication/ReplicaFixture.h"

namespace replicationtest {
namespace {

using Arrange = std::function<void(Replication&, RestoreCtx&)>;
using Check = std::function<void(Replication&, const RestoreCtx&)>;
constexpr long long kGiB = 1LL << 30;
const char* const kGuidTag = "_NX_REPLICATION_DISK_GUID_";

struct Row {
    const char* what;
    bool replicaFirst;  // a first run has built the replica (0x11 on each first page), and the run is its next one
    Arrange arrange;
    EVMInfoError code;  // none: the whole run succeeds
    int sync;           // replicationSyncType after the init, when it succeeds
    int reached = 0;    // the step that fails: 0 init, 1 pre, 2 deployment
    Check check = nullptr;
    const char* fault = "";  // the first call of this operation is refused
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.what; }

Arrange Set(std::function<void(RestoreCtx&)> change) { return [=](Replication&, RestoreCtx& c) { change(c); }; }
// Someone else's blob, 0xee on its first page, where the replica's OS disk goes.
Arrange Foreign(bool overwrite) {
    return [=](Replication& t, RestoreCtx& c) {
        ASSERT_TRUE(t.Blobs().createPageBlob(kOsBlob, kDiskBytes, false, nullptr));
        t.Page(kOsBlob, 0, 0xee);
        c.overwrite = overwrite;
    };
}
Arrange Running(bool forceFull) {
    return [=](Replication& t, RestoreCtx& c) {
        t.Mutate([](azsim::StateDocument& doc) { doc.findVm("replica01")->powerState = azsim::PowerState::Running; });
        c.forceFullReplication = forceFull;
    };
}
// A restarted run: the replica's OS disk is 101 GiB and its source has grown to 102 GiB; its data disk changed
// where no run writes.
const Arrange kGrown = [](Replication& t, RestoreCtx& c) {
    t.Mutate([](azsim::StateDocument& doc) { doc.findUnmanagedDisk(kOsBlob)->sizeBytes = 101 * kGiB; });
    c.disks[0].capacity = 102 * kGiB, c.isRestartedJob = true;
    t.Page(kDataBlob, 512, 0xdd);
};
const Arrange kNothing = [](Replication&, RestoreCtx&) {};
const Check kKept = [](Replication& t, const RestoreCtx&) {
    EXPECT_TRUE(t.State().findVm("replica01") != nullptr);
    EXPECT_EQ(0x11, t.Byte(kOsBlob));
};
// Each blob carries its disk's replication GUID and one integrity snapshot, whose set is the disks' change id.
void Tracked(Replication& t, const RestoreCtx& c) {
    const azsim::StateDocument doc = t.State();
    ASSERT_EQ(1u, doc.snapshotSets.size());
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(c.disks[i].replicationGuid, doc.findUnmanagedDisk(i ? kDataBlob : kOsBlob)->tags.at(kGuidTag));
        EXPECT_EQ(doc.snapshotSets[0].guid, c.disks[i].changeId);
    }
    EXPECT_EQ(std::vector<unsigned long>(2, 5 * 60000), t.sleeper.waits());  // each run's boot wait
    EXPECT_EQ(azsim::PowerState::Deallocated, doc.findVm("replica01")->powerState);
}

// A managed replica: its VM's disks are copies of the replica's blobs, which stay for the next run to revert and
// write; each disk carries its blob's replication GUID, as a failback mount looks it up, run after run.
void ManagedCopies(Replication& t, const RestoreCtx& c, unsigned char fill) {
    const azsim::StateDocument doc = t.State();
    SVMInfo info;
    ASSERT_TRUE(t.plugin->GetVMInfoForVM("replica01", "", "rg-prod", 0, 0, info) && info.isManaged);
    for (std::size_t i = 0; i < 2; ++i) {
        const azsim::BlobKey copy = doc.findManagedDisk(info.disks[i].managedDiskId)->blob;
        EXPECT_EQ(std::make_pair(fill, fill), std::make_pair(t.Byte(copy), t.Byte(i ? kDataBlob : kOsBlob)));
        EXPECT_TRUE(t.plugin->GetReplicationDiskGuid(info.disks[i].resourceGroup, info.disks[i]));
        EXPECT_EQ(c.disks[i].replicationGuid, info.disks[i].guid);
    }
}
const Check kManagedRunAfterRun = [](Replication& t, const RestoreCtx& done) {
    ManagedCopies(t, done, 0x22);
    RestoreCtx next = t.Next(done);
    next.restoreAsManagedVM = true;
    ASSERT_EQ(4, t.Run(next, 0x33)) << t.plugin->GetLastVMErrorDetails();
    EXPECT_EQ(2, next.replicationSyncType);
    ManagedCopies(t, next, 0x33);
};

class Decision : public Replication, public ::testing::WithParamInterface<Row> {};

TEST_P(Decision, RunDecidesOrFailsWithItsCode) {
    const Row& row = GetParam();
    RestoreCtx ctx = Ctx();
    if (row.replicaFirst) {
        ASSERT_EQ(4, Run(ctx, 0x11)) << plugin->GetLastVMErrorDetails();
        ctx = Next(ctx);
        Page(kOsBlob, 512, 0xdd);  // changed after its integrity snapshot: an incremental run reverts it
    }
    row.arrange(*this, ctx);
    if (*row.fault) azsim::FaultBook(cloud.dir()).addSdkFault({row.fault, 0, "refused", 1});
    const std::size_t calls = azsim::Journal(cloud.dir()).entries().size();
    const int reached = Run(ctx, 0x22);
    EXPECT_EQ(row.code == VMINFO_ERR_NONE ? 4 : row.reached, reached) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(row.code, plugin->GetLastVMError());
    EXPECT_NE(row.code == VMINFO_ERR_NONE, !plugin->GetLastVMErrorDetails().empty());
    EXPECT_EQ(reached ? row.sync : 0, reached ? ctx.replicationSyncType : 0);
    EXPECT_EQ(row.code != VMINFO_ERR_CLOUDFS_UNAVAILABLE, calls != azsim::Journal(cloud.dir()).entries().size());
    // A run that goes on from the replica starts from its integrity snapshot or from no blob; a restarted
    // incremental run goes on from what the interrupted one left.
    const bool restartedIncremental = ctx.isRestartedJob && row.sync == 2;
    EXPECT_TRUE(row.code != VMINFO_ERR_NONE || !row.replicaFirst || restartedIncremental || !Byte(kOsBlob, 512));
    if (row.code != VMINFO_ERR_NONE) {
        EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));  // removes only what the run made
    }
    if (row.check) row.check(*this, ctx);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Decision,
    ::testing::Values(
        Row{"FirstRun", false, kNothing, VMINFO_ERR_NONE, 1, 0,
            [](Replication& t, const RestoreCtx& c) {
                EXPECT_TRUE(c.firstTimeReplication && c.replicaReset);
                EXPECT_EQ(1u, t.sleeper.waits().size());
            }},
        Row{"NextRun", true, kNothing, VMINFO_ERR_NONE, 2, 0, Tracked},
        Row{"NoCloudFileSystem", false,
            [](Replication& t, RestoreCtx& c) {  // even an encrypted source's configuration is not checked
                t.plugin->cloudFs = false, c.disks[0].isEncrypted = true, c.disks.push_back(SDisk());
                c.disks.back().type = DISK_TYPE_FILE, c.disks.back().indexName = "vm.json";
                std::ofstream(c.stagingPath + "/vm.json") << "{}";
            },
            VMINFO_ERR_CLOUDFS_UNAVAILABLE, 0},
        Row{"ManagedReplica", false, Set([](RestoreCtx& c) { c.restoreAsManagedVM = true; }), VMINFO_ERR_NONE, 1, 0,
            kManagedRunAfterRun},
        Row{"ForeignBlob", false, Foreign(false), VMINFO_ERR_BLOB_EXISTS, 0, 0,
            [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0xee, t.Byte(kOsBlob)); }},
        Row{"ForeignBlobOverwritten", false, Foreign(true), VMINFO_ERR_NONE, 1},
        Row{"RunningReplica", true, Running(false), VMINFO_ERR_REPLICA_VM_RUNNING, 0, 0, kKept},
        Row{"RunningReplicaMarkedForFull", true, Running(true), VMINFO_ERR_NONE, 1},
        Row{"ReplicaForFullUndeletable", true, Running(true), VMINFO_ERR_VM_DELETE, 0, 0, kKept, "DeleteVM"},
        Row{"FirstRunOverAVm", true, Set([](RestoreCtx& c) { c.isFirstReplication = true; }),
            VMINFO_ERR_REPLICA_VM_EXISTS, 0, 0, kKept},
        Row{"FirstRunOverAVmOverwritten", true,
            [](Replication& t, RestoreCtx& c) {  // the VM no longer holds the data disk, which changed meanwhile
                t.Mutate([](azsim::StateDocument& doc) { doc.findVm("replica01")->disks.resize(1); });
                t.Page(kDataBlob, 512, 0xdd), c.isFirstReplication = c.overwrite = true;
            },
            VMINFO_ERR_NONE, 1, 0, [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0, t.Byte(kDataBlob, 512)); }},
        Row{"FirstRunOverAnUndeletableVm", true, Set([](RestoreCtx& c) { c.isFirstReplication = c.overwrite = true; }),
            VMINFO_ERR_VM_DELETE, 0, 0, kKept, "DeleteVM"},
        Row{"ReplicaUndetachable", true, kNothing, VMINFO_ERR_REPLICA_VM_EXISTS, 0, 0, kKept, "DeleteVM"},
        Row{"RestartedRunDoesNotRevert", true, Set([](RestoreCtx& c) { c.isRestartedJob = true; }), VMINFO_ERR_NONE, 2,
            0, [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0u, t.cloud.journal("RevertBlobSnapshots").size()); }},
        Row{"IntegritySnapshotGone", true,
            [](Replication& t, RestoreCtx&) { t.Mutate([](azsim::StateDocument& d) { d.blobSnapshots.clear(); }); },
            VMINFO_ERR_NONE, 1, 0,
            [](Replication&, const RestoreCtx& c) {
                EXPECT_EQ("Integrity Snapshot does not exist for VM. Converting to full sync",
                          c.restoreFailures.at(0).reason);
            }},
        Row{"RestartedRunOfAGrownDiskStartsFromNoBlob", true, kGrown, VMINFO_ERR_NONE, 1, 0,
            [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0, t.Byte(kDataBlob, 512)); }},
        Row{"OldIntegritySnapshotsUndeletable", false, kNothing, VMINFO_ERR_SNAPSHOT_DELETE, 1, 1, nullptr,
            "DeleteDiskSnapshots"},
        Row{"IntegritySnapshotRefused", false, kNothing, VMINFO_ERR_SNAPSHOT_SET_CREATE, 1, 1,
            [](Replication& t, const RestoreCtx&) { EXPECT_FALSE(t.Blobs().exists(kOsBlob)); }, "CreateDiskSnapshots"},
        Row{"NextIntegritySnapshotRefused", true, kNothing, VMINFO_ERR_SNAPSHOT_SET_CREATE, 2, 1,
            [](Replication& t, const RestoreCtx&) { EXPECT_TRUE(t.Blobs().exists(kOsBlob) && t.Blobs().exists(kDataBlob)); },
            "CreateDiskSnapshots"},
        Row{"ConfigurationUploadRefused", false, Set([](RestoreCtx& c) { c.createVm = false; }),
            VMINFO_ERR_DEFERRED_DEPLOY, 1, 2,
            [](Replication& t, const RestoreCtx&) {
                EXPECT_TRUE(t.log.containsError("virtual int CAzureInfo::RestoreVM(const RestoreCtx&)",
                                                "Failed to upload config file for VM [replica01]"));
            },
            "DelayVMDeployment"}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace replicationtest

// The init decision of a replication run and every way a run fails, one fresh subscription per row.
#include <functional>

#include "tests/plugin/replication/ReplicaFixture.h"

namespace replicationtest {
namespace {

using Arrange = std::function<void(Replication&, RestoreCtx&)>;
constexpr long long kGiB = 1LL << 30;

struct Row {
    const char* what;
    bool replicaFirst;  // a first run has built the replica, and the run is its next one
    Arrange arrange;
    EVMInfoError code;  // none: every slot up to `phase` succeeds
    int sync;           // replicationSyncType after the init
    int phase = 0;      // the slot that fails: 0 init, 1 pre, 2 deployment
    std::function<void(Replication&, const RestoreCtx&)> check = nullptr;
};

Arrange Foreign(bool overwrite) {
    return [=](Replication& t, RestoreCtx& ctx) {
        const std::vector<unsigned char> page(512, 0xee);
        ASSERT_TRUE(t.Blobs().createPageBlob(kOsBlob, kDiskBytes, false, nullptr));
        ASSERT_TRUE(t.Blobs().writePages(kOsBlob, 0, page.data(), page.size(), nullptr));
        ctx.overwrite = overwrite;
    };
}
Arrange Running(bool forceFull) {
    return [=](Replication& t, RestoreCtx& ctx) {
        azsim::SubscriptionState(t.cloud.dir()).mutate([](azsim::StateDocument& doc) {
            return doc.findVm("replica01")->powerState = azsim::PowerState::Running, true;
        });
        ctx.forceFullReplication = forceFull;
    };
}
Arrange Then(Arrange a, Arrange b) {
    return [=](Replication& t, RestoreCtx& ctx) { a(t, ctx), b(t, ctx); };
}
Arrange Faulted(const char* op) {
    return [=](Replication& t, RestoreCtx&) { t.Fault(op, std::string(op) + " refused"); };
}
Arrange Set(std::function<void(RestoreCtx&)> change) {
    return [=](Replication&, RestoreCtx& ctx) { change(ctx); };
}
// The replica's OS disk is 101 GiB; its source has grown to 102 GiB.
Arrange Grown() {
    return [](Replication& t, RestoreCtx& ctx) {
        azsim::SubscriptionState(t.cloud.dir()).mutate([](azsim::StateDocument& doc) {
            return doc.findUnmanagedDisk(kOsBlob)->sizeBytes = 101 * kGiB, true;
        });
        ctx.disks[0].capacity = 102 * kGiB;
    };
}
// The replica's data disk changed where the host does not write.
Arrange Drift() {
    return [](Replication& t, RestoreCtx&) {
        const std::vector<unsigned char> page(512, 0xdd);
        ASSERT_TRUE(t.Blobs().writePages(kDataBlob, 512, page.data(), page.size(), nullptr));
    };
}
auto Kept(bool vm, bool blobs) {
    return [=](Replication& t, const RestoreCtx&) {
        EXPECT_EQ(vm, t.State().findVm("replica01") != nullptr);
        EXPECT_EQ(blobs, t.Blobs().exists(kOsBlob) && t.Blobs().exists(kDataBlob));
    };
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.what; }

class Decision : public Replication, public ::testing::WithParamInterface<Row> {};

TEST_P(Decision, InitDecidesOrFailsWithItsCode) {
    const Row& row = GetParam();
    RestoreCtx ctx = Ctx();
    if (row.replicaFirst) {
        ASSERT_TRUE(Run(ctx, 0x11)) << plugin->GetLastVMErrorDetails();
        ctx = Next(ctx);
    }
    row.arrange(*this, ctx);
    const std::size_t calls = azsim::Journal(cloud.dir()).entries().size();
    const bool init = plugin->InitRestoreVM(ctx) == 1;
    const bool pre = init && Write(ctx, 0x22) && plugin->PreRestoreVM(ctx) == 1;
    const bool deployed = pre && plugin->RestoreVM(ctx) == 1;
    const int failed = !init ? 0 : !pre ? 1 : !deployed ? 2 : 3;
    EXPECT_EQ(row.code == VMINFO_ERR_NONE ? 3 : row.phase, failed) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(row.code, plugin->GetLastVMError());
    EXPECT_TRUE(row.code == VMINFO_ERR_NONE || !plugin->GetLastVMErrorDetails().empty());
    EXPECT_EQ(init ? row.sync : 0, init ? ctx.replicationSyncType : 0);
    EXPECT_EQ(row.code != VMINFO_ERR_CLOUDFS_UNAVAILABLE, calls != azsim::Journal(cloud.dir()).entries().size());
    if (row.check) row.check(*this, ctx);
}

const Arrange kNothing = [](Replication&, RestoreCtx&) {};

INSTANTIATE_TEST_SUITE_P(
    Runs, Decision,
    ::testing::Values(
        Row{"FirstRun", false, kNothing, VMINFO_ERR_NONE, 1},
        Row{"NextRun", true, kNothing, VMINFO_ERR_NONE, 2},
        Row{"NoCloudFileSystem", false, [](Replication& t, RestoreCtx&) { t.plugin->cloudFs = false; },
            VMINFO_ERR_CLOUDFS_UNAVAILABLE, 0},
        Row{"ForeignBlobs", false, Foreign(false), VMINFO_ERR_BLOB_EXISTS, 0, 0,
            [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0xee, t.Byte(kOsBlob)); }},
        Row{"ForeignBlobsOverwritten", false, Foreign(true), VMINFO_ERR_NONE, 1, 0,
            [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0x22, t.Byte(kOsBlob)); }},
        Row{"ForeignBlobUndeletable", false, Then(Foreign(true), Faulted("DeletePageBlob")), VMINFO_ERR_BLOB_DELETE, 0},
        Row{"RunningReplica", true, Running(false), VMINFO_ERR_REPLICA_VM_RUNNING, 2, 0, Kept(true, true)},
        Row{"RunningReplicaMarkedForFull", true, Running(true), VMINFO_ERR_NONE, 1},
        Row{"ReplicaMarkedForFullUndeletable", true, Then(Running(true), Faulted("DeleteVM")), VMINFO_ERR_VM_DELETE, 0,
            0, Kept(true, true)},
        Row{"FirstRunOverAVm", true, Set([](RestoreCtx& c) { c.isFirstReplication = true; }),
            VMINFO_ERR_REPLICA_VM_EXISTS, 0, 0, Kept(true, true)},
        Row{"FirstRunOverAnUndeletableVm", true,
            Then(Set([](RestoreCtx& c) { c.isFirstReplication = c.overwrite = true; }), Faulted("DeleteVM")),
            VMINFO_ERR_VM_DELETE, 0, 0, Kept(true, true)},
        Row{"ReplicaUndetachable", true, Faulted("DeleteVM"), VMINFO_ERR_REPLICA_VM_EXISTS, 2, 0, Kept(true, true)},
        Row{"RestartedRunDoesNotRevert", true, Set([](RestoreCtx& c) { c.isRestartedJob = true; }), VMINFO_ERR_NONE, 2,
            0, [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0u, t.Calls("RevertBlobSnapshots")); }},
        Row{"IntegritySnapshotGone", true,
            [](Replication& t, RestoreCtx&) {
                azsim::SubscriptionState(t.cloud.dir()).mutate([](azsim::StateDocument& doc) {
                    return doc.blobSnapshots.clear(), doc.snapshotSets.clear(), true;
                });
            },
            VMINFO_ERR_NONE, 1, 0,
            [](Replication& t, const RestoreCtx&) {
                EXPECT_TRUE(t.log.contains(
                    "bool CAzureInfo::InitRestoreVM_IncrementalReplication(const RestoreCtx&, bool)",
                    "Integrity Snapshot does not exist for VM. Converting to full sync"));
            }},
        Row{"GrownSourceDisk", true, Grown(), VMINFO_ERR_NONE, 1, 0,
            [](Replication& t, const RestoreCtx& ctx) {
                EXPECT_EQ(102 * kGiB, ctx.vmInfo.disks.at(0).capacity);
                EXPECT_TRUE(t.log.contains(
                    "bool CAzureInfo::IsDiskSizeIncreasedinSourceVM(const std::vector<SDisk>&, SDisk&)",
                    "Changing max disk size of disk [rg-prod-replica01.vhd] from [101] GB to [102] GB"));
            }},
        Row{"RestartedFullRunStartsFromNoBlob", true,
            Then(Then(Grown(), Drift()), Set([](RestoreCtx& c) { c.isRestartedJob = true; })), VMINFO_ERR_NONE, 1, 0,
            [](Replication& t, const RestoreCtx&) { EXPECT_EQ(0, t.Byte(kDataBlob, 512)); }},
        Row{"OldIntegritySnapshotsUndeletable", false, Faulted("DeleteDiskSnapshots"), VMINFO_ERR_SNAPSHOT_DELETE, 1, 1},
        Row{"IntegritySnapshotRefused", false, Faulted("CreateDiskSnapshots"), VMINFO_ERR_SNAPSHOT_SET_CREATE, 1, 1},
        Row{"ConfigurationUploadRefused", false, Then(Faulted("DelayVMDeployment"), Set([](RestoreCtx& c) {
                                                          c.createVm = false;
                                                      })),
            VMINFO_ERR_DEFERRED_DEPLOY, 1, 2,
            [](Replication& t, const RestoreCtx&) {
                EXPECT_TRUE(t.log.containsError("virtual int CAzureInfo::RestoreVM(const RestoreCtx&)",
                                                "Failed to upload config file for VM [replica01]"));
            }}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace replicationtest

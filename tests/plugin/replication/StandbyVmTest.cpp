// The standby VM kept as page blobs: deployed from its configuration blob at failover, deleted
// with its disks kept, its configuration removed once the VM exists, and the configuration a
// replication writes when the VM is not deployed.
#include <gtest/gtest.h>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/scenarios/StandbySeed.h"
#include "host/log/EvDebug.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

using testsupport::SimulatedCloud;

const char* const kCreate = "virtual bool CAzureInfo::CreateDRVM(const RestoreCtx&)";
const char* const kDelete = "virtual bool CAzureInfo::DeleteDRVM(const RestoreCtx&)";
const char* const kFailover = "virtual bool CAzureInfo::PostVMFailover(const RestoreCtx&)";

class Plugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::sdk;
};

class StandbyVm : public ::testing::Test {
protected:
    void SetUp() override {
        seeded = azsim::SeedStandby(azsim::SubscriptionState(cloud.dir()),
                                    {"legacy-vm01", "Standby01", "rg-legacy", "legacystore01"});
        ASSERT_EQ(1, plugin.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                    SimulatedCloud::kSecret));
        NxSetSleepHook([this](unsigned long ms) {
            // What exists when the wait starts: the wait must follow the deployment.
            waits.push_back({ms, State().findVm("Standby01", "rg-legacy") != nullptr});
        });
    }
    void TearDown() override { NxSetSleepHook(nullptr); }

    static RestoreCtx Ctx(const std::string& vm = "Standby01") {
        RestoreCtx ctx;
        ctx.vmName = ctx.sourceVmName = vm;
        ctx.resourceGroup = "rg-legacy";
        ctx.storageAccount = "legacystore01";
        return ctx;
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    void Fault(const std::string& op) { azsim::FaultBook(cloud.dir()).addSdkFault({op, 0, op + " refused", 1}); }
    // The bytes of the blob's text and random windows, as one string.
    std::string Bytes(const azsim::BlobKey& blob) const {
        std::string out(8 << 20, '\0');
        const azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
        store.read(blob, "", 0, &out[0], 4 << 20);
        store.read(blob, "", 128 << 20, &out[4 << 20], 4 << 20);
        return out;
    }
    std::string LastError() { return std::to_string(plugin.GetLastVMError()) + ": " + plugin.GetLastVMErrorDetails(); }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 81};
    EvLogCapture log;
    Plugin plugin{VSINST_AZURE_RESOURCE_MANAGER, 0};
    azsim::SeededStandby seeded;
    std::vector<std::pair<unsigned long, bool>> waits;
};

// Failover and failback: the VM is made of the seeded blobs, 25 s pass after it exists, and the
// delete removes only the VM of that name in the standby's group, keeping its disks.
TEST_F(StandbyVm, CreatedFromTheMixedCaseConfigurationThenDeletedKeepingItsDisks) {
    const std::string before = Bytes(seeded.blobs[1]);
    RestoreCtx ctx = Ctx();
    ASSERT_TRUE(plugin.CreateDRVM(ctx)) << LastError();
    EXPECT_TRUE(log.contains(kCreate, "Checking if the configuration file [rg-legacy-standby01.json] exists.."));
    EXPECT_TRUE(log.contains(kCreate, "New VM Name [Standby01] created with GUID [" + ctx.vmInfo.guid + "]"));
    EXPECT_EQ(waits, (std::vector<std::pair<unsigned long, bool>>{{25000, true}}));
    const azsim::StateDocument deployed = State();
    const azsim::VirtualMachine* vm = deployed.findVm("Standby01", "rg-legacy");
    ASSERT_NE(vm, nullptr);
    EXPECT_EQ(vm->guid, ctx.vmInfo.guid);
    ASSERT_EQ(vm->disks.size(), 2u);
    EXPECT_EQ(vm->disks[0].id, azsim::PageBlobUri(seeded.blobs[0]));
    EXPECT_EQ(vm->disks[1].id, azsim::PageBlobUri(seeded.blobs[1]));

    // A VM of the same name elsewhere, whose GUID the context still holds, is not the standby.
    azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) {
        azsim::VirtualMachine other = *doc.findVm("Standby01", "rg-legacy");
        other.guid = azsim::NewGuid();
        other.resourceGroup = "rg-prod";
        other.disks.clear();
        doc.vms.push_back(other);
        ctx.vmInfo.guid = other.guid;
        return true;
    });
    ctx.vmName = "ignored";
    const std::size_t snapshots = State().blobSnapshots.size();
    ASSERT_TRUE(plugin.DeleteDRVM(ctx)) << LastError();
    const azsim::StateDocument after = State();
    EXPECT_EQ(after.findVm("Standby01", "rg-legacy"), nullptr);
    EXPECT_NE(after.findVm("Standby01", "rg-prod"), nullptr);
    for (const azsim::BlobKey& blob : seeded.blobs) EXPECT_NE(after.findUnmanagedDisk(blob), nullptr);
    EXPECT_EQ(Bytes(seeded.blobs[1]), before);
    EXPECT_EQ(after.blobSnapshots.size(), snapshots);
    EXPECT_NE(after.findSnapshotSet(seeded.snapshotSet), nullptr);
}

// Every failure of the three slots: its error line, its code (20, or none with details only),
// and what it must not have done.
TEST_F(StandbyVm, FailuresNameTheirStepAndStopThere) {
    struct Row {
        const char* fault;
        const char* vm;
        int slot;  // 0 create, 1 delete, 2 failover clean-up
        const char* error;
        int code;
        const char* neverCalled;
    };
    const Row rows[] = {
        {"", "absent01", 0, "Failed to find the config file [rg-legacy-absent01.json] for VM [absent01]", 20,
         "DownloadBlockBlobToString"},
        {"DoesBlobExist", "Standby01", 0, "Could not check for the config file [rg-legacy-standby01.json] for VM [Standby01]",
         20, "DownloadBlockBlobToString"},
        {"DownloadBlockBlobToString", "Standby01", 0,
         "Failed to download the config file [rg-legacy-standby01.json] for VM [Standby01]", 20, "DeployVMFromConfig"},
        {"DeployVMFromConfig", "Standby01", 0, "Failed to create VM [Standby01]", 20, ""},
        {"", "absent01", 1, "Failed to get the info about VM [absent01]", 0, "DeleteVM"},
        {"DeleteVM", "legacy-vm01", 1, "Failed to delete DR VM [legacy-vm01]", 0, ""},
        {"CleanupStagingResources", "legacy-vm01", 2, "Cleaning up resources failed for VM [legacy-vm01]", 0, ""},
        {"", "Standby01", 2, "Cleaning up resources failed for VM [Standby01]", 0, ""},
    };
    const char* tags[] = {kCreate, kDelete, kFailover};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        if (*row.fault) Fault(row.fault);
        plugin.SetLastVMError(VMINFO_ERR_NONE, "");
        const std::size_t journalBefore = cloud.journal(row.neverCalled).size();
        const RestoreCtx ctx = Ctx(row.vm);
        const bool ok = row.slot == 0   ? plugin.CreateDRVM(ctx)
                        : row.slot == 1 ? plugin.DeleteDRVM(ctx)
                                        : plugin.PostVMFailover(ctx);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(log.containsError(tags[row.slot], row.error));
        EXPECT_EQ(plugin.GetLastVMError(), row.code);
        EXPECT_FALSE(plugin.GetLastVMErrorDetails().empty());
        if (*row.neverCalled) {
            EXPECT_EQ(cloud.journal(row.neverCalled).size(), journalBefore);
        }
    }
    EXPECT_TRUE(waits.empty());
    // Nothing was deleted by the failed steps: the source VM and the standby's configuration stay.
    EXPECT_NE(State().findVm("legacy-vm01"), nullptr);
    EXPECT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().exists(seeded.configuration));
}

// After a failover only the configuration kept for the deployed VM goes; the disks, their
// integrity snapshots and another standby's configuration stay.
TEST_F(StandbyVm, FailoverCleanupRemovesOnlyThatVmsConfiguration) {
    const azsim::SeededStandby other = azsim::SeedStandby(azsim::SubscriptionState(cloud.dir()),
                                                          {"legacy-vm01", "other01", "rg-legacy", "legacystore01"});
    const RestoreCtx ctx = Ctx();
    ASSERT_TRUE(plugin.CreateDRVM(ctx));
    const std::size_t snapshots = State().blobSnapshots.size();
    ASSERT_TRUE(plugin.PostVMFailover(ctx)) << LastError();
    const azsim::PageBlobStore blobs = azsim::SubscriptionState(cloud.dir()).blobs();
    EXPECT_FALSE(blobs.exists(seeded.configuration));
    EXPECT_TRUE(blobs.exists(other.configuration));
    for (const azsim::BlobKey& blob : seeded.blobs) EXPECT_TRUE(blobs.exists(blob));
    EXPECT_EQ(State().blobSnapshots.size(), snapshots);
    EXPECT_TRUE(plugin.PostVMFailover(ctx));  // nothing left to remove is no failure
}

// The configuration a replication writes instead of deploying: named in lower case for the
// mixed-case VM, naming the disks given, deployable by the failover; never over a blob of that
// name that it did not write, nor naming a disk that does not exist.
TEST_F(StandbyVm, DeferredConfigurationIsWrittenOnlyWhereItMayBeAndDeploys) {
    auto& sdk = *plugin.sdk;
    SVMInfo vm;
    vm.name = "Replica02";
    vm.resourceGroup = "rg-legacy";
    vm.storageAccount = "legacystore01";
    vm.vmSize = "Standard_A2";
    SDisk os;
    os.name = seeded.blobs[0].name;
    os.storageAccount = "legacystore01";
    os.isOsDisk = true;
    SDisk data = os;
    data.name = seeded.blobs[1].name;
    data.isOsDisk = false;
    data.unitNumber = 3;
    vm.disks = {os, data};
    std::string config, dek, kek;
    ASSERT_TRUE(sdk.GetVMConfigurationAndKeyBackups("rg-legacy", "legacy-vm01", config, dek, kek));

    const azsim::BlobKey foreign{"legacystore01", "vhds", "rg-legacy-foreign03.json"};
    ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().putBlockBlob(foreign, "{\"kept\":1}", nullptr));
    SVMInfo clash = vm;
    clash.name = "Foreign03";
    EXPECT_FALSE(sdk.DelayVMDeployment(clash, "", config, false, false, false, "", ""));
    std::string kept;
    azsim::SubscriptionState(cloud.dir()).blobs().getBlockBlob(foreign, kept);
    EXPECT_EQ(kept, "{\"kept\":1}");
    SVMInfo missing = vm;
    missing.disks[1].name = "absent.vhd";
    EXPECT_FALSE(sdk.DelayVMDeployment(missing, "", config, false, false, false, "", ""));
    EXPECT_NE(sdk.GetLastErrorString().find("absent.vhd"), std::string::npos);

    ASSERT_TRUE(sdk.DelayVMDeployment(vm, "", config, false, false, false, "", "")) << sdk.GetLastErrorString();
    ASSERT_TRUE(sdk.DelayVMDeployment(vm, "", config, false, false, false, "", ""));  // a later run replaces it
    ASSERT_TRUE(plugin.CreateDRVM(Ctx("Replica02"))) << LastError();
    const azsim::StateDocument state = State();
    const azsim::VirtualMachine* made = state.findVm("Replica02", "rg-legacy");
    ASSERT_NE(made, nullptr);
    ASSERT_EQ(made->disks.size(), 2u);
    EXPECT_EQ(made->disks[1].id, azsim::PageBlobUri(seeded.blobs[1]));
    EXPECT_EQ(made->disks[1].lun, 3);
    EXPECT_EQ(made->size, "Standard_A2");
}

}  // namespace

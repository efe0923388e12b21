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

struct Plugin : CAzureInfo {
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::sdk;
};

class StandbyVm : public ::testing::Test {
protected:
    void SetUp() override {
        const azsim::SubscriptionState state(cloud.dir());
        seeded = azsim::SeedStandby(state, {"legacy-vm01", "Standby01", "rg-legacy", "legacystore01"});
        other = azsim::SeedStandby(state, {"legacy-vm01", "other01", "rg-legacy", "legacystore01"});
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
    azsim::PageBlobStore Blobs() const { return azsim::SubscriptionState(cloud.dir()).blobs(); }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 81};
    EvLogCapture log;
    Plugin plugin{VSINST_AZURE_RESOURCE_MANAGER, 0};
    azsim::SeededStandby seeded, other;
    std::vector<std::pair<unsigned long, bool>> waits;
};

// A replication's deferred configuration (replacing the seeded one, never a blob it did not
// write, never naming a missing disk), failover from it on the seeded blobs after which 25 s pass,
// the clean-up of that VM's configuration alone, and failback deleting only the VM of that name
// in the standby's group while its disks stay.
TEST_F(StandbyVm, DeferredConfigurationFailoverCleanupAndFailback) {
    auto& sdk = *plugin.sdk;
    SVMInfo vm;  // the source VM's record, its disks replaced by the replicated blobs
    ASSERT_TRUE(sdk.GetVMInfoForVM("legacy-vm01", "", "rg-legacy", 0, 0, vm));
    vm.name = "Standby01";
    for (std::size_t d = 0; d < 2; ++d) vm.disks[d].uri = azsim::PageBlobUri(seeded.blobs[d]);
    vm.disks[1].unitNumber = 3;
    std::string config, dek, kek;
    ASSERT_TRUE(sdk.GetVMConfigurationAndKeyBackups("rg-legacy", "legacy-vm01", config, dek, kek));
    SVMInfo foreign = vm, missing = vm;
    foreign.name = "legacy";  // "rg-legacy-legacy.json" is no configuration of a deferred VM
    ASSERT_TRUE(Blobs().putBlockBlob({"legacystore01", "vhds", "rg-legacy-legacy.json"}, "{}", nullptr));
    missing.disks[1].uri = azsim::PageBlobUri({"legacystore01", "vhds", "absent.vhd"});
    EXPECT_FALSE(sdk.DelayVMDeployment(foreign, "", config, false, false, false, "", ""));
    EXPECT_FALSE(sdk.DelayVMDeployment(missing, "", config, false, false, false, "", ""));
    ASSERT_TRUE(sdk.DelayVMDeployment(vm, "", config, false, false, false, "dek-text", "kek-text"))
        << sdk.GetLastErrorString();

    RestoreCtx ctx = Ctx();
    ASSERT_TRUE(plugin.CreateDRVM(ctx)) << plugin.GetLastVMErrorDetails();
    EXPECT_TRUE(log.contains(kCreate, "New VM Name [Standby01] created with GUID [" + ctx.vmInfo.guid + "]"));
    EXPECT_EQ(waits, (std::vector<std::pair<unsigned long, bool>>{{25000, true}}));
    const azsim::StateDocument deployed = State();
    const azsim::VirtualMachine* made = deployed.findVm("Standby01", "rg-legacy");
    ASSERT_NE(made, nullptr);
    ASSERT_EQ(made->disks.size(), 2u);
    EXPECT_EQ(made->disks[1].id, azsim::PageBlobUri(seeded.blobs[1]));
    EXPECT_EQ(made->disks[1].lun, 3);
    EXPECT_EQ(made->encryption.dekBackup + made->encryption.kekBackup, "dek-textkek-text");

    ASSERT_TRUE(plugin.PostVMFailover(ctx)) << plugin.GetLastVMErrorDetails();
    EXPECT_FALSE(Blobs().exists(seeded.configuration));
    EXPECT_TRUE(Blobs().exists(other.configuration));

    // A VM of the same name elsewhere, whose GUID the context still holds, is not the standby.
    azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) {
        azsim::VirtualMachine twin = *doc.findVm("Standby01", "rg-legacy");
        twin.guid = ctx.vmInfo.guid = azsim::NewGuid();
        twin.resourceGroup = "rg-prod";
        twin.disks.clear();
        doc.vms.push_back(twin);
        return true;
    });
    ctx.vmName = "ignored";
    ASSERT_TRUE(plugin.DeleteDRVM(ctx)) << plugin.GetLastVMErrorDetails();
    const azsim::StateDocument after = State();
    EXPECT_EQ(after.findVm("Standby01", "rg-legacy"), nullptr);
    EXPECT_NE(after.findVm("Standby01", "rg-prod"), nullptr);
    for (const azsim::BlobKey& blob : seeded.blobs) EXPECT_NE(after.findUnmanagedDisk(blob), nullptr);

    // A managed standby: its disks are imported from its blobs, which stay, and keep their replication GUIDs.
    vm.name = "other01";
    for (std::size_t d = 0; d < 2; ++d) vm.disks[d].uri = azsim::PageBlobUri(other.blobs[d]);
    ASSERT_TRUE(sdk.DelayVMDeployment(vm, "", config, false, false, true, "", "")) << sdk.GetLastErrorString();
    ASSERT_TRUE(plugin.CreateDRVM(ctx = Ctx("other01"))) << plugin.GetLastVMErrorDetails();
    const azsim::StateDocument managed = State();
    const azsim::VirtualMachine* standby = managed.findVm("other01", "rg-legacy");
    ASSERT_TRUE(standby && standby->managed);
    for (std::size_t d = 0; d < 2; ++d)
        EXPECT_EQ(managed.findManagedDisk(standby->disks.at(d).id)->tags.at("_NX_REPLICATION_DISK_GUID_"),
                  managed.findUnmanagedDisk(other.blobs[d])->tags.at("_NX_REPLICATION_DISK_GUID_"));
}

// Every failure of the three slots: its error line, its code (20, or none with details only),
// and what it must not have done.
TEST_F(StandbyVm, FailuresNameTheirStepAndStopThere) {
    // slot: 0 create, 1 delete, 2 failover clean-up; neverCalled: an operation the failure must precede.
    struct Row { const char *fault, *vm; int slot; const char* error; int code; const char* neverCalled; };
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
    const char* tags[] = {kCreate, "virtual bool CAzureInfo::DeleteDRVM(const RestoreCtx&)",
                          "virtual bool CAzureInfo::PostVMFailover(const RestoreCtx&)"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        if (*row.fault) azsim::FaultBook(cloud.dir()).addSdkFault({row.fault, 0, "refused", 1});
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
        EXPECT_EQ(cloud.journal(row.neverCalled).size(), journalBefore);
    }
    EXPECT_TRUE(waits.empty());
    EXPECT_TRUE(Blobs().exists(seeded.configuration));
}

}  // namespace

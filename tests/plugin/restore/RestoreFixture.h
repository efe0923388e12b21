// Restore test fixture: the demo subscription, a connected plugin with its restore steps and state
// opened to the tests, a staging folder, captured log lines and restore settings reset after each test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "host/util/FileSystem.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace restoretest {

using testsupport::SimulatedCloud;

// The plugin with the protected restore steps and state used by the tests.
class TestPlugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::_GetStagingStorageAccountInfo, CAzureInfo::_GetStorageAccountInfoFromCache,
        CAzureInfo::_IsValidStorageAccount, CAzureInfo::_ValidateOSDisk, CAzureInfo::_ValidateVMForAzureDeployment,
        CAzureInfo::_ValidateVMSize, CAzureInfo::_GenerateDiskLun, CAzureInfo::GenerateUniqueDiskName,
        CAzureInfo::GetBestMatchingVMSizeInfo, CAzureInfo::GetFirstAvailableLUN, CAzureInfo::GetDiskInfoByStagingFile,
        CAzureInfo::InitCloudFSAndDiskNames, CAzureInfo::LoadVMConfigFile, CAzureInfo::UpdateAvailabilityZoneForRestoreVM,
        CAzureInfo::UploadDisksToAzure;
    using CAzureInfo::directUpload, CAzureInfo::directUploadRestore, CAzureInfo::directUploadToManagedDisk,
        CAzureInfo::diskMap, CAzureInfo::restoredVmGuid, CAzureInfo::sdk, CAzureInfo::uploadDiskList;
};

// A disk of the restored VM: a virtual disk in `account` ("account" or "account\container").
inline SDisk Disk(const std::string& name, const std::string& account, bool isOsDisk = false) {
    SDisk disk;
    disk.name = disk.originalName = disk.uri = name;
    disk.storageAccount = account;
    disk.isOsDisk = isOsDisk;
    return disk;
}

// A file restored with the disks (type 0), such as the VM configuration file.
inline SDisk File(const std::string& indexName) {
    SDisk file;
    file.type = DISK_TYPE_FILE;
    file.indexName = indexName;
    return file;
}

// The plugin's last error as "code: details", to compare in one piece with Error().
inline std::string LastError(IVMInfo& plugin) {
    return std::to_string(plugin.GetLastVMError()) + ": " + plugin.GetLastVMErrorDetails();
}
inline std::string Error(EVMInfoError code, const std::string& details = "") {
    return std::to_string(code) + ": " + details;
}

// While it lives, every wait is recorded and moves a fixed clock on by its length (unless frozen), so names
// stamped one wait apart differ.
class SteppingClock {
public:
    SteppingClock() {
        NxClock::fix(std::chrono::system_clock::now());
        previous = NxSetSleepHook([this](unsigned long ms) {
            waits.push_back(ms);
            if (!frozen) NxClock::fix(NxClock::now() + std::chrono::milliseconds(ms));
        });
    }
    ~SteppingClock() {
        NxSetSleepHook(previous);
        NxClock::unfix();
    }
    std::vector<unsigned long> waits;
    bool frozen = false;

private:
    NxSleepHook previous;
};

// The job the restores run as.
constexpr NXJobID kJobId = 62;

// What both restore fixtures share: the subscription, connected plugins, the state and the call journal.
template <class Cloud>
class CloudTest : public ::testing::Test {
protected:
    std::unique_ptr<TestPlugin> Connected(VirtualServerInstanceType type) {
        std::unique_ptr<TestPlugin> plugin(new TestPlugin(type, 0));
        EXPECT_EQ(1, plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                     SimulatedCloud::kSecret));
        return plugin;
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    azsim::PageBlobStore Blobs() const { return azsim::SubscriptionState(cloud.dir()).blobs(); }
    void Mutate(const std::function<void(azsim::StateDocument&)>& change) {
        azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) {
            change(doc);
            return true;
        });
    }
    // How many times the plugin called this SDK operation.
    std::size_t Calls(const std::string& operation) const { return cloud.journal(operation).size(); }

    Cloud cloud;
    testsupport::TempDir staging;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", kJobId};
    EvLogCapture log;
};

struct DemoCloud : SimulatedCloud {
    DemoCloud() : SimulatedCloud(Seed::Demo) {}
};

class RestoreTest : public CloudTest<DemoCloud> {
protected:
    void TearDown() override {
        for (const char* key : {"bRestoreAzureAvailabilityZone", "bIgnoreBootFailuresOnRestoredVM"})
            NXPlatformInfo::removeValue("VirtualServer", key);
    }

    std::unique_ptr<TestPlugin> Connected(VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
        return CloudTest::Connected(type);
    }

    // A full-VM restore of a two-disk, one-NIC VM (2 CPUs, 4096 MB) into rg-prod, West Europe,
    // as an unmanaged VM with its disks in the standard account prodstaging01.
    RestoreCtx Ctx() const {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_FULL_VM;
        ctx.vmName = "restored01";
        ctx.resourceGroup = "rg-prod";
        ctx.region = "westeurope";
        ctx.stagingPath = staging.path();
        ctx.disks = {Disk("os.vhd", "prodstaging01", true), Disk("data0.vhd", "prodstaging01\\vhds")};
        ctx.nics = {SVMNetworkCard{"nic0", "vnet-prod", ""}};
        ctx.vmInfo.numCpus = 2;
        ctx.vmInfo.memoryMB = 4096;
        return ctx;
    }

    NxRecordingSleeper sleeper;
};

// Where a restore writes its disks: page blobs of an unmanaged VM, page blobs imported into managed disks, or
// managed disks written directly.
enum Mode { Unmanaged, ManagedFromBlobs, DirectUpload };
constexpr long long kDiskBytes = 4 << 20;

// The first page the host writes to a disk, recognisable by the disk.
inline std::vector<unsigned char> Pattern(const std::string& disk) {
    std::vector<unsigned char> out(512);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(disk.size() * 7 + i * 13 + 1);
    return out;
}

// The demo subscription with its HTTPS blob endpoint, for restores driven through the slots as the host drives
// them: the host writes the disks through CreateVmdk / WriteVmdk / CloseVmdk after InitRestoreVM.
class ServedRestoreTest : public CloudTest<testsupport::ServedCloud> {
protected:
    void SetUp() override { CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi"); }
    void TearDown() override { NXPlatformInfo::removeValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk"); }

    std::unique_ptr<TestPlugin> Connected(Mode mode = Unmanaged,
                                          VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
        NXPlatformInfo::setValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk",
                                 mode == DirectUpload ? "1" : "0");
        return CloudTest::Connected(type);
    }
    // Stages the job in its own folder under the staging root.
    void Stage(RestoreCtx& ctx) const {
        ctx.stagingRoot = staging.path();
        ctx.stagingPath = staging.path() + "/job";
        CreateFolderIfNotPresent(ctx.stagingPath);
    }
    // The host's writes after InitRestoreVM: every disk created under its staged name, its first page written.
    static bool Write(TestPlugin& job, const RestoreCtx& ctx) {
        for (const SDisk& disk : ctx.disks) {
            if (disk.type == DISK_TYPE_FILE) continue;
            VmdkHandle handle;
            std::vector<unsigned char> data = Pattern(disk.uri);
            if (job.CreateVmdk("", "", disk.uri, handle, kDiskBytes) != 1 ||
                job.WriteVmdk(handle, 0, static_cast<UINT>(data.size()), data.data()) != 1 || job.CloseVmdk(handle) != 1)
                return false;
        }
        return true;
    }
    // A whole restore as the host drives it, stopping at the first step that fails; false then.
    static bool Restore(TestPlugin& job, RestoreCtx& ctx) {
        return job.InitRestoreVM(ctx) == 1 && Write(job, ctx) && job.PreRestoreVM(ctx) == 1 &&
               job.RestoreVM(ctx) == 1 && job.PostRestoreVM(ctx) == 1;
    }
    void Start(TestPlugin& job, RestoreCtx& ctx) {
        ASSERT_EQ(1, job.InitRestoreVM(ctx)) << job.GetLastVMErrorDetails();
        ASSERT_TRUE(Write(job, ctx)) << job.GetLastVMErrorDetails();
    }
    std::vector<unsigned char> Read(const azsim::BlobKey& key) const {
        std::vector<unsigned char> out(512);
        Blobs().read(key, "", 0, out.data(), out.size());
        return out;
    }
    // The next call of the SDK operation fails with `code` and `text`.
    void Fault(const std::string& op, int code, const std::string& text) {
        azsim::FaultBook(cloud.dir()).addSdkFault({op, code, text, 1});
    }

};

}  // namespace restoretest

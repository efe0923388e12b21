// Clone (operation 6): from the source's configuration file, from its disks through managed disks
// made from an integrity snapshot (and the clean-up when that fails), and from the host's record
// with a size chosen for it.
#include <algorithm>
#include <ctime>

#include "tests/plugin/vmops/VmOpsFixture.h"

namespace vmopstest {
namespace {

const char* const kGuid = "7d0c5c8e-1f2a-4b3c-9d4e-5f6a7b8c9d0e";

class Clone : public VmOpsTest {
protected:
    // A clone of `source` as `name` into rg-prod, West Europe, disks placed in prodstaging01.
    static OperationCtx Request(const std::string& name, const std::string& source, const std::string& sourceGuid) {
        OperationCtx ctx = Op(VM_OP_CLONE, name, "");
        ctx.vmInfo.region = "westeurope";
        ctx.vmInfo.storageAccount = "prodstaging01";
        ctx.vmInfo.isManaged = true;
        ctx.vmInfo.vmSize = "Standard_D2s_v3";
        ctx.vmInfo.nics.push_back(SVMNetworkCard{name + "-nic0", "vnet-prod", "default"});
        ctx.sourceVmName = source;
        ctx.sourceVmGuid = sourceGuid;
        ctx.cloneFromSourceVm = true;
        return ctx;
    }
    // A page blob (made when missing); with `guid`, a snapshot of it carrying that integrity GUID.
    void Blob(const azsim::BlobKey& key, const std::string& guid = "") {
        if (!Blobs().exists(key)) {
            ASSERT_TRUE(Blobs().createPageBlob(key, 1 << 20, false, nullptr));
        }
        if (guid.empty()) return;
        const std::string snapshot = Blobs().createSnapshot(key, nullptr);
        azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) {
            return doc.blobSnapshots.push_back({key, snapshot, 0, {{"QD_SNAPSHOT_GUID", guid}}}), true;
        });
    }
    // The k-th disk name the clone generates: its VM name and a stamp k seconds after the start.
    std::string Stamped(const std::string& vm, int k) const {
        const std::time_t t = std::chrono::system_clock::to_time_t(start) + k;
        struct tm local;
        char stamp[32];
        std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", localtime_r(&t, &local));
        return vm + "-" + stamp + ".vhd";
    }
};

// The configuration file is "<group>-<source>.json" in lower case: missing, or not known to be there, fails with 20,
// unreadable with 182.
TEST_F(Clone, FromConfigurationFile) {
    OperationCtx missing = Request("web-clone02", "Web01", "");
    missing.vmInfo.resourceGroup = "RG1";
    EXPECT_EQ(0, plugin->PerformVMOperation(missing));
    EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, plugin->GetLastVMError());
    EXPECT_EQ("rg1-web01.json", Calls("DoesBlobExist").back()["args"]["blobName"]);
    Fault("DoesBlobExist", "ServerBusy: could not ask");
    EXPECT_EQ(0, plugin->PerformVMOperation(missing));
    EXPECT_EQ("Could not check for the config file [rg1-web01.json] for VM [Web01]: ServerBusy: could not ask",
              plugin->GetLastVMErrorDetails());
    EXPECT_TRUE(Calls("DownloadBlockBlobToString").empty());

    std::string config, dek, kek;
    ASSERT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-prod", kWebVm, config, dek, kek));
    ASSERT_TRUE(Blobs().putBlockBlob({"prodstaging01", "vhds", "rg-prod-web-linux01.json"}, config, nullptr));
    Fault("DownloadBlockBlobToString", "ServerBusy: refused for the test");
    EXPECT_EQ(0, plugin->PerformVMOperation(Request("web-clone02", kWebVm, "")));
    EXPECT_EQ(VMINFO_ERR_VM_CONFIG_READ, plugin->GetLastVMError());
    EXPECT_TRUE(Calls("CloneVMFromConfig").empty());

    OperationCtx clone = Request("web-clone02", kWebVm, "");
    EXPECT_EQ(1, plugin->PerformVMOperation(clone)) << plugin->GetLastVMErrorDetails();
    ASSERT_NE(nullptr, State().findVm("web-clone02", "rg-prod"));
    EXPECT_EQ(State().findVm("web-clone02", "rg-prod")->guid, clone.vmInfo.guid);
}

// An OS disk and two data disks make three managed disks; the data disks take LUNs 1 and 2.
TEST_F(Clone, FromOsDiskMakesAManagedDiskPerSourceDisk) {
    OperationCtx ctx = Request("web-clone01", kWebVm, kWebGuid);
    for (int i = 0; i < 3; ++i) {
        SDisk entry;
        entry.name = entry.uri = "web-linux01-copy" + std::to_string(i) + ".vhd";
        entry.storageAccount = "prodstaging01";
        Blob({"prodstaging01", "vhds", entry.uri}, kGuid);
        ctx.vmInfo.disks.push_back(entry);
    }
    ctx.vmInfo.disks[0].integritySnapshot = kGuid;

    ASSERT_EQ(1, plugin->PerformVMOperation(ctx)) << plugin->GetLastVMErrorDetails();
    const std::vector<nlohmann::json> made = Calls("CreateManagedDiskFromSnapshot");
    ASSERT_EQ(3u, made.size());
    const azsim::StateDocument doc = State();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("https://prodstaging01.blob.core.windows.net/vhds/web-linux01-copy" + std::to_string(i) + ".vhd",
                  made[i]["args"]["source"]);
        EXPECT_EQ(i == 0, made[i]["args"]["isOsDisk"].get<bool>());
        EXPECT_EQ(Stamped("web-clone01", i + 1), ctx.vmInfo.disks[i].name);
    }
    EXPECT_EQ(1, ctx.vmInfo.disks[1].unitNumber);
    EXPECT_EQ(2, ctx.vmInfo.disks[2].unitNumber);
    EXPECT_EQ(ctx.vmInfo.disks[0].managedDiskId, plugin->osDiskName);
    ASSERT_NE(nullptr, doc.findVm("web-clone01", "rg-prod"));
    EXPECT_EQ(3u, doc.findVm("web-clone01", "rg-prod")->disks.size());
}

// A clone failing half-way deletes only blobs named like disks it made: entries it did not replace
// still name the source VM's own blobs.
TEST_F(Clone, CleanupLeavesTheSourceVmDisksUntouched) {
    SVMInfo source;
    ASSERT_EQ(1, plugin->GetVMInfoForVM("legacy-vm01", "", "", 16, 0, source));
    ASSERT_TRUE(source.disks.size() == 2 && source.disks[0].isOsDisk);
    OperationCtx ctx = Request("legacy-clone01", "legacy-vm01", source.guid);
    ctx.vmInfo.resourceGroup = "rg-legacy";
    ctx.vmInfo.storageAccount = "legacystore01";
    for (const SDisk& disk : source.disks) {
        ctx.vmInfo.disks.push_back(disk);
        ctx.vmInfo.disks.back().name = disk.uri.substr(disk.uri.rfind('/') + 1);
    }
    Blob({"legacystore01", "vhds", ctx.vmInfo.disks[0].name}, kGuid);  // the data disk has no integrity snapshot
    ctx.vmInfo.disks[0].integritySnapshot = kGuid;
    const azsim::BlobKey cloneBlob{"legacystore01", "vhds", Stamped("legacy-clone01", 1)};
    Blob(cloneBlob);

    EXPECT_EQ(0, plugin->PerformVMOperation(ctx));
    EXPECT_EQ(2u, Calls("CreateManagedDiskFromSnapshot").size());
    const std::vector<nlohmann::json> deleted = Calls("DeletePageBlob");
    ASSERT_EQ(1u, deleted.size());
    EXPECT_EQ(cloneBlob.name, deleted[0]["args"]["blobName"]);
    for (const SDisk& disk : source.disks)
        EXPECT_TRUE(Blobs().exists({"legacystore01", "vhds", disk.uri.substr(disk.uri.rfind('/') + 1)}));
}

// A VM still to be created gets a size by its record: premium-capable when its account or its own
// disks are premium, the standard size otherwise; 198 when none fits or when the VM's existence is not known.
TEST_F(Clone, SizeIsChosenForAVmNotYetCreated) {
    struct Row { const char *account, *diskType; unsigned cpus; const char *size, *fault; };
    const Row rows[] = {{"prodstaging01", "Standard_LRS", 2, "Standard_A2", ""},
                        {"prodstaging01", "Premium_LRS", 2, "Standard_B2s", ""},
                        {"prodpremium01", "Standard_LRS", 2, "Standard_B2s", ""},
                        {"prodstaging01", "Standard_LRS", 2, "", "GetVMInfoForVM"},
                        {"prodstaging01", "Standard_LRS", 64, "", ""}};
    for (const Row& row : rows) {
        OperationCtx ctx = Request("sized01", "", "");
        ctx.cloneFromSourceVm = false;
        ctx.vmInfo.vmSize.clear();
        ctx.vmInfo.storageAccount = row.account;
        ctx.vmInfo.numCpus = row.cpus;
        ctx.vmInfo.memoryMB = 2048;
        ctx.vmInfo.disks.resize(2);
        ctx.vmInfo.disks[0].isOsDisk = true;
        ctx.vmInfo.disks[0].volumeType = ctx.vmInfo.disks[1].volumeType = row.diskType;
        const std::size_t deploys = Calls("DeployVM").size();
        if (*row.fault) Fault(row.fault, "ServerBusy: could not ask");
        plugin->PerformVMOperation(ctx);
        EXPECT_EQ(*row.fault != 0, plugin->GetLastVMErrorDetails().find("could not ask") != std::string::npos);
        EXPECT_EQ(row.size, ctx.vmInfo.vmSize) << row.account << " " << row.diskType;
        EXPECT_EQ(deploys + (*row.size ? 1 : 0), Calls("DeployVM").size());
    }
    EXPECT_EQ(VMINFO_ERR_VM_SIZE, plugin->GetLastVMError());
    EXPECT_EQ("Failed to auto select VM Size for VM [sized01] ", plugin->GetLastVMErrorDetails());
}

TEST(Gen2Firmware, IsEfiInAnyCase) {
    for (const char* yes : {"efi", "EFI", "Efi"}) EXPECT_TRUE(CAzureInfo::IsGen2Firmware(yes)) << yes;
    for (const char* no : {"", "bios", " efi"}) EXPECT_FALSE(CAzureInfo::IsGen2Firmware(no)) << no;
}

}  // namespace
}  // namespace vmopstest

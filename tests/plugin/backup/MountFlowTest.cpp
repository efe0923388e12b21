// Mount and unmount of managed and unmanaged VMs through the plugin, and the mount's failure codes.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "azsim/model/ResourceIds.h"
#include "host/message/VMReferencePointInfo.h"
#include "host/util/CKaFile.h"
#include "tests/plugin/backup/BackupFixture.h"

namespace backuptest {
namespace {

using Mount = BackupFlow<DemoCloud>;

std::string ReadFile(const std::string& path) {
    std::string content;
    CKaFile::ReadWholeFile(path, content);
    return content;
}

TEST_F(Mount, ManagedVmMountsDescribesItsDisksAndUnmountsWithoutLeftovers) {
    auto plugin = Connected();
    MountCtx ctx = Ctx(kWeb);
    ASSERT_EQ(plugin->MountVM(ctx), 1);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    EXPECT_TRUE(log.contains(kDriverTag, std::string("Mounting VM:[web-linux01] with GUID:[") + kWeb.guid + "]"));
    EXPECT_TRUE(log.contains(kDriverTag, "VM [web-linux01] is a Gen 1 VM."));
    EXPECT_EQ(ctx.mountVmName, "web-linux01");

    azsim::StateDocument doc = State();
    ASSERT_EQ(doc.snapshotSets.size(), 1u);
    EXPECT_EQ(doc.snapshotSets[0].guid, ctx.backupSnapshotGuid);
    EXPECT_EQ(ctx.vmInfo.snapshotGuid, ctx.backupSnapshotGuid);
    EXPECT_EQ(doc.snapshotSets[0].jobTag, "77");
    ASSERT_EQ(ctx.vmInfo.disks.size(), 3u);
    ASSERT_EQ(plugin->diskMap.size(), 3u);
    for (const SDisk& disk : ctx.vmInfo.disks) {
        ASSERT_EQ(plugin->diskMap.count(disk.uri), 1u) << disk.uri;
        EXPECT_NE(disk.managedDiskId.find("_QDMD_"), std::string::npos);
        EXPECT_EQ(plugin->diskMap[disk.uri].snapshotId, disk.managedDiskId);
        EXPECT_TRUE(plugin->diskMap[disk.uri].isManaged);
    }
    EXPECT_GT(ctx.referenceTime, 0);

    std::string config, dek, kek;
    ASSERT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-prod", "web-linux01", config, dek, kek));
    EXPECT_EQ(ReadFile(ctx.mountPath + "/web-linux01.json"), config);
    EXPECT_FALSE(std::filesystem::exists(ctx.mountPath + "/dek.bkp"));

    std::vector<SMountInfoFull> info;
    ASSERT_EQ(plugin->GetFullMountInfo(ctx, info), 1);
    ASSERT_EQ(info.size(), 4u);
    std::vector<std::string> indexNames, names;
    for (const SMountInfoFull& entry : info) {
        indexNames.push_back(entry.disks.at(0).indexName);
        names.push_back(entry.disks.at(0).name);
    }
    EXPECT_EQ(indexNames, (std::vector<std::string>{"OsDisk-0-web-linux01-osdisk", "DataDisk-0-web-linux01-data0",
                                                    "DataDisk-1-web-linux01-data1", "web-linux01.json"}));
    EXPECT_EQ(names, (std::vector<std::string>{"web-linux01-osdisk", "web-linux01-data0", "web-linux01-data1",
                                               "web-linux01.json"}));
    EXPECT_EQ(info[0].kind, MOUNT_ENTRY_DISK);
    EXPECT_EQ(info[0].disks[0].diskFormat, 23);
    EXPECT_EQ(info[3].kind, MOUNT_ENTRY_FILE);
    EXPECT_EQ(info[3].disks[0].capacity, static_cast<long long>(config.size()));
    EXPECT_EQ(info[3].disks[0].uri, ctx.mountPath + "/web-linux01.json");

    // Read access granted on a snapshot, as the data path does, is taken back at unmount.
    const std::string snapName = ctx.vmInfo.disks[0].managedDiskId.substr(ctx.vmInfo.disks[0].managedDiskId.rfind('/') + 1);
    std::string sas;
    ASSERT_TRUE(plugin->sdk->GetSASTokenURI("rg-prod", snapName, sas));
    ASSERT_TRUE(State().findSnapshotByName(snapName)->grant.active);
    azsim::FaultBook(cloud.dir()).addSdkFault({"DeleteDiskSnapshots", 0, "held", 1});
    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    EXPECT_FALSE(State().findSnapshotByName(snapName)->grant.active);
    ASSERT_EQ(ctx.mountFailures.size(), 1u);
    EXPECT_EQ(ctx.mountFailures[0].reason, "Failed to cleanup snapshots created for backing up VM");

    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    EXPECT_TRUE(State().snapshotSets.empty());
    EXPECT_TRUE(State().snapshots.empty());
    EXPECT_TRUE(ctx.backupSnapshotGuid.empty());
    EXPECT_TRUE(plugin->diskMap.empty());
    EXPECT_EQ(cloud.journal("RevokeSASToken").size(), 6u);
    EXPECT_TRUE(log.contains(kUnmountTag, std::string("Unmounting VM [web-linux01] with GUID:[") + kWeb.guid + "]"));
}

TEST_F(Mount, UnmanagedVmReadsStagingBlobsThatUnmountDeletes) {
    auto plugin = Connected();
    MountCtx ctx = Ctx(kLegacy);
    ASSERT_EQ(plugin->MountVM(ctx), 1);
    EXPECT_EQ(sleeper.waits(), (std::vector<unsigned long>{1000, 1000}));
    azsim::PageBlobStore store(cloud.dir());
    std::vector<azsim::BlobKey> staging;
    for (const azsim::BlobKey& key : store.list("legacystore01", "vhds"))
        if (key.name.find("_QD_BACKUP77.vhd") != std::string::npos) staging.push_back(key);
    ASSERT_EQ(staging.size(), 2u);
    EXPECT_EQ(staging[0].name.rfind("legacy-vm01-data0", 0), 0u) << staging[0].name;
    for (const SDisk& disk : ctx.vmInfo.disks) {
        const SAzureDiskInfo& info = plugin->diskMap.at(disk.uri);
        EXPECT_NE(disk.uri.find("?snapshot="), std::string::npos);
        EXPECT_TRUE(info.readsStagingBlob);
        EXPECT_NE(info.dataUrl.find("_QD_BACKUP77.vhd"), std::string::npos);
        EXPECT_TRUE(log.containsError("bool CAzureInfo::GetDiskInfoForVM(const MountCtx&)",
                                      "Backup will read pages from blob URL [" + info.dataUrl + "]"));
    }
    std::vector<SMountInfoFull> info;
    ASSERT_EQ(plugin->GetFullMountInfo(ctx, info), 1);
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ(info[0].disks[0].indexName, "OsDisk-0-legacy-vm01-osdisk.vhd");
    EXPECT_EQ(info[0].disks[0].name, ctx.vmInfo.disks[0].name);

    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    for (const azsim::BlobKey& key : staging) EXPECT_FALSE(store.exists(key)) << key.name;
    EXPECT_TRUE(State().snapshotSets.empty());
    EXPECT_TRUE(State().blobSnapshots.empty());
    EXPECT_TRUE(cloud.journal("RevokeSASToken").empty());
}

TEST_F(Mount, ConnectionLossFailsAtOnceWithoutUnmount) {
    std::unique_ptr<TestPlugin> plugin(new TestPlugin(VSINST_AZURE_RESOURCE_MANAGER, 0));
    MountCtx ctx = Ctx(kWeb);
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_CONNECTION_LOST);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "Not connected to an Azure subscription");
    EXPECT_TRUE(log.contains(kMountTag, "Connection lost [Not connected to an Azure subscription]"));
    EXPECT_TRUE(log.texts(kUnmountTag).empty());
    EXPECT_TRUE(log.texts(kDriverTag).empty());
}

TEST_F(Mount, WithoutDirectDownloadTheMissingCloudFileSystemFailsWith186) {
    NXPlatformInfo::setValue("VirtualServer", "bAzureEnableDirectDownload", "0");
    auto plugin = Connected();
    NXPlatformInfo::removeValue("VirtualServer", "bAzureEnableDirectDownload");
    MountCtx ctx = Ctx(kWeb);
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_CLOUDFS_UNAVAILABLE);
    EXPECT_TRUE(log.contains("bool CAzureInfo::InitVSCloudFS()", "VSCloudFS is not supported on linux"));
    EXPECT_TRUE(cloud.journal("GetVMInfoForVM").empty());
}

TEST_F(Mount, UnknownVmFailsWithOneAndTheCloudText) {
    auto plugin = Connected();
    MountCtx ctx = Ctx({"gone-vm", "0badf00d-0000-4000-8000-000000000000", "rg-prod"});
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_VM_NOT_FOUND);
    const std::string text = plugin->GetLastVMErrorDetails();
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(log.containsError(kDriverTag, "Failed to get VM Info for VM [gone-vm/0badf00d-0000-4000-8000-000000000000], [" +
                                                  text + "]"));
    EXPECT_TRUE(log.contains(kUnmountTag, "Unmounting VM [gone-vm] with GUID:[0badf00d-0000-4000-8000-000000000000]"));
    EXPECT_TRUE(cloud.journal("CreateDiskSnapshots").empty());
}

TEST_F(Mount, SnapshotAndConfigurationFailuresCarryTheirCodesAndReleaseTheSet) {
    auto plugin = Connected();
    Fault("CreateDiskSnapshots", 0, "OperationNotAllowed: quota exceeded");
    MountCtx first = Ctx(kWeb);
    EXPECT_EQ(plugin->MountVM(first), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_SNAPSHOT_SET_CREATE);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "OperationNotAllowed: quota exceeded");
    EXPECT_TRUE(log.containsError("bool CAzureInfo::_CreateVMSnapshot(const MountCtx&)",
                                  "Failed to create disk snapshots, [OperationNotAllowed: quota exceeded]"));

    Fault("GetVMConfigurationAndKeyBackups", 0, "AuthorizationFailed: no read");
    MountCtx second = Ctx(kWeb);
    EXPECT_EQ(plugin->MountVM(second), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_VM_CONFIG_READ);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "AuthorizationFailed: no read");
    // The failed mount's own unmount deleted the set it had created.
    EXPECT_TRUE(second.backupSnapshotGuid.empty());
    EXPECT_EQ(cloud.journal("DeleteDiskSnapshots").size(), 1u);
    EXPECT_TRUE(State().snapshotSets.empty());
    EXPECT_TRUE(State().snapshots.empty());

    MountCtx third = Ctx(kWeb);
    std::filesystem::create_directories(third.mountPath + "/web-linux01.json");
    EXPECT_EQ(plugin->MountVM(third), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_CONFIG_FILE_WRITE);
    EXPECT_TRUE(log.containsError("bool CAzureInfo::_SaveVMConfigFile(const string&, const string&, const string&)",
                                  "Failed to write vm config file [" + third.mountPath + "/web-linux01.json]"));
    EXPECT_TRUE(State().snapshotSets.empty());
}

TEST_F(Mount, EncryptedVmSavesKeyBackupsOrFailsWithTheKeyVaultCode) {
    auto stack = Connected(VSINST_AZURE_STACK_HUB);
    MountCtx onStack = Ctx(kSecure);
    EXPECT_EQ(stack->MountVM(onStack), 0);
    EXPECT_EQ(stack->GetLastVMError(), VMINFO_ERR_ENCRYPTED_ON_AZURE_STACK);
    EXPECT_TRUE(log.containsError("bool CAzureInfo::VerifyKeyVaultPermissions(const MountCtx&)",
                                  "Backup of encrypted VMs is not supported for Azure Stack. Aborting backup!"));

    auto plugin = Connected();
    const std::pair<int, EVMInfoError> mapped[] = {{1, VMINFO_ERR_KEYVAULT_SECRET_DENIED},
                                                   {2, VMINFO_ERR_KEYVAULT_KEY_DENIED},
                                                   {4, VMINFO_ERR_KEYVAULT_NOT_FOUND},
                                                   {5, VMINFO_ERR_KEYVAULT_FIREWALL},
                                                   {0, VMINFO_ERR_KEYVAULT_PERMISSION_CHECK}};
    for (const auto& m : mapped) {
        Fault("GetVMConfigurationAndKeyBackups", m.first, "Forbidden: vault says no");
        MountCtx ctx = Ctx(kSecure);
        EXPECT_EQ(plugin->MountVM(ctx), 0);
        EXPECT_EQ(plugin->GetLastVMError(), m.second) << m.first;
        if (m.first == 0) {
            EXPECT_EQ(plugin->GetLastVMErrorDetails(), "Forbidden: vault says no");
        }
    }
    EXPECT_TRUE(cloud.journal("CreateDiskSnapshots").empty());

    MountCtx ctx = Ctx(kSecure);
    ASSERT_EQ(plugin->MountVM(ctx), 1);
    std::string config, dek, kek;
    ASSERT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-test", "secure-db01", config, dek, kek));
    ASSERT_FALSE(dek.empty());
    EXPECT_EQ(ReadFile(ctx.mountPath + "/secure-db01.json"), config);
    EXPECT_EQ(ReadFile(ctx.mountPath + "/dek.bkp"), dek);
    EXPECT_EQ(ReadFile(ctx.mountPath + "/kek.bkp"), kek);
    std::vector<SMountInfoFull> info;
    ASSERT_EQ(plugin->GetFullMountInfo(ctx, info), 1);
    EXPECT_EQ(info.size(), 2u + 3u);
    EXPECT_EQ(info.back().disks[0].name, "secure-db01.json");
    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(Mount, UnmountDropsTheDiskRecordsOfItsVmOnly) {
    auto plugin = Connected();
    MountCtx web = Ctx(kWeb);
    ASSERT_EQ(plugin->MountVM(web), 1);
    MountCtx legacy = Ctx(kLegacy);
    ASSERT_EQ(plugin->MountVM(legacy), 1);
    ASSERT_EQ(plugin->diskMap.size(), 5u);
    // The legacy disks read staging blobs: their records are keyed by a URL they no longer read.
    ASSERT_TRUE(plugin->diskMap.at(legacy.vmInfo.disks[0].uri).readsStagingBlob);

    ASSERT_EQ(plugin->UnmountVM(legacy), 1);
    EXPECT_EQ(plugin->diskMap.size(), 3u);
    for (const SDisk& disk : web.vmInfo.disks) EXPECT_EQ(plugin->diskMap.count(disk.uri), 1u) << disk.uri;
    // Opened managed disks read through their snapshots' access URLs, and are still released.
    for (const SDisk& disk : web.vmInfo.disks) {
        VmdkHandle handle;
        ASSERT_EQ(plugin->OpenVmdk(web.vmName, web.vmGuid, disk.uri, handle), 1);
        ASSERT_NE(handle.diskInfo->sourceUri, disk.uri);
    }
    ASSERT_EQ(plugin->UnmountVM(web), 1);
    EXPECT_TRUE(plugin->diskMap.empty());
}

// The VM lives in rg-apps, its disk in rg-prod. The cloud kept the full backup's snapshot beside the
// VM, and the look-up in the disk's group is refused: the incremental finds it in the VM's group.
TEST_F(Mount, IncrementalFindsThePreviousSnapshotInTheVmGroup) {
    NXPlatformInfo::setValue("VirtualServer", "bSkipDataDisksForBackup", "1");  // one disk, one look-up per query
    azsim::SubscriptionState(cloud.dir()).mutate([](azsim::StateDocument& doc) {
        doc.resourceGroups.push_back({"rg-apps", "westeurope", {}});
        doc.findVmByGuid(kWeb.guid)->resourceGroup = "rg-apps";
        return true;
    });
    const VmRef moved{kWeb.name, kWeb.guid, "rg-apps"};
    auto plugin = Connected();
    MountCtx full = Ctx(moved);
    full.cbtEnabled = true;
    ASSERT_EQ(plugin->MountVM(full), 1);
    const std::string changeId = full.backupSnapshotGuid;
    ASSERT_EQ(plugin->PostBackupVM(full), 1);
    ASSERT_EQ(plugin->UnmountVM(full), 1);
    azsim::SubscriptionState(cloud.dir()).mutate([](azsim::StateDocument& doc) {
        for (azsim::ManagedSnapshot& snap : doc.snapshots) {
            const std::string moved = azsim::SnapshotId(doc.subscription().id, "rg-apps", snap.name);
            for (azsim::SnapshotSet& set : doc.snapshotSets) std::replace(set.members.begin(), set.members.end(), snap.id, moved);
            snap.resourceGroup = "rg-apps";
            snap.id = moved;
        }
        return true;
    });
    const std::vector<unsigned char> written(64 * 1024, 0x5a);
    ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().writePages(
        State().findManagedDiskByName("web-linux01-osdisk")->blob, 1 << 20, written.data(), written.size(), nullptr));

    const char* refused = "AuthorizationFailed: no read access to resource group rg-prod";
    MountCtx incremental = Ctx(moved);
    incremental.cbtEnabled = true;
    incremental.referencePoint = full.referencePoint;
    Fault("GetManagedDiskSnapshotIDForSnapshotGUID", 0, refused);
    ASSERT_EQ(plugin->MountVM(incremental), 1);
    EXPECT_EQ(incremental.cbtStatusText, "Used");
    VmdkHandle handle;
    ASSERT_EQ(plugin->OpenVmdk("", "", incremental.vmInfo.disks.at(0).uri, handle), 1);
    EXPECT_EQ(handle.diskInfo->vmResourceGroup, "rg-apps");
    Fault("GetManagedDiskSnapshotIDForSnapshotGUID", 0, refused);
    SDiskChangeInfo changed;
    ASSERT_EQ(plugin->GetVmdkExtents(handle, changeId, 0, changed), 1);
    ASSERT_EQ(changed.extents.size(), 1u);
    EXPECT_EQ(changed.extents[0].start, 1u << 20);
    EXPECT_EQ(changed.extents[0].length, written.size());
    EXPECT_TRUE(log.contains("bool CAzureInfo::_GetManagedDiskSnapshotIDForSnapshotGUID(const string&, const string&, "
                             "string&, const string&)",
                             "Succeeded getting snapshot with GUID [" + changeId +
                                 "] from fallback resource group [rg-apps]"));
    EXPECT_EQ(plugin->UnmountVM(incremental), 1);
}

TEST_F(Mount, HandOversToStepsNotInThisBuildFailWithACodeAndText) {
    auto plugin = Connected();
    MountCtx snap = Ctx(kWeb);
    snap.isSnapJob = true;
    MountCtx copy = Ctx(kWeb);
    copy.isBackupCopy = true;
    MountCtx failback = Ctx(kWeb);
    failback.isFailback = true;
    const struct {
        MountCtx* ctx;
        EVMInfoError code;
        std::string text;
    } cases[] = {
        {&snap, VMINFO_ERR_SNAP_RECORDS, "Snapshot-engine mount of VM [web-linux01] is not available in this build"},
        {&copy, VMINFO_ERR_SNAP_RECORDS, "Snapshot copy preparation of VM [web-linux01] is not available in this build"},
        {&failback, VMINFO_ERR_DISK_INFO,
         "Replication disk GUID look-up of VM [web-linux01] is not available in this build"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plugin->MountVM(*c.ctx), 0) << c.text;
        EXPECT_EQ(plugin->GetLastVMError(), c.code) << c.text;
        EXPECT_EQ(plugin->GetLastVMErrorDetails(), c.text);
    }
    EXPECT_TRUE(State().snapshotSets.empty());

    std::vector<SMountInfoFull> info;
    EXPECT_EQ(plugin->GetFullMountInfo(snap, info), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_SNAP_CONFIG_FETCH);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(),
              "Mount information of snapshot-engine VM [web-linux01] is not available in this build");
}

TEST_F(Mount, DriverKeepsAGivenMountIdentityAndReportsItsOwnFailureCodes) {
    auto plugin = Connected();
    MountCtx named = Ctx({"job-name", "0badf00d-0000-4000-8000-000000000000", "rg-prod"});
    named.mountVmName = kWeb.name;
    named.mountVmGuid = kWeb.guid;
    ASSERT_EQ(plugin->MountVM(named), 1);
    EXPECT_EQ(named.mountVmName, kWeb.name);
    EXPECT_EQ(named.mountVmGuid, kWeb.guid);
    const nlohmann::json lookUp = cloud.journal("GetVMInfoForVM").back()["args"];
    EXPECT_EQ(lookUp["vmName"], kWeb.name);
    EXPECT_EQ(lookUp["vmGuid"], kWeb.guid);
    EXPECT_EQ(lookUp["flags"], 0x34);
    ASSERT_EQ(plugin->UnmountVM(named), 1);

    // A mount folder that cannot be made fails with 13; the clean-up unmount, which finds no folder, keeps it.
    MountCtx blocked = Ctx(kWeb);
    std::ofstream(mountDir.path() + "/file") << "x";
    blocked.mountPath = mountDir.path() + "/file/mount";
    EXPECT_EQ(plugin->MountVM(blocked), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_MOUNT_DIR_PREPARE);
    EXPECT_TRUE(log.contains(kUnmountTag, std::string("Unmounting VM [web-linux01] with GUID:[") + kWeb.guid + "]"));

    // A page blob whose address the mount cannot read fails it with 44; the next mount starts clean.
    NXPlatformInfo::setValue("VirtualServer", "AzureRegion", "Atlantis");
    MountCtx legacy = Ctx(kLegacy);
    EXPECT_EQ(plugin->MountVM(legacy), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_DISK_INFO);
    EXPECT_TRUE(log.containsError("bool CAzureInfo::GetDiskInfoForVM(const MountCtx&)", "Failed to parse MediaLink URI [" +
                                                                                           legacy.vmInfo.disks[0].uri + "]"));
    EXPECT_TRUE(State().snapshotSets.empty());
    MountCtx gen2 = Ctx({"app-win01", "8c2d4e6f-1a3b-4c5d-9e7f-a0b1c2d3e4f5", "rg-prod"});
    ASSERT_EQ(plugin->MountVM(gen2), 1);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    EXPECT_TRUE(log.contains(kDriverTag, "VM [app-win01] is a Gen 2 VM."));
}

TEST_F(Mount, AzureStackBacksUpUnmanagedVmsInFull) {
    auto stack = Connected(VSINST_AZURE_STACK_HUB);
    MountCtx unmanaged = Ctx(kLegacy);
    unmanaged.cbtEnabled = true;
    ASSERT_EQ(stack->MountVM(unmanaged), 1);
    EXPECT_FALSE(unmanaged.cbtEnabled);
    EXPECT_EQ(unmanaged.cbtStatusText, "Not Used");
    EXPECT_TRUE(log.contains(kDriverTag, "CBT enabled but is not supported on Azure Stack Hub for unmanaged VMs.  "
                                         "Disabling CBT for VM [legacy-vm01]"));

    auto arm = Connected();
    MountCtx elsewhere = Ctx(kLegacy);
    elsewhere.cbtEnabled = true;
    ASSERT_EQ(arm->MountVM(elsewhere), 1);
    EXPECT_TRUE(elsewhere.cbtEnabled);
    EXPECT_EQ(elsewhere.cbtStatusText, "Enabled");
}

struct BrokenFilterPlugin : TestPlugin {
    using TestPlugin::TestPlugin;
    bool IsDiskFilteredByType(const std::string&, const SDisk&) override { throw std::runtime_error("rule broke"); }
};

struct BrokenLocalVmPlugin : TestPlugin {
    using TestPlugin::TestPlugin;
    int GetLocalVMInfo(SVMInfo&, UINT64, int) override { throw std::logic_error("query broke"); }
};

TEST_F(Mount, AnExceptionInsideASlotFailsItWithACodeAndText) {
    auto filtering = Connected<BrokenFilterPlugin>();
    MountCtx ctx = Ctx(kWeb);
    ctx.diskFilters.push_back({DISK_FILTER_BY_TYPE, "OS Disk", ""});
    EXPECT_EQ(filtering->MountVM(ctx), 0);
    EXPECT_EQ(filtering->GetLastVMError(), VMINFO_ERR_DISK_INFO);
    EXPECT_EQ(filtering->GetLastVMErrorDetails(), "Unexpected failure: [rule broke]");
    EXPECT_TRUE(log.containsError(kMountTag, "Unexpected failure: [rule broke]"));

    auto browsing = Connected<BrokenLocalVmPlugin>();
    MountCtx browse = Ctx(kWeb);
    browse.liveBrowse = true;
    browse.archFileId = 5;
    browsing->liveBrowseAttachedDisks[std::string(kWeb.guid) + "-5"] = {SDisk()};
    EXPECT_EQ(browsing->UnmountVM(browse), 0);
    EXPECT_EQ(browsing->GetLastVMError(), VMINFO_ERR_SNAPSHOT_DELETE);
    EXPECT_EQ(browsing->GetLastVMErrorDetails(), "Unexpected failure: [query broke]");
    EXPECT_TRUE(log.containsError(kUnmountTag, "Unexpected failure: [query broke]"));
}

}  // namespace
}  // namespace backuptest

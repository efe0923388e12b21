// Mount and unmount of managed and unmanaged VMs through the plugin, and the mount's failure codes.
#include <stdexcept>
#include <tuple>

#include "tests/plugin/backup/BackupFixture.h"

namespace backuptest {
namespace {

using Mount = BackupFlow<DemoCloud>;

std::string ReadFile(const std::string& path) {
    std::string content;
    CKaFile::ReadWholeFile(path, content);
    return content;
}

TEST_F(Mount, ManagedVmMountsDescribeTheirDisksKeepAGivenIdentityAndUnmountWithoutLeftovers) {
    auto plugin = Connected();
    MountCtx ctx = Mounted(*plugin, Ctx(kWeb));
    EXPECT_TRUE(log.contains(kDriverTag, "VM [web-linux01] is a Gen 1 VM."));

    azsim::StateDocument doc = State();
    ASSERT_EQ(std::make_tuple(1u, 3u, true), std::make_tuple(doc.snapshotSets.size(), ctx.vmInfo.disks.size(),
                                                             ctx.referenceTime > 0));
    EXPECT_EQ(doc.snapshotSets[0].jobTag, "77");

    std::string config, dek, kek;
    ASSERT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-prod", "web-linux01", config, dek, kek));
    EXPECT_EQ(ReadFile(ctx.mountPath + "/web-linux01.json"), config);

    std::vector<SMountInfoFull> info;
    ASSERT_EQ(plugin->GetFullMountInfo(ctx, info), 1);
    std::vector<std::string> names;
    for (const SMountInfoFull& entry : info)
        names.push_back(std::to_string(entry.kind) + " " + entry.disks.at(0).indexName + " " + entry.disks[0].name);
    ASSERT_EQ(names, (std::vector<std::string>{"1 OsDisk-0-web-linux01-osdisk web-linux01-osdisk",
                                               "1 DataDisk-0-web-linux01-data0 web-linux01-data0",
                                               "1 DataDisk-1-web-linux01-data1 web-linux01-data1",
                                               "0 web-linux01.json web-linux01.json"}));
    EXPECT_EQ(std::make_tuple(23, static_cast<long long>(config.size()), ctx.mountPath + "/web-linux01.json"),
              std::make_tuple(info[0].disks[0].diskFormat, info[3].disks[0].capacity, info[3].disks[0].uri));

    // Read access granted on a snapshot, as the data path does, is taken back at unmount.
    const std::string snapName = ctx.vmInfo.disks[0].managedDiskId.substr(ctx.vmInfo.disks[0].managedDiskId.rfind('/') + 1);
    std::string sas;
    ASSERT_TRUE(plugin->sdk->GetSASTokenURI("rg-prod", snapName, sas));
    ASSERT_TRUE(State().findSnapshotByName(snapName)->grant.active);
    azsim::FaultBook(cloud.dir()).addSdkFault({"DeleteDiskSnapshots", 0, "held", 1});
    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    EXPECT_FALSE(State().findSnapshotByName(snapName)->grant.active);
    EXPECT_EQ("Failed to cleanup snapshots created for backing up VM", OnlyFailure(ctx));

    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    EXPECT_EQ(std::make_tuple(0u, 0u, std::string(), 0u, 6u),
              std::make_tuple(State().snapshotSets.size(), State().snapshots.size(), ctx.backupSnapshotGuid,
                              plugin->diskMap.size(), cloud.journal("RevokeSASToken").size()));

    // A given mount identity is the VM looked up; a Gen 2 VM mounts.
    // Change tracking of an unmanaged VM is switched off on Azure Stack.
    MountCtx named = Ctx({"job-name", "0badf00d-0000-4000-8000-000000000000", "rg-prod"});
    named.mountVmName = kWeb.name;
    named.mountVmGuid = kWeb.guid;
    ASSERT_EQ(plugin->MountVM(named), 1);
    const nlohmann::json lookUp = cloud.journal("GetVMInfoForVM").back()["args"];
    EXPECT_EQ(nlohmann::json({kWeb.name, kWeb.guid, 0x34}),
              nlohmann::json({lookUp["vmName"], lookUp["vmGuid"], lookUp["flags"]}));
    ASSERT_EQ(plugin->UnmountVM(named), 1);

    Mounted(*plugin, Ctx({"app-win01", "8c2d4e6f-1a3b-4c5d-9e7f-a0b1c2d3e4f5", "rg-prod"}));
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    EXPECT_TRUE(log.contains(kDriverTag, "VM [app-win01] is a Gen 2 VM."));

    auto stack = Connected(VSINST_AZURE_STACK_HUB);
    MountCtx unmanaged = Ctx(kLegacy);
    unmanaged.cbtEnabled = true;
    ASSERT_EQ(stack->MountVM(unmanaged), 1);
    EXPECT_EQ(std::make_tuple(false, std::string("Not Used")), std::make_tuple(unmanaged.cbtEnabled, unmanaged.cbtStatusText));
    EXPECT_TRUE(log.contains(kDriverTag, "CBT enabled but is not supported on Azure Stack Hub for unmanaged VMs.  "
                                         "Disabling CBT for VM [legacy-vm01]"));
}

// An unmanaged VM mounted beside an encrypted managed one: it reads staging blobs that its unmount deletes, and its
// unmount leaves the other VM's set, disk records and key backups (saved beside its configuration) alone.
TEST_F(Mount, UnmanagedVmReadsStagingBlobsThatUnmountDeletesLeavingOtherVmsAlone) {
    auto plugin = Connected();
    MountCtx secure = Ctx(kSecure);
    secure.mountPath = mountDir.path() + "/secure";
    ASSERT_EQ(plugin->MountVM(secure), 1);
    std::string config, dek, kek;
    ASSERT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-test", "secure-db01", config, dek, kek));
    ASSERT_FALSE(dek.empty());
    EXPECT_EQ(ReadFile(secure.mountPath + "/secure-db01.json") + ReadFile(secure.mountPath + "/dek.bkp") +
                  ReadFile(secure.mountPath + "/kek.bkp"),
              config + dek + kek);
    std::vector<SMountInfoFull> files, info;
    ASSERT_EQ(plugin->GetFullMountInfo(secure, files), 1);
    EXPECT_EQ(std::make_tuple(2u + 3u, std::string("secure-db01.json")),
              std::make_tuple(files.size(), files.back().disks[0].name));

    MountCtx ctx = Mounted(*plugin, Ctx(kLegacy));
    EXPECT_EQ(sleeper.waits(), (std::vector<unsigned long>{1000, 1000}));
    ASSERT_EQ(plugin->diskMap.size(), 4u);
    azsim::PageBlobStore store(cloud.dir());
    std::vector<azsim::BlobKey> staging;
    for (const azsim::BlobKey& key : store.list("legacystore01", "vhds"))
        if (key.name.find("_QD_BACKUP77.vhd") != std::string::npos) staging.push_back(key);
    ASSERT_EQ(staging.size(), 2u);
    EXPECT_EQ(staging[0].name.rfind("legacy-vm01-data0", 0), 0u) << staging[0].name;
    for (const SDisk& disk : ctx.vmInfo.disks) {
        const SAzureDiskInfo& info = plugin->diskMap.at(disk.uri);
        EXPECT_TRUE(log.containsError("bool CAzureInfo::GetDiskInfoForVM(const MountCtx&)",
                                      "Backup will read pages from blob URL [" + info.dataUrl + "]"));
    }
    ASSERT_EQ(plugin->GetFullMountInfo(ctx, info), 1);
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ("OsDisk-0-legacy-vm01-osdisk.vhd " + ctx.vmInfo.disks[0].name,
              info[0].disks[0].indexName + " " + info[0].disks[0].name);

    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    for (const azsim::BlobKey& key : staging) EXPECT_FALSE(store.exists(key)) << key.name;
    EXPECT_EQ(SetGuids(), std::vector<std::string>{secure.backupSnapshotGuid});
    EXPECT_EQ(std::make_tuple(0u, 0u, 2u), std::make_tuple(State().blobSnapshots.size(), cloud.journal("RevokeSASToken").size(),
                                                        plugin->diskMap.size()));
    ASSERT_EQ(plugin->UnmountVM(secure), 1);
    EXPECT_TRUE(plugin->diskMap.empty());
}

struct BrokenFilterPlugin : TestPlugin {
    using TestPlugin::TestPlugin;
    bool IsDiskFilteredByType(const std::string&, const SDisk&) override { throw std::runtime_error("rule broke"); }
};

// One refused mount: the VM, an SDK fault set before the plugin connects and what else is arranged (by default the
// plugin is just connected), the code and text it fails with (text checked when set), whether it asked for snapshots
// before it failed, the error it logs under `tag` (when set), whether the unmount that releases what it made ran
// (-1: not checked), and what else it must leave.
struct Refusal {
    const char* what; VmRef vm; EVMInfoError code; std::string details; bool snapshotted; std::string tag, logged;
    int unmounted = -1;
    std::function<std::unique_ptr<TestPlugin>(MountCtx&)> arrange = nullptr;
    std::string fault = "", faultText = "";
    int faultCode = 0;
    std::function<void(const MountCtx&)> check = nullptr;
};

// Every refused mount fails with its code (and text, where the cloud gave one) and leaves no snapshot of its own behind.
TEST_F(Mount, RefusedMountsCarryTheirCodeAndTextAndReleaseWhatTheyMade) {
    const std::string quota = "OperationNotAllowed: quota exceeded", vault = "Forbidden: vault says no";
    const std::string unconnected = "Not connected to an Azure subscription", config = "GetVMConfigurationAndKeyBackups";
    std::vector<Refusal> cases = {
        {"not connected", kWeb, VMINFO_ERR_CONNECTION_LOST, unconnected, false, "", "", 0,
         [](MountCtx&) { return std::make_unique<TestPlugin>(VSINST_AZURE_RESOURCE_MANAGER, 0); }, "", "", 0,
         [&](const MountCtx&) {
             EXPECT_TRUE(log.contains(kMountTag, "Connection lost [" + unconnected + "]"));
             EXPECT_TRUE(log.texts(kDriverTag).empty());
         }},
        {"no cloud file system", kWeb, VMINFO_ERR_CLOUDFS_UNAVAILABLE, "", false, "", "", -1,
         [this](MountCtx&) {
             NXPlatformInfo::setValue("VirtualServer", "bAzureEnableDirectDownload", "0");
             auto plugin = Connected();
             NXPlatformInfo::removeValue("VirtualServer", "bAzureEnableDirectDownload");
             return plugin;
         }},
        {"unknown VM", {"gone-vm", "0badf00d-0000-4000-8000-000000000000", "rg-prod"}, VMINFO_ERR_VM_NOT_FOUND, "",
         false, kDriverTag,
         "Failed to get VM Info for VM [gone-vm/0badf00d-0000-4000-8000-000000000000], [ResourceNotFound: The Resource "
         "'Microsoft.Compute/virtualMachines/gone-vm0badf00d-0000-4000-8000-000000000000' was not found.]", 1},
        {"snapshot quota", kWeb, VMINFO_ERR_SNAPSHOT_SET_CREATE, quota, true,
         "bool CAzureInfo::_CreateVMSnapshot(const MountCtx&)", "Failed to create disk snapshots, [" + quota + "]", -1,
         nullptr, "CreateDiskSnapshots", quota},
        {"configuration unreadable", kWeb, VMINFO_ERR_VM_CONFIG_READ, "AuthorizationFailed: no read", true, "", "", -1,
         nullptr, config, "AuthorizationFailed: no read"},
        {"configuration file unwritable", kWeb, VMINFO_ERR_CONFIG_FILE_WRITE, "", true,
         "bool CAzureInfo::_SaveVMConfigFile(const string&, const string&, const string&)",
         "Failed to write vm config file [" + mountDir.path() + "/mount/web-linux01.json]", -1,
         [this](MountCtx& ctx) {
             std::filesystem::create_directories(ctx.mountPath + "/web-linux01.json");
             return Connected();
         }},
        {"mount folder unmakeable", kWeb, VMINFO_ERR_MOUNT_DIR_PREPARE, "", false, "", "", 1, [this](MountCtx& ctx) {
             std::ofstream(mountDir.path() + "/file") << "x";
             ctx.mountPath = mountDir.path() + "/file/mount";
             return Connected();
         }},
        {"page blob address unreadable", kLegacy, VMINFO_ERR_DISK_INFO, "", true, "", "", -1,
         [this](MountCtx&) {
             NXPlatformInfo::setValue("VirtualServer", "AzureRegion", "Atlantis");
             return Connected();
         }, "", "", 0, [&](const MountCtx& ctx) {
             EXPECT_TRUE(log.containsError("bool CAzureInfo::GetDiskInfoForVM(const MountCtx&)",
                                           "Failed to parse MediaLink URI [" + ctx.vmInfo.disks.at(0).uri + "]"));
         }},
        {"failback", kWeb, VMINFO_ERR_DISK_INFO, "Failed to get replication GUID for disk [web-linux01-osdisk]", false,
         "", "", -1, [this](MountCtx& ctx) { return ctx.isFailback = true, Connected(); }},
        {"a rule throws", kWeb, VMINFO_ERR_DISK_INFO, "Unexpected failure: [rule broke]", false, kMountTag,
         "Unexpected failure: [rule broke]", -1, [this](MountCtx& ctx) {
             ctx.diskFilters.push_back({DISK_FILTER_BY_TYPE, "OS Disk", ""});
             return std::unique_ptr<TestPlugin>(Connected<BrokenFilterPlugin>());
         }},
        {"encrypted on Azure Stack", kSecure, VMINFO_ERR_ENCRYPTED_ON_AZURE_STACK, "", false,
         "bool CAzureInfo::VerifyKeyVaultPermissions(const MountCtx&)",
         "Backup of encrypted VMs is not supported for Azure Stack. Aborting backup!", -1,
         [this](MountCtx&) { return Connected(VSINST_AZURE_STACK_HUB); }},
    };
    // The key vault's answers, each mapped to its own code; an unmapped one keeps the cloud's text.
    for (const std::pair<int, EVMInfoError>& m : std::vector<std::pair<int, EVMInfoError>>{
             {1, VMINFO_ERR_KEYVAULT_SECRET_DENIED}, {2, VMINFO_ERR_KEYVAULT_KEY_DENIED},
             {4, VMINFO_ERR_KEYVAULT_NOT_FOUND}, {5, VMINFO_ERR_KEYVAULT_FIREWALL}, {0, VMINFO_ERR_KEYVAULT_PERMISSION_CHECK}})
        cases.push_back({"key vault", kSecure, m.second, m.first == 0 ? vault : "", false, "", "", -1, nullptr, config,
                         vault, m.first});
    for (const Refusal& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", code " + std::to_string(c.code));
        log.clear();
        MountCtx ctx = Ctx(c.vm);
        const size_t asked = cloud.journal("CreateDiskSnapshots").size();
        if (!c.fault.empty()) Fault(c.fault, c.faultCode, c.faultText);
        std::unique_ptr<TestPlugin> plugin = c.arrange ? c.arrange(ctx) : Connected();
        EXPECT_EQ(plugin->MountVM(ctx), 0);
        NXPlatformInfo::removeValue("VirtualServer", "AzureRegion");
        EXPECT_EQ(plugin->GetLastVMError(), c.code);
        EXPECT_TRUE(c.details.empty() || plugin->GetLastVMErrorDetails() == c.details) << plugin->GetLastVMErrorDetails();
        EXPECT_EQ(cloud.journal("CreateDiskSnapshots").size() > asked, c.snapshotted);
        EXPECT_TRUE(c.tag.empty() || log.containsError(c.tag, c.logged)) << ::testing::PrintToString(log.texts(c.tag));
        EXPECT_TRUE(c.unmounted < 0 || c.unmounted == log.contains(kUnmountTag, "Unmounting VM [" + ctx.vmName +
                                                                                    "] with GUID:[" + ctx.vmGuid + "]"));
        if (c.check) c.check(ctx);
        EXPECT_EQ(std::make_tuple(std::string(), 0u, 0u),
                  std::make_tuple(ctx.backupSnapshotGuid, State().snapshotSets.size(), State().snapshots.size()));
        std::filesystem::remove_all(mountDir.path() + "/mount");
    }
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

}  // namespace
}  // namespace backuptest

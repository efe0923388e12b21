// Copy jobs mounting a snapshot-engine job's VM, the snap job's own mount information, and MountSnap.
#include <filesystem>
#include <fstream>

#include "azsim/blob/PageBlobStore.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/settings/NXPlatformInfo.h"
#include "tests/plugin/snap/SnapFixture.h"

namespace snaptest {
namespace {

constexpr std::uint64_t kWindow = 64 * 1024;
const char* const kListTag = "int CAzureInfo::_GetFullMountInfo_ConfigFiles(const MountCtx&, std::vector<SMountInfoFull>&)";
const char* const kSnapInfoTag =
    "bool CAzureInfo::_GetFullMountInfo_SnapBackup(const MountCtx&, std::vector<SMountInfoFull>&)";

struct CopyRow {
    const char* name;
    SVMBasicInfo vm;
    bool incrementalRegion;
    bool cbtOff;  // the copy mount turns change tracking off ("Not Used")
    VirtualServerInstanceType type;
};

class SnapCopy : public SnapMount, public ::testing::WithParamInterface<CopyRow> {};

// The guest writes into the live disk after the snap job; the copy job reads the snapshot's bytes.
TEST_P(SnapCopy, ReadsTheSnapshotsBytesNotTheLiveDisks) {
    const CopyRow row = GetParam();
    if (!row.incrementalRegion)
        azsim::SubscriptionState(cloud.dir()).mutate([](azsim::StateDocument& doc) {
            doc.findRegion("westeurope")->incrementalSnapshots = false;
            return true;
        });
    MountCtx snap = SnapJob({row.vm});
    std::vector<SMountInfoFull> snapInfo;
    ASSERT_EQ(1, snapPlugin->GetFullMountInfo(snap, snapInfo)) << snapPlugin->GetLastVMErrorDetails();
    Upload(snap);

    azsim::StateDocument doc = State();
    const azsim::BlobKey live = *doc.diskBlob(*doc.findVmByGuid(row.vm.guid), 0);
    azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
    std::vector<unsigned char> before(kWindow), written(kWindow, 0x5a);
    ASSERT_EQ(static_cast<std::int64_t>(kWindow), store.read(live, "", 0, before.data(), kWindow));
    ASSERT_NE(before, written);
    ASSERT_TRUE(store.writePages(live, 0, written.data(), kWindow, nullptr));

    auto copyPlugin = Connected(row.type);
    MountCtx copy = CopyJob(row.vm);
    copy.cbtEnabled = true;
    const std::size_t swept = cloud.journal("DeleteExpiredSnapshots").size();
    ASSERT_EQ(1, copyPlugin->MountVM(copy)) << copyPlugin->GetLastVMErrorDetails();
    EXPECT_EQ(copy.vmInfo.snapshotGuid, snap.vmInfo.snapshotGuid);
    EXPECT_EQ(swept, cloud.journal("DeleteExpiredSnapshots").size());  // a copy sweeps no snapshots
    EXPECT_EQ(copy.cbtStatusText == "Not Used", row.cbtOff);
    EXPECT_EQ(copy.cbtEnabled, !row.cbtOff);
    EXPECT_TRUE(std::filesystem::exists(copy.mountPath + "/" + row.vm.name + ".json"));
    std::vector<SMountInfoFull> info;
    ASSERT_EQ(1, copyPlugin->GetFullMountInfo(copy, info));
    const SMountInfoFull& osDisk = info.at(0);
    ASSERT_TRUE(osDisk.kind == MOUNT_ENTRY_DISK && osDisk.disks.at(0).isOsDisk);
    VmdkHandle handle;
    ASSERT_EQ(1, copyPlugin->OpenVmdk("", "", osDisk.disks[0].uri, handle));
    std::vector<unsigned char> read(kWindow);
    ULONGLONG sectors = 0;
    ASSERT_EQ(1, copyPlugin->GetVmdkCapacity(handle, sectors));
    ASSERT_EQ(1, copyPlugin->ReadVmdk(handle, 0, kWindow / 512, read.data()));
    EXPECT_EQ(read, before);
    EXPECT_EQ(1, copyPlugin->CloseVmdk(handle));
    EXPECT_EQ(1, copyPlugin->UnmountVM(copy));
    EXPECT_NE(State().findSnapshotSet(snap.vmInfo.snapshotGuid), nullptr);  // the snap job's set stays
}

INSTANTIATE_TEST_SUITE_P(Vms, SnapCopy,
                         ::testing::Values(CopyRow{"Managed", kWeb, true, false, VSINST_AZURE_RESOURCE_MANAGER},
                                           CopyRow{"ManagedFullSnapshot", kWeb, false, true,
                                                   VSINST_AZURE_RESOURCE_MANAGER},
                                           CopyRow{"ManagedOnAzureStack", kWeb, true, false, VSINST_AZURE_STACK_HUB},
                                           CopyRow{"PageBlob", kLegacy, true, false, VSINST_AZURE_RESOURCE_MANAGER},
                                           CopyRow{"PageBlobOnAzureStack", kLegacy, true, true,
                                                   VSINST_AZURE_STACK_HUB}),
                         [](const ::testing::TestParamInfo<CopyRow>& info) { return info.param.name; });

// Each refusal of a copy mount leaves its own code and text; a snapshot that could not be asked for is not missing.
TEST_F(SnapMount, CopyMountRefusalsSayWhy) {
    MountCtx snap = SnapJob({kWeb, kLegacy});
    std::vector<SMountInfoFull> snapInfo;
    ASSERT_EQ(1, snapPlugin->GetFullMountInfo(snap, snapInfo));
    Upload(snap);
    const std::string xmlName = "backup_" + std::to_string(kSnapJob) + ".xml";
    const std::string osDiskId = snap.vmInfo.disks.at(0).uri;
    const std::string blob = snap.vmInfoByGuid[kLegacy.guid].disks.at(0).uri;
    auto status = [&](std::uint32_t code) {
        return [=](MountCtx& ctx) {
            const std::string path = ctx.metadataDir + "/" + xmlName;
            std::filesystem::copy_file(snap.metadataDir + "/" + xmlName, path);
            EvEvent event;
            ASSERT_EQ(1, CVMSnapUtil(event).SetVMStatusInMetadataXml(path, kWeb.name, kWeb.guid, code, "why not"));
        };
    };
    auto fault = [&](const char* op, int code) { return [=](MountCtx&) { Fault(op, code, "no answer"); }; };
    struct Row {
        const char* what;
        SVMBasicInfo vm;
        std::function<void(MountCtx&)> arrange;
        EVMInfoError code;
        std::string details;
    };
    std::vector<Row> rows{
        {"VM not in the job", kWeb,
         [](MountCtx& ctx) { ctx.vmName = "gone-vm", ctx.vmGuid = "0badf00d-0000-4000-8000-000000000000"; },
         VMINFO_ERR_REVERT_FILE_LIST, "Failed to get file list for VM [gone-vm] [0badf00d-0000-4000-8000-000000000000]"},
        {"no job XML", kWeb, [](MountCtx& ctx) { ctx.refJobId = 5; }, VMINFO_ERR_SNAP_RECORDS,
         "Cannot read the snap metadata of job [5]"},
        {"snapshot failed", kWeb, status(39), VMINFO_ERR_VM_SNAPSHOT_CREATE, "why not"},
        {"disks filtered", kWeb, status(65), VMINFO_ERR_ALL_DISKS_FILTERED, "why not"},
        {"query fails", kWeb, fault("GetManagedDiskSnapshotsForDisk", 0), VMINFO_ERR_DISK_SNAPSHOT_QUERY,
         "Failed to get the snapshots for Managed Disk [" + osDiskId + "]"},
        {"page blob snapshot missing", kLegacy, fault("GetSnapshotURI", AzureSDKCppBridge::SDK_ERR_NOT_FOUND),
         VMINFO_ERR_DISK_SNAPSHOT_NOT_FOUND, "Failed to get the snapshot for [" + blob + "]"},
        {"page blob snapshot query fails", kLegacy, fault("GetSnapshotURI", AzureSDKCppBridge::SDK_ERR_GENERAL),
         VMINFO_ERR_DISK_SNAPSHOT_QUERY, "Failed to get the snapshot for [" + blob + "]"},
        {"configuration not in the index", kWeb,
         [](MountCtx&) {
             std::string index, error;
             ASSERT_TRUE(snapcatalog::IndexFolder(kSnapJob, index, error));
             for (const auto& file : std::filesystem::recursive_directory_iterator(index))
                 if (file.path().filename() == "web-linux01.json") std::filesystem::remove(file.path());
         },
         VMINFO_ERR_SNAP_CONFIG_FETCH, "Cannot fetch the configuration files of VM [web-linux01] into [{mount}]"},
        {"snapshots gone", kWeb,
         [&](MountCtx&) {
             azsim::SubscriptionState(cloud.dir()).mutate([](azsim::StateDocument& doc) {
                 doc.snapshots.clear();
                 return true;
             });
         },
         VMINFO_ERR_DISK_SNAPSHOT_NOT_FOUND,
         "No snapshots with snapshot GUID [" + snap.vmInfo.snapshotGuid + "] found for Managed Disk [web-linux01-osdisk]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        log.clear();
        auto copyPlugin = Connected();
        MountCtx copy = CopyJob(row.vm);
        row.arrange(copy);
        EXPECT_EQ(0, copyPlugin->MountVM(copy));
        EXPECT_EQ(row.code, copyPlugin->GetLastVMError());
        std::string details = row.details;
        if (details.find("{mount}") != std::string::npos) details.replace(details.find("{mount}"), 7, copy.mountPath);
        EXPECT_EQ(details, copyPlugin->GetLastVMErrorDetails());
        EXPECT_EQ(log.contains(kSnapToTapeTag,
                               "VM [web-linux01] [" + std::string(kWeb.guid) +
                                   "] failed to create snapshot during snapbackup. Marking VM as FAILED"),
                  row.code == VMINFO_ERR_VM_SNAPSHOT_CREATE);
    }
    // A VM-centric copy is marked as one; a live browse of it reads the VM's own job.
    for (bool liveBrowse : {false, true}) {
        auto copyPlugin = Connected();
        MountCtx centric = CopyJob(kWeb);
        centric.isVmCentric = true;
        centric.liveBrowse = liveBrowse;
        centric.altJobId = 77;
        EXPECT_EQ(0, copyPlugin->MountVM(centric));  // the VM's own catalog is not there
        EXPECT_TRUE(centric.snapToTapeFlag);
        EXPECT_EQ(centric.refJobId, liveBrowse ? 77 : kSnapJob);
    }
}

// The snap job lists each VM's configuration files, then its disks under their unique backup names;
// a listing that fails marks the VM failed in the job XML and voids its archive file.
TEST_F(SnapMount, SnapJobMountInfoListsTheVmOrMarksItFailed) {
    MountCtx snap = SnapJob({kWeb});
    const std::string configDir = snap.metadataDir + "/Metadata/" + std::to_string(kSnapJob) + "/" + kWeb.guid;
    std::filesystem::create_directories(configDir);
    std::ofstream(configDir + "/vmsnap_9.xml") << "<vm/>";
    snapPlugin->indexUploadFiles.insert(snapPlugin->indexUploadFiles.begin(), configDir + "/VMSNAP_9.XML");
    for (bool vmCentric : {false, true}) {
        MountCtx ctx = snap;
        ctx.isVmCentric = vmCentric;
        ctx.diskFilters.push_back({DISK_FILTER_BY_PATTERN, "*data0", ""});
        std::vector<SMountInfoFull> info;
        ASSERT_EQ(1, snapPlugin->GetFullMountInfo(ctx, info)) << snapPlugin->GetLastVMErrorDetails();
        std::vector<std::string> names;
        for (const SMountInfoFull& entry : info)
            names.push_back(std::to_string(entry.kind) + " " + entry.disks.at(0).indexName);
        std::sort(names.begin(), names.begin() + (vmCentric ? 1 : 2));
        std::vector<std::string> expected{"0 vmsnap_9.xml", "0 web-linux01.json", "1 OsDisk-0-web-linux01-osdisk",
                                          "1 DataDisk-1-web-linux01-data1"};
        if (vmCentric) expected.erase(expected.begin());
        EXPECT_EQ(names, expected);
        EXPECT_EQ(info.back().disks[0].diskFormat, 23);
        EXPECT_EQ(log.contains(kListTag, "Removing VMCentric XML snap metadata file [" + configDir +
                                              "/VMSNAP_9.XML] from mount info"),
                  vmCentric);
    }
    EXPECT_TRUE(ArchiveFileValid(snap.vmInfo.archiveFileId));
    NXPlatformInfo::setValue("VirtualServer", "bSkipDataDisksForBackup", "1");
    std::unique_ptr<SnapPlugin> osOnly = Connected();
    NXPlatformInfo::removeValue("VirtualServer", "bSkipDataDisksForBackup");
    std::vector<SMountInfoFull> osInfo;
    ASSERT_EQ(1, osOnly->GetFullMountInfo(snap, osInfo));
    EXPECT_EQ(osInfo.back().disks[0].indexName, "OsDisk-0-web-linux01-osdisk");
    EXPECT_EQ(osInfo.end()[-2].kind, MOUNT_ENTRY_FILE);

    // A job whose configuration cannot be read, and a VM-centric one whose VM is gone: the job tag of the archive file
    // is the VM's own job in a VM-centric job, else the job's.
    const std::string vm = std::string("[") + kWeb.name + "][" + kWeb.guid + "]";
    const std::string spaced = std::string("[") + kWeb.name + "] [" + kWeb.guid + "]";
    for (const bool vmCentric : {false, true}) {
        SCOPED_TRACE(vmCentric ? "VM-centric" : "job-wide");
        log.clear();
        MountCtx ctx = snap;
        ctx.isVmCentric = vmCentric;
        ctx.jobId = 1;
        ctx.altJobId = kSnapJob;
        Fault(vmCentric ? "GetVMInfoForVM" : "GetVMConfigurationAndKeyBackups", 0, "no answer");
        std::vector<SMountInfoFull> info;
        EXPECT_EQ(0, snapPlugin->GetFullMountInfo(ctx, info));
        EXPECT_TRUE(log.containsError(kSnapInfoTag, (vmCentric ? "Failed to fetch VM Info with disks for "
                                                               : "Failed to save the VM create spec for ") + vm));
        EvEvent event;
        std::vector<SDatastoreInfo> datastores;
        ASSERT_EQ(1, CVMSnapUtil(event).ReadSnapMetadataXML(datastores, snap));
        EXPECT_NE(VMINFO_ERR_NONE, snapPlugin->GetLastVMError());
        EXPECT_EQ(datastores.at(0).vmList.at(0).snapStatus, static_cast<std::uint32_t>(snapPlugin->GetLastVMError()));
        EXPECT_EQ(ArchiveFileValid(snap.vmInfo.archiveFileId), !vmCentric);
        EXPECT_EQ(log.contains(kFullTag, "Marked archive files for failed VM " + spaced + " snapshots as invalid"),
                  vmCentric);
        EXPECT_EQ(log.containsError(kFullTag, "Failed to invalidate archive files for failed VM " + spaced),
                  !vmCentric);
    }
}

// MountSnap reads the snap job's XML; with reassignment it first takes the job's ids from its records.
TEST_F(SnapMount, MountSnapReadsTheJobAndReassignsItsIds) {
    MountCtx snap = SnapJob({kWeb});
    auto plugin = Connected();
    MountCtx ctx = CopyJob(kWeb);
    ctx.reassignSnapJob = true;
    EXPECT_EQ(0, plugin->MountSnap(ctx));  // the XML is not in the index yet
    EXPECT_EQ(VMINFO_ERR_SNAP_RECORDS, plugin->GetLastVMError());
    EXPECT_EQ("Cannot read the snap metadata of job [4294967317]", plugin->GetLastVMErrorDetails());
    Upload(snap);
    MountCtx plain = CopyJob(kWeb);
    EXPECT_EQ(1, plugin->MountSnap(plain));
    EXPECT_EQ(0u, plain.appId);
    EXPECT_EQ(1, plugin->MountSnap(ctx));
    EXPECT_EQ(12u, ctx.appId);
    EXPECT_EQ(3u, ctx.orbitId);
    EXPECT_TRUE(log.contains(kMountSnapTag, "Input Snap Job ID [4294967317]"));
    EXPECT_TRUE(log.contains(kMountSnapTag, "Reassigned Snap Job ID [4294967317]"));

    MountCtx unknown = CopyJob(kWeb);
    unknown.refJobId = 5;
    unknown.reassignSnapJob = true;
    EXPECT_EQ(0, plugin->MountSnap(unknown));
    EXPECT_EQ(VMINFO_ERR_SNAP_RECORDS, plugin->GetLastVMError());
    EXPECT_TRUE(log.containsError(kMountSnapTag, "GetVOLSNAPInfo Failed"));
    unknown.isVmCentric = true;  // a VM-centric job has nothing to read here
    EXPECT_EQ(1, plugin->MountSnap(unknown));
    EXPECT_EQ(VMINFO_ERR_NONE, plugin->GetLastVMError());
}

}  // namespace
}  // namespace snaptest

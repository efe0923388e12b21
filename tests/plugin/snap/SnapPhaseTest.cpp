// The snapshot phase of a snapshot-engine job and its metadata, against the demo subscription.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;

namespace {

class SnapPlugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::_GetSnapIdFromVolSnap;
    using CAzureInfo::indexUploadFiles;
    using CAzureInfo::ReadDSListFromSnapBackupXML;
    using CAzureInfo::SetVMStatusInSnapMetadataXml;
    using CAzureInfo::sdk;
    using CAzureInfo::volSnapInfo;
};

// Takes each volume's VM snapshot set through the wrapper, except for the VMs listed as failing.
class WrapperEngine : public ISnapEngine {
public:
    WrapperEngine(SnapPlugin& plugin, std::set<std::string> failing) : plugin_(plugin), failing_(std::move(failing)) {}
    bool TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) override {
        for (std::size_t i = 0; i < info.volumes.size(); ++i) {
            const SMVolumeInfo& v = info.volumes[i];
            SMSnapInfo snap;
            std::vector<SDisk> disks;
            std::string ref;
            const bool ok = failing_.count(v.sourceGuid) == 0 &&
                            plugin_.sdk->CreateVMSnapshot(v.sourceDevice, v.sourceGuid, true, "", v.jobId,
                                                          snap.uniqueIdentifier, disks, ref);
            snap.status = ok ? SM_SNAP_STATUS_SUCCESS : SM_SNAP_STATUS_FAILED;
            info.addSnap(static_cast<int>(i), snap);
        }
        return true;
    }

private:
    SnapPlugin& plugin_;
    std::set<std::string> failing_;
};

const SVMBasicInfo kWeb{"web-linux01", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};
const SVMBasicInfo kLegacy{"legacy-vm01", "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", "rg-legacy"};
const char* const kPreSnapTag = "virtual int CAzureInfo::PreSnap(MountCtx&)";
const char* const kBuildTag = "bool CAzureInfo::_BuildVolListForSnapshot(const MountCtx&)";

class SnapPhase : public ::testing::Test {
protected:
    SnapPhase() : cloud(testsupport::SimulatedCloud::Seed::Demo) {
        CVMSnapUtil::SetCatalogRoot(dir.path() + "/catalog");
        plugin.Connect(testsupport::SimulatedCloud::kSubscriptionId, testsupport::SimulatedCloud::kApplicationId,
                       testsupport::SimulatedCloud::kSecret);
    }
    ~SnapPhase() override {
        CVMSnapUtil::InstallEngine(nullptr);
        CVMSnapUtil::SetCatalogRoot("");
        for (const char* key : {"bSkipDataDisksForBackup", "bAllowPartialHWSnapshot"})
            NXPlatformInfo::removeValue("VirtualServer", key);
    }
    MountCtx Job(std::vector<SVMBasicInfo> vms, std::set<std::string> failing = {}) {
        CVMSnapUtil::InstallEngine(std::make_shared<WrapperEngine>(plugin, std::move(failing)));
        MountCtx ctx;
        ctx.jobId = (1LL << 32) + 9;  // past 32 bits: every file must carry the whole id
        ctx.isSnapJob = true;
        ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
        ctx.metadataDir = dir.path() + "/meta";
        ctx.vmList = std::move(vms);
        return ctx;
    }
    std::vector<snapcatalog::ArchiveFile> Archives(NXJobID jobId) {
        std::vector<snapcatalog::ArchiveFile> files;
        std::string error;
        EXPECT_TRUE(snapcatalog::ListArchiveFiles(jobId, files, error)) << error;
        return files;
    }

    testsupport::TempDir dir;
    testsupport::SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 9};
    EvLogCapture log;
    SnapPlugin plugin{VSINST_AZURE_RESOURCE_MANAGER, 0};
};

}  // namespace

TEST_F(SnapPhase, EveryVmIsSnappedAtOnceAndTheJobXmlRecordsThemWithTheirArchiveFiles) {
    MountCtx ctx = Job({kWeb, kLegacy});
    ASSERT_EQ(1, plugin.PreSnap(ctx)) << plugin.GetLastVMErrorDetails();
    const std::string xml = ctx.metadataDir + "/backup_" + std::to_string(ctx.jobId) + ".xml";
    EXPECT_EQ(std::vector<std::string>{xml}, plugin.indexUploadFiles);
    EXPECT_EQ(ctx.jobId, ctx.refJobId);
    ASSERT_EQ(2u, Archives(ctx.jobId).size());

    std::vector<SDatastoreInfo> datastores;
    ASSERT_TRUE(plugin.ReadDSListFromSnapBackupXML(ctx, datastores));
    std::map<std::string, SVMInfo> byGuid;
    for (const SDatastoreInfo& ds : datastores)
        for (const SVMInfo& vm : ds.vmList) byGuid[vm.guid] = vm;
    ASSERT_EQ(2u, byGuid.size());
    for (const SVMBasicInfo& vm : {kWeb, kLegacy}) {
        EXPECT_EQ(0u, byGuid[vm.guid].snapStatus);
        EXPECT_NE(0u, byGuid[vm.guid].archiveFileId);
        std::string guid;
        ASSERT_TRUE(plugin._GetSnapIdFromVolSnap(vm.guid, guid));
        EXPECT_EQ(ctx.vmInfoByGuid[vm.guid].snapshotGuid, guid);
        EXPECT_FALSE(guid.empty());
    }
    std::string none;
    EXPECT_FALSE(plugin._GetSnapIdFromVolSnap("no-such-vm", none));  // no other VM's snapshot stands in

    // The status of one VM is updated in the job XML; a zero code writes nothing.
    ctx.vmName = kLegacy.name;
    ctx.vmGuid = kLegacy.guid;
    EXPECT_FALSE(plugin.SetVMStatusInSnapMetadataXml(ctx, VMINFO_ERR_NONE, "x"));
    ASSERT_TRUE(plugin.SetVMStatusInSnapMetadataXml(ctx, VMINFO_ERR_SNAP_CONFIG_FETCH, "gone"));
    ASSERT_TRUE(plugin.ReadDSListFromSnapBackupXML(ctx, datastores));
    for (const SDatastoreInfo& ds : datastores)
        for (const SVMInfo& vm : ds.vmList) EXPECT_EQ(vm.guid == kLegacy.guid ? 28u : 0u, vm.snapStatus);
}

TEST_F(SnapPhase, FailedVmsKeepTheirOwnStatusWhileTheOthersAreSnapped) {
    struct Row {
        const char* name;
        std::vector<SVMBasicInfo> vms;
        std::set<std::string> failingSnapshots;
        bool allowPartial;
        int result;
        std::map<std::string, std::uint32_t> statuses;
    };
    const SVMBasicInfo missing{"no-such-vm", "00000000-0000-4000-8000-000000000001", "rg-prod"};
    const SVMBasicInfo hostile{"../web", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};
    const std::vector<Row> rows{
        {"look-up fails for one", {kWeb, missing}, {}, true, 1, {{kWeb.guid, 0}, {missing.guid, 1}}},
        {"look-up fails for all", {missing}, {}, true, 0, {{missing.guid, 1}}},
        {"a name that leaves its folder", {hostile}, {}, true, 0, {{hostile.guid, 1}}},
        {"snapshot fails, partial allowed", {kWeb, kLegacy}, {kLegacy.guid}, true, 1,
         {{kWeb.guid, 0}, {kLegacy.guid, 39}}},
        {"snapshot fails, partial refused", {kWeb, kLegacy}, {kLegacy.guid}, false, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NXPlatformInfo::setValue("VirtualServer", "bAllowPartialHWSnapshot", row.allowPartial ? "1" : "0");
        SnapPlugin fresh(VSINST_AZURE_RESOURCE_MANAGER, 0);
        fresh.Connect(testsupport::SimulatedCloud::kSubscriptionId, testsupport::SimulatedCloud::kApplicationId,
                      testsupport::SimulatedCloud::kSecret);
        MountCtx ctx = Job(row.vms, row.failingSnapshots);
        CVMSnapUtil::InstallEngine(std::make_shared<WrapperEngine>(fresh, row.failingSnapshots));
        ctx.jobId = static_cast<NXJobID>(&row - rows.data()) + 100;
        EXPECT_EQ(row.result, fresh.PreSnap(ctx));
        if (!row.failingSnapshots.empty()) {
            EXPECT_EQ(row.allowPartial,
                      (fresh.volSnapInfo.getSnapActionFlagsEx() & VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP) != 0);
        }
        for (const auto& [guid, status] : row.statuses) EXPECT_EQ(status, ctx.vmInfoByGuid[guid].snapStatus) << guid;
        // Only VMs that were looked up get a volume; a failed snapshot invalidates that VM's archive file alone.
        std::size_t valid = 0;
        for (const snapcatalog::ArchiveFile& file : Archives(ctx.jobId)) valid += file.valid ? 1 : 0;
        std::size_t ok = 0;
        for (const auto& [guid, status] : row.statuses) ok += status == 0 ? 1 : 0;
        EXPECT_EQ(row.result == 1 ? ok : 0u, valid);
        if (row.result == 0 && row.vms.size() == 1) {
            EXPECT_EQ(VMINFO_ERR_SNAP_VOLUME_LIST, fresh.GetLastVMError());
            EXPECT_TRUE(log.contains(kBuildTag, "No VMs selected for snap backup"));
        }
    }
}

TEST_F(SnapPhase, DataDisksAndFilteredOsDisksDecideWhetherAVmIsSnapped) {
    NXPlatformInfo::setValue("VirtualServer", "bSkipDataDisksForBackup", "1");
    SnapPlugin skipping(VSINST_AZURE_RESOURCE_MANAGER, 0);
    skipping.Connect(testsupport::SimulatedCloud::kSubscriptionId, testsupport::SimulatedCloud::kApplicationId,
                     testsupport::SimulatedCloud::kSecret);
    MountCtx ctx = Job({kWeb});
    CVMSnapUtil::InstallEngine(std::make_shared<WrapperEngine>(skipping, std::set<std::string>{}));
    ASSERT_EQ(1, skipping.PreSnap(ctx)) << skipping.GetLastVMErrorDetails();
    for (const SDisk& disk : ctx.vmInfoByGuid[kWeb.guid].disks) EXPECT_TRUE(disk.isOsDisk);
    for (const SDisk& disk : ctx.filteredDisksByVm[kWeb.guid]) EXPECT_FALSE(disk.isOsDisk);
    ASSERT_NE(0u, ctx.filteredDiskCount);
    EXPECT_EQ(ctx.filteredDisksByVm[kWeb.guid].size(), ctx.filteredDiskCount);
    ASSERT_EQ(1u, skipping.volSnapInfo.volumes.size());
    EXPECT_EQ(1u, skipping.volSnapInfo.volumes[0].transientMetadata.count(SM_TRANSIENT_FILTERED_DISKS));

    // With the data disks skipped, a rule that filters the OS disk leaves the VM nothing to snap.
    MountCtx filtered = Job({kWeb});
    filtered.jobId = 2;
    filtered.diskFilters.push_back({DISK_FILTER_BY_TYPE, "OS Disk", ""});
    CVMSnapUtil::InstallEngine(std::make_shared<WrapperEngine>(skipping, std::set<std::string>{}));
    EXPECT_EQ(0, skipping.PreSnap(filtered));
    EXPECT_EQ(static_cast<std::uint32_t>(VMINFO_ERR_ALL_DISKS_FILTERED), filtered.vmInfoByGuid[kWeb.guid].snapStatus);
    MountCtx again = Job({kWeb});
    again.jobId = 3;
    CVMSnapUtil::InstallEngine(std::make_shared<WrapperEngine>(skipping, std::set<std::string>{}));
    ASSERT_EQ(1, skipping.PreSnap(again));
    EXPECT_EQ(1u, skipping.volSnapInfo.volumes.size());  // nothing of an earlier job is snapped again
}

TEST_F(SnapPhase, AJobOnAnotherEngineOrWithoutArchiveFilesSnapsNothing) {
    MountCtx other = Job({kWeb});
    other.snapEngine = SNAP_ENGINE_STORAGE_ARRAY;
    EXPECT_EQ(0, plugin.PreSnap(other));
    EXPECT_TRUE(log.contains(kPreSnapTag, "Azure snap backup is being attempted with an unsupported engine [10]"));

    // Without a catalog no archive file can be made: the VM fails on its own and nothing is snapped.
    MountCtx ctx = Job({kWeb});
    CVMSnapUtil::SetCatalogRoot("");
    EXPECT_EQ(0, plugin.PreSnap(ctx));
    EXPECT_EQ(static_cast<std::uint32_t>(VMINFO_ERR_SNAP_ARCHIVE_FILE), ctx.vmInfoByGuid[kWeb.guid].snapStatus);
    EXPECT_TRUE(plugin.volSnapInfo.volumes.empty());
    EXPECT_TRUE(azsim::SubscriptionState(cloud.dir()).load().snapshotSets.empty());
}

// The snapshot phase of a snapshot-engine job and its metadata, against the demo subscription.
#include "tests/plugin/snap/SnapFixture.h"

namespace snaptest {
namespace {

const char* const kPreSnapTag = "virtual int CAzureInfo::PreSnap(MountCtx&)";
const char* const kBuildTag = "bool CAzureInfo::_BuildVolListForSnapshot(const MountCtx&)";

TEST_F(SnapPhase, EveryVmIsSnappedAtOnceAndTheJobXmlRecordsThemWithTheirArchiveFiles) {
    MountCtx ctx = SnapJob({kWeb, kLegacy});
    SnapPlugin& plugin = *snapPlugin;
    const std::string xml = ctx.metadataDir + "/backup_" + std::to_string(ctx.jobId) + ".xml";
    EXPECT_EQ(std::vector<std::string>{xml}, plugin.indexUploadFiles);
    ASSERT_EQ(2u, Archives(ctx.jobId).size());
    for (const SVMBasicInfo& vm : {kWeb, kLegacy}) {
        std::string guid;
        ASSERT_TRUE(plugin._GetSnapIdFromVolSnap(vm.guid, guid));
        EXPECT_EQ(ctx.vmInfoByGuid[vm.guid].snapshotGuid, guid);
        EXPECT_FALSE(guid.empty());
    }
    std::string none;
    EXPECT_FALSE(plugin._GetSnapIdFromVolSnap("no-such-vm", none));  // no other VM's snapshot stands in

    // The job XML holds every VM with its archive file; one VM's status is updated there, a zero code writes nothing.
    ctx.vmName = kLegacy.name;
    ctx.vmGuid = kLegacy.guid;
    EXPECT_FALSE(plugin.SetVMStatusInSnapMetadataXml(ctx, VMINFO_ERR_NONE, "x"));
    ASSERT_TRUE(plugin.SetVMStatusInSnapMetadataXml(ctx, VMINFO_ERR_SNAP_CONFIG_FETCH, "gone"));
    std::vector<SDatastoreInfo> datastores;
    ASSERT_TRUE(plugin.ReadDSListFromSnapBackupXML(ctx, datastores));
    std::set<std::string> recorded;
    for (const SDatastoreInfo& ds : datastores)
        for (const SVMInfo& vm : ds.vmList) {
            EXPECT_EQ(vm.guid == kLegacy.guid ? 28u : 0u, vm.snapStatus);
            EXPECT_NE(0u, vm.archiveFileId);
            recorded.insert(vm.guid);
        }
    EXPECT_EQ(recorded, (std::set<std::string>{kWeb.guid, kLegacy.guid}));
}

TEST_F(SnapPhase, FailedVmsKeepTheirOwnStatusWhileTheOthersAreSnapped) {
    struct Row {
        const char* name;
        std::vector<SVMBasicInfo> vms;
        std::string failingSnapshot;
        bool allowPartial;
        int result;
        std::map<std::string, std::uint32_t> statuses;
    };
    const SVMBasicInfo missing{"no-such-vm", "00000000-0000-4000-8000-000000000001", "rg-prod"};
    const SVMBasicInfo hostile{"../web", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};
    const std::vector<Row> rows{
        {"look-up fails for one", {kWeb, missing}, "", true, 1, {{kWeb.guid, 0}, {missing.guid, 1}}},
        {"look-up fails for all", {missing}, "", true, 0, {{missing.guid, 1}}},
        {"a name that leaves its folder", {hostile}, "", true, 0, {{hostile.guid, 1}}},
        {"snapshot fails, partial allowed", {kWeb, kLegacy}, kLegacy.guid, true, 1,
         {{kWeb.guid, 0}, {kLegacy.guid, 39}}},
        {"snapshot fails, partial refused", {kWeb, kLegacy}, kLegacy.guid, false, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NXPlatformInfo::setValue("VirtualServer", "bAllowPartialHWSnapshot", row.allowPartial ? "1" : "0");
        NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", row.failingSnapshot);
        auto fresh = Connected();
        MountCtx ctx = Job(row.vms);
        ctx.jobId = static_cast<NXJobID>(&row - rows.data()) + 100;
        EXPECT_EQ(row.result, fresh->PreSnap(ctx));
        for (const auto& [guid, status] : row.statuses) EXPECT_EQ(status, ctx.vmInfoByGuid[guid].snapStatus) << guid;
        // Only VMs that were looked up get a volume; a failed snapshot invalidates that VM's archive file alone.
        std::size_t valid = 0;
        for (const snapcatalog::ArchiveFile& file : Archives(ctx.jobId)) valid += file.valid ? 1 : 0;
        std::size_t ok = 0;
        for (const auto& [guid, status] : row.statuses) ok += status == 0 ? 1 : 0;
        EXPECT_EQ(row.result == 1 ? ok : 0u, valid);
        if (row.result == 0 && row.vms.size() == 1) {
            EXPECT_EQ(VMINFO_ERR_SNAP_VOLUME_LIST, fresh->GetLastVMError());
            EXPECT_TRUE(log.contains(kBuildTag, "No VMs selected for snap backup"));
        }
    }
}

TEST_F(SnapPhase, DataDisksAndFilteredOsDisksDecideWhetherAVmIsSnapped) {
    NXPlatformInfo::setValue("VirtualServer", "bSkipDataDisksForBackup", "1");
    auto skipping = Connected();
    MountCtx ctx = Job({kWeb});
    ASSERT_EQ(1, skipping->PreSnap(ctx)) << skipping->GetLastVMErrorDetails();
    for (const SDisk& disk : ctx.vmInfoByGuid[kWeb.guid].disks) EXPECT_TRUE(disk.isOsDisk);
    for (const SDisk& disk : ctx.filteredDisksByVm[kWeb.guid]) EXPECT_FALSE(disk.isOsDisk);
    ASSERT_NE(0u, ctx.filteredDiskCount);
    EXPECT_EQ(ctx.filteredDisksByVm[kWeb.guid].size(), ctx.filteredDiskCount);
    ASSERT_EQ(1u, skipping->volSnapInfo.volumes.size());
    EXPECT_EQ(1u, skipping->volSnapInfo.volumes[0].transientMetadata.count(SM_TRANSIENT_FILTERED_DISKS));

    // With the data disks skipped, a rule that filters the OS disk leaves the VM nothing to snap.
    MountCtx filtered = Job({kWeb});
    filtered.jobId = 2;
    filtered.diskFilters.push_back({DISK_FILTER_BY_TYPE, "OS Disk", ""});
    EXPECT_EQ(0, skipping->PreSnap(filtered));
    EXPECT_EQ(static_cast<std::uint32_t>(VMINFO_ERR_ALL_DISKS_FILTERED), filtered.vmInfoByGuid[kWeb.guid].snapStatus);
    MountCtx again = Job({kWeb});
    again.jobId = 3;
    ASSERT_EQ(1, skipping->PreSnap(again));
    EXPECT_EQ(1u, skipping->volSnapInfo.volumes.size());  // nothing of an earlier job is snapped again
}

TEST_F(SnapPhase, AJobOnAnotherEngineOrWithoutArchiveFilesSnapsNothing) {
    auto plugin = Connected();
    MountCtx other = Job({kWeb});
    other.snapEngine = SNAP_ENGINE_STORAGE_ARRAY;
    EXPECT_EQ(0, plugin->PreSnap(other));
    EXPECT_TRUE(log.contains(kPreSnapTag, "Azure snap backup is being attempted with an unsupported engine [10]"));

    // Without a catalog no archive file can be made: the VM fails on its own and nothing is snapped.
    MountCtx ctx = Job({kWeb});
    CVMSnapUtil::SetCatalogRoot("");
    EXPECT_EQ(0, plugin->PreSnap(ctx));
    EXPECT_EQ(static_cast<std::uint32_t>(VMINFO_ERR_SNAP_ARCHIVE_FILE), ctx.vmInfoByGuid[kWeb.guid].snapStatus);
    EXPECT_TRUE(plugin->volSnapInfo.volumes.empty());
    EXPECT_TRUE(State().snapshotSets.empty());
}

}  // namespace
}  // namespace snaptest

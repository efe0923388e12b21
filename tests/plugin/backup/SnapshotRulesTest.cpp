// Snapshot-set rules: count limit, expiry sweep, disk filters, Ultra SSD, reference points, media-link URIs.
#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <tuple>

#include "host/message/VMReferencePointInfo.h"
#include "tests/plugin/backup/BackupFixture.h"

namespace backuptest {
namespace {

using Rules = BackupFlow<DemoCloud>;
const char* const kLimitTag = "bool CAzureInfo::CheckVMBackupSnapshotLimit(const string&, const string&, bool&)";
const char* const kExpiryTag =
    "bool CAzureInfo::DeleteExpiredSnapshots(const string&, const string&, const std::vector<std::basic_string<char> "
    ">&)";
const char* const kCheckTag =
    "bool CAzureInfo::ExpireAndCheckStreamingSnapshotLimits(const string&, const string&, const string&, const "
    "std::vector<std::basic_string<char> >&, bool&)";
const char* const kPostTag = "virtual int CAzureInfo::PostBackupVM(const MountCtx&)";
const char* const kParseTag =
    "bool CAzureInfo::ParseMediaLinkURI(const string&, std::string&, std::string&, std::string&, std::string&)";

// Unset, the limit is 10 and the expiry 48 hours; a failed sweep only logs.
TEST_F(Rules, LimitCountsTheNewSetAndFailsWith73AtTheLimit) {
    OldSets(kWeb, 8, 1);
    auto plugin = Connected();
    Fault("DeleteExpiredSnapshots", 0, "Throttled");
    Mounted(*plugin, Ctx(kWeb));  // 8 + the new set = 9
    EXPECT_EQ(cloud.journal("DeleteExpiredSnapshots").back()["args"]["expiryHours"], 48);
    EXPECT_TRUE(log.containsError(kCheckTag, "Failed to remove expired snapshots from VM [web-linux01]"));

    Refused(*plugin, Ctx(kWeb), VMINFO_ERR_SNAPSHOT_LIMIT);  // 9 + the new set = 10
    EXPECT_TRUE(log.containsError(kLimitTag, "There are [10] existing backup snapshots for VM [web-linux01], limit is [10]"));
    EXPECT_TRUE(log.containsError(kDriverTag, std::string("VM [") + kWeb.guid +
                                                  "] is at max number of snapshots for streaming backups."));
    EXPECT_EQ(SetGuids().size(), 9u);  // the refused mount removed its own set

    NXPlatformInfo::setValue("VirtualServer", "nExpireSnapshotHours", "5");
    NXPlatformInfo::setValue("VirtualServer", "nBackupSnapshotLimit", "11");
    Mounted(*plugin, Ctx(kWeb));  // 9 + the new set = 10, under 11
    EXPECT_EQ(cloud.journal("DeleteExpiredSnapshots").back()["args"]["expiryHours"], 5);
    EXPECT_TRUE(log.contains(kExpiryTag, "nSnapshotExpiryInHours [5]"));

    NXPlatformInfo::setValue("VirtualServer", "nBackupSnapshotLimit", "0");
    Mounted(*plugin, Ctx(kWeb));
    EXPECT_TRUE(log.containsError(kCheckTag, "Failed to check VM snapshot limit for VM VM [web-linux01]"));
}

TEST_F(Rules, ExpirySweepTreatsZeroAs48HoursKeepsTheReferenceAndHonoursTheSkipSetting) {
    NXPlatformInfo::setValue("VirtualServer", "nExpireSnapshotHours", "0");
    std::vector<std::string> old = OldSets(kWeb, 2, 49);
    std::vector<std::string> young = OldSets(kWeb, 1, 47);
    auto plugin = Connected();
    plugin->referenceSnapshotId = old[1];
    MountCtx ctx = Mounted(*plugin, Ctx(kWeb));
    EXPECT_TRUE(log.contains(kExpiryTag, "nSnapshotExpiryInHours [48]"));
    auto sweep = cloud.journal("DeleteExpiredSnapshots");
    ASSERT_EQ(sweep.size(), 1u);
    EXPECT_EQ(nlohmann::json({48, {old[1]}}),
              nlohmann::json({sweep[0]["args"]["expiryHours"], sweep[0]["args"]["keepSnapshots"]}));
    EXPECT_EQ(SetGuids(), (std::vector<std::string>{old[1], young[0], ctx.backupSnapshotGuid}));

    NXPlatformInfo::setValue("VirtualServer", "bSkipDeleteSnapshotsForAzure", "1");
    plugin->referenceSnapshotId.clear();
    Mounted(*plugin, Ctx(kWeb));
    EXPECT_TRUE(log.contains(kCheckTag, "Skipping deleting of expired snapshots due to registry override for VM [web-linux01]"));
    EXPECT_EQ(cloud.journal("DeleteExpiredSnapshots").size(), 1u);
    EXPECT_EQ(SetGuids().size(), 4u);
}

// Filters, Ultra SSD disks and the data-disk setting drop disks before the snapshot; a mount left without disks
// fails (65, or 260 when Ultra SSD disks were all that was left).
TEST_F(Rules, FiltersAndUltraSsdDropDisksBeforeTheSnapshotAndFailWhenNoneIsLeft) {
    auto plugin = Connected();
    MountCtx all = Ctx(kWeb);
    all.diskFilters.push_back({DISK_FILTER_BY_PATTERN, "WEB-linux01-*", ""});
    all = Refused(*plugin, all, VMINFO_ERR_ALL_DISKS_FILTERED);
    EXPECT_EQ(all.filteredDiskCount, 3u);
    EXPECT_TRUE(log.containsError("bool CAzureInfo::ExcludeFilteredDisks(const MountCtx&)",
                                  "All the disks of the VM are filtered."));
    EXPECT_TRUE(cloud.journal("CreateDiskSnapshots").empty());

    MountCtx byRules = Ctx(kWeb);
    byRules.diskFilters = {{DISK_FILTER_BY_TYPE, "os disk", ""}, {DISK_FILTER_BY_TAG, "no-such-tag", "*"},
                           {DISK_FILTER_BY_PATH, "https://*/nothing/*.vhd", ""}};
    ASSERT_EQ(plugin->MountVM(byRules), 1);
    EXPECT_EQ(byRules.vmInfo.disks.size(), 2u);
    EXPECT_TRUE(log.contains("virtual bool CAzureInfo::IsDiskFilteredByType(const string&, const VMInfoStructs::SDisk&)",
                             "Disk [web-linux01-osdisk] is filtered as it is [os disk]"));

    // Ultra SSD disks become failure entries, and fail the mount (260) when no other disk is left.
    MountCtx mixed = Mounted(*plugin, Ctx(kUltra));
    EXPECT_EQ("Snapshots for Ultra SSD disks are not supported by Azure", OnlyFailure(mixed));
    EXPECT_EQ(mixed.vmInfo.disks.size(), 1u);
    EXPECT_TRUE(log.contains("bool CAzureInfo::ExcludeUltraSsdDisks(const MountCtx&)",
                             "Skipping disk [ultra-vm01-ultra0] as it is detected as Ultra SSD"));

    MountCtx three;
    for (const char* type : {"Premium_LRS", "UltraSSD_LRS", "StandardSSD_LRS"}) {
        three.vmInfo.disks.emplace_back().volumeType = type;
        three.vmInfo.disks.back().name = "d" + std::to_string(three.vmInfo.disks.size() - 1);
    }
    ASSERT_TRUE(plugin->ExcludeUltraSsdDisks(three));
    ASSERT_EQ(three.vmInfo.disks.size(), 2u);
    EXPECT_EQ("d2 Snapshots for Ultra SSD disks are not supported by Azure",
              three.vmInfo.disks[1].name + " " + OnlyFailure(three));

    MountCtx only = Ctx(kUltra);
    only.diskFilters.push_back({DISK_FILTER_BY_TYPE, "OS Disk", ""});
    Refused(*plugin, only, VMINFO_ERR_ALL_DISKS_ULTRA_SSD);
    EXPECT_TRUE(log.containsError("bool CAzureInfo::ExcludeUltraSsdDisks(const MountCtx&)",
                                  "All the disks of the VM are Ultra SSD."));

    NXPlatformInfo::setValue("VirtualServer", "bSkipDataDisksForBackup", "1");
    auto osOnly = Connected();
    MountCtx skip = Mounted(*osOnly, Ctx(kWeb));
    EXPECT_EQ(std::make_tuple(2u, 1u, true), std::make_tuple(skip.filteredDiskCount, skip.vmInfo.disks.size(),
                                                             skip.vmInfo.disks.size() == 1 && skip.vmInfo.disks[0].isOsDisk));
    EXPECT_TRUE(log.contains("bool CAzureInfo::ExcludeFilteredDisks(const MountCtx&)",
                             "Filtering Data disk [web-linux01-data1]"));
    EXPECT_EQ(State().findSnapshotSet(skip.backupSnapshotGuid)->members.size(), 1u);

    // A legacy VM's blob rule matches a bare path under any account.
    MountCtx legacy = Ctx(kLegacy);
    legacy.diskFilters = {{DISK_FILTER_BY_PATH, "vhds/*data0.vhd", ""}, {DISK_FILTER_BY_DATASTORE, "LEGACYSTORE01", ""}};
    Refused(*osOnly, legacy, VMINFO_ERR_ALL_DISKS_FILTERED);
}

// Without change tracking nothing is written and the set is left to the unmount. With it, this set becomes the
// reference and the previous set is deleted (softly: a failure's text becomes the details), unless it is the full
// backup's set of a differential (named by the change-id base, without case), the job is a backup copy or the skip
// setting is on.
TEST_F(Rules, PostBackupKeepsThisSetAsReferenceAndDeletesThePreviousOneWhenAllowed) {
    std::vector<std::string> previous = OldSets(kWeb, 3, 1);
    auto plugin = Connected();
    MountCtx untracked = Mounted(*plugin, Ctx(kWeb));
    ASSERT_EQ(plugin->PostBackupVM(untracked), 1);
    EXPECT_TRUE(untracked.referencePoint.empty());
    ASSERT_EQ(plugin->UnmountVM(untracked), 1);
    EXPECT_EQ(SetGuids(), previous);

    plugin->referenceSnapshotId = previous[0];
    MountCtx ctx = Mounted(*plugin, Ctx(kWeb));
    const std::string current = ctx.backupSnapshotGuid;
    ctx.cbtEnabled = true;  // as change tracking would have left it
    ASSERT_EQ(plugin->PostBackupVM(ctx), 1);
    VirtualServer::VMReferencePointInfo reference;
    ASSERT_EQ(reference.unserialize(ctx.referencePoint), 0);
    EXPECT_EQ(current + "|" + current,  // the change id, and the set it names
              reference.getstring(1, 1, 0x1aeef26a, 0xe4072f) + "|" + reference.getstring(3, 9, 0x1aeef26a, 0x2e1faf));
    EXPECT_TRUE(log.contains(kPostTag, "Cleaning up snapshots for VM SnapshotID [" + previous[0] + "]"));
    ASSERT_EQ(plugin->UnmountVM(ctx), 1);
    EXPECT_EQ(SetGuids(), (std::vector<std::string>{previous[1], previous[2], current}));

    // Without the differential setting, a reference equal to the change-id base is an ordinary previous set.
    plugin->referenceSnapshotId = previous[1];
    plugin->changeIdBase = previous[1];
    MountCtx ordinary = Mounted(*plugin, Ctx(kWeb));
    ordinary.cbtEnabled = true;
    ASSERT_EQ(plugin->PostBackupVM(ordinary), 1);
    EXPECT_EQ(State().findSnapshotSet(previous[1]), nullptr);

    NXPlatformInfo::setValue("VirtualServer", "nEnableCBTForDifferential", "1");
    std::string upper = current;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    ASSERT_NE(upper, current);
    plugin->referenceSnapshotId = current;
    plugin->changeIdBase = upper;
    MountCtx next = Mounted(*plugin, Ctx(kWeb));
    next.cbtEnabled = true;
    ASSERT_EQ(plugin->PostBackupVM(next), 1);
    EXPECT_TRUE(log.contains(kPostTag, "Skipping cleanup of SnapshotID [" + current +
                                           "] as this is for a full backup job"));
    ASSERT_EQ(reference.unserialize(next.referencePoint), 0);
    EXPECT_EQ(reference.getstring(1, 1, 0x1aeef26a, 0xe4072f), upper);
    EXPECT_NE(State().findSnapshotSet(current), nullptr);

    NXPlatformInfo::removeValue("VirtualServer", "nEnableCBTForDifferential");
    Fault("DeleteDiskSnapshots", 0, "SnapshotInUse");
    next.vmInfo.snapshotGuid = "fresh";
    EXPECT_EQ(plugin->PostBackupVM(next), 1);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "SnapshotInUse");

    plugin->referenceSnapshotId = previous[2];
    plugin->changeIdBase.clear();
    for (const bool backupCopy : {true, false}) {  // a backup copy, then any job with the skip setting on
        if (!backupCopy) NXPlatformInfo::setValue("VirtualServer", "bSkipDeleteSnapshotsForAzure", "1");
        MountCtx kept = Ctx(kWeb);
        kept.isBackupCopy = backupCopy;
        kept.cbtEnabled = true;
        kept.vmInfo.snapshotGuid = backupCopy ? "copied-set" : "kept-set";
        ASSERT_EQ(plugin->PostBackupVM(kept), 1);
        EXPECT_FALSE(kept.referencePoint.empty());
        EXPECT_NE(State().findSnapshotSet(previous[2]), nullptr) << backupCopy;
    }
}

// The local VM look-up of a browse unmount throws.
struct BrokenLocalVmPlugin : TestPlugin {
    using TestPlugin::TestPlugin;
    int GetLocalVMInfo(SVMInfo&, UINT64, int) override { throw std::logic_error("query broke"); }
};

TEST_F(Rules, UnmountAndCleanupTouchOnlyWhatTheirJobOwnsAndTurnExceptionsIntoCodes) {
    auto plugin = Connected();
    MountCtx ctx = Mounted(*plugin, Ctx(kWeb));
    const std::string set = ctx.backupSnapshotGuid;

    MountCtx snapJob = ctx;
    snapJob.isSnapJob = true;
    EXPECT_EQ(plugin->UnmountVM(snapJob), 1);
    EXPECT_TRUE(log.contains(kUnmountTag, "Skipping unmount of VM [web-linux01] for snap job"));
    MountCtx copy = ctx;
    copy.isBackupCopy = true;
    EXPECT_EQ(plugin->UnmountVM(copy), 1);
    EXPECT_EQ(plugin->CleanupVM(copy), 1);
    MountCtx moved = ctx;
    moved.mountPath = mountDir.path() + "/gone";
    EXPECT_EQ(plugin->UnmountVM(moved), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_MOUNT_DIR_MISSING);
    EXPECT_EQ(SetGuids(), std::vector<std::string>{set});
    EXPECT_TRUE(cloud.journal("CleanupVMSnapshot").empty());

    // Only snapshots named by this plugin have their access revoked.
    MountCtx foreign = ctx;
    foreign.backupSnapshotGuid.clear();
    foreign.vmInfo.disks.resize(2);
    foreign.vmInfo.disks[0].managedDiskId = "/subscriptions/s/resourceGroups/rg-prod/providers/x/snapshots/manual-snap";
    foreign.vmInfo.disks[1].managedDiskId = "/rg-prod/snap_QDMD_1";
    const size_t revoked = cloud.journal("RevokeSASToken").size();
    EXPECT_EQ(plugin->UnmountVM(foreign), 1);
    EXPECT_EQ(cloud.journal("RevokeSASToken").size(), revoked);

    const char* const cleanupTag = "virtual int CAzureInfo::CleanupVM(const MountCtx&)";
    Fault("CleanupVMSnapshot", 0, "Conflict");
    EXPECT_EQ(plugin->CleanupVM(ctx), 0);
    EXPECT_TRUE(log.containsError(cleanupTag, "Failed to remove snapshotGuid [" + set + "] on VM [web-linux01] Guid [" +
                                                  kWeb.guid + "]"));
    EXPECT_EQ(plugin->CleanupVM(ctx), 1);
    EXPECT_TRUE(log.contains(cleanupTag, "Successfully removed snapshotGuid [" + set + "] on VM [web-linux01] Guid [" +
                                             kWeb.guid + "]"));
    EXPECT_TRUE(SetGuids().empty());
    MountCtx none = Ctx(kWeb);
    EXPECT_EQ(plugin->CleanupVM(none), 1);
    EXPECT_EQ(cloud.journal("CleanupVMSnapshot").size(), 2u);

    // An exception inside an unmount fails it with a code and text.
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

TEST_F(Rules, MediaLinkUrisParseAndHostileInputIsRefused) {
    auto plugin = Connected();
    const std::pair<std::string, std::string> good[] = {
        {"https://acct.blob.core.windows.net/vhds/os.vhd", "acct|vhds|os.vhd|unchanged"},
        {"https://acct.blob.core.windows.net/a/b/disk.vhd?snapshot=2021-07-15T10:00:00.0000000Z",
         "acct|a\\b|disk.vhd|2021-07-15T10_00_00.0000000Z"},
        {"http://x.blob.core.windows.net/c/d.vhd?sig=a/b&snapshot=1", "x|c|d.vhd|1"}};
    std::string account, container, blob, snapshot;
    for (const auto& g : good) {
        snapshot = "unchanged";
        ASSERT_TRUE(plugin->ParseMediaLinkURI(g.first, account, container, blob, snapshot)) << g.first;
        EXPECT_EQ(account + "|" + container + "|" + blob + "|" + snapshot, g.second);
    }
    for (const std::string& bad : {std::string("acct.blob.core.windows.net/vhds/os.vhd"),
                                   std::string("https://acct.blob.core.windows.net"),
                                   std::string("https://acct.blob.core.windows.net/os.vhd"),
                                   std::string("https://acct.example.org/vhds/os.vhd")}) {
        EXPECT_FALSE(plugin->ParseMediaLinkURI(bad, account, container, blob, snapshot)) << bad;
        EXPECT_TRUE(log.containsError(kParseTag, "could not parse disk filename: [" + bad + "]")) << bad;
    }
    const std::string longAccount(100000, 'a');
    ASSERT_TRUE(plugin->ParseMediaLinkURI("https://" + longAccount + ".blob.core.windows.net/c/" +
                                              std::string(5000, 'b'),
                                          account, container, blob, snapshot));
    EXPECT_EQ(account, longAccount);
    EXPECT_EQ(blob.size(), 5000u);
}

}  // namespace
}  // namespace backuptest

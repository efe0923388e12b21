// Reverts and restores of a VM from the snapshots a snap job kept, through the simulated subscription.
#include <functional>

#include "azsim/blob/PageBlobStore.h"
#include "tests/plugin/snap/SnapFixture.h"

namespace snaptest {
namespace {

const char* const kPrepareTag = "bool CAzureInfo::_PrepareForFileRevert(MountCtx&, const RestoreCtx&)";
const char* const kPreSnapTag = "bool CAzureInfo::_PreRestoreVM_Snap(const RestoreCtx&)";
const char* const kRevertTag = "virtual int CAzureInfo::RevertSnap(MountCtx&, const RestoreCtx&)";
constexpr std::uint64_t kWindow = 4 << 20;

class RevertPlugin : public SnapPlugin {
public:
    using SnapPlugin::SnapPlugin;
    using CAzureInfo::_PrepareForFileRevert;
    using CAzureInfo::_PreRestoreVM_Snap;
    using CAzureInfo::osDiskName;
};

class SnapRevert : public SnapTest {
protected:
    // Every wait moves a fixed clock on by its length, so that disk names stamped one wait apart differ.
    SnapRevert() {
        NxClock::fix(std::chrono::system_clock::now());
        previousSleep =
            NxSetSleepHook([](unsigned long ms) { NxClock::fix(NxClock::now() + std::chrono::milliseconds(ms)); });
    }
    ~SnapRevert() override {
        NxSetSleepHook(previousSleep);
        NxClock::unfix();
    }
    // The snap job of `vms` with every VM's configuration file in the index; its VMs as recorded.
    std::vector<SVMInfo> Snapped(const std::vector<SVMBasicInfo>& vms, NXJobID job = kSnapJob) {
        snapPlugin = Connected();
        MountCtx snap = Job(vms);
        snap.jobId = job;
        EXPECT_EQ(1, snapPlugin->PreSnap(snap)) << snapPlugin->GetLastVMErrorDetails();
        std::vector<SVMInfo> recorded;
        for (const SVMBasicInfo& vm : vms) {
            snap.vmName = vm.name;
            snap.vmGuid = vm.guid;
            snap.vmInfo = snap.vmInfoByGuid[vm.guid];
            std::vector<SMountInfoFull> info;
            snapPlugin->GetFullMountInfo(snap, info);  // writes the VM's configuration files; a failed VM has none
            Upload(snap);
            recorded.push_back(snap.vmInfoByGuid[vm.guid]);
        }
        return recorded;
    }
    MountCtx Mount(const SVMInfo& vm, NXJobID job = kSnapJob) const {
        MountCtx ctx;
        ctx.vmName = vm.name;
        ctx.vmGuid = vm.guid;
        ctx.refJobId = job;
        ctx.isSnapJob = true;
        ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
        ctx.metadataDir = dirs.path() + "/snap-meta";
        return ctx;
    }
    // A revert of `vm` in place, from its record in the job XML, as the agent asks for one.
    RestoreCtx Revert(const SVMInfo& vm) {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_FULL_VM;
        ctx.snapRestore = ctx.inPlaceRestore = ctx.overwrite = ctx.powerOn = true;
        ctx.vmName = ctx.sourceVmName = vm.name;
        ctx.resourceGroup = vm.resourceGroup;
        ctx.region = vm.region;
        ctx.m_vmSize = vm.vmSize;
        ctx.restoreAsManagedVM = ctx.originalInfo.isManaged = vm.isManaged;
        ctx.stagingRoot = ctx.stagingPath = folder("staging-" + std::to_string(++reverts));
        ctx.nics = vm.nics;
        ctx.disks = vm.disks;
        SDisk config;
        config.type = DISK_TYPE_FILE;
        config.indexName = vm.name + ".json";
        ctx.disks.push_back(config);
        return ctx;
    }
    std::unique_ptr<RevertPlugin> Plugin() {
        auto plugin = std::make_unique<RevertPlugin>(VSINST_AZURE_RESOURCE_MANAGER);
        EXPECT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                     testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
        return plugin;
    }
    // A digest of each disk of the VM of that name, OS disk first.
    std::vector<std::size_t> Digests(const std::string& vmName) const {
        const azsim::StateDocument doc = State();
        const azsim::VirtualMachine* vm = doc.findVm(vmName);
        std::vector<std::size_t> out;
        for (std::size_t i = 0; vm && i < vm->disks.size(); ++i) out.push_back(Digest(*doc.diskBlob(*vm, i)));
        return out;
    }
    std::size_t Digest(const azsim::BlobKey& key) const {
        azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
        azsim::BlobProperties props;
        EXPECT_TRUE(store.properties(key, "", props));
        std::string all, window(kWindow, '\0');
        for (std::uint64_t at = 0; at < props.size; at += kWindow) {
            const std::int64_t got = store.read(key, "", at, reinterpret_cast<unsigned char*>(window.data()), kWindow);
            all += std::to_string(std::hash<std::string>()(window.substr(0, got > 0 ? got : 0)));
        }
        return std::hash<std::string>()(all);
    }
    // The guest writes into the VM's OS disk after the snap job.
    void Scribble(const std::string& vmName) {
        const azsim::StateDocument doc = State();
        const std::string page(kWindow, 'z');
        ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().writePages(
            *doc.diskBlob(*doc.findVm(vmName), 0), 0, reinterpret_cast<const unsigned char*>(page.data()), kWindow,
            nullptr));
    }
    // What the job (the wrapper's job GUID) tagged as its own: managed disks and page blobs.
    std::size_t Tagged() const {
        const std::string job = testsupport::JobGuidOf(kSnapJob);
        std::size_t count = 0;
        const azsim::StateDocument doc = State();
        auto mine = [&](const azsim::Tags& tags) { return tags.count("createdByJob") && tags.at("createdByJob") == job; };
        for (const azsim::ManagedDisk& disk : doc.managedDisks) count += mine(disk.tags);
        for (const azsim::UnmanagedDisk& disk : doc.unmanagedDisks) count += mine(disk.tags);
        return count;
    }
    int reverts = 0;
    NxSleepHook previousSleep;
};

// A revert brings back the bytes each disk held at snap time, in place of what the guest wrote since, and touches
// no other VM; a second revert of the same VM finds the names the first gave its disks taken and still succeeds.
TEST_F(SnapRevert, DisksHoldTheSnapshotsBytesAgainAndOtherVmsStayAsTheyWere) {
    for (const SVMBasicInfo& vm : {kWeb, kLegacy}) {
        SCOPED_TRACE(vm.name);
        const SVMBasicInfo& other = vm.name == kWeb.name ? kApp : kWeb;
        const std::vector<SVMInfo> recorded = Snapped({vm, other});
        const std::vector<std::size_t> atSnap = Digests(vm.name), otherBefore = Digests(other.name);
        for (int round = 0; round < 2; ++round) {
            Scribble(vm.name);
            ASSERT_NE(Digests(vm.name), atSnap);
            auto plugin = Plugin();
            MountCtx mount = Mount(recorded[0]);
            RestoreCtx revert = Revert(recorded[0]);
            ASSERT_EQ(1, plugin->RevertSnap(mount, revert)) << plugin->GetLastVMErrorDetails();
            EXPECT_EQ(Digests(vm.name), atSnap);
            EXPECT_TRUE(log.contains(kRevertTag, "VM [" + vm.guid + "] reverted successfully"));
        }
        EXPECT_EQ(Digests(other.name), otherBefore);
    }
}

// A VM the job XML does not hold, or whose snapshot failed in the job, is refused with why; nothing is created.
TEST_F(SnapRevert, VmWithoutASnapshotOfTheJobIsRefusedWithItsStatus) {
    NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", kApp.guid);
    const std::vector<SVMInfo> recorded = Snapped({kWeb, kApp});
    SVMInfo missing = recorded[0];
    missing.guid = "00000000-0000-4000-8000-000000000000";
    struct Row {
        SVMInfo vm;
        EVMInfoError code;
        std::string details;
    } rows[] = {
        {missing, VMINFO_ERR_REVERT_FILE_LIST, "Failed to get the file list for VM [web-linux01] [" + missing.guid + "]"},
        {recorded[1], VMINFO_ERR_VM_SNAPSHOT_CREATE,
         "VM [app-win01] has no snapshot in job [" + std::to_string(kSnapJob) + "]"},
    };
    for (const Row& row : rows) {
        auto plugin = Plugin();
        MountCtx mount = Mount(row.vm);
        RestoreCtx revert = Revert(row.vm);
        EXPECT_EQ(0, plugin->RevertSnap(mount, revert));
        EXPECT_EQ(plugin->Last(), LastError(row.code, row.details));
        EXPECT_TRUE(log.containsError(kPrepareTag, row.details));
    }
    EXPECT_TRUE(log.contains("bool CAzureInfo::_GetFileListForRevertFromSnapXML(const MountCtx&, "
                             "const std::vector<VMInfoStructs::SDatastoreInfo>&, const RestoreCtx&)",
                             "VM [web-linux01][" + missing.guid + "] not found in backup*.xml - check snap job XML"));
    EXPECT_TRUE(cloud.journal("CreateManagedDiskFromSnapshot").empty());
}

// The disk list a snap restore deploys: data disks numbered in list order, an unmanaged OS disk known by name only,
// and no OS disk at all refused even when an earlier restore of the same object named one.
TEST_F(SnapRevert, DiskListNumbersDataDisksAndNeedsAnOsDiskOfItsOwn) {
    const std::vector<SVMInfo> recorded = Snapped({kLegacy, kWeb});
    for (const SVMInfo& vm : recorded) {
        SCOPED_TRACE(vm.name);
        auto plugin = Plugin();
        MountCtx mount = Mount(vm);
        RestoreCtx ctx = Revert(vm);
        ASSERT_TRUE(plugin->_PrepareForFileRevert(mount, ctx)) << plugin->GetLastVMErrorDetails();
        SDisk data = ctx.disks[1];
        ctx.disks.erase(ctx.disks.begin() + 2, ctx.disks.end() - 1);
        ctx.disks.insert(ctx.disks.begin(), data);  // a data disk before the OS disk, and one more after
        ctx.disks.insert(ctx.disks.begin() + 3, data);
        int n = 0;
        for (SDisk& disk : ctx.disks) disk.name = "t" + std::to_string(n++) + ".vhd";
        ASSERT_TRUE(plugin->_PreRestoreVM_Snap(ctx)) << plugin->GetLastVMErrorDetails();
        std::string lists;
        for (const SDisk& disk : ctx.vmInfo.disks)
            lists += disk.name + (disk.isOsDisk ? "=os " : "=" + std::to_string(disk.unitNumber) + " ");
        EXPECT_EQ(lists, vm.isManaged ? "t0.vhd=0 t1.vhd=os t2.vhd=1 t3.vhd=2 " : "t0.vhd=0 t2.vhd=1 t3.vhd=2 ");
        EXPECT_EQ(plugin->osDiskName, "t1.vhd");

        ctx.disks.erase(ctx.disks.begin() + 1);
        for (SDisk& disk : ctx.disks) disk.name = "u" + disk.name;
        EXPECT_FALSE(plugin->_PreRestoreVM_Snap(ctx));
        EXPECT_EQ(plugin->Last(), LastError(VMINFO_ERR_RESTORE_DEPLOY, "OS disk is missing"));
    }
}

// An encrypted disk becomes a page blob read from its snapshot through a granted URL, then the VM's disk; a failed
// revocation of that URL is logged and the revert goes on to bring back the snapshot's bytes.
TEST_F(SnapRevert, FailedRevocationOfTheReadUrlDoesNotFailTheRestore) {
    const std::vector<SVMInfo> recorded = Snapped({kSecure});
    const std::vector<std::size_t> atSnap = Digests(kSecure.name);
    Scribble(kSecure.name);
    Fault("RevokeSASToken", 5, "revocation refused");
    auto plugin = Plugin();
    MountCtx mount = Mount(recorded[0]);
    RestoreCtx revert = Revert(recorded[0]);
    ASSERT_EQ(1, plugin->RevertSnap(mount, revert)) << plugin->GetLastVMErrorDetails();
    EXPECT_TRUE(log.contains(kPreSnapTag, "Failed to revoke SAS Token for encrypted snapshot. Error [revocation refused]"));
    EXPECT_EQ(cloud.journal("RevokeSASToken").size(), recorded[0].disks.size());
    EXPECT_EQ(Digests(kSecure.name), atSnap);
}

// A revert failing after its disks exist removes everything it made and nothing else: the VM's own disks and the
// snapshots stay, so a later revert still can.
TEST_F(SnapRevert, FailedRevertLeavesNothingItMadeAndKeepsWhatItRestoresFrom) {
    for (const SVMBasicInfo& vm : {kLegacy, kWeb}) {
        SCOPED_TRACE(vm.name);
        const std::vector<SVMInfo> recorded = Snapped({vm});
        const std::vector<std::size_t> atSnap = Digests(vm.name);
        const std::size_t tagged = Tagged();
        Fault("RestoreVM", 5, "deployment refused");
        auto plugin = Plugin();
        MountCtx mount = Mount(recorded[0]);
        RestoreCtx revert = Revert(recorded[0]);
        EXPECT_EQ(0, plugin->RevertSnap(mount, revert));
        EXPECT_EQ(plugin->Last(), LastError(VMINFO_ERR_RESTORE_DEPLOY, "deployment refused"));
        EXPECT_EQ(tagged, Tagged());
        revert = Revert(recorded[0]);
        ASSERT_EQ(1, Plugin()->RevertSnap(mount, revert));
        EXPECT_EQ(Digests(vm.name), atSnap);
    }
}

// A VM reverted once runs from blobs named after it; when a later job's snapshots of those blobs are restored in
// place and the restore cannot ask whether a blob has snapshots (to choose another name), the blob is written
// over from its own snapshot, never deleted with it.
TEST_F(SnapRevert, BlobOfTheRevertedVmIsWrittenOverFromItsOwnSnapshot) {
    const std::vector<SVMInfo> first = Snapped({kLegacy});
    MountCtx mount = Mount(first[0]);
    RestoreCtx revert = Revert(first[0]);
    ASSERT_EQ(1, Plugin()->RevertSnap(mount, revert));
    const SVMBasicInfo reverted{kLegacy.name, State().findVm(kLegacy.name)->guid, kLegacy.host};
    const std::vector<SVMInfo> second = Snapped({reverted}, kSnapJob + 1);
    const std::vector<std::size_t> atSnap = Digests(kLegacy.name);
    Scribble(kLegacy.name);
    Fault("GetBlobSnapshotCount", 5, "throttled");
    auto plugin = Plugin();
    mount = Mount(second[0], kSnapJob + 1);
    revert = Revert(second[0]);
    ASSERT_EQ(1, plugin->RevertSnap(mount, revert)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(Digests(kLegacy.name), atSnap);
    EXPECT_NE(State().findVm(kLegacy.name)->disks[0].id.find(kLegacy.name + ".vhd"), std::string::npos);
}

}  // namespace
}  // namespace snaptest

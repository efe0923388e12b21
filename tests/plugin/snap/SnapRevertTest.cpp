// Reverts of a VM from the snapshots a snap job kept, through the simulated subscription.
#include <functional>
#include <set>

#include "tests/plugin/snap/SnapFixture.h"

namespace snaptest {
namespace {

constexpr std::uint64_t kWindow = 4 << 20;

class SnapRevert : public SnapTest {
protected:
    // Every wait moves a fixed clock on, so that disk names stamped a wait apart differ; the first wait once the VM
    // is deployed (the boot wait) cancels the plugin `cancelling` names, as the host's kill does.
    SnapRevert() {
        NxClock::fix(std::chrono::system_clock::now());
        previous = NxSetSleepHook([this](unsigned long ms) {
            NxClock::fix(NxClock::now() + std::chrono::milliseconds(ms));
            if (cancelling && !cancelling->restoredVmGuid.empty()) std::exchange(cancelling, nullptr)->CancelJob();
        });
    }
    ~SnapRevert() override {
        NxSetSleepHook(previous);
        NxClock::unfix();
    }
    // Snap job `job` of `vms` with each VM's configuration file in the index; the VMs as the job recorded them.
    std::vector<SVMInfo> Snapped(const std::vector<SVMBasicInfo>& vms, NXJobID job = kSnapJob) {
        MountCtx snap = SnapJob(vms, job);
        std::vector<SVMInfo> recorded;
        for (const SVMBasicInfo& vm : vms) {
            std::tie(snap.vmName, snap.vmGuid, snap.vmInfo) = std::tie(vm.name, vm.guid, snap.vmInfoByGuid[vm.guid]);
            std::vector<SMountInfoFull> info;
            snapPlugin->GetFullMountInfo(snap, info);  // writes the configuration files; a failed VM has none
            Upload(snap);
            recorded.push_back(snap.vmInfo);
        }
        return recorded;
    }
    // The in-place revert of `vm` from job `job` as the agent asks for it: the recorded disks and configuration file.
    std::pair<MountCtx, RestoreCtx> Revert(const SVMInfo& vm, NXJobID job = kSnapJob) {
        MountCtx mount = Job({});
        std::tie(mount.vmName, mount.vmGuid, mount.refJobId) = std::tie(vm.name, vm.guid, job);
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_FULL_VM;
        ctx.snapRestore = ctx.inPlaceRestore = ctx.overwrite = ctx.powerOn = true;
        std::tie(ctx.vmName, ctx.sourceVmName, ctx.resourceGroup, ctx.region, ctx.m_vmSize, ctx.nics, ctx.disks) =
            std::tie(vm.name, vm.name, vm.resourceGroup, vm.region, vm.vmSize, vm.nics, vm.disks);
        ctx.restoreAsManagedVM = ctx.originalInfo.isManaged = vm.isManaged;
        ctx.stagingRoot = ctx.stagingPath = folder("staging-" + std::to_string(++reverts));
        ctx.disks.emplace_back();
        std::tie(ctx.disks.back().type, ctx.disks.back().indexName) = std::make_tuple(DISK_TYPE_FILE, vm.name + ".json");
        return {mount, ctx};
    }
    // A digest of all bytes of each disk of the VM of that name, the OS disk first.
    std::vector<std::size_t> Digests(const std::string& vmName) const {
        const azsim::StateDocument doc = State();
        azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
        std::vector<std::size_t> out;
        std::string window(kWindow, '\0'), digests;
        for (std::size_t i = 0; i < doc.findVm(vmName)->disks.size(); ++i, digests.clear()) {
            const azsim::BlobKey key = *doc.diskBlob(*doc.findVm(vmName), i);
            for (std::int64_t at = 0, got = 1; got > 0; at += got) {
                got = store.read(key, "", at, reinterpret_cast<unsigned char*>(&window[0]), kWindow);
                digests += std::to_string(std::hash<std::string>()(window.substr(0, got > 0 ? got : 0)));
            }
            out.push_back(std::hash<std::string>()(digests));
        }
        return out;
    }
    // With the network interfaces, which an in-place VM takes over: a VM's card and the interface it
    // becomes once the VM is gone are one interface.
    std::size_t Disks() const {
        const azsim::StateDocument state = State();
        std::set<std::string> nics;
        for (const azsim::NetworkInterface& nic : state.networkInterfaces) nics.insert(nic.resourceGroup + "/" + nic.name);
        for (const azsim::VirtualMachine& vm : state.vms)
            for (const azsim::NetworkCard& card : vm.nics) nics.insert(vm.resourceGroup + "/" + card.name);
        return state.managedDisks.size() + state.unmanagedDisks.size() + nics.size();
    }
    SnapPlugin* cancelling = nullptr;
    int reverts = 0;
    NxSleepHook previous;
};

// A revert brings back each disk's bytes at snap time over what the guest wrote since, and touches no other VM. Each
// round is one revert: a VM the job XML does not hold, or whose snapshot failed, is refused with why; with one call
// failing, a failed deployment leaves no disk it made and keeps what it restores from; an encrypted disk's read URL
// whose revocation fails is only logged; a cancel in the boot wait of a revert written over the VM's own blob leaves
// no disk it made and takes none it did not (nor an interface); a later job's snapshots of a reverted VM come back
// although its disks hold the names this revert gives (a blob is written over from its own snapshot, never deleted
// with it, when the restore cannot ask for another name; a managed disk takes a free name). The deployment gets the
// data disks numbered in list order and an unmanaged OS disk by its name only; with no disk at all, no OS disk is
// named.
TEST_F(SnapRevert, DisksHoldTheSnapshotsBytesAgainAndNothingElseChanges) {
    NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", kApp.guid);
    const std::string job = std::to_string(kSnapJob), unknown = "0f0f0f0f-0000-4000-8000-000000000000";
    const struct Round { const char* fault; bool laterJob; std::size_t target; LastError failure; } rounds[] = {
        {"", false, 1, {VMINFO_ERR_VM_SNAPSHOT_CREATE, "VM [app-win01] has no snapshot in job [" + job + "]"}},
        {"", false, 2, {VMINFO_ERR_REVERT_FILE_LIST, "Failed to get the file list for VM [%s] [" + unknown + "]"}},
        {"RestoreVM", false, 0, {VMINFO_ERR_RESTORE_DEPLOY, "refused"}},
        {"RevokeSASToken", false, 0, {}},
        {"GetBlobSnapshotCount", true, 0, {}},
        {"GetBlobSnapshotCount", false, 0, {VMINFO_ERR_JOB_CANCELLED, "The job was cancelled"}}};
    for (const SVMBasicInfo& vm : {kLegacy, kWeb, kSecure}) {
        SCOPED_TRACE(vm.name);
        const std::vector<std::size_t> other = Digests(kApp.name);
        std::vector<SVMInfo> recorded = Snapped({vm, kApp});
        std::vector<std::size_t> atSnap = Digests(vm.name);
        NXJobID snapJob = kSnapJob;
        for (const Round& round : rounds) {
            if (round.laterJob) {
                recorded = Snapped({{vm.name, State().findVm(vm.name)->guid, vm.host}}, ++snapJob);
                atSnap = Digests(vm.name);
            }
            if (State().findVm(vm.name)) {  // the guest writes after the snapshots
                const std::string page(kWindow, 'z');
                azsim::SubscriptionState(cloud.dir()).blobs().writePages(*State().diskBlob(*State().findVm(vm.name), 0),
                                                                        0, page.data(), kWindow, nullptr);
            }
            const std::size_t disks = Disks();
            if (*round.fault) Fault(round.fault, 5, "refused");
            SVMInfo target = recorded[round.target == 1];
            if (round.target == 2) target.guid = unknown;
            auto [mount, ctx] = Revert(target, snapJob);
            const testsupport::JobIdentityScope revertJob("vsagent", "Instance001", kSnapJob + 100 + reverts);
            auto plugin = Connected();
            cancelling = (ctx.powerOn = round.failure.first != VMINFO_ERR_JOB_CANCELLED) ? nullptr : plugin.get();
            const bool reverts = round.failure.first == VMINFO_ERR_NONE;
            ASSERT_EQ(reverts, plugin->RevertSnap(mount, ctx) == 1) << plugin->GetLastVMErrorDetails();
            EXPECT_EQ(reverts ? Digests(vm.name) : atSnap, atSnap);
            const LastError failure{round.failure.first, FXString::Format(round.failure.second.c_str(), vm.name.c_str())};
            EXPECT_TRUE(reverts || (Disks() == disks && plugin->Last() == failure)) << plugin->GetLastVMErrorDetails();
            if (!reverts) continue;
            std::string luns;
            const azsim::StateDocument state = State();
            for (const azsim::DiskAttachment& disk : state.findVm(vm.name)->disks) luns += std::to_string(disk.lun);
            EXPECT_EQ(luns, vm.name == kWeb.name ? "-101" : "-10");
            EXPECT_EQ(cloud.journal("RestoreVM").back()["args"]["disks"], recorded[0].disks.size() - (vm.name == kLegacy.name));
            ctx.disks.erase(ctx.disks.begin(), ctx.disks.end() - 1);  // the configuration file alone
            EXPECT_FALSE(plugin->_PreRestoreVM_Snap(ctx));
            EXPECT_EQ(plugin->Last(), LastError(VMINFO_ERR_RESTORE_DEPLOY, "OS disk is missing"));
        }
        EXPECT_EQ(Digests(kApp.name), other);
        EXPECT_EQ(log.contains("bool CAzureInfo::_PreRestoreVM_Snap(const RestoreCtx&)",
                               "Failed to revoke SAS Token for encrypted snapshot. Error [refused]"),
                  vm.name == kSecure.name);
    }
}

}  // namespace
}  // namespace snaptest

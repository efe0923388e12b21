// Disk-attach restores driven through the five restore slots against the demo subscription over HTTPS:
// the refusals of the initialisation, encrypted disks left out, LUNs next to the target's data disks,
// whole attaches to managed and unmanaged VMs, and a failed attach that leaves the target as it was.
#include <algorithm>

#include "host/util/FXPath.h"
#include "tests/plugin/restore/RestoreFixture.h"

namespace restoretest {
namespace {


// An existing VM to attach to, and the storage account its new disks are written to.
struct Target { const char *vm, *group, *region, *account; };
const Target kWeb{"web-linux01", "rg-prod", "westeurope", "prodstaging01"};             // D2s_v3 (4), data LUNs 0, 1
const Target kApp{"app-win01", "rg-prod", "westeurope", "prodstaging01"};               // D4s_v3 (8), data LUN 0
const Target kLegacy{"legacy-vm01", "rg-legacy", "germanywestcentral", "legacystore01"};  // unmanaged A2 (4), LUN 0

const char* const kInitTag = "bool CAzureInfo::InitRestoreVM_DiskAttach(const RestoreCtx&)";
const char* const kPreTag = "bool CAzureInfo::PreRestoreVM_AttachDisk(const RestoreCtx&)";

std::vector<int> Luns(const std::vector<SDisk>& disks) {
    std::vector<int> out;
    for (const SDisk& disk : disks) out.push_back(disk.isOsDisk ? -1 : disk.unitNumber);
    return out;
}

class DiskAttach : public ServedRestoreTest {
protected:
    // `count` backed-up disks (the first one the backup's OS disk) to attach to `target`, as the agent asks.
    RestoreCtx Ctx(const Target& target, int count) {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_DISK_ATTACH;
        ctx.vmName = ctx.vmInfo.name = target.vm;
        ctx.resourceGroup = ctx.vmInfo.resourceGroup = target.group;
        ctx.region = target.region;
        const azsim::StateDocument doc = State();
        if (const azsim::VirtualMachine* vm = doc.findVm(target.vm, target.group)) ctx.vmGuid = vm->guid;
        Stage(ctx);
        for (int i = 0; i < count; ++i) {
            ctx.disks.push_back(Disk("src-disk" + std::to_string(i), target.account, i == 0));
            ctx.disks.back().uri.clear();
        }
        return ctx;
    }
    std::string VmRecord(const Target& target) const {
        const azsim::StateDocument doc = State();
        const azsim::VirtualMachine* vm = doc.findVm(target.vm, target.group);
        return vm ? nlohmann::json(*vm).dump() : "none";
    }
    // Everything an attach could leave behind, by kind and id.
    std::vector<std::string> Inventory() const {
        const azsim::StateDocument doc = State();
        std::vector<std::string> out;
        for (const auto& vm : doc.vms) out.push_back("vm " + nlohmann::json(vm).dump());
        for (const auto& disk : doc.managedDisks) out.push_back("disk " + disk.id + " " + disk.state);
        for (const char* account : {"prodstaging01", "legacystore01"})
            for (const azsim::BlobKey& key : Blobs().list(account, ""))
                out.push_back("blob " + key.account + "/" + key.container + "/" + key.name);
        std::sort(out.begin(), out.end());
        return out;
    }

    SteppingClock clock;  // disk names stamped one wait apart differ
};

// The initialisation refuses what cannot be attached, with its code and text, and the clean-up after a
// refusal leaves the subscription as it was. The target's OS disk does not count against its size's limit.
// Accepted disks take the lowest LUNs the target's data disks leave free when prepared, the backup's OS disk as a
// data disk; the target's OS disk holds none of them, and LUN 15 is the last. A target gone since is refused.
TEST_F(DiskAttach, RefusesWhatCannotBeAttachedAndTakesTheNextFreeLuns) {
    const std::string tooMany =
        "Total number of disks would exceed the maximum value of [4] disks for this VM size [Standard_D2s_v3].";
    const std::string allEncrypted =
        "All the disks to be attached, are found encrypted. Aborting restore sequence as nothing is left to restore..";
    const std::string noSize = "Failed to get size details for VM size [Standard_D2s_v3]: ServerBusy: refused";
    const std::string noLun = "Cannot attach disks to virtual machine [legacy-vm01] as the total count of disks would "
                              "exceed the maximum permissible value of [16].";
    const std::string gone = "Virtual machine [legacy-vm01] is not found. Please specify an existing virtual machine.";
    const EVMInfoError none = VMINFO_ERR_NONE, attach = VMINFO_ERR_DISK_ATTACH;
    // code: of the initialisation, then of the preparation (none: accepted); text: the error logged and kept as
    // details (empty: not checked for a refused initialisation); fault: an SDK operation that fails once;
    // dropDataDisks: the target keeps only its OS disk; fillUpTo: data LUNs 1 .. fillUpTo taken after the
    // initialisation (0: none; -1: VM deleted).
    struct Row { const char* label; Target target; int count; std::vector<int> encrypted; bool snap; EVMInfoError code;
                 std::string text; const char* fault = nullptr; bool dropDataDisks = false; int fillUpTo = 0;
                 std::vector<int> luns = {}; };
    for (const Row& row :
         {Row{"snap backup", kWeb, 1, {}, true, attach, "Attach disk restore is not supported from a Snap backup for Azure."},
          Row{"unknown VM", {"ghost01", "rg-prod", "westeurope", "prodstaging01"}, 1, {}, false,
              VMINFO_ERR_VM_NOT_FOUND, ""},
          Row{"two data disks plus three", kWeb, 3, {}, false, attach, tooMany},
          Row{"encrypted disks still count", kWeb, 3, {1}, false, attach, tooMany},
          Row{"all encrypted", kWeb, 2, {0, 1}, false, VMINFO_ERR_ALL_DISKS_ENCRYPTED, allEncrypted},
          Row{"size details unavailable", kWeb, 1, {}, false, VMINFO_ERR_VM_SIZE, noSize, "GetVMSizeInfoForSize"},
          Row{"two data disks plus two fit four, after LUNs 0 and 1", kWeb, 2, {}, false, none, "", nullptr, false, 0,
              {2, 3}},
          Row{"OS disk only", kApp, 2, {}, false, none, "", nullptr, true, 0, {0, 1}},
          Row{"LUN 15 is the last", kLegacy, 1, {}, false, none, "", nullptr, false, 14, {15}},
          Row{"no LUN after 15", kLegacy, 2, {}, false, attach, noLun, nullptr, false, 14, {15}},
          Row{"target gone", kLegacy, 1, {}, false, VMINFO_ERR_VM_NOT_FOUND, gone, nullptr, false, -1}}) {
        SCOPED_TRACE(row.label);
        const azsim::StateDocument before = State();
        const std::vector<std::string> inventory = Inventory();
        std::unique_ptr<TestPlugin> job = Connected();
        if (row.dropDataDisks)
            Mutate([&](azsim::StateDocument& doc) {
                std::vector<azsim::DiskAttachment>& disks = doc.findVm(row.target.vm, row.target.group)->disks;
                disks.erase(std::remove_if(disks.begin(), disks.end(), [](const auto& d) { return d.lun >= 0; }),
                            disks.end());
            });
        RestoreCtx ctx = Ctx(row.target, row.count);
        for (int i : row.encrypted) ctx.disks[i].isEncrypted = true;
        ctx.snapRestore = row.snap;
        if (row.fault) Fault(row.fault, 0, "ServerBusy: refused");
        const bool prepared = row.code == none || !row.luns.empty() || row.fillUpTo < 0;
        EXPECT_EQ(prepared ? 1 : 0, job->InitRestoreVM(ctx));
        if (!prepared) {
            EXPECT_EQ(row.code, job->GetLastVMError()) << job->GetLastVMErrorDetails();
            if (!row.text.empty()) {
                EXPECT_EQ(row.text, job->GetLastVMErrorDetails());
                EXPECT_TRUE(log.containsError(kInitTag, row.code == attach && !row.snap
                                                            ? "Failed to attach disk(s) with error: [" + row.text + "]."
                                                            : row.text));
            }
            EXPECT_EQ(1, job->CleanupRestoreVM(ctx));
            EXPECT_EQ(inventory, Inventory());
            continue;
        }
        const std::string fill = "https://legacystore01.blob.core.windows.net/vhds/fill";
        Mutate([&](azsim::StateDocument& doc) {
            if (row.fillUpTo < 0) doc.vms.clear();
            for (int lun = 1; lun <= row.fillUpTo; ++lun)
                doc.findVm(row.target.vm, row.target.group)->disks.push_back({fill + std::to_string(lun), lun});
        });
        EXPECT_EQ(row.code == none ? 1 : 0, job->PreRestoreVM(ctx));
        EXPECT_EQ(row.luns, Luns(ctx.vmInfo.disks));
        EXPECT_EQ(Error(row.code, row.text), LastError(*job));
        EXPECT_EQ(!row.luns.empty(),
                  log.contains(kPreTag, "Adding OS disk [" + ctx.disks[0].name + "] to list of data disks"));
        Mutate([&](azsim::StateDocument& doc) { doc.vms = before.vms; });
    }
}

// Whole attaches: the disks arrive as written on the next free LUNs, the target's own disks stay as they
// were, and the job owns no VM. An encrypted disk is
// left out of the job's disks with a failure record naming it, which lasts to the job's end.
// A failed attach detaches and removes only what this job created: the target VM, its record and its
// disks stay exactly as they were, even a target this job's mark is on, one the host named by another
// VM's GUID, and after a cancel.
TEST_F(DiskAttach, AttachesTheWrittenDisksOrLeavesTheTargetAsItWas) {
    enum Failure { None, Refused, MarkedTargetRefused, OtherVmsGuid, Cancelled };
    // luns: of the attached disks; encryptedToo: a third disk, encrypted, is left out; detachRefused: the roll-back
    // fails too (another VM's GUID refuses it as well), and is only logged.
    struct Row { Target target; Mode mode; Failure failure; std::vector<int> luns; bool encryptedToo, detachRefused; };
    for (const Row& row :
         {Row{kWeb, ManagedFromBlobs, Refused, {2, 3}, false, false}, Row{kApp, DirectUpload, Refused, {1, 2}, false, true},
          Row{kLegacy, Unmanaged, Refused, {1, 2}, false, true},
          Row{kWeb, ManagedFromBlobs, MarkedTargetRefused, {2, 3}, false, false},
          Row{kWeb, ManagedFromBlobs, OtherVmsGuid, {2, 3}, false, true},
          Row{kWeb, ManagedFromBlobs, Cancelled, {2, 3}, false, false},
          // The failures left each target as it was; these attaches keep their disks.
          Row{kWeb, ManagedFromBlobs, None, {2, 3}, false, false}, Row{kApp, DirectUpload, None, {1, 2}, true, false},
          Row{kLegacy, Unmanaged, None, {1, 2}, false, false}, Row{kLegacy, DirectUpload, None, {3}, false, false}}) {
        SCOPED_TRACE(std::string(row.target.vm) + " " + std::to_string(row.mode) + " " + std::to_string(row.failure));
        log.clear();
        if (row.failure == MarkedTargetRefused)
            Mutate([&](azsim::StateDocument& doc) {
                doc.findVm(row.target.vm, row.target.group)->tags["createdByJob"] = testsupport::JobGuidOf(kJobId);
            });
        const azsim::StateDocument before = State();
        const std::vector<std::string> inventory = Inventory();
        const std::string record = VmRecord(row.target);
        const std::vector<azsim::DiskAttachment> own = before.findVm(row.target.vm, row.target.group)->disks;
        std::unique_ptr<TestPlugin> job = Connected(row.mode);
        const std::size_t count = row.luns.size();
        RestoreCtx ctx = Ctx(row.target, static_cast<int>(count) + row.encryptedToo);
        if (row.encryptedToo) {
            ctx.disks[1].isEncrypted = true;
            ctx.vmInfo.name.clear();  // as the agent leaves it: the failure names the job's VM
        }
        if (row.failure == OtherVmsGuid) ctx.vmGuid = State().findVm("app-win01", "rg-prod")->guid;
        ASSERT_NO_FATAL_FAILURE(Start(*job, ctx));
        ASSERT_EQ(1, job->PreRestoreVM(ctx)) << job->GetLastVMErrorDetails();
        const bool refused = row.failure == Refused || row.failure == MarkedTargetRefused;
        if (refused) Fault("AddDisksToVM", 0, "Conflict: refused for the test");
        if (refused && row.detachRefused) Fault("DeleteDisksFromVM", 0, "InternalError: refused for the test");
        if (row.failure == Cancelled) job->CancelJob();
        EXPECT_EQ(row.failure == None ? 1 : 0, job->RestoreVM(ctx)) << job->GetLastVMErrorDetails();
        if (row.failure != None) {
            EXPECT_EQ(row.failure == Cancelled ? VMINFO_ERR_JOB_CANCELLED : VMINFO_ERR_DISK_ATTACH,
                      job->GetLastVMError());
            EXPECT_TRUE(!refused || "Failed to update VM [" + std::string(row.target.vm) +
                                        "]. Error: [Conflict: refused for the test]." == job->GetLastVMErrorDetails());
            EXPECT_EQ(row.detachRefused,
                      log.containsError("int CAzureInfo::RestoreVM_AttachDisk(const RestoreCtx&)",
                                        "Warning: Could not remove failed disks from the VM [" +
                                            std::string(row.target.vm) + "]. Provisioning state may be shown as 'Failed'."));
            EXPECT_EQ(record, VmRecord(row.target));
            // A cancel or a managed target's failed attach cleans up at once; else the host's clean-up does.
            EXPECT_EQ(row.mode != Unmanaged || row.failure == Cancelled, !FXPath::DoesPathExist(ctx.stagingPath));
            EXPECT_EQ(row.mode != Unmanaged && row.failure != Cancelled, ctx.vmInfo.isManaged);
            EXPECT_EQ(1, job->CleanupRestoreVM(ctx));
            EXPECT_EQ(inventory, Inventory());  // the target's record included
            EXPECT_FALSE(FXPath::DoesPathExist(ctx.stagingPath));
            continue;
        }
        ASSERT_EQ(1, job->PostRestoreVM(ctx)) << job->GetLastVMErrorDetails();
        ASSERT_EQ(count, ctx.disks.size());
        EXPECT_EQ(row.encryptedToo ? "src-disk2" : "src-disk" + std::to_string(count - 1), ctx.disks.back().uri);
        std::string failures;
        for (const SFailure& failure : ctx.restoreFailures) failures += failure.subject + failure.reason;
        EXPECT_EQ(row.encryptedToo ? row.target.vm + ("Disk [" + job->diskMap.at("src-disk1").blobName +
                                                      "] is encrypted and cannot be attached to an encrypted VM.")
                                   : "",
                  failures);

        const azsim::StateDocument doc = State();
        const azsim::VirtualMachine* vm = doc.findVm(row.target.vm, row.target.group);
        ASSERT_NE(nullptr, vm);
        EXPECT_EQ(before.findVm(row.target.vm, row.target.group)->guid + "|", ctx.vmGuid + "|" + job->restoredVmGuid);
        ASSERT_EQ(own.size() + count, vm->disks.size());
        EXPECT_EQ(nlohmann::json(own), nlohmann::json(std::vector<azsim::DiskAttachment>(
                                           vm->disks.begin(), vm->disks.begin() + own.size())));
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(row.luns[i], vm->disks[own.size() + i].lun);
            std::optional<azsim::BlobKey> key = doc.diskBlob(*vm, own.size() + i);
            ASSERT_TRUE(key.has_value());
            EXPECT_EQ(Pattern(ctx.disks[i].uri), Read(*key));
        }
        // Only a managed VM takes disks written straight into managed disks.
        EXPECT_EQ(vm->managed && row.mode == DirectUpload, job->diskMap.at("src-disk0").directUpload);
    }
}

}  // namespace
}  // namespace restoretest

// The restore slots driven as the host drives them, against the demo subscription over HTTPS: the host
// writes the disks through CreateVmdk / WriteVmdk / CloseVmdk between InitRestoreVM and PreRestoreVM.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "azsim/Journal.h"
#include "host/util/FXPath.h"
#include "tests/plugin/restore/RestoreFixture.h"

namespace restoretest {
namespace {

const azsim::BlobKey kOtherBlob{"prodstaging01", "vhds", "keep-me.vhd"};
const std::vector<unsigned char> kOtherBytes(512, 0xee);

class RestoreFlow : public ServedRestoreTest {
protected:
    void SetUp() override {
        ServedRestoreTest::SetUp();
        plugin = Connected();
        Blob(kOtherBlob);
    }
    // A restore of web-linux01's backup (OS disk, one data disk, its configuration file) as `vmName`.
    RestoreCtx Ctx(const std::string& vmName = "web01", const std::string& account = "prodstaging01",
                   Mode mode = Unmanaged) {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_FULL_VM;
        ctx.vmName = vmName;
        ctx.resourceGroup = "rg-prod";
        ctx.region = "westeurope";
        ctx.storageAccount = "prodstaging01";
        ctx.m_vmSize = "Standard_D2s_v3";
        ctx.powerOn = true;
        ctx.restoreAsManagedVM = mode != Unmanaged;
        ctx.nics.push_back(SVMNetworkCard{vmName + "-nic0", "vnet-prod", "default"});
        Stage(ctx);
        ctx.disks = {Disk("web-linux01-osdisk", account, true), Disk("web-linux01-data0", account),
                     File("web-linux01.json")};
        for (SDisk& disk : ctx.disks) disk.uri.clear();
        ctx.disks[2].name = "web-linux01.json";
        std::string configText, dek, kek;
        EXPECT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-prod", "web-linux01", configText, dek, kek));
        std::ofstream(FXPath::Append(ctx.stagingPath, "web-linux01.json")) << configText;
        return ctx;
    }
    void Blob(const azsim::BlobKey& key) {
        ASSERT_TRUE(Blobs().createPageBlob(key, kDiskBytes, false, nullptr));
        ASSERT_TRUE(Blobs().writePages(key, 0, kOtherBytes.data(), kOtherBytes.size(), nullptr));
    }
    // Everything a restore could leave behind: the subscription's resources (containers aside: Blob() makes
    // them behind the subscription's back) and the staging account's blobs.
    std::string Inventory() const {
        nlohmann::json doc = State().toJson();
        doc.erase("storageAccounts");
        for (const azsim::BlobKey& key : Blobs().list("prodstaging01", "")) doc["blobs"].push_back(key.name);
        return doc.dump();
    }

    NxRecordingSleeper sleeper;
    std::unique_ptr<TestPlugin> plugin;
};

// CreateVmdk reuses a blob that is already there without making it the job's.
TEST_F(RestoreFlow, CreateVmdkLeavesAnExistingBlobUnmarked) {
    Blob({"prodstaging01", "vhds", "old.vhd"});
    SAzureDiskInfo& record = plugin->diskMap["old.vhd"];
    record.storageAccount = "prodstaging01", record.container = "vhds", record.blobName = "old.vhd";
    record.resourceGroup = "rg-prod", record.location = "westeurope";
    VmdkHandle handle;
    EXPECT_EQ(1, plugin->CreateVmdk("", "", "old.vhd", handle, kDiskBytes));
    EXPECT_FALSE(record.createdByJob);
}

// Refusals after naming (in the container placement chose) leave the target as it was on clean-up: the clean-up
// removes a container placement made for the job unless a blob landed in it meanwhile (landed: the job makes the
// container in a zone-redundant account refused once it exists, and the blob, if any, arrives after the refusal).
// A new job of the same object owns nothing an earlier job wrote.
TEST_F(RestoreFlow, CleanUpAfterARefusalLeavesTheTargetAsItWas) {
    struct Row { const char* vmName; const char* account; azsim::BlobKey existing; EVMInfoError code;
                 bool landed = false; };
    for (const Row& row :
         {Row{"web-linux01", "prodstaging01", {"prodstaging01", "vhds", "web-linux01.vhd"}, VMINFO_ERR_VM_EXISTS},
          Row{"web01", "prodstaging01", {"prodstaging01", "vhds", "web01.vhd"}, VMINFO_ERR_BLOB_EXISTS},
          Row{"web02", "prodstaging01\\backups", {"prodstaging01", "backups", "web02.vhd"}, VMINFO_ERR_BLOB_EXISTS},
          Row{"web05", "testzrs01", {}, VMINFO_ERR_VM_SIZE, true},
          Row{"web04", "testzrs01", {"testzrs01", "vhds", "someone-elses.vhd"}, VMINFO_ERR_VM_SIZE, true}}) {
        SCOPED_TRACE(row.vmName);
        if (!row.landed) Blob(row.existing);
        const std::string before = Inventory(), accounts = State().toJson()["storageAccounts"].dump();
        RestoreCtx ctx = Ctx(row.vmName, row.account);
        EXPECT_EQ(0, plugin->InitRestoreVM(ctx));
        EXPECT_EQ(row.code, plugin->GetLastVMError());
        EXPECT_TRUE(!row.landed || accounts != State().toJson()["storageAccounts"].dump());
        if (row.landed && !row.existing.name.empty()) Blob(row.existing);
        EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));
        EXPECT_TRUE(plugin->CleanupRehost(ctx));
        EXPECT_EQ(before, Inventory());
        const bool containerKept = accounts != State().toJson()["storageAccounts"].dump();
        EXPECT_TRUE(!row.landed || containerKept != row.existing.name.empty());
        EXPECT_TRUE(row.existing.name.empty() || kOtherBytes == Read(row.existing));
    }
    RestoreCtx ctx = Ctx("web03");
    Start(*plugin, ctx);
    const std::string written = Inventory();
    ctx.originalInfo.firmware = "efi";  // the next job is refused before it names a disk
    EXPECT_EQ(0, plugin->InitRestoreVM(ctx));
    EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));
    EXPECT_EQ(written, Inventory());
}

// With overwrite the existing VM is stopped and deleted by its GUID; an in-place restore keeps its network.
TEST_F(RestoreFlow, OverwriteReplacesTheExistingVm) {
    RestoreCtx ctxs[] = {Ctx("web-linux01"), Ctx("app-win01")};  // the backup's configuration is read first
    for (bool inPlace : {false, true}) {
        RestoreCtx& ctx = ctxs[inPlace];
        const std::string guid = State().findVm(ctx.vmName, "rg-prod")->guid;
        ctx.overwrite = true;
        ctx.inPlaceRestore = inPlace;
        ASSERT_EQ(1, plugin->InitRestoreVM(ctx)) << plugin->GetLastVMErrorDetails();
        const nlohmann::json deleted = cloud.journal("DeleteVM").back()["args"];
        EXPECT_EQ(guid, deleted["vmGuid"]);
        EXPECT_EQ(!inPlace, deleted["deleteNetwork"]);
        EXPECT_EQ(guid, cloud.journal("ShutdownVM").back()["args"]["vmGuid"]);
    }
}

// A VM not to stay on is shut down after the boot wait (absent or 0: 5 minutes, at most a day), only when found; a
// cancel during the wait ends it at once with 4000 and no shutdown.
TEST_F(RestoreFlow, PowerOffWaitsForTheBootTimeoutUnlessCancelled) {
    struct Row { const char* vmName; const char* minutes; unsigned long wait; int cancelAfter; };  // wait 0: none
    for (const Row& row : {Row{"web-linux01", nullptr, 5, -1}, Row{"web-linux01", "0", 5, -1},
                           Row{"web-linux01", "2", 2, -1}, Row{"web-linux01", "999999", 1440, -1},
                           Row{"ghost01", "2", 0, -1}, Row{"web-linux01", "2", 0, 0}, Row{"web-linux01", "2", 0, 3}}) {
        SCOPED_TRACE(std::string(row.minutes ? row.minutes : "absent") + " " + std::to_string(row.cancelAfter));
        if (row.minutes) NXPlatformInfo::setValue("VirtualServer", "nMinsWaitForBootTimeout", row.minutes);
        std::unique_ptr<TestPlugin> job = Connected();
        unsigned long waited = 0;
        int steps = 0;
        const NxSleepHook previous = NxSetSleepHook([&](unsigned long ms) {
            waited += ms;
            if (++steps == row.cancelAfter) job->CancelJob();
        });
        if (row.cancelAfter == 0) job->CancelJob();
        const size_t shutdowns = cloud.journal("ShutdownVM").size();
        RestoreCtx ctx = Ctx(row.vmName);
        ctx.powerOn = false;
        EXPECT_EQ(row.cancelAfter < 0 ? 1 : 0, job->PostRestoreVM(ctx));
        NxSetSleepHook(previous);
        EXPECT_EQ(row.cancelAfter < 0 ? row.wait * 60000 : row.cancelAfter * 1000ul, waited);
        EXPECT_EQ(row.wait ? 1u : 0u, cloud.journal("ShutdownVM").size() - shutdowns);
        EXPECT_EQ(row.cancelAfter < 0 ? VMINFO_ERR_NONE : VMINFO_ERR_JOB_CANCELLED, job->GetLastVMError());
    }
    NXPlatformInfo::removeValue("VirtualServer", "nMinsWaitForBootTimeout");
}

// Sources the target cannot take: Gen 2 without a managed Resource Manager target (a replica deployment switches
// to managed), and encrypted disks from another subscription than the configuration file's.
TEST_F(RestoreFlow, SourcesTheTargetCannotTakeAreRefused) {
    const VirtualServerInstanceType arm = VSINST_AZURE_RESOURCE_MANAGER;
    const std::string own = SimulatedCloud::kSubscriptionId, foreign = "0a0b0c0d-0000-4000-8000-000000000000";
    struct Row { VirtualServerInstanceType type; bool gen2, replica; std::string subscription; EVMInfoError code;
                 std::string text; };
    for (const Row& row :
         {Row{VSINST_AZURE_STACK_HUB, true, false, "", VMINFO_ERR_RESTORE_DEPLOY,
              "Restoring a Gen 2 VM to Azure Stack is not supported."},
          Row{arm, true, false, "", VMINFO_ERR_RESTORE_DEPLOY,
              "Restoring a Gen 2 VM as an unmanaged VM is not supported."},
          Row{arm, true, true, "", VMINFO_ERR_NONE, ""}, Row{arm, false, false, own, VMINFO_ERR_NONE, ""},
          Row{arm, false, false, foreign, VMINFO_ERR_ENCRYPTED_CROSS_SUBSCRIPTION, "[" + foreign + "]"}}) {
        SCOPED_TRACE(std::to_string(row.type) + " " + row.subscription);
        std::unique_ptr<TestPlugin> job = Connected(Unmanaged, row.type);
        RestoreCtx ctx = Ctx(row.gen2 ? "gen2vm" : "web01");
        ctx.originalInfo.firmware = row.gen2 ? "EFI" : "";
        ctx.m_vmSize = "Standard_B2s";
        ctx.deployReplicaVm = row.replica;
        ctx.disks[1].isEncrypted = !row.subscription.empty();
        if (ctx.disks[1].isEncrypted)
            std::ofstream(FXPath::Append(ctx.stagingPath, "web-linux01.json"))
                << "{\"id\":\"/subscriptions/" << row.subscription
                << "/resourceGroups/rg-prod/providers/Microsoft.Compute/virtualMachines/web-linux01\"}";
        EXPECT_EQ(row.code == VMINFO_ERR_NONE ? 1 : 0, job->InitRestoreVM(ctx)) << job->GetLastVMErrorDetails();
        EXPECT_EQ(row.code, job->GetLastVMError());
        EXPECT_NE(std::string::npos, job->GetLastVMErrorDetails().find(row.text));
        EXPECT_EQ(row.gen2 && row.code == VMINFO_ERR_NONE, ctx.restoreAsManagedVM);
        EXPECT_EQ(row.code == VMINFO_ERR_NONE ? 2u : 0u, job->diskMap.size());  // refused before naming
    }
}

// Rehost cannot attach cloud disks on this platform: its first disk fails and the job ends with 54. An exception
// inside a restore step fails its slot with a code and the exception's text.
TEST_F(RestoreFlow, RehostEndsAtItsFirstDiskAndExceptionsStayInsideTheSlots) {
    RestoreCtx ctx = Ctx();
    EXPECT_FALSE(plugin->InitRehost(ctx));
    EXPECT_EQ(VMINFO_ERR_DISK_ATTACH, plugin->GetLastVMError());
    EXPECT_TRUE(log.containsError("bool CAzureInfo::_CreateAndAttachDisk(SDisk&)", "Not Ported!"));
    EXPECT_TRUE(log.containsError("virtual bool CAzureInfo::InitRehost(const RestoreCtx&)",
                                  "Failed to attach Disk [web01.vhd]"));
    struct ThrowingLog : EvLogSink {
        ThrowingLog() { EvDebug::addSink(this); }
        ~ThrowingLog() override { EvDebug::removeSink(this); }
        void write(const EvLogRecord& record, const std::string&) override {
            if (record.text == "Generating unique disk names...") throw std::runtime_error("injected");
        }
    } throwing;
    ctx = Ctx();
    EXPECT_EQ(0, plugin->InitRestoreVM(ctx));
    EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, plugin->GetLastVMError());
    EXPECT_FALSE(plugin->InitRehost(ctx));
    EXPECT_EQ(Error(VMINFO_ERR_DISK_ATTACH, "Unexpected failure: [injected]"), LastError(*plugin));
}

// An unknown kind fails every slot, and its initialisation says the kind is not implemented.
TEST_F(RestoreFlow, UnknownKindsNeverSucceed) {
    using Slot = int (IVMInfo::*)(const RestoreCtx&);
    for (Slot slot : {&IVMInfo::InitRestoreVM, &IVMInfo::PreRestoreVM, &IVMInfo::RestoreVM, &IVMInfo::PostRestoreVM}) {
        RestoreCtx ctx = Ctx();
        ctx.restoreType = 7;
        EXPECT_EQ(0, (static_cast<IVMInfo&>(*plugin).*slot)(ctx));
        EXPECT_EQ(VMINFO_ERR_NONE, plugin->GetLastVMError());
    }
    EXPECT_TRUE(log.contains("virtual int CAzureInfo::InitRestoreVM(const RestoreCtx&)",
                             "Restore type [7] currently not implemented."));
}

// Clean-up deletes the job's staging folder wherever it lies; it keeps only what cannot be a job's folder: an empty
// or relative path, the staging root or a folder holding it, a symbolic link, a file.
TEST_F(RestoreFlow, StagingFolderIsRemovedUnlessItCannotBeAJobsFolder) {
    const std::string top = staging.path(), root = top + "/root", job = root + "/job", link = top + "/link";
    ASSERT_TRUE(CreateFolderIfNotPresent(job));
    ASSERT_EQ(0, symlink(job.c_str(), link.c_str()));
    std::ofstream(top + "/file") << "not a folder";
    struct Row { std::string root, path, folder; bool removed; };  // folder: the one that must go or stay
    for (const Row& row : {Row{root, root, root, false}, Row{root, root + "/./", root, false},
                           Row{root, top, top, false}, Row{root, "", root, false}, Row{root, "root/job", job, false},
                           Row{root, link, job, false}, Row{root, link + "/.", job, false},
                           Row{root, top + "/file", top + "/file", false},
                           Row{root + "/", root + "//job/./", job, true}, Row{root, top + "/elsewhere", top + "/elsewhere", true},
                           Row{"", job, job, true}}) {
        SCOPED_TRACE(row.root + " | " + row.path);
        ASSERT_TRUE(!row.removed || CreateFolderIfNotPresent(row.folder));
        RestoreCtx ctx = Ctx();
        ctx.stagingRoot = row.root;
        ctx.stagingPath = row.path;
        EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));
        EXPECT_EQ(!row.removed, FXPath::DoesPathExist(row.folder));
    }
}

// Whole restores into each kind of target (one through the rehost completion): the disks arrive as written in
// the container placement chose, staged blobs of managed targets go, and the staged key backups reach the VM.
TEST_F(RestoreFlow, RestoresIntoEachKindOfTarget) {
    struct Row { const char* vmName; Mode mode; const char* account; bool viaRehost; };
    for (const Row& row : {Row{"web01", Unmanaged, "prodstaging01\\backups", false},
                           Row{"web02", ManagedFromBlobs, "prodstaging01", false},
                           Row{"web03", DirectUpload, "prodstaging01", false},
                           Row{"web04", ManagedFromBlobs, "prodstaging01", true}}) {
        SCOPED_TRACE(row.vmName);
        std::unique_ptr<TestPlugin> job = Connected(row.mode);
        RestoreCtx ctx = Ctx(row.vmName, row.account, row.mode);
        ctx.powerOn = row.mode != Unmanaged;
        std::ofstream(FXPath::Append(ctx.stagingPath, "dek.bkp")) << "dek of " << row.vmName;
        std::ofstream(FXPath::Append(ctx.stagingPath, "kek.bkp")) << "kek of " << row.vmName;
        ASSERT_TRUE(row.viaRehost ? job->InitRestoreVM(ctx) == 1 && Write(*job, ctx) && job->FinalizeRehost(ctx)
                                  : Restore(*job, ctx))
            << job->GetLastVMErrorDetails();
        const azsim::StateDocument doc = State();
        const azsim::VirtualMachine* vm = doc.findVm(row.vmName, "rg-prod");
        ASSERT_NE(nullptr, vm);
        EXPECT_EQ(std::make_tuple(ctx.vmGuid, row.mode != Unmanaged, "dek of " + std::string(row.vmName) + "kek of " +
                                  row.vmName, ctx.powerOn ? azsim::PowerState::Running : azsim::PowerState::Deallocated),
                  std::make_tuple(vm->guid, vm->managed, vm->encryption.dekBackup + vm->encryption.kekBackup,
                                  vm->powerState));
        ASSERT_EQ(2u, vm->disks.size());
        for (std::size_t i = 0; i < 2; ++i) {
            std::optional<azsim::BlobKey> key = doc.diskBlob(*vm, i);
            ASSERT_TRUE(key.has_value());
            EXPECT_EQ(Pattern(ctx.disks[i].uri), Read(*key));
            EXPECT_EQ(i == 0 ? vm->disks[0].lun : 0, vm->disks[i].lun);  // the data disk on LUN 0
            EXPECT_EQ(row.mode == Unmanaged ? "backups" : key->container, key->container);
        }
        size_t blobs = 0;
        for (const azsim::BlobKey& key : Blobs().list("prodstaging01", "")) blobs += key.name.rfind(row.vmName, 0) == 0;
        EXPECT_EQ(row.mode == Unmanaged ? 2u : 0u, blobs);
        EXPECT_EQ(kOtherBytes, Read(kOtherBlob));
    }
    // Four data-disk names a second apart, and only the VM left off waits 5 minutes to shut down.
    const std::vector<unsigned long> waits = sleeper.waits();
    EXPECT_EQ(4 * 1000ul + 5 * 60000ul, std::accumulate(waits.begin(), waits.end(), 0ul));
}

// A cancel before the deployment leaves nothing the job created wherever and however it wrote its disks, without
// waiting for the host's clean-up; what was there before stays.
TEST_F(RestoreFlow, CancelledJobLeavesNothingItCreated) {
    struct Row { Mode mode; const char* account; bool beforePreparation; };
    for (const Row& row : {Row{Unmanaged, "prodstaging01", true}, Row{Unmanaged, "prodstaging01\\backups", true},
                           Row{DirectUpload, "prodstaging01", true}, Row{ManagedFromBlobs, "prodstaging01", false}}) {
        SCOPED_TRACE(std::to_string(row.mode) + row.account + (row.beforePreparation ? " before preparation" : ""));
        const std::string before = Inventory();
        std::unique_ptr<TestPlugin> job = Connected(row.mode);
        RestoreCtx ctx = Ctx("web01", row.account, row.mode);
        Start(*job, ctx);
        EXPECT_NE(before, Inventory());
        if (row.beforePreparation) job->CancelJob();
        EXPECT_EQ(!row.beforePreparation, job->PreRestoreVM(ctx)) << job->GetLastVMErrorDetails();
        job->CancelJob();
        EXPECT_EQ(0, row.beforePreparation ? 0 : job->RestoreVM(ctx));
        EXPECT_EQ(VMINFO_ERR_JOB_CANCELLED, job->GetLastVMError());
        EXPECT_FALSE(FXPath::DoesPathExist(ctx.stagingPath));
        EXPECT_EQ(before, Inventory());
        EXPECT_EQ(kOtherBytes, Read(kOtherBlob));
    }
}

// A direct upload whose OS disk was never written has no OS disk to deploy from: the preparation fails with 20.
TEST_F(RestoreFlow, PreparationWithoutAWrittenOsDiskFails) {
    std::unique_ptr<TestPlugin> job = Connected(DirectUpload);
    RestoreCtx ctx = Ctx("web01", "prodstaging01", DirectUpload);
    ASSERT_EQ(1, job->InitRestoreVM(ctx)) << job->GetLastVMErrorDetails();
    VmdkHandle handle;
    ASSERT_EQ(1, job->CreateVmdk("", "", ctx.disks[1].uri, handle, kDiskBytes));
    EXPECT_EQ(1, job->CloseVmdk(handle));
    EXPECT_EQ(0, job->PreRestoreVM(ctx));
    EXPECT_EQ(Error(VMINFO_ERR_RESTORE_DEPLOY, "No OS Disk was registered"), LastError(*job));
}

// A cancel before PostRestoreVM deletes the VM this job deployed, found again by name or else by its GUID, and no
// other.
TEST_F(RestoreFlow, CancelAfterDeploymentDeletesOnlyTheJobsOwnVm) {
    struct Row { const char* name; bool lookupFails, otherGuid; };
    for (const Row& row : {Row{"web01", false, false}, Row{"web02", true, false}, Row{"web03", false, true}}) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<TestPlugin> job = Connected(ManagedFromBlobs);
        RestoreCtx ctx = Ctx(row.name, "prodstaging01", ManagedFromBlobs);
        Start(*job, ctx);
        ASSERT_EQ(1, job->PreRestoreVM(ctx)) << job->GetLastVMErrorDetails();
        ASSERT_EQ(1, job->RestoreVM(ctx)) << job->GetLastVMErrorDetails();
        if (row.otherGuid) job->restoredVmGuid = "00000000-0000-4000-8000-000000000001";
        if (row.lookupFails) Fault("GetVMInfoForVM", 0, "ResourceNotFound: not found for the test");
        job->CancelJob();
        EXPECT_EQ(0, job->PostRestoreVM(ctx));
        EXPECT_EQ(VMINFO_ERR_JOB_CANCELLED, job->GetLastVMError());
        EXPECT_EQ(!row.otherGuid, State().findVm(row.name, "rg-prod") == nullptr);
    }
}

// Each call a restore makes of the wrapper, failing once with a text of its own: the restore rides out only the
// failures it may (a snapshot count, the shutdown after the boot wait); any other ends its step with a code and that
// text, and the clean-up leaves the subscription as it was, a container the job did not make and a blob of another
// included.
// A deployment failing with code 3 has made the VM: the restore goes on with one failure record.
TEST_F(RestoreFlow, EveryFailedCallEndsTheRestoreWithACodeAndTheCloudsText) {
    ASSERT_TRUE(plugin->sdk->CreateStorageContainer("rg-prod", "prodstaging01", "customer"));
    struct Row { Mode mode; const char* op; EVMInfoError code; const char* container; int sdkCode = 0; };
    const EVMInfoError none = VMINFO_ERR_NONE, deploy = VMINFO_ERR_RESTORE_DEPLOY, size = VMINFO_ERR_VM_SIZE;
    const EVMInfoError account = VMINFO_ERR_STORAGE_ACCOUNT_INFO;
    int n = 0;
    for (const Row& row : {Row{Unmanaged, "DoesContainerExist", deploy, "customer"},
                           Row{Unmanaged, "CreateStorageContainer", deploy, "fresh"},
                           Row{Unmanaged, "DoesBlobExist", deploy, "customer"},
                           Row{Unmanaged, "GetBlobSnapshotCount", none, "customer"},
                           Row{Unmanaged, "GetVMInfoForVM", VMINFO_ERR_VM_NOT_FOUND, "customer"},
                           Row{Unmanaged, "GetStorageAccountInfo", account, "customer"},
                           Row{Unmanaged, "GetAvailableVMSizesInLocation", size, "customer"},
                           Row{Unmanaged, "GetDCInfoForDC", deploy, "customer"},
                           Row{Unmanaged, "RestoreVM", deploy, "customer"},
                           Row{ManagedFromBlobs, "RestoreVM", deploy, ""},
                           Row{Unmanaged, "RestoreVM", none, "customer", 3},
                           Row{Unmanaged, "ShutdownVM", none, "customer"},
                           Row{Unmanaged, "DeleteVM", VMINFO_ERR_VM_DELETE, "customer"},
                           Row{DirectUpload, "GetStorageAccountInfoListForRegion", account, ""},
                           Row{DirectUpload, "DoesContainerExist", deploy, ""},
                           Row{DirectUpload, "DoesBlobExist", deploy, ""},
                           Row{DirectUpload, "RestoreVM", deploy, ""}}) {
        // The existing VM is to be replaced where its deletion fails.
        const std::string name = row.op == std::string("DeleteVM") ? "web-linux01" : "f" + std::to_string(++n);
        const std::string text = std::string("injected failure of ") + row.op;
        SCOPED_TRACE(name + " " + row.op);
        // What the job may leave changed: the VM an overwrite could not delete was shut down first.
        const auto leftovers = [&] {
            return (row.code == VMINFO_ERR_VM_DELETE ? "" : Inventory()) + State().toJson()["storageAccounts"].dump();
        };
        const std::string before = leftovers();
        std::unique_ptr<TestPlugin> job = Connected(row.mode);
        const std::string place = *row.container ? "prodstaging01\\" + std::string(row.container) + name : "";
        RestoreCtx ctx = Ctx(name, row.container == std::string("customer") ? "prodstaging01\\customer" : place,
                             row.mode);
        ctx.powerOn = false;
        ctx.overwrite = true;
        Fault(row.op, row.sdkCode, text);
        const bool restored = Restore(*job, ctx);
        EXPECT_EQ(row.code == none, restored);
        if (restored) {
            EXPECT_EQ(row.sdkCode == 3 ? 1u : 0u, ctx.restoreFailures.size());
            for (const SFailure& failure : ctx.restoreFailures) EXPECT_EQ(name + text, failure.subject + failure.reason);
            continue;
        }
        EXPECT_EQ(row.code, job->GetLastVMError());
        // The cloud's text, alone or after what the step was doing.
        const std::string details = job->GetLastVMErrorDetails(), suffix = ": " + text;
        EXPECT_TRUE(details == text || (details.size() > suffix.size() &&
                                        details.compare(details.size() - suffix.size(), suffix.size(), suffix) == 0))
            << details;
        EXPECT_EQ(1, job->CleanupRestoreVM(ctx));
        EXPECT_EQ(before, leftovers());
        EXPECT_EQ(kOtherBytes, Read(kOtherBlob));
    }
}

}  // namespace
}  // namespace restoretest

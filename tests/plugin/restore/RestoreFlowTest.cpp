// The restore slots driven as the host drives them, against the demo subscription over HTTPS: the host
// writes the disks through CreateVmdk / WriteVmdk / CloseVmdk between InitRestoreVM and PreRestoreVM.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "host/util/FXPath.h"
#include "host/util/FileSystem.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

const char* const kInitTag = "virtual int CAzureInfo::InitRestoreVM(const RestoreCtx&)";
const char* const kCleanupTag = "virtual int CAzureInfo::CleanupRestoreVM(const RestoreCtx&)";
constexpr long long kDiskBytes = 4 << 20;
const azsim::BlobKey kOtherBlob{"prodstaging01", "vhds", "keep-me.vhd"};

class FlowPlugin : public CAzureInfo {
public:
    explicit FlowPlugin(VirtualServerInstanceType type) : CAzureInfo(type, 0) {}
    using CAzureInfo::diskMap;
    using CAzureInfo::osDiskName;
    using CAzureInfo::restoredVmGuid;
    using CAzureInfo::sdk;
};

std::vector<unsigned char> Pattern(const std::string& disk, std::size_t length) {
    std::vector<unsigned char> out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(disk.size() * 7 + i * 13 + 1);
    return out;
}

class RestoreFlow : public ::testing::Test {
protected:
    void SetUp() override {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        plugin = Connected();
        Blob(kOtherBlob);
    }
    void TearDown() override { NXPlatformInfo::removeValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk"); }

    std::unique_ptr<FlowPlugin> Connected(VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
        std::unique_ptr<FlowPlugin> connected(new FlowPlugin(type));
        EXPECT_EQ(1, connected->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                        testsupport::SimulatedCloud::kApplicationId,
                                        testsupport::SimulatedCloud::kSecret));
        return connected;
    }

    // A restore of web-linux01's backup (OS disk, one data disk, its configuration file) as `vmName`.
    RestoreCtx Ctx(const std::string& vmName = "web01", const std::string& account = "prodstaging01") {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_FULL_VM;
        ctx.vmName = vmName;
        ctx.sourceVmName = "web-linux01";
        ctx.resourceGroup = "rg-prod";
        ctx.region = "westeurope";
        ctx.storageAccount = "prodstaging01";
        ctx.m_vmSize = "Standard_D2s_v3";
        ctx.powerOn = true;
        ctx.nics.push_back(SVMNetworkCard{vmName + "-nic0", "vnet-prod", "default"});
        ctx.stagingRoot = staging.path();
        ctx.stagingPath = staging.path() + "/job";
        CreateFolderIfNotPresent(ctx.stagingPath);
        for (const char* name : {"web-linux01-osdisk", "web-linux01-data0"}) {
            SDisk disk;
            disk.name = disk.originalName = name;
            disk.isOsDisk = ctx.disks.empty();
            disk.unitNumber = disk.isOsDisk ? -1 : 0;
            disk.storageAccount = account;
            disk.capacity = kDiskBytes;
            ctx.disks.push_back(disk);
        }
        SDisk config;
        config.type = DISK_TYPE_FILE;
        config.name = config.indexName = "web-linux01.json";
        ctx.disks.push_back(config);
        std::string configText, dek, kek;
        EXPECT_TRUE(plugin->sdk->GetVMConfigurationAndKeyBackups("rg-prod", "web-linux01", configText, dek, kek));
        std::ofstream(FXPath::Append(ctx.stagingPath, config.indexName)) << configText;
        return ctx;
    }
    // The host's writes: every disk created under its staged name and written at its start.
    void WriteDisks(FlowPlugin& target, const RestoreCtx& ctx) {
        for (const SDisk& disk : ctx.disks) {
            if (disk.type == DISK_TYPE_FILE) continue;
            VmdkHandle handle;
            ASSERT_EQ(1, target.CreateVmdk("", "", disk.uri, handle, kDiskBytes)) << disk.uri;
            std::vector<unsigned char> data = Pattern(disk.uri, 65536);
            ASSERT_EQ(1, target.WriteVmdk(handle, 0, static_cast<UINT>(data.size()), data.data()));
            EXPECT_EQ(1, target.CloseVmdk(handle));
        }
    }
    void Blob(const azsim::BlobKey& key) {
        azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
        ASSERT_TRUE(store.createPageBlob(key, kDiskBytes, false, nullptr));
        ASSERT_TRUE(store.writePages(key, 0, std::vector<unsigned char>(512, 0xee).data(), 512, nullptr));
    }
    bool Exists(const azsim::BlobKey& key) const {
        return azsim::SubscriptionState(cloud.dir()).blobs().exists(key);
    }
    std::vector<unsigned char> Read(const azsim::BlobKey& key, std::size_t length) const {
        std::vector<unsigned char> out(length);
        azsim::SubscriptionState(cloud.dir()).blobs().read(key, "", 0, out.data(), length);
        return out;
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    // Everything a restore could leave behind, by kind and id.
    std::vector<std::string> Inventory() const {
        const azsim::StateDocument doc = State();
        std::vector<std::string> out;
        for (const auto& vm : doc.vms) out.push_back("vm " + vm.name);
        for (const auto& disk : doc.managedDisks) out.push_back("disk " + disk.id);
        for (const auto& nic : doc.networkInterfaces) out.push_back("nic " + nic.id);
        for (const auto& ip : doc.publicIps) out.push_back("ip " + ip.id);
        for (const auto& deployment : doc.deployments) out.push_back("deployment " + deployment.name);
        for (const char* container : {"vhds", "backups"})
            for (const azsim::BlobKey& key : azsim::SubscriptionState(cloud.dir()).blobs().list("prodstaging01", container))
                out.push_back("blob " + key.container + "/" + key.name);
        std::sort(out.begin(), out.end());
        return out;
    }
    void Fault(const std::string& operation, int code, const std::string& text) {
        azsim::FaultBook(cloud.dir()).addSdkFault({operation, code, text, 1});
    }

    testsupport::ServedCloud cloud;
    testsupport::TempDir staging;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 61};
    NxRecordingSleeper sleeper;
    EvLogCapture log;
    std::unique_ptr<FlowPlugin> plugin;
};

// CreateVmdk marks a disk as this job's only when it asks for it to be created.
TEST_F(RestoreFlow, CreateVmdkMarksOnlyDisksItCreates) {
    struct Row {
        const char* key;
        bool directUpload;
        bool blobExists;
        bool marked;
    };
    for (const Row& row : {Row{"new.vhd", false, false, true}, Row{"old.vhd", false, true, false},
                           Row{"managed.vhd", true, false, true}}) {
        SCOPED_TRACE(row.key);
        if (row.blobExists) Blob({"prodstaging01", "vhds", row.key});
        SAzureDiskInfo& record = plugin->diskMap[row.key];
        record.storageAccount = "prodstaging01";
        record.container = "vhds";
        record.blobName = row.key;
        record.resourceGroup = "rg-prod";
        record.location = "westeurope";
        record.directUpload = row.directUpload;
        VmdkHandle handle;
        EXPECT_EQ(1, plugin->CreateVmdk("", "", row.key, handle, kDiskBytes));
        EXPECT_EQ(row.marked, record.createdByJob);
    }
}

// Refusals before anything is written; the clean-up that follows removes nothing that was there.
TEST_F(RestoreFlow, RefusedTargetsAreLeftAsTheyWere) {
    struct Row {
        const char* vmName;
        const char* account;
        azsim::BlobKey existing;
        EVMInfoError code;
    };
    const Row rows[] = {
        {"web-linux01", "prodstaging01", {"prodstaging01", "vhds", "web-linux01.vhd"}, VMINFO_ERR_VM_EXISTS},
        {"web01", "prodstaging01", {"prodstaging01", "vhds", "web01.vhd"}, VMINFO_ERR_BLOB_EXISTS},
        {"web02", "prodstaging01\\backups", {"prodstaging01", "backups", "web02.vhd"}, VMINFO_ERR_BLOB_EXISTS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.vmName);
        Blob(row.existing);
        const std::vector<std::string> before = Inventory();
        RestoreCtx ctx = Ctx(row.vmName, row.account);
        EXPECT_EQ(0, plugin->InitRestoreVM(ctx));
        EXPECT_EQ(row.code, plugin->GetLastVMError());
        EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));
        EXPECT_TRUE(plugin->CleanupRehost(ctx));
        EXPECT_EQ(before, Inventory());
        EXPECT_EQ(std::vector<unsigned char>(512, 0xee), Read(row.existing, 512));
        EXPECT_TRUE(log.contains(kCleanupTag, "Disk [web-linux01-osdisk] was not created by this job. Leaving it in place."));
    }
    EXPECT_NE(nullptr, State().findVm("web-linux01", "rg-prod"));
}

// Generation 2 sources need a managed target and Resource Manager; a replica deployment switches to managed.
TEST_F(RestoreFlow, Gen2SourcesNeedAManagedResourceManagerTarget) {
    struct Row {
        VirtualServerInstanceType type;
        bool deployReplicaVm;
        const char* refusal;  // null: passes the check
    };
    const Row rows[] = {
        {VSINST_AZURE_STACK_HUB, false, "Restoring a Gen 2 VM to Azure Stack is not supported."},
        {VSINST_AZURE_RESOURCE_MANAGER, false, "Restoring a Gen 2 VM as an unmanaged VM is not supported."},
        {VSINST_AZURE_RESOURCE_MANAGER, true, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        std::unique_ptr<FlowPlugin> target = Connected(row.type);
        RestoreCtx ctx = Ctx("gen2vm");
        ctx.originalInfo.firmware = "EFI";
        ctx.m_vmSize = "Standard_B2s";
        ctx.deployReplicaVm = row.deployReplicaVm;
        const int result = target->InitRestoreVM(ctx);
        if (row.refusal) {
            EXPECT_EQ(0, result);
            EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, target->GetLastVMError());
            EXPECT_EQ(row.refusal, target->GetLastVMErrorDetails());
            EXPECT_TRUE(target->diskMap.empty());
        } else {
            EXPECT_EQ(1, result) << target->GetLastVMErrorDetails();
            EXPECT_TRUE(ctx.restoreAsManagedVM);
        }
    }
}

// Kinds without restore steps in this build fail at every step with a code and a text; unknown kinds fail.
TEST_F(RestoreFlow, UnbuiltAndUnknownKindsNeverSucceed) {
    struct Row {
        int kind;
        EVMInfoError code;
    };
    using Slot = int (IVMInfo::*)(const RestoreCtx&);
    const Slot slots[] = {&IVMInfo::InitRestoreVM, &IVMInfo::PreRestoreVM, &IVMInfo::RestoreVM,
                          &IVMInfo::PostRestoreVM};
    for (const Row& row : {Row{RESTORE_TYPE_DISK_ATTACH, VMINFO_ERR_DISK_ATTACH},
                           Row{RESTORE_TYPE_REPLICATION, VMINFO_ERR_CLOUDFS_UNAVAILABLE}, Row{7, VMINFO_ERR_NONE}}) {
        for (Slot slot : slots) {
            SCOPED_TRACE(row.kind);
            plugin->SetLastVMError(VMINFO_ERR_NONE);
            RestoreCtx ctx = Ctx();
            ctx.restoreType = row.kind;
            IVMInfo& host = *plugin;
            EXPECT_EQ(0, (host.*slot)(ctx));
            EXPECT_EQ(row.code, plugin->GetLastVMError());
            if (row.code != VMINFO_ERR_NONE) {
                EXPECT_NE(std::string::npos, plugin->GetLastVMErrorDetails().find("is not available in this build"));
            }
        }
    }
    EXPECT_TRUE(log.contains(kInitTag, "Restore type [7] currently not implemented."));
    EXPECT_TRUE(State().findVm("web01") == nullptr);
}

// A restore from snapshots hands over to steps this build does not have, after the validation.
TEST_F(RestoreFlow, SnapshotRestoreFailsAtItsPreparation) {
    RestoreCtx ctx = Ctx();
    ctx.snapRestore = true;
    EXPECT_EQ(0, plugin->PreRestoreVM(ctx));
    EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, plugin->GetLastVMError());
    EXPECT_EQ("Restore of VM [web01] from snapshots is not available in this build", plugin->GetLastVMErrorDetails());
}

// The staging folder goes only when it lies strictly inside the job's staging root.
TEST_F(RestoreFlow, StagingFolderIsRemovedOnlyInsideTheStagingRoot) {
    const std::string root = staging.path() + "/root";
    struct Row {
        std::string root;
        std::string path;
        std::string folder;  // the folder that must go or stay
        bool removed;
    };
    const Row rows[] = {
        {root, root + "/job", root + "/job", true},
        {root + "/", root + "//job/./", root + "/job", true},
        {root, root, root, false},
        {root, root + "/./", root, false},
        {root, root + "/../other", staging.path() + "/other", false},
        {root, staging.path() + "/rootless/job", staging.path() + "/rootless/job", false},
        {root, "root/job", root + "/job", false},
        {root, "", root, false},
        {"", root + "/job", root + "/job", false},
        {"root", root + "/job", root + "/job", false},
        {"/", root + "/job", root + "/job", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.root + " | " + row.path);
        ASSERT_TRUE(CreateFolderIfNotPresent(row.folder));
        RestoreCtx ctx = Ctx();
        ctx.stagingRoot = row.root;
        ctx.stagingPath = row.path;
        EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));
        EXPECT_EQ(!row.removed, FXPath::DoesPathExist(row.folder));
    }
}

// Rehost cannot attach cloud disks on this platform: its first disk fails and the job ends with 54.
TEST_F(RestoreFlow, RehostEndsAtItsFirstDisk) {
    RestoreCtx ctx = Ctx();
    const std::vector<std::string> before = Inventory();
    EXPECT_FALSE(plugin->InitRehost(ctx));
    EXPECT_EQ(VMINFO_ERR_DISK_ATTACH, plugin->GetLastVMError());
    EXPECT_TRUE(log.containsError("bool CAzureInfo::_CreateAndAttachDisk(SDisk&)", "Not Ported!"));
    EXPECT_TRUE(log.containsError("virtual bool CAzureInfo::InitRehost(const RestoreCtx&)",
                                  "Failed to attach Disk [web01.vhd]"));
    EXPECT_EQ(before, Inventory());
}

// A cancel before PreRestoreVM removes the disks this job wrote, in whichever container they were placed,
// and nothing else.
TEST_F(RestoreFlow, CancelBeforePreparationRemovesOnlyWhatTheJobWrote) {
    for (const char* account : {"prodstaging01", "prodstaging01\\backups"}) {
        SCOPED_TRACE(account);
        std::unique_ptr<FlowPlugin> job = Connected();
        RestoreCtx ctx = Ctx("web01", account);
        const std::string container = std::string(account).find('\\') == std::string::npos ? "vhds" : "backups";
        ASSERT_EQ(1, job->InitRestoreVM(ctx)) << job->GetLastVMErrorDetails();
        const std::vector<std::string> before = Inventory();
        WriteDisks(*job, ctx);
        const azsim::BlobKey os{"prodstaging01", container, "web01.vhd"};
        ASSERT_TRUE(Exists(os));
        EXPECT_EQ(Pattern("web-linux01-osdisk", 512), Read(os, 512));

        job->CancelJob();
        EXPECT_EQ(0, job->PreRestoreVM(ctx));
        EXPECT_EQ(VMINFO_ERR_JOB_CANCELLED, job->GetLastVMError());
        EXPECT_EQ(before, Inventory());
        EXPECT_TRUE(Exists(kOtherBlob));
        EXPECT_FALSE(FXPath::DoesPathExist(ctx.stagingPath));
    }
}

// A new job owns nothing an earlier job of the same object wrote, even under the same disk keys.
TEST_F(RestoreFlow, ANewJobOwnsNothingAnEarlierJobWrote) {
    RestoreCtx ctx = Ctx();
    ASSERT_EQ(1, plugin->InitRestoreVM(ctx)) << plugin->GetLastVMErrorDetails();
    WriteDisks(*plugin, ctx);
    const std::vector<std::string> written = Inventory();
    ctx.originalInfo.firmware = "efi";  // refused before it names a disk
    EXPECT_EQ(0, plugin->InitRestoreVM(ctx));
    EXPECT_EQ(1, plugin->CleanupRestoreVM(ctx));
    EXPECT_EQ(written, Inventory());
}

// The deployment's disk list points at what was written; a page blob outside vhds names its container.
TEST_F(RestoreFlow, PreparationListsTheWrittenDisksWithTheirContainers) {
    RestoreCtx ctx = Ctx("web01", "prodstaging01\\backups");
    ASSERT_EQ(1, plugin->InitRestoreVM(ctx)) << plugin->GetLastVMErrorDetails();
    WriteDisks(*plugin, ctx);
    ASSERT_EQ(1, plugin->PreRestoreVM(ctx)) << plugin->GetLastVMErrorDetails();
    ASSERT_EQ(2u, ctx.vmInfo.disks.size());
    EXPECT_EQ("web01.vhd", plugin->osDiskName);
    EXPECT_EQ("web01.vhd", ctx.vmInfo.disks[0].name);
    EXPECT_TRUE(ctx.vmInfo.disks[0].isOsDisk);
    EXPECT_EQ(0, ctx.vmInfo.disks[1].unitNumber);
    for (const SDisk& disk : ctx.vmInfo.disks) EXPECT_EQ("prodstaging01\\backups", disk.storageAccount);
    EXPECT_EQ("prodstaging01", ctx.storageAccount);
    EXPECT_EQ(1u, ctx.vmInfo.nics.size());
}

}  // namespace

// Whole restores as the host runs them, into each kind of target; the disks arrive as written.
class DeployedRestore : public RestoreFlow {
protected:
    enum Mode { ManagedFromBlobs, DirectUpload, Unmanaged, ViaRehost };
    struct Job {
        std::unique_ptr<FlowPlugin> plugin;
        RestoreCtx ctx;
    };
    // Runs InitRestoreVM, the disk writes and (when `prepare`) PreRestoreVM of a restore as `vmName` in `mode`.
    Job Prepared(Mode mode, const std::string& vmName = "web01", bool prepare = true) {
        NXPlatformInfo::setValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk", mode == DirectUpload ? "1" : "0");
        Job job{Connected(), Ctx(vmName)};
        job.ctx.restoreAsManagedVM = mode != Unmanaged;
        EXPECT_EQ(1, job.plugin->InitRestoreVM(job.ctx)) << job.plugin->GetLastVMErrorDetails();
        WriteDisks(*job.plugin, job.ctx);
        if (mode != ViaRehost && prepare) {
            EXPECT_EQ(1, job.plugin->PreRestoreVM(job.ctx)) << job.plugin->GetLastVMErrorDetails();
        }
        return job;
    }
    // The first bytes of the data behind the VM's disk at `index`.
    std::vector<unsigned char> VmDiskStart(const azsim::VirtualMachine& vm, std::size_t index) const {
        const azsim::StateDocument doc = State();
        std::optional<azsim::BlobKey> key = doc.diskBlob(vm, index);
        EXPECT_TRUE(key.has_value());
        return key ? Read(*key, 512) : std::vector<unsigned char>();
    }
};

TEST_F(DeployedRestore, RestoresIntoEachKindOfTarget) {
    struct Row {
        Mode mode;
        bool managed;
    };
    const Row rows[] = {
        {ManagedFromBlobs, true}, {DirectUpload, true}, {Unmanaged, false}, {ViaRehost, true}
    };
    int run = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        const std::string vmName = "web0" + std::to_string(++run);
        Job job = Prepared(row.mode, vmName);
        job.ctx.powerOn = row.mode != Unmanaged;
        std::ofstream(FXPath::Append(job.ctx.stagingPath, "dek.bkp")) << "{\"secret\":\"" << vmName << "\"}";
        std::ofstream(FXPath::Append(job.ctx.stagingPath, "kek.bkp")) << "{\"key\":\"" << vmName << "\"}";
        if (row.mode == ViaRehost) {
            ASSERT_TRUE(job.plugin->FinalizeRehost(job.ctx)) << job.plugin->GetLastVMErrorDetails();
        } else {
            ASSERT_EQ(1, job.plugin->RestoreVM(job.ctx)) << job.plugin->GetLastVMErrorDetails();
            ASSERT_EQ(1, job.plugin->PostRestoreVM(job.ctx)) << job.plugin->GetLastVMErrorDetails();
        }

        const azsim::StateDocument doc = State();
        const azsim::VirtualMachine* vm = doc.findVm(vmName, "rg-prod");
        ASSERT_NE(nullptr, vm);
        EXPECT_EQ(vm->guid, job.ctx.vmGuid);
        EXPECT_EQ(vm->guid, job.plugin->restoredVmGuid);
        EXPECT_EQ(row.managed, vm->managed);
        EXPECT_EQ("{\"secret\":\"" + vmName + "\"}", vm->encryption.dekBackup);
        EXPECT_EQ("{\"key\":\"" + vmName + "\"}", vm->encryption.kekBackup);
        ASSERT_EQ(2u, vm->disks.size());
        EXPECT_EQ(Pattern("web-linux01-osdisk", 512), VmDiskStart(*vm, 0));
        EXPECT_EQ(Pattern("web-linux01-data0", 512), VmDiskStart(*vm, 1));
        EXPECT_EQ(job.ctx.powerOn ? azsim::PowerState::Running : azsim::PowerState::Deallocated, vm->powerState);
        // Staged blobs are imported into managed disks and go; an unmanaged VM runs on its blobs.
        size_t blobs = 0;
        for (const azsim::BlobKey& key : azsim::SubscriptionState(cloud.dir()).blobs().list("prodstaging01", "vhds"))
            blobs += key.name.rfind(vmName, 0) == 0;
        EXPECT_EQ(row.managed ? 0u : 2u, blobs);
        EXPECT_TRUE(Exists(kOtherBlob));
    }
    const std::vector<unsigned long> waits = sleeper.waits();
    EXPECT_EQ(1, std::count(waits.begin(), waits.end(), 5 * 60000ul));
}

// A deployment that fails leaves nothing the job created, whatever the target; what was there stays.
TEST_F(DeployedRestore, FailedDeploymentLeavesNothingTheJobCreated) {
    for (Mode mode : {ManagedFromBlobs, DirectUpload, Unmanaged}) {
        SCOPED_TRACE(mode);
        const std::vector<std::string> before = Inventory();
        Job job = Prepared(mode);
        EXPECT_NE(before, Inventory());
        Fault("RestoreVM", 0, "InvalidParameter: refused for the test");
        EXPECT_EQ(0, job.plugin->RestoreVM(job.ctx));
        EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, job.plugin->GetLastVMError());
        EXPECT_EQ("InvalidParameter: refused for the test", job.plugin->GetLastVMErrorDetails());
        EXPECT_EQ(1, job.plugin->CleanupRestoreVM(job.ctx));
        EXPECT_EQ(before, Inventory());
        EXPECT_EQ(std::vector<unsigned char>(512, 0xee), Read(kOtherBlob, 512));
    }
}

// Disks written straight into managed disks are the job's too: a cancel before the preparation removes them.
TEST_F(DeployedRestore, CancelBeforePreparationRemovesDirectUploadDisks) {
    const std::vector<std::string> before = Inventory();
    Job job = Prepared(DirectUpload, "web01", false);
    EXPECT_EQ(before.size() + 2, Inventory().size());
    job.plugin->CancelJob();
    EXPECT_EQ(0, job.plugin->PreRestoreVM(job.ctx));
    EXPECT_EQ(before, Inventory());
}

// Code 3: the VM exists and a later step failed; the restore goes on with one failure record.
TEST_F(DeployedRestore, VmCreatedWithALaterFailureIsASuccessWithOneFailureRecord) {
    Job job = Prepared(ManagedFromBlobs);
    Fault("RestoreVM", 3, "VMExtensionProvisioningError: the guest agent did not answer");
    ASSERT_EQ(1, job.plugin->RestoreVM(job.ctx));
    ASSERT_EQ(1u, job.ctx.restoreFailures.size());
    EXPECT_EQ("web01", job.ctx.restoreFailures[0].subject);
    EXPECT_EQ("VMExtensionProvisioningError: the guest agent did not answer", job.ctx.restoreFailures[0].reason);
}

// A cancel before PostRestoreVM deletes the VM this job deployed, found again by name, and nothing else.
TEST_F(DeployedRestore, CancelAfterDeploymentDeletesOnlyTheJobsOwnVm) {
    struct Row {
        const char* name;
        bool lookupFails;
        bool otherGuid;
        bool deleted;
    };
    for (const Row& row : {Row{"web01", false, false, true}, Row{"web02", true, false, false},
                           Row{"web03", false, true, false}}) {
        SCOPED_TRACE(row.name);
        Job job = Prepared(ManagedFromBlobs, row.name);
        ASSERT_EQ(1, job.plugin->RestoreVM(job.ctx)) << job.plugin->GetLastVMErrorDetails();
        if (row.otherGuid) job.plugin->restoredVmGuid = "00000000-0000-4000-8000-000000000001";
        if (row.lookupFails) Fault("GetVMInfoForVM", 0, "ResourceNotFound: not found for the test");
        const size_t deletes = cloud.journal("DeleteVM").size();
        job.plugin->CancelJob();
        EXPECT_EQ(0, job.plugin->PostRestoreVM(job.ctx));
        EXPECT_EQ(VMINFO_ERR_JOB_CANCELLED, job.plugin->GetLastVMError());
        EXPECT_EQ(row.deleted ? 1u : 0u, cloud.journal("DeleteVM").size() - deletes);
        EXPECT_EQ(!row.deleted, State().findVm(row.name, "rg-prod") != nullptr);
    }
}

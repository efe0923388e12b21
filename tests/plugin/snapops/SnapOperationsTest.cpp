#include "tests/plugin/snapops/SnapOpsFixture.h"

#include <boost/algorithm/string/case_conv.hpp>

namespace snapopstest {
namespace {

const char* const kCreateTag = "void CAzureInfo::_CreateSnapshotForEntity(SSnapEntityInfo&, const string&, bool)";
const char* const kMountTag = "bool CAzureInfo::_MountVM_Snap_Backup(const MountCtx&)";

SSnapEntityInfo Entity(const VmRef& vm, const std::string& id = "", const std::string& ref = "") {
    return {vm.name, vm.guid, id, "", 77, ref, {}, -1};
}

SnapOperationCtx Op(int operation, std::vector<SSnapEntityInfo> entities) { return {operation, std::move(entities)}; }

std::vector<int> Statuses(const SnapOperationCtx& op) {
    std::vector<int> out;
    for (const SSnapEntityInfo& entity : op.entities) out.push_back(entity.status);
    return out;
}

using SnapOperations = SnapOpsTest;

// One VM's failure is its own status; only a single-VM operation reports it as the last error.
TEST_F(SnapOperations, CreateFailsOnlyTheFailingVmAndSetsTheLastErrorForASingleVm) {
    struct Row {
        std::string inject;
        std::vector<VmRef> vms;
        bool wrapperFault;
        std::vector<int> statuses;
        EVMInfoError lastError;
        std::size_t calls;
    };
    const std::string upperWeb = boost::algorithm::to_upper_copy(std::string(kWeb.guid));
    const Row rows[] = {
        {"", {kWeb}, false, {0}, VMINFO_ERR_CONNECTION_LOST, 1},
        {"other," + upperWeb, {kWeb}, false, {39}, VMINFO_ERR_VM_SNAPSHOT_CREATE, 0},
        {kWeb.guid, {kWeb, kLegacy}, false, {39, 0}, VMINFO_ERR_CONNECTION_LOST, 1},
        {"", {kWeb}, true, {39}, VMINFO_ERR_VM_SNAPSHOT_CREATE, 1},
        {"", {kWeb, kLegacy}, true, {39, 0}, VMINFO_ERR_CONNECTION_LOST, 2},
    };
    std::size_t callsBefore = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.inject + " VMs " + std::to_string(row.vms.size()) + (row.wrapperFault ? " fault" : ""));
        NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", row.inject);
        if (row.wrapperFault) Fault("CreateVMSnapshot", "quota exceeded");
        auto plugin = Connected();
        plugin->SetLastVMError(VMINFO_ERR_CONNECTION_LOST, "earlier");
        SnapOperationCtx op = Op(SNAP_OP_CREATE, {});
        for (const VmRef& vm : row.vms) op.entities.push_back(Entity(vm));
        EXPECT_EQ(1, plugin->PerformSnapOperation(op));
        EXPECT_EQ(row.statuses, Statuses(op));
        EXPECT_EQ(row.lastError, plugin->GetLastVMError());
        const std::size_t calls = cloud.journal("CreateVMSnapshot").size();
        EXPECT_EQ(row.calls, calls - callsBefore);
        callsBefore = calls;
        for (const SSnapEntityInfo& entity : op.entities)
            EXPECT_EQ(entity.status == 0, !entity.snapshotId.empty() && entity.snapshotId == entity.snapshotRef);
        if (row.wrapperFault && row.vms.size() == 1) {
            EXPECT_EQ("quota exceeded", plugin->GetLastVMErrorDetails());
        }
        EXPECT_EQ(!row.inject.empty(), log.contains(kCreateTag, "Injecting snapshot creation fault for VM [" +
                                                                    std::string(kWeb.name) + "] [" + kWeb.guid + "]"));
        log.clear();
    }
}

// A set is deleted by its id, or by its reference when the id is empty; naming none needs no call.
TEST_F(SnapOperations, DeleteByIdOrReferenceAndWithNothingNamedWithoutACall) {
    auto plugin = Connected();
    SnapOperationCtx create = Op(SNAP_OP_CREATE, {Entity(kWeb), Entity(kWeb)});
    ASSERT_EQ(1, plugin->PerformSnapOperation(create));
    ASSERT_EQ(2u, SetCount());
    const std::string first = create.entities[0].snapshotId, second = create.entities[1].snapshotRef;
    SnapOperationCtx del = Op(SNAP_OP_DELETE, {Entity(kWeb, first, first), Entity(kWeb, "", second), Entity(kWeb)});
    EXPECT_EQ(1, plugin->PerformSnapOperation(del));
    EXPECT_EQ((std::vector<int>{0, 0, 0}), Statuses(del));
    for (const SSnapEntityInfo& entity : del.entities) EXPECT_EQ("", entity.snapshotRef);
    EXPECT_EQ(0u, SetCount());
    const auto calls = cloud.journal("DeleteVMSnapshot");
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(second, calls[1]["args"]["snapshotRef"]);

    // A refused deletion fails that VM with a failure record and error 116, its reference kept.
    Fault("DeleteVMSnapshot", "locked");
    SnapOperationCtx refused = Op(SNAP_OP_DELETE, {Entity(kWeb, "set-1", "set-1")});
    EXPECT_EQ(1, plugin->PerformSnapOperation(refused));
    EXPECT_EQ(SNAP_ENTITY_DELETE_FAILED, refused.entities[0].status);
    EXPECT_EQ("Failed to delete snapshot for VM", refused.entities[0].failure.reason);
    EXPECT_EQ(kWeb.guid, refused.entities[0].failure.guid);
    EXPECT_EQ("set-1", refused.entities[0].snapshotRef);
    EXPECT_EQ(VMINFO_ERR_SNAPSHOT_DELETE, plugin->GetLastVMError());
    EXPECT_EQ("locked", plugin->GetLastVMErrorDetails());
}

TEST_F(SnapOperations, PrepareClearsReferencesAndAnUnknownOperationFailsEveryVm) {
    auto plugin = Connected();
    SnapOperationCtx prepare = Op(SNAP_OP_PREPARE, {Entity(kWeb, "", "r1"), Entity(kLegacy, "", "r2")});
    EXPECT_EQ(1, plugin->PerformSnapOperation(prepare));
    EXPECT_EQ((std::vector<int>{0, 0}), Statuses(prepare));
    EXPECT_EQ("", prepare.entities[1].snapshotRef);
    EXPECT_EQ(VMINFO_ERR_NONE, plugin->GetLastVMError());

    SnapOperationCtx unknown = Op(3, {Entity(kWeb), Entity(kLegacy)});
    EXPECT_EQ(0, plugin->PerformSnapOperation(unknown));
    for (const SSnapEntityInfo& entity : unknown.entities) {
        EXPECT_EQ(SNAP_ENTITY_UNKNOWN_OPERATION, entity.status);
        EXPECT_EQ(entity.guid, entity.failure.guid);
    }
    EXPECT_EQ(VMINFO_ERR_SNAP_OPERATION_UNKNOWN, plugin->GetLastVMError());
    EXPECT_EQ("Unknown snapshot operation [3]", plugin->GetLastVMErrorDetails());
    EXPECT_TRUE(cloud.journal("CreateVMSnapshot").empty());
}

TEST_F(SnapOperations, GetAFileIDAnswersFromTheJobsVmsForVVolEnginesOnly) {
    struct Row {
        std::uint32_t engine;
        std::string guid;
        bool known;
        int result;
        std::uint32_t id;
    };
    const Row rows[] = {
        {SNAP_ENGINE_CLOUD_VVOL, kWeb.guid, true, 1, 7},
        {SNAP_ENGINE_CLOUD_VVOL, kWeb.guid, false, 0, 99},
        {SNAP_ENGINE_STORAGE_ARRAY, kWeb.guid, false, 1, 99},
        {SNAP_ENGINE_STORAGE_ARRAY, "", false, 0, 99},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.engine) + " [" + row.guid + "] known " + std::to_string(row.known));
        auto plugin = Connected();
        MountCtx ctx;
        ctx.snapEngine = row.engine;
        ctx.vmGuid = row.guid;
        if (row.known) ctx.vmInfoByGuid[kWeb.guid].archiveFileId = 7;
        std::uint32_t id = 99;
        EXPECT_EQ(row.result, plugin->GetAFileID(ctx, "disk0", DISK_TYPE_VIRTUAL_DISK, id));
        EXPECT_EQ(row.id, id);
        EXPECT_EQ(row.result == 1 ? VMINFO_ERR_NONE : VMINFO_ERR_SNAP_RECORDS, plugin->GetLastVMError());
    }
}

// The snapshot phase's outcome per VM decides its mount; any failure keeps its own status and details.
TEST_F(SnapOperations, SnapJobMountFollowsTheVmsSnapshotStatus) {
    struct Row {
        std::uint32_t status;
        std::string details;
        bool snapped;
        int result;
        EVMInfoError error;
        std::string message;
        bool archiveValid;
    };
    const std::string web = kWeb.name, guid = kWeb.guid;
    const Row rows[] = {
        {1, "", true, 0, VMINFO_ERR_VM_NOT_FOUND, "Virtual machine [" + web + "] is not found", true},
        {39, "engine text", true, 0, VMINFO_ERR_VM_SNAPSHOT_CREATE,
         "Failed to create snapshot for VM: [" + web + "][" + guid + "] during snapbackup phase", true},
        {233, "", true, 0, VMINFO_ERR_SNAP_MANAGED_VM_UNSUPPORTED,
         "Currently, Snap backup is NOT supported for Azure Managed VM : [" + web + "]", true},
        {250, "", true, 0, VMINFO_ERR_AZURE_STACK_MANAGED_UNSUPPORTED,
         "Backup is NOT supported for Azure Stack Managed VM : [" + web + "]", true},
        {65, "All disks are filtered", true, 0, VMINFO_ERR_ALL_DISKS_FILTERED,
         "Snap backup of VM [" + web + "][" + guid + "] failed with status [65]", true},
        {0, "", true, 1, VMINFO_ERR_NONE, "", true},
        {0, "", false, 0, VMINFO_ERR_VM_SNAPSHOT_CREATE,
         "VM [" + web + "][" + guid + "] has no snapshot in snap job [77]", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + (row.snapped ? " snapped" : " no snapshot"));
        auto plugin = Connected();
        MountCtx ctx;
        ctx.isSnapJob = true;
        ctx.jobId = 77;
        ctx.vmName = web;
        ctx.vmGuid = guid;
        ctx.vmInfo.snapStatus = row.status;
        ctx.vmInfo.snapStatusDetails = row.details;
        ctx.vmInfo.archiveFileId = NewArchiveFile(77, guid);
        if (row.snapped) ctx.vmInfoByGuid[guid].snapshotGuid = "set-of-web";
        EXPECT_EQ(row.result, plugin->MountVM(ctx));
        EXPECT_EQ(row.error, plugin->GetLastVMError());
        if (row.result == 0) {
            EXPECT_TRUE(log.containsError(kMountTag, row.message));
            EXPECT_EQ(row.details.empty() ? row.message : row.details, plugin->GetLastVMErrorDetails());
        }
        EXPECT_EQ(row.archiveValid, ArchiveFileValid(77, ctx.vmInfo.archiveFileId));
        EXPECT_NE(0, ctx.referenceTime);
        log.clear();
    }
    EXPECT_TRUE(cloud.journal("GetVMInfoForVM").empty());
}

}  // namespace
}  // namespace snapopstest

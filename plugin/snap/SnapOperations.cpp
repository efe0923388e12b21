// Snapshot operations the host drives per VM of a snapshot-engine job:
// create a VM's snapshot set, delete it again, or prepare for it. The outcome
// of each VM is its entity's status; the operation as a whole fails only when
// its code is not one of these.
#include "host/settings/NXPlatformInfo.h"
#include "host/util/FXString.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kOperationTag = "virtual int CAzureInfo::PerformSnapOperation(const SnapOperationCtx&)";
const char* const kCreateTag = "void CAzureInfo::_CreateSnapshotForEntity(SSnapEntityInfo&, const string&, bool)";
const char* const kDeleteTag = "void CAzureInfo::_DeleteSnapshotForEntity(SSnapEntityInfo&)";

// The GUIDs of the VMs whose snapshot creation is made to fail (a test aid); empty for none.
std::string InjectFaultForVM() {
    std::string guids;
    NXPlatformInfo::getString("VirtualServer", "InjectFaultForVM", &guids);
    return guids;
}

bool IsFaultInjected(const std::string& injectFaultFor, const std::string& guid) {
    return !injectFaultFor.empty() && !guid.empty() &&
           FXString::FindString(injectFaultFor, guid, FXString::IgnoreCase) != std::string::npos;
}

}  // namespace

int CAzureInfo::PerformSnapOperation(const SnapOperationCtx& op) {
    return GuardSlot(*this, kOperationTag, VMINFO_ERR_SNAP_OPERATION_UNKNOWN, 0, [&] {
        // The host reads each entity's outcome back from the context it passed as constant.
        std::vector<SSnapEntityInfo>& entities = const_cast<SnapOperationCtx&>(op).entities;
        switch (op.operation) {
            case SNAP_OP_CREATE: {
                const std::string injectFaultFor = InjectFaultForVM();
                for (SSnapEntityInfo& entity : entities)
                    _CreateSnapshotForEntity(entity, injectFaultFor, entities.size() == 1);
                return 1;
            }
            case SNAP_OP_DELETE:
                for (SSnapEntityInfo& entity : entities) _DeleteSnapshotForEntity(entity);
                return 1;
            case SNAP_OP_PREPARE:
                for (SSnapEntityInfo& entity : entities) {
                    EvDebug::Debug(kOperationTag, "Preparing Snapshot for VM [%s]", entity.name.c_str());
                    entity.status = SNAP_ENTITY_OK;
                    entity.snapshotRef.clear();
                }
                return 1;
            default: {
                // Nothing was done for any VM, so none may count as done.
                const std::string text = "Unknown snapshot operation [" + std::to_string(op.operation) + "]";
                for (SSnapEntityInfo& entity : entities) {
                    entity.status = SNAP_ENTITY_UNKNOWN_OPERATION;
                    entity.failure = {entity.name, entity.guid, text, false};
                }
                FailSlot(*this, kOperationTag, VMINFO_ERR_SNAP_OPERATION_UNKNOWN, text);
                return 0;
            }
        }
    });
}

void CAzureInfo::_CreateSnapshotForEntity(SSnapEntityInfo& entity, const std::string& injectFaultFor,
                                          bool onlyEntity) {
    EvDebug::Debug(kCreateTag, "Creating Snapshot for VM [%s] Guid [%s]", entity.name.c_str(), entity.guid.c_str());
    EvDebug::Debug(kCreateTag, "Filtered disks for VM [%s] - [%s]", entity.name.c_str(), entity.filteredDisks.c_str());
    EvDebug::Debug(kCreateTag, "Job ID for VM [%s] - [%lld]", entity.name.c_str(), entity.jobId);
    std::string error;
    if (IsFaultInjected(injectFaultFor, entity.guid)) {
        EvDebug::Debug(kCreateTag, "Injecting snapshot creation fault for VM [%s] [%s]", entity.name.c_str(),
                       entity.guid.c_str());
        error = "Snapshot creation fault injected for the VM";
    } else {
        std::string snapshotId, snapshotRef;
        std::vector<SDisk> snapshotDisks;
        if (sdk->CreateVMSnapshot(entity.name, entity.guid, true, entity.filteredDisks, entity.jobId, snapshotId,
                                  snapshotDisks, snapshotRef)) {
            entity.snapshotId = snapshotId;
            entity.snapshotRef = snapshotRef;
            entity.status = SNAP_ENTITY_OK;
            return;
        }
        error = sdk->GetLastErrorString();
    }
    EvDebug::Error(kCreateTag, "Failed to create snapshot for VM[%s]: [%s]", entity.name.c_str(), error.c_str());
    entity.status = SNAP_ENTITY_CREATE_FAILED;
    // With several VMs each one's outcome is its status; the last error would name only one of them.
    if (onlyEntity) SetLastVMError(VMINFO_ERR_VM_SNAPSHOT_CREATE, error);
}

void CAzureInfo::_DeleteSnapshotForEntity(SSnapEntityInfo& entity) {
    // A set created by reference alone is deleted by it: dropping the reference would leak the set.
    const std::string& named = entity.snapshotId.empty() ? entity.snapshotRef : entity.snapshotId;
    if (named.empty()) {
        EvDebug::Debug(kDeleteTag, "Found empty snapshotID for VM [%s]. No snapshot cleanup required.",
                       entity.name.c_str());
        entity.status = SNAP_ENTITY_OK;
        return;
    }
    EvDebug::Debug(kDeleteTag, "Deleting Snapshot [%s] for VM [%s]", named.c_str(), entity.name.c_str());
    if (!sdk->DeleteVMSnapshot(entity.name, entity.guid, entity.snapshotId, entity.snapshotRef, true)) {
        const std::string error = sdk->GetLastErrorString();
        EvDebug::Error(kDeleteTag, "Failed to delete snapshot for VM[%s]: [%s]", entity.name.c_str(), error.c_str());
        SetLastVMError(VMINFO_ERR_SNAPSHOT_DELETE, error);
        entity.failure = {entity.name, entity.guid, "Failed to delete snapshot for VM", false};
        entity.status = SNAP_ENTITY_DELETE_FAILED;
        return;
    }
    EvDebug::Debug(kDeleteTag, "Successfully deleted Snapshot ID [%s] of VM [%s]", named.c_str(),
                   entity.name.c_str());
    entity.status = SNAP_ENTITY_OK;
    entity.snapshotRef.clear();
}

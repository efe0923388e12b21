#include "agent/snap/PluginSnapEngine.h"

#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>

#include "host/snap/CVMSnapUtil.h"

namespace vsagent {

namespace {

SSnapEntityInfo EntityOf(const SMVolumeInfo& volume) {
    SSnapEntityInfo entity;
    entity.name = volume.sourceDevice;
    entity.guid = volume.sourceGuid;
    auto filtered = volume.transientMetadata.find(SM_TRANSIENT_FILTERED_DISKS);
    if (filtered != volume.transientMetadata.end()) entity.filteredDisks = DiskNamesOf(filtered->second);
    entity.jobId = volume.jobId;
    return entity;
}

// Why an entity's snapshot was not taken: its failure record, else what the plugin said.
std::string FailureText(const SSnapEntityInfo& entity, const std::string& lastError) {
    if (!entity.failure.reason.empty()) return entity.failure.reason;
    if (!lastError.empty()) return lastError;
    return "the snapshot of VM [" + entity.name + "] was not created";
}

SMSnapInfo OutcomeOf(const SSnapEntityInfo& entity, const std::string& lastError) {
    SMSnapInfo snap;
    snap.createdAt = static_cast<std::int64_t>(std::time(nullptr));
    if (entity.status == SNAP_ENTITY_OK && !entity.snapshotId.empty()) {
        snap.status = SM_SNAP_STATUS_SUCCESS;
        snap.uniqueIdentifier = entity.snapshotId;
        return snap;
    }
    snap.status = SM_SNAP_STATUS_FAILED;
    // An "ok" without a set is no snapshot either.
    snap.errorCode = entity.status == SNAP_ENTITY_OK ? SNAP_ENTITY_CREATE_FAILED : entity.status;
    snap.errorText = FailureText(entity, lastError);
    return snap;
}

}  // namespace

bool PluginSnapEngine::TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) {
    SnapOperationCtx op;
    op.operation = SNAP_OP_CREATE;
    for (const SMVolumeInfo& volume : info.volumes) op.entities.push_back(EntityOf(volume));
    try {
        if (plugin_.PerformSnapOperation(op) != 1 || op.entities.size() != info.volumes.size()) return false;
    } catch (const std::exception&) {
        return false;
    }
    // The plugin sets its error text for an operation of one VM only.
    const std::string lastError = op.entities.size() == 1 ? plugin_.GetLastVMErrorDetails() : std::string();
    for (std::size_t i = 0; i < op.entities.size(); ++i)
        info.addSnap(static_cast<int>(i), OutcomeOf(op.entities[i], lastError));
    return true;
}

void PluginSnapEngine::Install(IVMInfo& plugin, const std::string& storeRoot) {
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(storeRoot));
    CVMSnapUtil::InstallEngine(std::make_shared<PluginSnapEngine>(plugin));
}

std::string SnapCatalogRoot(const std::string& storeRoot) {
    return (std::filesystem::path(storeRoot) / "snapshots").string();
}

std::string DiskNamesOf(const std::string& uris) {
    std::istringstream in(uris);
    std::string uri, names;
    while (std::getline(in, uri, ',')) {
        const std::size_t cut = uri.find_last_of('/');
        const std::string name = cut == std::string::npos ? uri : uri.substr(cut + 1);
        if (name.empty()) continue;
        names += (names.empty() ? "" : ",") + name;
    }
    return names;
}

}  // namespace vsagent

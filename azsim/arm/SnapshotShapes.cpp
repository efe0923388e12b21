#include "azsim/arm/SnapshotShapes.h"

#include <algorithm>

#include "azsim/auth/IsoTime.h"

namespace azsim {

namespace {

std::string TagOr(const Tags& tags, const char* name, const std::string& otherwise) {
    const auto found = tags.find(name);
    return found == tags.end() ? otherwise : found->second;
}

}  // namespace

nlohmann::json SnapshotJson(const ManagedSnapshot& snap, const ManagedDisk* source) {
    nlohmann::json tags = nlohmann::json::object();
    for (const auto& [name, value] : snap.tags) tags[name] = value;
    nlohmann::json properties = {
        {"creationData", {{"createOption", "Copy"}, {"sourceResourceId", snap.sourceDiskId}}},
        {"diskSizeGB", snap.sizeBytes >> 30},
        {"diskSizeBytes", snap.sizeBytes},
        {"timeCreated", formatIsoTime(snap.createdAt)},
        {"provisioningState", "Succeeded"},
        {"diskState", snap.grant.active ? "ActiveSAS" : "Unattached"},
        {"incremental", snap.incremental},
        {"uniqueId", snap.storeSnapshot}};
    if (source && !source->osType.empty()) properties["osType"] = source->osType;
    if (source) properties["hyperVGeneration"] = source->firmware.empty() ? "V1" : "V2";
    return {{"id", snap.id},
            {"name", snap.name},
            {"type", "Microsoft.Compute/snapshots"},
            {"location", snap.region},
            {"tags", tags},
            {"sku", {{"name", "Standard_LRS"}, {"tier", "Standard"}}},
            {"properties", properties}};
}

void JoinSnapshotSet(StateDocument& doc, const std::string& member, const Tags& tags, const std::string& group,
                     std::int64_t createdAt) {
    const auto guid = tags.find(kSnapshotSetGuidTag);
    if (guid == tags.end()) return;
    SnapshotSet* set = doc.findSnapshotSet(guid->second);
    if (!set) {
        SnapshotSet created;
        created.guid = guid->second;
        created.vmName = TagOr(tags, kSnapshotVmNameTag, std::string());
        created.resourceGroup = TagOr(tags, kSnapshotVmGroupTag, group);
        created.vmGuid = TagOr(tags, kSnapshotVmGuidTag, std::string());
        const bool lookUp = created.vmGuid.empty() && !created.vmName.empty();
        if (const VirtualMachine* vm = lookUp ? doc.findVm(created.vmName, created.resourceGroup) : nullptr)
            created.vmGuid = vm->guid;
        created.createdAt = createdAt;
        created.jobTag = TagOr(tags, kSnapshotJobTag, std::string());
        created.applicationId = TagOr(tags, kSnapshotAppIdTag, std::string());
        doc.snapshotSets.push_back(created);
        set = &doc.snapshotSets.back();
    }
    set->members.push_back(member);
}

void LeaveSnapshotSets(StateDocument& doc, const std::string& snapshotId) {
    // Only a set this snapshot was the last member of goes: a set recorded without members is not its to remove.
    std::vector<std::string> emptied;
    for (SnapshotSet& set : doc.snapshotSets) {
        const auto end = std::remove(set.members.begin(), set.members.end(), snapshotId);
        if (end == set.members.end()) continue;
        set.members.erase(end, set.members.end());
        if (set.members.empty()) emptied.push_back(set.guid);
    }
    doc.snapshotSets.erase(std::remove_if(doc.snapshotSets.begin(), doc.snapshotSets.end(),
                                          [&](const SnapshotSet& set) {
                                              return std::find(emptied.begin(), emptied.end(), set.guid) !=
                                                     emptied.end();
                                          }),
                           doc.snapshotSets.end());
}

}  // namespace azsim

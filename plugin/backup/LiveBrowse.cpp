// Live browse: disks made from the backup snapshot, attached to the VM this agent runs in,
// each exposed by the disk mapper as a local device.
#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdio>
#include <set>

#include "host/sys/Time.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/PathParts.h"

namespace {

const char* const kTag = "bool CAzureInfo::GetDiskInfoForVM_HotAdd(const MountCtx&)";

// Where the mapper reads a new disk's data: a URL and the bearer token it needs (none for a SAS URL).
struct DataSource {
    std::string url;
    std::string token;
    std::string sasGroup;  // snapshot whose SAS URL was granted for the read, revoked after it
    std::string sasSnapshot;
};

std::string LiveBrowseDiskName(NXJobID refJobId, std::set<std::string>& used) {
    const NxClock::time_point now = NxClock::now();
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    struct tm local = NxClock::localNow();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d%03ld", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
    std::string name = FXString::Format("ORVALENTA_LB_%lld_%s", static_cast<long long>(refJobId), stamp);
    // Disks made within the same millisecond must still get names of their own.
    for (int n = 1; used.count(name); ++n)
        name = FXString::Format("ORVALENTA_LB_%lld_%s_%d", static_cast<long long>(refJobId), stamp, n);
    used.insert(name);
    return name;
}

std::string LastSegment(const std::string& id) {
    const std::string::size_type slash = id.rfind('/');
    return slash == std::string::npos ? id : id.substr(slash + 1);
}

// Resource group (part 4) and name (last part) of a resource id.
bool SplitResourceId(const std::string& id, std::string& group, std::string& name) {
    std::vector<std::string> parts = SplitAtSlash(id);
    if (parts.size() <= 4) return false;
    group = parts[4];
    name = parts.back();
    return true;
}

}  // namespace

bool CAzureInfo::GetDiskInfoForVM_HotAdd(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    boost::shared_ptr<CDiskMapperLinux> mapper = boost::make_shared<CDiskMapperLinux>();
    if (!mapper->Init()) {
        EvDebug::Error(kTag, "Failed to initialize disk mapper");
        return false;
    }

    // Each disk is recorded as held the moment it is attached, so that a mount failing on a later
    // disk leaves the unmount (which a failed mount runs) exactly the disks to release.
    const std::string key = _LiveBrowseKey(ctx);
    std::vector<SDisk>& attached = liveBrowseAttachedDisks[key];
    attached.clear();
    std::set<std::string> usedNames;
    for (SDisk disk : ctx.vmInfo.disks) {
        const std::string newName = LiveBrowseDiskName(ctx.refJobId, usedNames);
        const std::string snapshotRef = ctx.vmInfo.isManaged ? disk.managedDiskId : disk.uri;
        DataSource source;
        std::string created;
        if (!ctx.vmInfo.isManaged) {
            if (!sdk->CreateDiskFromSnapshot(disk.uri, disk.storageAccount, "vhds", newName, ctx.vmInfo.snapshotGuid,
                                             created, true, false)) {
                const std::string text = sdk->GetLastErrorString();
                EvDebug::Error(kTag, "Failed to create disk from snapshot, [%s]", text.c_str());
                SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
                return false;
            }
            EvDebug::DebugLvl(kTag, 1, "Unmanaged BLOB URL [%s]", created.c_str());
            source.url = created;
            sdk->GetStorageAccessToken(source.token);
        } else {
            disk.isManaged = true;
            // The disk's snapshot: the backup-copy record names it, else the snapshot set does.
            const std::string from = disk.backupStorageAccount.empty() ? snapshotRef : disk.backupStorageAccount;
            if (!sdk->CreateManagedDiskFromSnapshot(from, ctx.vmInfo.region, ctx.vmInfo.snapshotGuid, newName,
                                                    ctx.vmInfo.resourceGroup, ctx.vmInfo.region,
                                                    std::to_string(ctx.vmInfo.archiveFileId), disk.volumeType, "",
                                                    true, true, disk.isManaged, ctx.vmInfo.availabilityZones,
                                                    created)) {
                const std::string text = sdk->GetLastErrorString();
                EvDebug::Error(kTag, "Failed to create managed disk [%s] from snapshot [%s], Error [%s].",
                               newName.c_str(), from.c_str(), text.c_str());
                SetLastVMError(VMINFO_ERR_DISK_CREATE, text);
                return false;
            }
            disk.name = LastSegment(created);
            EvDebug::DebugLvl(kTag, 1, "Successfully created disk name [%s], Managed disk ID [%s]", disk.name.c_str(),
                              created.c_str());
            if (SplitResourceId(snapshotRef, source.sasGroup, source.sasSnapshot))
                sdk->GetSASTokenURI(source.sasGroup, source.sasSnapshot, source.url);
        }
        disk.managedDiskId = created;
        disk.isOsDisk = false;

        if (!mapper->PreAttachDisk(newName, source.url, source.token)) {
            EvDebug::Debug(kTag, "DiskMapper PreAttach failed for disk");
            return false;
        }
        SVMInfo localVm;
        if (!GetLocalVMInfo(localVm, 16, 0)) {
            const std::string text = sdk->GetLastErrorString();
            EvDebug::Debug(kTag, "Failed to get VM Info for VM [%s/%s], [%s]", localVm.name.c_str(),
                           c_localVMGuid.c_str(), text.c_str());
            SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
            return false;
        }
        int lun = disk.unitNumber;
        for (const SDisk& used : localVm.disks) {
            EvDebug::Debug(kTag, "LUN number %d is used.", used.unitNumber);
            if (lun == used.unitNumber) ++lun;
        }
        disk.unitNumber = lun;

        std::string devicePath;
        std::uint64_t size = 0;
        const bool added = sdk->AddDisksToVM(localVm, {disk});
        if (!added) EvDebug::Debug(kTag, "Failed to attach Disk");
        const bool mapped = added && mapper->PostAttachDisk(disk.guid, devicePath, size, false);
        if (!source.sasSnapshot.empty()) sdk->RevokeSASToken(source.sasGroup, source.sasSnapshot);
        if (mapped) {
            EvDebug::Debug(kTag, "Disk [%s] [%s] is attached at [%s]", disk.name.c_str(), disk.guid.c_str(),
                           devicePath.c_str());
            mapper->BringDiskOffline(devicePath);
            attached.push_back(disk);
            continue;
        }
        if (added) {
            EvDebug::Debug(kTag, "DiskMapper PostAttach failed for disk [%s] [%s]", disk.name.c_str(),
                           disk.guid.c_str());
            mapper->PreDetatchDisk(devicePath);
            mapper->DeleteDiskDevice(devicePath);
            mapper->PostDetatchDisk(disk.guid);
        }
        std::vector<SDisk> remove = attached;
        remove.push_back(disk);
        if (!sdk->DeleteDisksFromVM(localVm, remove))
            EvDebug::Debug(kTag,
                           "Warning: Could not remove failed disks from the VM [%s]. Provisioning state may be shown "
                           "as 'Failed'.",
                           localVm.name.c_str());
        liveBrowseAttachedDisks.erase(key);
        return false;
    }
    liveBrowseDiskManagers[key] = mapper;
    mount.vmInfo.disks = attached;
    return true;
}

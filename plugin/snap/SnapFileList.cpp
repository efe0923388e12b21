// A VM of a snapshot-engine job as the job's snap metadata recorded it: a copy job takes the VM's
// disks from there, a revert or restore points its disks at the recorded ones. Also the split of a
// cloud resource id into its parts.
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/PathParts.h"

namespace {

const char* const kFileListTag =
    "bool CAzureInfo::_GetFileListForRevertFromSnapXML(const MountCtx&, "
    "const std::vector<VMInfoStructs::SDatastoreInfo>&, const RestoreCtx&)";
constexpr std::size_t kResourceIdPieces = 8;

// The recorded VM's disks a copy job reads: those not filtered, named after the last part of their URI.
std::vector<SDisk> DisksToCopy(const SVMInfo& recorded) {
    std::vector<SDisk> kept;
    for (SDisk disk : recorded.disks) {
        if (disk.isFiltered) continue;
        disk.storageAccount = disk.backupStorageAccount;
        const std::string::size_type slash = disk.uri.rfind('/');
        if (slash != std::string::npos) {
            disk.name = disk.uri.substr(slash + 1);
            disk.attachedPath = disk.name;
        }
        kept.push_back(disk);
    }
    return kept;
}

// Points every restore disk at the recorded disk of the same index name.
void PointRestoreDisks(const SVMInfo& recorded, RestoreCtx& restore) {
    for (const SDisk& source : recorded.disks) {
        if (source.type == 0) continue;
        for (SDisk& target : restore.disks)
            if (target.type != 0 && boost::iequals(target.indexName, source.indexName)) {
                target.uri = source.uri;
                target.managedDiskId = source.uri;
                break;
            }
    }
    restore.vmInfo.disks = restore.disks;
}

}  // namespace

bool CAzureInfo::_GetFileListForRevertFromSnapXML(const MountCtx& ctx, const std::vector<SDatastoreInfo>& datastores,
                                                  const RestoreCtx& rctx) {
    if (datastores.empty()) {
        EvDebug::Error(kFileListTag, "Empty datastore list passed");
        return false;
    }
    bool found = false;
    for (const SDatastoreInfo& datastore : datastores)
        for (const SVMInfo& recorded : datastore.vmList) {
            if (recorded.guid != ctx.vmGuid) continue;
            found = true;
            if (ctx.isBackupCopy) {
                MountCtx& mount = Writable(ctx);
                mount.vmInfo = recorded;
                mount.vmInfo.disks = DisksToCopy(recorded);
            } else {
                PointRestoreDisks(recorded, _Writable(rctx));
            }
        }
    if (found) return true;
    EvDebug::Error(kFileListTag, "VM [%s][%s] not found in backup*.xml - check snap job XML", ctx.vmName.c_str(),
                   ctx.vmGuid.c_str());
    return false;
}

bool CAzureInfo::_ParseResourceID(const std::string& id, std::string& subscription, std::string& resourceGroup,
                                  std::string& providerNamespace, std::string& name) {
    const std::vector<std::string> pieces = SplitAtSlash(id);
    if (pieces.size() <= kResourceIdPieces) return true;
    subscription = pieces[2];
    resourceGroup = pieces[4];
    providerNamespace = pieces[6];
    name = pieces.back();
    return true;
}

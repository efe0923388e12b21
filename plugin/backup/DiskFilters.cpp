// Disk filters of a backup job: the Azure meaning of each filter rule kind, and their application at mount.
#include "host/util/CFilterTerm.h"
#include "host/util/CPathMatch.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/PathParts.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kExcludeTag = "bool CAzureInfo::ExcludeFilteredDisks(const MountCtx&)";
const char* const kPathTag = "virtual bool CAzureInfo::IsDiskFilteredByPath(const string&, const VMInfoStructs::SDisk&)";
const char* const kPatternTag = "virtual bool CAzureInfo::IsDiskFilteredByPattern(const string&, const VMInfoStructs::SDisk&)";
const char* const kDatastoreTag =
    "virtual bool CAzureInfo::IsDiskFilteredByDatastore(const MountCtx&, const string&, const VMInfoStructs::SDisk&)";
const char* const kTypeTag = "virtual bool CAzureInfo::IsDiskFilteredByType(const string&, const VMInfoStructs::SDisk&)";
const char* const kTagTag =
    "virtual bool CAzureInfo::IsDiskFilteredByTag(const string&, const string&, const VMInfoStructs::SDisk&)";

bool PathMatches(const std::string& pattern, const std::string& text) {
    CPathMatch matcher;
    matcher.setDelimiter("/");
    matcher.caseInsensitive();
    matcher.initialize(pattern, true, false);
    return matcher.match(text) == 1;
}

bool TermMatches(const std::string& term, const std::string& text) {
    CFilterTerm filter{BFilterTermOptions(1)};
    filter.LoadRaw(term);
    return filter.Matches(text);
}

}  // namespace

bool CAzureInfo::ExcludeFilteredDisks(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    EvDebug::Debug(kExcludeTag, "Checking Disk filters...");
    std::vector<SDisk> kept;
    for (SDisk& disk : mount.vmInfo.disks) {
        if (skipDataDisks && !disk.isOsDisk) {
            EvDebug::Debug(kExcludeTag, "Filtering Data disk [%s]", disk.name.c_str());
        } else if (!IsDiskFiltered(ctx, disk)) {
            kept.push_back(disk);
            continue;
        }
        disk.isFiltered = true;
        ++mount.filteredDiskCount;
    }
    if (kept.empty()) {
        EvDebug::Error(kExcludeTag, "All the disks of the VM are filtered.");
        SetLastVMError(VMINFO_ERR_ALL_DISKS_FILTERED);
        return false;
    }
    mount.vmInfo.disks = kept;
    return true;
}

bool CAzureInfo::IsDiskFilteredByPath(const std::string& path, const SDisk& disk) {
    const bool absolute = path.find("https://") != std::string::npos || path.find("http://") != std::string::npos;
    const std::string pattern = absolute ? path : "https://**/" + path;
    if (!PathMatches(pattern, disk.uri)) return false;
    EvDebug::Debug(kPathTag, "Disk [%s] is filtered by MediaLink URI path/pattern [%s]", disk.uri.c_str(),
                   pattern.c_str());
    return true;
}

bool CAzureInfo::IsDiskFilteredByPattern(const std::string& pattern, const SDisk& disk) {
    return GuardSlot(*this, kPatternTag, VMINFO_ERR_DISK_INFO, false, [&] {
        const std::string name = disk.isManaged ? disk.name : disk.originalName;
        std::string account, container, blobName, snapshotId;
        if (!disk.isManaged && !ParseMediaLinkURI(disk.uri, account, container, blobName, snapshotId)) {
            EvDebug::Error(kPatternTag, "Failed to parse MediaLink URI [%s]", disk.uri.c_str());
            return false;
        }
        if (PathMatches(pattern, name)) {
            EvDebug::Debug(kPatternTag, "Disk [%s] is filtered by Disk Name/Pattern [%s]", name.c_str(),
                           pattern.c_str());
            return true;
        }
        if (disk.isManaged || !PathMatches(pattern, blobName)) return false;
        EvDebug::Debug(kPatternTag, "Disk [%s] is filtered by Blob Name/Pattern [%s]", blobName.c_str(),
                       pattern.c_str());
        return true;
    });
}

bool CAzureInfo::IsDiskFilteredByDatastore(const MountCtx&, const std::string& datastore, const SDisk& disk) {
    if (FXString::CompareNoCase(datastore, disk.storageAccount) != 0) return false;
    EvDebug::Debug(kDatastoreTag, "Disk [%s] is filtered by Storage Account [%s]", disk.name.c_str(),
                   datastore.c_str());
    return true;
}

bool CAzureInfo::IsDiskFilteredByType(const std::string& type, const SDisk& disk) {
    if (FXString::CompareNoCase(type, "OS Disk") != 0 || !disk.isOsDisk) return false;
    EvDebug::Debug(kTypeTag, "Disk [%s] is filtered as it is [%s]", disk.name.c_str(), type.c_str());
    return true;
}

bool CAzureInfo::IsDiskFilteredByTag(const std::string& tagName, const std::string& tagValue, const SDisk& disk) {
    return GuardSlot(*this, kTagTag, VMINFO_ERR_DISK_INFO, false, [&] {
        std::string resourceGroup;
        if (disk.isManaged) {
            std::vector<std::string> parts =
                SplitAtSlash(disk.managedDiskId.empty() ? std::string() : disk.managedDiskId.substr(1));
            if (parts.size() <= 3) return false;
            resourceGroup = parts[3];
        }
        std::vector<SInventoryInfo> tags;
        if (!sdk->GetDiskTagInfo(resourceGroup, disk, tags)) {
            EvDebug::Error(kTagTag, "Unable to fetch tags for disk [%s]", disk.name.c_str());
            return false;
        }
        for (const SInventoryInfo& tag : tags) {
            if (!TermMatches(tagName, tag.name) || !TermMatches(tagValue, tag.id)) continue;
            EvDebug::Debug(kTagTag, "Disk [%s] is filtered by tag [%s :: %s]", disk.name.c_str(), tag.name.c_str(),
                           tag.id.c_str());
            return true;
        }
        return false;
    });
}

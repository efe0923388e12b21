#include "agent/snap/SnapRestoreRecord.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent/job/RecordFile.h"
#include "agent/snap/PluginSnapEngine.h"
#include "agent/store/AtomicFile.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace vsagent {

namespace {

constexpr const char* kRecordName = "snap-restore.json";
constexpr const char* kFolderPrefix = "restore-";
constexpr int kFormat = 1;
constexpr std::size_t kMaxRecordBytes = 256 * 1024;
constexpr std::size_t kMaxNameLength = 1024;
constexpr std::size_t kMaxDisks = 256;

bool IsName(const json& value, bool mayBeEmpty) { return IsPrintableName(value, kMaxNameLength, mayBeEmpty); }

bool IsWellFormed(const json& d, long long folderJob) {
    const json& disks = d.contains("sourceDisks") ? d["sourceDisks"] : json();
    if (d.value("format", json()) != kFormat || folderJob <= 0 || d.value("jobId", json()) != folderJob ||
        !IsName(d.value("jobGuid", json()), false) || !d.value("snapJobId", json()).is_number_unsigned() ||
        !d.value("revert", json()).is_boolean() || !IsName(d.value("vmName", json()), false) ||
        !IsName(d.value("resourceGroup", json()), false) || !IsName(d.value("sourceVmName", json()), false) ||
        !disks.is_array() || disks.size() > kMaxDisks)
        return false;
    for (const json& disk : disks)
        if (!IsName(disk, false)) return false;
    return true;
}

}  // namespace

std::string SnapRestoresFolder(const std::string& storeRoot) {
    return (fs::path(SnapCatalogRoot(storeRoot)) / "agent-restores").string();
}

std::string SnapRestoreFolder(const std::string& storeRoot, long long jobId) {
    return (fs::path(SnapRestoresFolder(storeRoot)) / (kFolderPrefix + std::to_string(jobId))).string();
}

void SnapRestoreRecord::write(const std::string& folder) const {
    const json document = {{"format", kFormat},         {"jobId", jobId},
                           {"jobGuid", jobGuid},        {"snapJobId", snapJobId},
                           {"revert", revert},          {"vmName", vmName},
                           {"resourceGroup", resourceGroup}, {"sourceVmName", sourceVmName},
                           {"sourceDisks", sourceDisks}};
    WriteFileAtomically((fs::path(folder) / kRecordName).string(), document.dump(2) + "\n");
}

std::optional<SnapRestoreRecord> SnapRestoreRecord::Read(const std::string& folder) {
    std::optional<json> document = ReadRecordDocument((fs::path(folder) / kRecordName).string(), kMaxRecordBytes);
    const long long folderJob = FolderNumber(folder, kFolderPrefix);
    if (!document || !IsWellFormed(*document, folderJob)) return std::nullopt;
    const json& d = *document;
    SnapRestoreRecord record;
    record.jobId = folderJob;
    record.jobGuid = d["jobGuid"];
    record.snapJobId = d["snapJobId"];
    record.revert = d["revert"];
    record.vmName = d["vmName"];
    record.resourceGroup = d["resourceGroup"];
    record.sourceVmName = d["sourceVmName"];
    record.sourceDisks = d["sourceDisks"].get<std::vector<std::string>>();
    return record;
}

}  // namespace vsagent

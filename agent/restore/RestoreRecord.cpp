#include "agent/restore/RestoreRecord.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent/job/RecordFile.h"
#include "agent/store/AtomicFile.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

constexpr const char* kRecordName = "restore-record.json";
constexpr const char* kFolderPrefix = "restore-";
constexpr int kFormat = 2;
constexpr std::size_t kMaxRecordBytes = 256 * 1024;
constexpr std::size_t kMaxNameLength = 1024;
constexpr std::size_t kMaxDisks = 256;

// Names handed on to the cloud (a backslash separates account and container).
bool IsName(const nlohmann::json& value, bool mayBeEmpty) { return IsPrintableName(value, kMaxNameLength, mayBeEmpty); }

std::optional<RestoreTarget> ReadTarget(const nlohmann::json& d) {
    if (!d.is_object() || !IsName(d.value("name", nlohmann::json()), false) ||
        !IsName(d.value("storageAccount", nlohmann::json()), true) || !d.value("managedDisk", nlohmann::json()).is_boolean())
        return std::nullopt;
    return RestoreTarget{d["name"].get<std::string>(), d["storageAccount"].get<std::string>(),
                         d["managedDisk"].get<bool>()};
}

}  // namespace

std::string RestoreJobsFolder(const std::string& storeRoot) { return (fs::path(storeRoot) / ".restore-jobs").string(); }

std::string RestoreJobFolder(const std::string& storeRoot, long long jobId) {
    return (fs::path(RestoreJobsFolder(storeRoot)) / (kFolderPrefix + std::to_string(jobId))).string();
}

void RestoreRecord::write(const std::string& folder) const {
    nlohmann::json targets = nlohmann::json::array();
    for (const RestoreTarget& t : disks)
        targets.push_back({{"name", t.name}, {"storageAccount", t.storageAccount}, {"managedDisk", t.managedDisk}});
    nlohmann::json document = {{"format", kFormat},       {"jobId", jobId},
                               {"jobGuid", jobGuid},      {"vmName", vmName},
                               {"resourceGroup", resourceGroup}, {"managedVm", managedVm},
                               {"attach", attach},        {"deploying", deploying},
                               {"vmGuid", vmGuid},        {"disks", targets}};
    WriteFileAtomically((fs::path(folder) / kRecordName).string(), document.dump(2) + "\n");
}

std::optional<RestoreRecord> RestoreRecord::Read(const std::string& folder) {
    const fs::path where(folder);
    std::optional<nlohmann::json> document = ReadRecordDocument((where / kRecordName).string(), kMaxRecordBytes);
    if (!document) return std::nullopt;
    const nlohmann::json& d = *document;
    const long long folderJob = FolderNumber(folder, kFolderPrefix);
    const nlohmann::json& list = d.contains("disks") ? d["disks"] : nlohmann::json();
    const bool wellFormed = d.value("format", nlohmann::json()) == kFormat && folderJob > 0 &&
                            d.value("jobId", nlohmann::json()) == folderJob &&
                            IsName(d.value("jobGuid", nlohmann::json()), false) &&
                            IsName(d.value("vmName", nlohmann::json()), false) &&
                            IsName(d.value("resourceGroup", nlohmann::json()), false) &&
                            d.value("managedVm", nlohmann::json()).is_boolean() &&
                            d.value("attach", nlohmann::json()).is_boolean() &&
                            d.value("deploying", nlohmann::json()).is_boolean() &&
                            IsName(d.value("vmGuid", nlohmann::json()), true) && list.is_array() &&
                            list.size() <= kMaxDisks;
    if (!wellFormed) return std::nullopt;
    RestoreRecord record;
    record.jobId = folderJob;
    record.jobGuid = d["jobGuid"].get<std::string>();
    record.vmName = d["vmName"].get<std::string>();
    record.resourceGroup = d["resourceGroup"].get<std::string>();
    record.managedVm = d["managedVm"].get<bool>();
    record.attach = d["attach"].get<bool>();
    record.deploying = d["deploying"].get<bool>();
    record.vmGuid = d["vmGuid"].get<std::string>();
    for (const nlohmann::json& entry : list) {
        std::optional<RestoreTarget> target = ReadTarget(entry);
        if (!target) return std::nullopt;
        record.disks.push_back(*target);
    }
    return record;
}

}  // namespace vsagent

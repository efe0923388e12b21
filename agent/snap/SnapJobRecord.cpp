#include "agent/snap/SnapJobRecord.h"

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent/job/RecordFile.h"
#include "agent/snap/PluginSnapEngine.h"
#include "agent/store/AtomicFile.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace vsagent {

namespace {

constexpr const char* kRecordName = "snap-job.json";
constexpr int kFormat = 1;
constexpr std::size_t kMaxRecordBytes = 1024 * 1024;
constexpr std::size_t kMaxIdLength = 256;

bool IsKnownState(const json& state) {
    for (const char* known : {SnapJobRecord::kRunning, SnapJobRecord::kComplete, SnapJobRecord::kFailed,
                              SnapJobRecord::kUndone, SnapJobRecord::kDeleted})
        if (state == known) return true;
    return false;
}

std::optional<SnapVmOutcome> ReadVm(const json& vm) {
    if (!vm.is_object() || !IsPrintableName(vm.value("name", json()), kMaxIdLength, false) ||
        !IsPrintableName(vm.value("guid", json()), kMaxIdLength, false) ||
        !vm.value("resourceGroup", json()).is_string() || !vm.value("status", json()).is_number_integer() ||
        !vm.value("details", json()).is_string() || !vm.value("archiveFileId", json()).is_number_unsigned() ||
        !IsPrintableName(vm.value("snapshotGuid", json()), kMaxIdLength, true) ||
        !vm.value("childJobId", json()).is_number_unsigned())
        return std::nullopt;
    return SnapVmOutcome{vm["name"],         vm["guid"],          vm["resourceGroup"], vm["status"],
                         vm["details"],      vm["archiveFileId"], vm["snapshotGuid"],  vm["childJobId"]};
}

}  // namespace

void SnapJobRecord::write(const std::string& folder) const {
    json list = json::array();
    for (const SnapVmOutcome& vm : vms)
        list.push_back({{"name", vm.name}, {"guid", vm.guid}, {"resourceGroup", vm.resourceGroup},
                        {"status", vm.status}, {"details", vm.details}, {"archiveFileId", vm.archiveFileId},
                        {"snapshotGuid", vm.snapshotGuid}, {"childJobId", vm.childJobId}});
    json document = {{"format", kFormat}, {"jobId", jobId},     {"jobGuid", jobGuid},
                     {"vmCentric", vmCentric}, {"state", state}, {"vms", list}};
    WriteFileAtomically((fs::path(folder) / kRecordName).string(), document.dump(2) + "\n");
}

std::optional<SnapJobRecord> SnapJobRecord::Read(const std::string& folder) {
    std::optional<json> document = ReadRecordDocument((fs::path(folder) / kRecordName).string(), kMaxRecordBytes);
    if (!document) return std::nullopt;
    const json& d = *document;
    const long long folderJob = FolderNumber(folder, "job-");
    if (d.value("format", json()) != kFormat || folderJob <= 0 || d.value("jobId", json()) != folderJob ||
        !IsPrintableName(d.value("jobGuid", json()), kMaxIdLength, false) || !d.value("vmCentric", json()).is_boolean() ||
        !IsKnownState(d.value("state", json())) || !d.value("vms", json()).is_array())
        return std::nullopt;
    SnapJobRecord record;
    record.jobId = folderJob;
    record.jobGuid = d["jobGuid"];
    record.vmCentric = d["vmCentric"];
    record.state = d["state"];
    for (const json& vm : d["vms"]) {
        std::optional<SnapVmOutcome> outcome = ReadVm(vm);
        if (!outcome) return std::nullopt;
        record.vms.push_back(*outcome);
    }
    return record;
}

std::vector<long long> SnapJobIds(const SnapJobRecord& record) {
    std::vector<long long> ids{record.jobId};
    for (const SnapVmOutcome& vm : record.vms)
        if (vm.childJobId > 0) ids.push_back(vm.childJobId);
    return ids;
}

std::string SnapJobsFolder(const std::string& storeRoot) {
    return (fs::path(SnapCatalogRoot(storeRoot)) / "agent-jobs").string();
}

std::string SnapJobFolder(const std::string& storeRoot, long long jobId) {
    return (fs::path(SnapJobsFolder(storeRoot)) / ("job-" + std::to_string(jobId))).string();
}

}  // namespace vsagent

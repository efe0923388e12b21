#include "agent/job/JobRecord.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent/job/RecordFile.h"
#include "agent/store/AtomicFile.h"
#include "agent/store/StoreError.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

constexpr const char* kRecordName = "job-record.json";
constexpr int kFormat = 1;
// A record is a few hundred bytes; anything much larger is not one.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;
constexpr std::size_t kMaxIdLength = 256;

bool IsIdentifier(const nlohmann::json& value, bool mayBeEmpty) {
    return IsPrintableName(value, kMaxIdLength, mayBeEmpty);
}

}  // namespace

void JobRecord::write(const std::string& folder) const {
    nlohmann::json document = {{"format", kFormat},
                               {"jobId", jobId},
                               {"vm", {{"name", vmName}, {"guid", vmGuid}, {"resourceGroup", resourceGroup}}},
                               {"snapshotSetGuid", snapshotSetGuid},
                               {"jobGuid", jobGuid}};
    const std::string path = (fs::path(folder) / kRecordName).string();
    WriteFileAtomically(path, document.dump(2) + "\n");
}

std::optional<JobRecord> JobRecord::Read(const std::string& folder) {
    const fs::path where(folder);
    std::optional<nlohmann::json> document = ReadRecordDocument((where / kRecordName).string(), kMaxRecordBytes);
    if (!document) return std::nullopt;
    const nlohmann::json& d = *document;
    const nlohmann::json& vm = d.contains("vm") ? d["vm"] : nlohmann::json();
    const long long folderJob = FolderNumber(folder, "job-");
    const bool wellFormed = d.value("format", nlohmann::json()) == kFormat && folderJob > 0 &&
                            d.value("jobId", nlohmann::json()) == folderJob && vm.is_object() &&
                            vm.value("name", nlohmann::json()) == where.parent_path().filename().string() &&
                            IsIdentifier(vm.value("guid", nlohmann::json()), false) &&
                            vm.value("resourceGroup", nlohmann::json()).is_string() &&
                            IsIdentifier(d.value("snapshotSetGuid", nlohmann::json()), true) &&
                            IsIdentifier(d.value("jobGuid", nlohmann::json("")), true);
    if (!wellFormed) return std::nullopt;
    return JobRecord{folderJob, vm["name"].get<std::string>(), vm["guid"].get<std::string>(),
                     vm["resourceGroup"].get<std::string>(), d["snapshotSetGuid"].get<std::string>(),
                     d.value("jobGuid", std::string())};
}

}  // namespace vsagent

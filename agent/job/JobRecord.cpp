#include "agent/job/JobRecord.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

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

// Identifiers handed on to the cloud: printable ASCII of a sane length.
bool IsIdentifier(const nlohmann::json& value, bool mayBeEmpty) {
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() > kMaxIdLength || (text.empty() && !mayBeEmpty)) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::optional<nlohmann::json> ReadDocument(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kMaxRecordBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.gcount() > static_cast<std::streamsize>(kMaxRecordBytes)) return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    return document;
}

// The job id of folder ".../job-<id>", or 0.
long long FolderJobId(const fs::path& folder) {
    const std::string name = folder.filename().string();
    if (name.rfind("job-", 0) != 0 || name.size() > 4 + 18) return 0;
    const std::string digits = name.substr(4);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoll(digits);
}

}  // namespace

void JobRecord::write(const std::string& folder) const {
    nlohmann::json document = {{"format", kFormat},
                               {"jobId", jobId},
                               {"vm", {{"name", vmName}, {"guid", vmGuid}, {"resourceGroup", resourceGroup}}},
                               {"snapshotSetGuid", snapshotSetGuid}};
    const std::string path = (fs::path(folder) / kRecordName).string();
    WriteFileAtomically(path, document.dump(2) + "\n");
}

std::optional<JobRecord> JobRecord::Read(const std::string& folder) {
    const fs::path where(folder);
    std::optional<nlohmann::json> document = ReadDocument(where / kRecordName);
    if (!document) return std::nullopt;
    const nlohmann::json& d = *document;
    const nlohmann::json& vm = d.contains("vm") ? d["vm"] : nlohmann::json();
    const long long folderJob = FolderJobId(where);
    const bool wellFormed = d.value("format", nlohmann::json()) == kFormat && folderJob > 0 &&
                            d.value("jobId", nlohmann::json()) == folderJob && vm.is_object() &&
                            vm.value("name", nlohmann::json()) == where.parent_path().filename().string() &&
                            IsIdentifier(vm.value("guid", nlohmann::json()), false) &&
                            vm.value("resourceGroup", nlohmann::json()).is_string() &&
                            IsIdentifier(d.value("snapshotSetGuid", nlohmann::json()), true);
    if (!wellFormed) return std::nullopt;
    return JobRecord{folderJob, vm["name"].get<std::string>(), vm["guid"].get<std::string>(),
                     vm["resourceGroup"].get<std::string>(), d["snapshotSetGuid"].get<std::string>()};
}

}  // namespace vsagent

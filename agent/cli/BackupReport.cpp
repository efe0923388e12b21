#include "agent/cli/BackupReport.h"

#include <cstdio>
#include <sstream>

#include "agent/job/ErrorAdvice.h"
#include "agent/job/Progress.h"

namespace vsagent {

namespace {

double MegabytesPerSecond(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

}  // namespace

std::string SummaryText(const BackupResult& result, const BackupFigures& figures, const std::string& folder) {
    const Manifest& m = result.manifest;
    std::ostringstream out;
    out << "Backup of VM [" << m.vmName << "] in [" << m.resourceGroup << "]: job " << m.jobId << ", "
        << (m.incremental ? "incremental from job " + std::to_string(*m.parentJob) : std::string("full")) << "\n";
    for (std::size_t i = 0; i < m.disks.size(); ++i) {
        const DiskRecord& d = m.disks[i];
        out << "  disk " << i << "  " << d.name << "  " << FormatBytes(d.capacity) << ", read "
            << FormatBytes(d.bytesRead) << (d.parentJob ? " changed" : " allocated") << "\n";
    }
    for (const FileRecord& f : m.files) out << "  file    " << f.name << "  " << FormatBytes(f.size) << "\n";
    char line[200];
    std::snprintf(line, sizeof(line), "  read %s in %llu reads (%llu HTTP requests), %.1f s, %.1f MB/s\n",
                  FormatBytes(m.bytesRead).c_str(), static_cast<unsigned long long>(result.reads),
                  static_cast<unsigned long long>(figures.requests), figures.seconds,
                  MegabytesPerSecond(m.bytesRead, figures.seconds));
    out << line;
    out << "  change tracking: " << (m.cbtStatus.empty() ? "Not Used" : m.cbtStatus) << "\n";
    for (const std::string& note : result.notes) out << "  note: " << note << "\n";
    out << "  stored in " << folder << "\n";
    return out.str();
}

nlohmann::json SummaryJson(const BackupResult& result, const BackupFigures& figures) {
    nlohmann::json j = result.manifest.toJson();
    j.erase("referencePoint");
    for (nlohmann::json& disk : j["disks"]) disk.erase("extents");
    j["reads"] = result.reads;
    j["requests"] = figures.requests;
    j["allocatedBytes"] = result.allocatedBytes;
    j["seconds"] = figures.seconds;
    j["readSeconds"] = result.readSeconds;
    j["megabytesPerSecond"] = MegabytesPerSecond(result.manifest.bytesRead, figures.seconds);
    j["notes"] = result.notes;
    return j;
}

std::string FailureLine(const std::string& vmName, const BackupResult& result) {
    ErrorAdvice advice = AdviceFor(result.errorCode);
    std::ostringstream out;
    out << "backup of VM [" << vmName << "] " << (result.cancelled ? "cancelled" : "failed") << " in "
        << result.failedStep << ": error " << result.errorCode << ", " << advice.meaning;
    if (!result.errorDetails.empty()) out << " (" << result.errorDetails << ")";
    out << ". What to do: " << advice.action << ".";
    if (result.cancelled) out << " Nothing of the job was kept.";
    return out.str();
}

}  // namespace vsagent

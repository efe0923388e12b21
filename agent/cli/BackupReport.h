// How a backup's outcome is shown: a summary, or one line saying what failed and what to do.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/job/BackupJob.h"

namespace vsagent {

struct BackupFigures {
    double seconds = 0;
    std::uint64_t requests = 0;  // HTTP requests the blob endpoint served for the job
};

std::string SummaryText(const BackupResult& result, const BackupFigures& figures, const std::string& folder);
nlohmann::json SummaryJson(const BackupResult& result, const BackupFigures& figures);
// "backup of VM [x] failed in MountVM: error 17, the backup snapshot ... (details). What to do: ..."
std::string FailureLine(const std::string& vmName, const BackupResult& result);

}  // namespace vsagent

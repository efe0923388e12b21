// Undoing what killed restore jobs left in the cloud. A work folder of a restore
// whose lock can be taken belongs to a job that is gone; its record names what the
// job was about to create. The SDK wrapper is opened under that job's identity, so
// its clean-up removes only what carries that job's mark: a disk or VM of the same
// name that the job did not make is never touched.
#pragma once

#include <string>
#include <vector>

#include "agent/host/EmbeddedCloud.h"

namespace vsagent {

// One line per dead job, saying what was done; a job whose clean-up fails keeps its folder.
std::vector<std::string> CleanUpDeadRestores(const std::string& storeRoot, const CloudCredentials& credentials);

}  // namespace vsagent

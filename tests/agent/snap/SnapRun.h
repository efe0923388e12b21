// vsagent and azsim run as a person runs them, on a subscription and store of the test's own.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/SimulatedCloud.h"

namespace snaptest {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` to completion; its output goes through files under `scratch`.
Outcome Execute(const std::string& program, const std::vector<std::string>& args, const std::string& scratch);

class SnapCommands : public ::testing::Test {
protected:
    Outcome Agent(std::vector<std::string> args);
    Outcome Azsim(std::vector<std::string> args);
    // `snap backup` of `vms` (exit 0 expected unless `exit` says otherwise) with its JSON summary.
    nlohmann::json SnapBackup(const std::vector<std::string>& vms, int exit = 0, std::vector<std::string> extra = {});
    std::string DiskHash(const std::string& vm, int disk);
    std::string ExportHash(long long job, int disk);
    std::string VmGuid(const std::string& vm);
    nlohmann::json Show(const std::string& kind);

    testsupport::TempDir dir;
    std::string cloud = dir.path() + "/cloud";
    std::string store = dir.path() + "/store";
};

}  // namespace snaptest

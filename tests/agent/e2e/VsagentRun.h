// Runs the vsagent and azsim programs as a person would, for the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

struct Run {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` to completion; stdout and stderr go to files under `scratch`.
Run Execute(const std::string& program, const std::vector<std::string>& args, const std::string& scratch);

// Starts `program` in the background; Finish waits for it.
class Background {
public:
    Background(const std::string& program, const std::vector<std::string>& args, const std::string& scratch);
    pid_t pid() const { return pid_; }
    Run finish();

private:
    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace e2e

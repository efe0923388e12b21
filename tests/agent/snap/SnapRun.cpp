#include "tests/agent/snap/SnapRun.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <sstream>

extern char** environ;

namespace snaptest {

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

Outcome Execute(const std::string& program, const std::vector<std::string>& args, const std::string& scratch) {
    static std::atomic<int> counter{0};
    const std::string n = std::to_string(++counter);
    const std::string outPath = scratch + "/out" + n, errPath = scratch + "/err" + n;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    Outcome run;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    return run;
}

Outcome SnapCommands::Agent(std::vector<std::string> args) {
    args.insert(args.end(), {"--cloud", cloud, "--log", dir.path() + "/job.log"});
    return Execute(VSAGENT_BINARY, args, dir.path());
}

Outcome SnapCommands::Azsim(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--state", cloud});
    return Execute(AZSIM_TOOL, args, dir.path());
}

nlohmann::json SnapCommands::SnapBackup(const std::vector<std::string>& vms, int exit, std::vector<std::string> extra) {
    std::vector<std::string> args = {"snap", "backup", "--store", store, "--json"};
    for (const std::string& vm : vms) args.insert(args.end(), {"--vm", vm});
    args.insert(args.end(), extra.begin(), extra.end());
    Outcome run = Agent(args);
    EXPECT_EQ(run.exitCode, exit) << run.err;
    return nlohmann::json::parse(run.out, nullptr, false);
}

std::string SnapCommands::DiskHash(const std::string& vm, int disk) {
    Outcome run = Azsim({"hash", "--vm", vm, "--disk", std::to_string(disk)});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out.substr(0, 64);
}

std::string SnapCommands::ExportHash(long long job, int disk) {
    const std::string out = dir.path() + "/export-" + std::to_string(job) + "-" + std::to_string(disk);
    Outcome run = Agent({"export", "--store", store, "--job", std::to_string(job), "--disk", std::to_string(disk), "--out", out});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return Execute("/usr/bin/sha256sum", {out}, dir.path()).out.substr(0, 64);
}

nlohmann::json SnapCommands::Show(const std::string& kind) {
    Outcome run = Azsim({"show", kind});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return nlohmann::json::parse(run.out, nullptr, false);
}

std::string SnapCommands::VmGuid(const std::string& vm) {
    for (const nlohmann::json& v : Show("vms"))
        if (v.value("name", "") == vm) return v.value("guid", "");
    return "";
}

}  // namespace snaptest

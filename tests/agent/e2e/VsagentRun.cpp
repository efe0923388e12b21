#include "tests/agent/e2e/VsagentRun.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace e2e {

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

Background::Background(const std::string& program, const std::vector<std::string>& args, const std::string& scratch) {
    static std::atomic<int> counter{0};
    int n = ++counter;
    outPath_ = scratch + "/out" + std::to_string(n);
    errPath_ = scratch + "/err" + std::to_string(n);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
}

Run Background::finish() {
    int status = 0;
    waitpid(pid_, &status, 0);
    Run run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Slurp(outPath_);
    run.err = Slurp(errPath_);
    return run;
}

Run Execute(const std::string& program, const std::vector<std::string>& args, const std::string& scratch) {
    return Background(program, args, scratch).finish();
}

}  // namespace e2e

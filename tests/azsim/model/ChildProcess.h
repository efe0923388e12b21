// A forked child process running one function, for tests of state shared between processes.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace azsimtest {

class ChildProcess {
public:
    // Forks; the child runs `body` and exits with what it returns.
    explicit ChildProcess(const std::function<int()>& body) : pid_(fork()) {
        if (pid_ == 0) _exit(body());
    }
    // Waits for the child: its exit code, or -1 when it could not start or did not exit normally.
    int wait() {
        int status = 0;
        return pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_;
};

}  // namespace azsimtest

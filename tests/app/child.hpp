// Runs a piece of a test in a forked child: as an unprivileged user (so
// permission checks hold even when the suite runs as root) or with a file
// size limit (so a write fails as on a full disk).
#pragma once

#include <csignal>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace apptest {

inline constexpr uid_t kNobody = 65534;

// The user the child runs as; files a child must own are chown'ed to it.
inline uid_t ChildUid() { return geteuid() == 0 ? kNobody : geteuid(); }

inline void GiveToChild(const std::string& path)
{
    if (geteuid() == 0 && chown(path.c_str(), kNobody, kNobody) != 0)
        std::perror("chown");
}

struct ChildOptions {
    bool Unprivileged = false;
    rlim_t FileSizeLimit = RLIM_INFINITY; // bytes
};

// fn's return value is the child's exit code; -1 when the child died.
inline int RunInChild(const std::function<int()>& fn, ChildOptions options = {})
{
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (options.Unprivileged && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
                _exit(120);
        }
        if (options.FileSizeLimit != RLIM_INFINITY) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{options.FileSizeLimit, options.FileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(121);
        }
        _exit(fn());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace apptest

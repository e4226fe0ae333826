// Runs a tool or a worker copy of a bench as a child process: its wall time,
// its peak memory (from wait4) and, when asked, its standard output.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

struct Run {
    bool ok = false;
    double seconds = 0; // wall time of the whole process
    double peakMb = 0;
    std::string out; // stdout, when kept
};

// stderr goes to errFile when given, else nowhere.
inline Run RunChild(const std::vector<std::string>& argv, bool keepOutput, const std::string& errFile = {})
{
    Run r;
    int pipeFd[2] = {-1, -1};
    if (keepOutput && ::pipe(pipeFd) != 0)
        return r;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int null = ::open("/dev/null", O_WRONLY);
        if (keepOutput) {
            ::dup2(pipeFd[1], 1);
            ::close(pipeFd[0]);
            ::close(pipeFd[1]);
        } else {
            ::dup2(null, 1);
        }
        const int err = errFile.empty() ? null : ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err < 0 ? null : err, 2);
        ::execv(args[0], args.data());
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (pid < 0)
        return r;
    if (keepOutput) {
        ::close(pipeFd[1]);
        char buf[65536];
        ssize_t n;
        while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0)
            r.out.append(buf, static_cast<std::size_t>(n));
        ::close(pipeFd[0]);
    }
    int status = 0;
    struct rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakMb = ru.ru_maxrss / 1024.0;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

} // namespace bench

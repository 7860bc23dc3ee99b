#pragma once

#include "support/Sanitizers.h"
#include "support/Volumes.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace lorvex::test {

// How a child ended, how long it took and the most memory it held.
struct Measured {
    int status = -1; // exit status; -1 when a signal ended it
    bool timedOut = false;
    double seconds = 0;
    std::uint64_t peakBytes = 0;
    std::string out; // its standard output
    std::string err; // its standard error
};

// A bound on a child's time or memory, made room for under AddressSanitizer,
// whose shadow and quarantine take memory and whose checks take time of
// their own.
inline constexpr double kSanitizerRoom = kAddressSanitizer ? 3.0 : 1.0;

// Runs `argv` as a child with no input, as people run it: no memory limit.
// It is killed after `killAfter` seconds. When `openFiles` is not 0 the child
// starts with that soft limit of open files, as a shell's `ulimit -Sn` leaves
// it, and when `openFilesHard` is not 0, with that hard limit.
inline Measured RunMeasured(const std::vector<std::string>& argv, unsigned killAfter,
                            rlim_t openFiles = 0, rlim_t openFilesHard = 0) {
    const std::filesystem::path outFile = TempPath("measured-stdout.txt");
    const std::filesystem::path errFile = TempPath("measured-stderr.txt");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = openFiles != 0 ? openFiles : limit.rlim_cur;
        limit.rlim_max = openFilesHard != 0 ? openFilesHard : limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        alarm(killAfter);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    Measured m;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    if (WIFEXITED(status)) {
        m.status = WEXITSTATUS(status);
    } else {
        m.timedOut = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
    }
    m.out = ReadFile(outFile);
    m.err = ReadFile(errFile);
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return m;
}

} // namespace lorvex::test

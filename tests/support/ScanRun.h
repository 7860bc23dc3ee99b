#pragma once

#include "support/Volumes.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace lorvex::test {

// How a run of a command ended: its status (128 + the signal when one ended
// it), its standard output and its standard error.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program at `program` with `args` (already quoted for the shell),
// standard input closed.
inline Outcome RunProgram(const std::string& program, const std::string& args) {
    const auto errFile = TempPath("lorvex-run.err");
    Outcome o;
    const std::string command = "'" + program + "' " + args + " </dev/null 2>" + Quote(errFile);
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[65536];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        o.out.append(buffer, n);
    }
    const int raw = pclose(pipe);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    o.err = ReadFile(errFile);
    std::filesystem::remove(errFile);
    return o;
}

} // namespace lorvex::test

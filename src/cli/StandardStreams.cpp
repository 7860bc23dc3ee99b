#include "cli/StandardStreams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace lorvex::cli {

namespace {

bool gStdoutFailureReported = false;

} // namespace

bool StandardStreamsClear(const WriteCheck& check, const char* outputUse, const char* outputHint) {
    const auto clear = [&check](const char* name) {
        const auto target = check(name);
        if (target.fd >= 0) {
            close(target.fd);
        }
        // A stream that is closed, or open for reading only, reaches
        // nothing: its writes fail and are reported as they fail.
        return !target.refused;
    };
    if (!clear("/dev/stderr")) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
        if (clear("/dev/stdout")) {
            std::printf("lorvex-scan: standard error is a source, lies on a source or is a "
                        "device: nothing is written there, and nothing is done\n");
        }
        return false;
    }
    if (outputUse != nullptr && !clear("/dev/stdout")) {
        std::fprintf(stderr,
                     "lorvex-scan: standard output is a source, lies on a source or is a "
                     "device: %s is never written there%s%s\n",
                     outputUse, outputHint != nullptr ? "; write it to a file with " : "",
                     outputHint != nullptr ? outputHint : "");
        return false;
    }
    return true;
}

void ReportStandardOutputFailure(int error) {
    std::fprintf(stderr, "lorvex-scan: standard output: %s\n", std::strerror(error));
    gStdoutFailureReported = true;
}

int FinishOutput(int status) {
    errno = 0;
    const bool failed = std::ferror(stdout) != 0;
    const bool closeFailed = std::fclose(stdout) != 0;
    if ((failed || closeFailed) && !gStdoutFailureReported) {
        const int error = errno != 0 ? errno : EIO;
        std::fprintf(stderr, "lorvex-scan: standard output: %s\n", std::strerror(error));
        return status == 0 ? 1 : status;
    }
    return failed || closeFailed ? std::max(status, 1) : status;
}

} // namespace lorvex::cli

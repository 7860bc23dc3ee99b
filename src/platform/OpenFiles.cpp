#include "platform/OpenFiles.h"

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

namespace lorvex::platform {

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Refused only past the kernel's own ceiling, when the soft limit
        // stays as it was: the note on a failure then says what it is.
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::uint64_t OpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return limit.rlim_cur;
}

bool IsTooManyOpenFiles(int err, const std::string& text) {
    return err == EMFILE || text.find(std::strerror(EMFILE)) != std::string::npos;
}

std::string TooManyOpenFilesNote() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return "this process has as many files open as it may";
    }
    // The soft limit was raised to the hard one at start; where it still
    // falls short, only the hard limit can be raised.
    const std::string most = "this process may have no more than " +
                             std::to_string(limit.rlim_cur) + " files open at once";
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= limit.rlim_cur) {
        return most + ", the hard limit of open files, which root raises (ulimit -Hn, or "
                      "/etc/security/limits.conf)";
    }
    return most + ": raise the limit of open files with ulimit -n";
}

} // namespace lorvex::platform

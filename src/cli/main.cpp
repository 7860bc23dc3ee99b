// lorvex-scan: what Lorvex sees of a volume, at a shell. It opens a source as
// the window does, runs the same scan, and prints or exports the result.
#include "cli/Run.h"
#include "platform/OpenFiles.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    // A set of a thousand segments needs a descriptor for each.
    lorvex::platform::RaiseOpenFileLimit();
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const int status = lorvex::cli::RunScan(args);
    // The tables of a large volume hold millions of small allocations; the
    // kernel takes them back at once, where freeing them one by one would
    // add a tenth to the run. What a run that ended early printed is still
    // in the streams' buffers (a finished run has closed standard output).
    std::fflush(nullptr);
    std::_Exit(status);
}

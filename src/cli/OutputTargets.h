#pragma once

#include "cli/Options.h"
#include "volume/VolumeApi.h"

#include <cstdio>
#include <string>
#include <vector>

namespace lorvex::cli {

// The files a run writes: the listings' (-o), the export's and the map
// picture's. They are opened and checked before the scan, not after it, and
// the check is of the file opened, which is the file written; a run that
// fails leaves no empty file of ours behind.
class OutputTargets {
  public:
    explicit OutputTargets(const platform::VolumeApi& api) : api_(api) {}
    OutputTargets(const OutputTargets&) = delete;
    OutputTargets& operator=(const OutputTargets&) = delete;

    // Opens every target `options` name, saying why when one fails.
    // Returns the exit status: 0 when all opened.
    int Open(const Options& options);

    // The export's and the picture's descriptors (-1 when not asked for, or
    // written to standard output); their writers close them.
    [[nodiscard]] int ExportFd() const { return exportFd_; }
    [[nodiscard]] int MapPngFd() const { return mapPngFd_; }
    // Where the listings go: the -o file, or standard output.
    [[nodiscard]] std::FILE* Listing() const { return listing_; }

    // Closes the -o file, saying so when its last bytes fail, and removes
    // what the run created and left empty when it failed. Returns the exit
    // status.
    int Close(int status);

  private:
    bool OpenOne(const std::string& path, const char* what, int& fd);
    // A run that failed before writing leaves no empty file of ours.
    void RemoveCreated() const;

    const platform::VolumeApi& api_;
    std::vector<std::string> created_;
    std::string outputPath_;
    int exportFd_ = -1;
    int mapPngFd_ = -1;
    std::FILE* listing_ = stdout;
};

} // namespace lorvex::cli

#pragma once

#include <cstdint>
#include <string>

namespace lorvex::platform {

// Raises this process's soft limit of open files to its hard limit, as tools
// that open many files do: an EnCase set of a thousand segments, a VMDK of a
// thousand extents or a disk of a thousand partitions holds a descriptor for
// each, past the soft limit of 1,024 most systems start a process with. Call
// once, at start.
void RaiseOpenFileLimit();

// The soft limit of open files in force; 0 when there is none.
std::uint64_t OpenFileLimit();

// Whether `err` (an errno) or the text of a library's error says a file could
// not be opened because the process has as many open as it may.
bool IsTooManyOpenFiles(int err, const std::string& text);

// What to tell people then: the limit, and how it is raised.
std::string TooManyOpenFilesNote();

} // namespace lorvex::platform

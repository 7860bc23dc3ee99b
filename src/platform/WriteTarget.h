#pragma once

#include <string>
#include <vector>

namespace lorvex::platform {

// A file opened to write a report or a picture into, once it is known not to
// reach a source.
struct WriteTarget {
    int fd = -1;          // open for writing; -1 on failure
    int error = 0;        // errno of the failure; EACCES when refused
    bool refused = false; // the target is, or lies on, a source or a device
};

// Opens `path` for writing, creating it when it does not exist, and looks at
// what was opened (never at the name alone: a link, a second name or a
// mount of the image all lead to the same bytes). Refused: a block or
// character device (bar the null and full devices, which store nothing); a
// source file itself; the backing file of a loop device that is a source, or
// that a source lies on; a file inside a file system mounted from a source
// (from the device, from a loop device of the image, or from the image file
// itself through a user-space driver). Only an accepted file is emptied; a
// refused file we created is removed again, and a refused existing file keeps
// every byte.
WriteTarget OpenWriteTarget(const std::string& path, const std::vector<std::string>& sources);

} // namespace lorvex::platform

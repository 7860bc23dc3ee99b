#pragma once

#include <functional>
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
// every byte. A chain of loop devices, each over the next or over a file on
// a file system of the next, is followed to its end, on the target's side
// and the sources'. A folder fails with EISDIR.
//
// A name of a descriptor already open (/dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N) is that descriptor, as the shell opened it: it is looked
// at by the same rules (a terminal, a pipe or a socket stores nothing and is
// accepted), and on success `fd` is a duplicate of it, neither emptied nor
// moved, so an append stays an append.
WriteTarget OpenWriteTarget(const std::string& path, const std::vector<std::string>& sources);

// Standard output and error were opened by whoever started the program, and
// may be a source or lie on one (`2>> image`). Each that `check` refuses
// (given "/dev/stdout" or "/dev/stderr", the names OpenWriteTarget takes
// for them) is pointed at the null device, so that nothing printed later, by
// us or by a library, lands in the source. Returns the names of the streams
// so silenced ("standard output", "standard error").
std::vector<std::string>
SilenceStreamsOnSources(const std::function<WriteTarget(const std::string&)>& check);

} // namespace lorvex::platform

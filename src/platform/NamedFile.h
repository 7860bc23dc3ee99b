#pragma once

#include <libbfio.h>

#include <string>
#include <sys/stat.h>

namespace lorvex::platform {

// The files a container names inside itself (segments, extents, the file an
// embedded descriptor points at) are chosen by whoever made the evidence, so
// each is looked at before it is opened: a FIFO would make the open wait for
// a writer that never comes, a character device may act on being opened,
// and a file of /proc or /sys is the machine's own state, not stored data.

// "a FIFO", "a character device", "a folder", ...: what `mode` is, in words.
std::string FileKind(mode_t mode);

// Opens `path` read-only once stat says it is a regular file (or a block
// device, when `allowDevice`), and checks again on what was opened, which
// must be the file looked at. The descriptor has O_NONBLOCK cleared again.
// -1, with the reason in `why` (the path is the caller's to name), when it
// is missing, of another kind or cannot be opened; `st` is what was opened.
int OpenNamedFile(const std::string& path, bool allowDevice, struct stat& st, std::string& why);

// Whether `path` lies in a kernel file system (/proc, /sys), whose files
// are the machine's state rather than stored bytes.
bool InKernelFileSystem(const std::string& path);

// A libbfio handle that reads the open `fd` (taking it over), so that a
// library reads the file that was checked instead of opening a name
// itself. Never writes. Null, with the reason in `why`, on failure; the
// descriptor is closed then.
libbfio_handle_t* NamedFileHandle(int fd, const std::string& path, std::string& why);

} // namespace lorvex::platform

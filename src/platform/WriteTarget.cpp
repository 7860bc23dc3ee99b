#include "platform/WriteTarget.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <linux/loop.h>
#include <optional>
#include <sstream>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <tuple>
#include <unistd.h>

namespace lorvex::platform {

namespace {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};

// What the sources are, as the kernel knows them.
struct SourceIds {
    std::vector<FileId> files;  // image files
    std::vector<dev_t> devices; // block devices (their st_rdev)
};

std::string SysfsOf(dev_t dev) {
    return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The whole disk a partition belongs to, or `dev` itself.
dev_t WholeDisk(dev_t dev) {
    const std::string sys = SysfsOf(dev);
    if (access((sys + "/partition").c_str(), F_OK) != 0) {
        return dev;
    }
    std::ifstream in(sys + "/../dev");
    unsigned maj = 0;
    unsigned min = 0;
    char colon = 0;
    if (in >> maj >> colon >> min && colon == ':') {
        return makedev(maj, min);
    }
    return dev;
}

// What a loop device reads: a file, or another block device (a loop device
// over a loop device, or over a disk).
struct Backing {
    FileId file;      // the backing file, or the device's node
    dev_t device = 0; // the device read, when the backing is one
};

// The backing of a loop device (or of the loop device a partition belongs
// to), as the kernel keeps it; nothing when `dev` is no loop device.
std::optional<Backing> LoopBacking(dev_t dev, const std::string& path) {
    std::optional<Backing> found;
    if (!path.empty()) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            loop_info64 info{};
            const bool ok = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
            ::close(fd);
            if (ok) {
                found =
                    Backing{{static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)},
                            static_cast<dev_t>(info.lo_rdevice)};
            }
        }
    }
    // The name sysfs gives says whether the backing is a device where the
    // kernel does not report the device it reads.
    std::ifstream in(SysfsOf(WholeDisk(dev)) + "/loop/backing_file");
    std::string name;
    struct stat st {};
    if (std::getline(in, name) && stat(name.c_str(), &st) == 0) {
        const FileId named{st.st_dev, st.st_ino};
        if (!found) {
            found = Backing{named, 0};
        }
        if (found->file == named && S_ISBLK(st.st_mode)) {
            found->device = st.st_rdev;
        }
    }
    return found;
}

bool IsSourceFile(const SourceIds& ids, const FileId& file) {
    for (const FileId& f : ids.files) {
        if (f == file) {
            return true;
        }
    }
    return false;
}

// How far a chain of loop devices and mounts is followed. The kernel refuses
// a loop device over itself, but a chain past this is taken to reach a
// source rather than followed on.
constexpr int kMostLinks = 16;

bool LiesOnSource(dev_t fsDev, const SourceIds& ids, int depth);

// Whether writing into `file` writes into a source: it is one, or the file
// system that holds it reads from one.
bool FileReachesSource(const SourceIds& ids, const FileId& file, int depth) {
    return IsSourceFile(ids, file) || LiesOnSource(file.dev, ids, depth + 1);
}

// Whether the block device `dev` is a source, part of one, holds one, or is a
// loop device over one: over a source image, over a file inside a file
// system on a source, or over another device that reaches one, to the end of
// the chain.
bool DeviceReachesSource(const SourceIds& ids, dev_t dev, const std::string& path, int depth) {
    if (depth > kMostLinks) {
        return true;
    }
    const dev_t whole = WholeDisk(dev);
    for (const dev_t source : ids.devices) {
        // The device itself, a partition of a source disk, or the disk that
        // holds a source partition: writes to any of them can land in it.
        if (source == dev || source == whole || WholeDisk(source) == dev) {
            return true;
        }
    }
    if (const auto backing = LoopBacking(dev, path)) {
        return backing->device != 0 ? DeviceReachesSource(ids, backing->device, {}, depth + 1)
                                    : FileReachesSource(ids, backing->file, depth);
    }
    return false;
}

SourceIds Identify(const std::vector<std::string>& sources) {
    SourceIds ids;
    for (const auto& path : sources) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISBLK(st.st_mode)) {
            ids.devices.push_back(st.st_rdev);
        } else {
            ids.files.push_back({st.st_dev, st.st_ino});
        }
    }
    // A loop device that is a source reads its backing: a file, which is a
    // source too, or another device, which is, and so on down the chain.
    for (std::size_t i = 0, n = ids.devices.size(); i < n; ++i) {
        dev_t dev = ids.devices[i];
        std::string path;
        for (const auto& s : sources) {
            struct stat st {};
            if (stat(s.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev) {
                path = s;
            }
        }
        for (int link = 0; link < kMostLinks; ++link) {
            const auto backing = LoopBacking(dev, path);
            if (!backing) {
                break;
            }
            if (backing->device == 0) {
                ids.files.push_back(backing->file);
                break;
            }
            dev = backing->device;
            path.clear();
            ids.devices.push_back(dev);
        }
    }
    return ids;
}

// The mount source /proc/self/mountinfo names for the file system `dev`, with
// its octal escapes undone; empty when there is none.
std::string MountSourceOf(dev_t dev) {
    std::ifstream in("/proc/self/mountinfo");
    const std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string majmin;
        if (!(fields >> id >> parent >> majmin) || majmin != want) {
            continue;
        }
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) {
            continue;
        }
        std::istringstream tail(line.substr(dash + 3));
        std::string type;
        std::string source;
        if (!(tail >> type >> source)) {
            continue;
        }
        std::string out;
        for (std::size_t i = 0; i < source.size(); ++i) {
            if (source[i] == '\\' && i + 3 < source.size()) {
                const std::string oct = source.substr(i + 1, 3);
                if (oct.size() == 3 && oct.find_first_not_of("01234567") == std::string::npos) {
                    out.push_back(static_cast<char>(std::stoi(oct, nullptr, 8)));
                    i += 3;
                    continue;
                }
            }
            out.push_back(source[i]);
        }
        return out;
    }
    return {};
}

// Whether the file system `fsDev` reads from a source.
bool LiesOnSource(dev_t fsDev, const SourceIds& ids, int depth) {
    if (depth > kMostLinks) {
        return true;
    }
    // The file system the file lives on: a source device, a partition of
    // one, or a loop device that reaches a source.
    if (major(fsDev) != 0 && DeviceReachesSource(ids, fsDev, {}, depth + 1)) {
        return true;
    }
    // A file system mounted from something the kernel does not show as the
    // file's device (a user-space driver reading the image or the device):
    // its mount source says what it reads.
    const std::string mountSource = MountSourceOf(fsDev);
    struct stat src {};
    if (!mountSource.empty() && mountSource.front() == '/' &&
        stat(mountSource.c_str(), &src) == 0) {
        if (S_ISBLK(src.st_mode)) {
            return DeviceReachesSource(ids, src.st_rdev, mountSource, depth + 1);
        }
        return FileReachesSource(ids, {src.st_dev, src.st_ino}, depth);
    }
    return false;
}

// `terminal`: the target is a descriptor already open on a terminal, which
// stores nothing either; only a descriptor can tell, as opening a character
// device to ask may already act on it.
bool Refused(const struct stat& target, const SourceIds& ids, bool terminal = false) {
    if (S_ISBLK(target.st_mode)) {
        return true;
    }
    if (S_ISCHR(target.st_mode)) {
        // The null and full devices keep nothing; every other character
        // device may be a disk's raw face (or memory).
        const bool harmless =
            terminal || (major(target.st_rdev) == 1 &&
                         (minor(target.st_rdev) == 3 || minor(target.st_rdev) == 7));
        return !harmless;
    }
    // A pipe or a socket lives on no disk, but a named pipe's times are kept
    // in the file system that holds it: it is looked at as a file.
    return FileReachesSource(ids, {target.st_dev, target.st_ino}, 0);
}

// The descriptor of ours that `path` names (standard output as /dev/stdout,
// /dev/fd/1 or /proc/self/fd/1), or -1.
int OwnDescriptor(const std::string& path) {
    if (path == "/dev/stdin") {
        return STDIN_FILENO;
    }
    if (path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!path.starts_with(prefix)) {
            continue;
        }
        const std::string_view digits = std::string_view(path).substr(prefix.size());
        int fd = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
        if (ec == std::errc() && end == digits.data() + digits.size() && !digits.empty() &&
            digits.front() != '+' && fd >= 0) {
            return fd;
        }
    }
    return -1;
}

// A descriptor that was open before we were asked (the shell's redirection of
// standard output, `>> file` or `1<> file`): it is the file written, so it is
// what is looked at, and it is written where it stands: never reopened, which
// could reach another file, nor emptied, which would undo an append.
WriteTarget CheckOwnDescriptor(int fd, const SourceIds& ids) {
    WriteTarget result;
    struct stat target {};
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fstat(fd, &target) != 0) {
        result.error = EBADF;
        return result;
    }
    if (Refused(target, ids, isatty(fd) == 1)) {
        result.error = EACCES;
        result.refused = true;
        return result;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
        result.error = EBADF;
        return result;
    }
    result.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (result.fd < 0) {
        result.error = errno;
    }
    return result;
}

} // namespace

WriteTarget OpenWriteTarget(const std::string& path, const std::vector<std::string>& sources) {
    WriteTarget result;
    const SourceIds ids = Identify(sources);
    if (const int own = OwnDescriptor(path); own >= 0) {
        return CheckOwnDescriptor(own, ids);
    }
    // Looked at before it is opened too: even opening a file inside a mount
    // of the image, or creating one there, can write into the image (its
    // times, a new record). The file opened is looked at again below.
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0) {
        // Said for what it is, whether or not it lies on a source: a
        // folder takes no report anywhere.
        if (S_ISDIR(existing.st_mode)) {
            result.error = EISDIR;
            return result;
        }
        if (Refused(existing, ids)) {
            result.error = EACCES;
            result.refused = true;
            return result;
        }
    } else if (errno == ENOENT) {
        const auto slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        struct stat dir {};
        if (stat(folder.c_str(), &dir) == 0 && LiesOnSource(dir.st_dev, ids, 0)) {
            result.error = EACCES;
            result.refused = true;
            return result;
        }
    }
    // No O_TRUNC: nothing of the file may change before it is known not to
    // be a source. O_EXCL first, so that we know whether the file is ours.
    bool created = true;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0 && errno == ENOENT) {
            // A link to a file yet to be made: the file made is looked at.
            created = true;
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        }
    }
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    struct stat target {};
    if (fstat(fd, &target) != 0) {
        result.error = errno;
        ::close(fd);
        return result;
    }
    if (Refused(target, ids)) {
        ::close(fd);
        if (created) {
            ::unlink(path.c_str());
        }
        result.error = EACCES;
        result.refused = true;
        return result;
    }
    if (S_ISREG(target.st_mode) && ftruncate(fd, 0) != 0) {
        result.error = errno;
        ::close(fd);
        return result;
    }
    result.fd = fd;
    return result;
}

std::vector<std::string>
SilenceStreamsOnSources(const std::function<WriteTarget(const std::string&)>& check) {
    std::vector<std::string> silenced;
    for (const auto& [fd, name, said] :
         {std::tuple{STDOUT_FILENO, "/dev/stdout", "standard output"},
          std::tuple{STDERR_FILENO, "/dev/stderr", "standard error"}}) {
        const WriteTarget target = check(name);
        if (target.fd >= 0) {
            ::close(target.fd);
        }
        if (!target.refused) {
            continue;
        }
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, fd);
            ::close(null);
        }
        silenced.emplace_back(said);
    }
    return silenced;
}

} // namespace lorvex::platform

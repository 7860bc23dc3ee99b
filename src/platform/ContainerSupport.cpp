#include "platform/ContainerSupport.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace lorvex::platform {

std::string FollowLinks(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string FolderOf(const std::string& path) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? std::string(".") : dir;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat x {};
    struct stat y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

std::string WithFileSize(std::string why, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        why += " (the file holds " + std::to_string(st.st_size) + " bytes)";
    }
    return why;
}

std::vector<std::string> ParentCandidates(const std::string& image, std::string name) {
    std::vector<std::string> candidates;
    if (name.empty()) {
        return candidates;
    }
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::filesystem::path dir(FolderOf(image));
    candidates.push_back(name.front() == '/' ? name : (dir / name).string());
    const std::string last = std::filesystem::path(name).filename().string();
    if (!last.empty() && last != "." && last != "..") {
        candidates.push_back((dir / last).string());
    }
    return candidates;
}

} // namespace lorvex::platform

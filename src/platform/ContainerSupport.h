#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

// What the container formats' files (EwfContainer, VhdiContainer,
// VmdkContainer, QcowContainer) share: names of files and folders, the
// places a parent or backing file may be, and whole reads through a library.
namespace lorvex::platform {

// The path with every link followed; empty when it leads nowhere.
std::string FollowLinks(const std::string& path);

// The folder `path` lies in, "." for a bare name.
std::string FolderOf(const std::string& path);

// Whether the two paths lead to one file.
bool SameFile(const std::string& a, const std::string& b);

// The library names the offset it could not read; beside the file's size it
// tells a table that points past the file from a read error.
std::string WithFileSize(std::string why, const std::string& path);

// Where a parent or backing file that `image` names may be: the name as it
// is (absolute, or from the image's folder), and the last part of it beside
// the image. Windows writes parents with backslashes and drive letters.
std::vector<std::string> ParentCandidates(const std::string& image, std::string name);

// A read that may come back short: the library is asked again for the rest,
// and a read that makes no progress is a failure of the whole range.
template <typename ReadAt>
bool ReadAll(ReadAt readAt, std::uint64_t offset, std::span<std::byte> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = readAt(out.data() + done, out.size() - done, offset + done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The image and the parent (VHD, VHDX) or backing file (qcow2) it names.
template <typename Decoder, std::string (*Parent)(decltype(std::declval<Decoder&>().file()))>
std::vector<std::string> ChainNamedFiles(const std::string& path) {
    std::vector<std::string> files{path};
    std::string why;
    if (const auto decoder = Decoder::Open(path, why)) {
        for (auto& candidate : ParentCandidates(path, Parent(decoder->file()))) {
            files.push_back(std::move(candidate));
        }
    }
    return files;
}

} // namespace lorvex::platform

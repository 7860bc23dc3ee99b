#pragma once

#include "platform/ContainerImage.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
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

// The UTF-8 name a libyal object holds (a parent's, a backing file's, an
// extent's), through the library's two calls for it; empty when it has none.
// Every libyal handle and error is an intptr_t.
template <int (*GetSize)(intptr_t*, std::size_t*, intptr_t**),
          int (*Get)(intptr_t*, std::uint8_t*, std::size_t, intptr_t**)>
std::string LibyalName(intptr_t* object) {
    std::size_t size = 0;
    if (GetSize(object, &size, nullptr) != 1 || size <= 1) {
        return {};
    }
    std::string name(size, '\0');
    if (Get(object, reinterpret_cast<std::uint8_t*>(name.data()), size, nullptr) != 1) {
        return {};
    }
    name.resize(std::strlen(name.c_str()));
    return name;
}

// An image read through a libyal library that opens one file by its name
// (libvhdi, libqcow). `Library` names the library's calls: Initialize,
// OpenFile, Close, Free, ReadAt, its Error text, kOpenRead, and kUndecodable,
// what is said before the library's reason when the file does not open.
template <typename Library> class LibyalFileDecoder final : public ContainerDecoder {
  public:
    LibyalFileDecoder() = default;
    LibyalFileDecoder(const LibyalFileDecoder&) = delete;
    LibyalFileDecoder& operator=(const LibyalFileDecoder&) = delete;
    ~LibyalFileDecoder() override {
        if (file_ != nullptr) {
            if (open_) {
                Library::Close(file_, nullptr);
            }
            Library::Free(&file_, nullptr);
        }
    }

    static std::unique_ptr<LibyalFileDecoder> Open(const std::string& path, std::string& why) {
        auto d = std::make_unique<LibyalFileDecoder>();
        intptr_t* error = nullptr;
        if (Library::Initialize(&d->file_, &error) != 1) {
            why = Library::Error(error);
            return nullptr;
        }
        if (Library::OpenFile(d->file_, path.c_str(), Library::kOpenRead, &error) != 1) {
            why = Library::kUndecodable + Library::Error(error);
            return nullptr;
        }
        d->open_ = true;
        d->path_ = path;
        return d;
    }

    intptr_t* file() { return file_; }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        intptr_t* error = nullptr;
        const bool ok = ReadAll(
            [&](void* buffer, std::size_t n, std::uint64_t at) {
                return Library::ReadAt(file_, buffer, n, static_cast<off64_t>(at), &error);
            },
            offset, out);
        if (!ok) {
            why = WithFileSize(error != nullptr ? Library::Error(error) : "the image ends early",
                               path_);
        }
        return ok;
    }

  private:
    intptr_t* file_ = nullptr;
    bool open_ = false;
    std::string path_;
};

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

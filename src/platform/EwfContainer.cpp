#include "platform/EwfContainer.h"

#include "platform/ContainerSupport.h"
#include "platform/EwfDecoder.h"
#include "platform/LibyalError.h"
#include "platform/NamedFile.h"

#include <libewf.h>

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>

namespace lorvex::platform {

namespace {

std::string EwfError(intptr_t*& e) {
    return TakeLibyalError<libewf_error_backtrace_sprint, libewf_error_free>(e);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The name the segment after `name` has: .E01 to .E99, then .EAA to .EZZ,
// then .FAA on (the same in lower case); empty when `name` follows no such
// scheme.
std::string NextSegmentName(const std::string& name) {
    if (name.size() < 4 || name[name.size() - 4] != '.') {
        return {};
    }
    std::string next = name;
    char* ext = next.data() + next.size() - 3;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const bool upper = ext[0] >= 'A' && ext[0] <= 'Z';
    if (digit(ext[1]) && digit(ext[2])) {
        if (ext[1] == '9' && ext[2] == '9') {
            ext[1] = ext[2] = upper ? 'A' : 'a';
        } else if (ext[2] == '9') {
            ++ext[1];
            ext[2] = '0';
        } else {
            ++ext[2];
        }
        return next;
    }
    if (!letter(ext[1]) || !letter(ext[2])) {
        return {};
    }
    for (int i = 2; i >= 0; --i) {
        const char last = upper ? 'Z' : 'z';
        if (ext[i] != last) {
            ++ext[i];
            return next;
        }
        ext[i] = upper ? 'A' : 'a';
    }
    return {};
}

// Whether the file name `name` is one the naming scheme of the segment
// `first` gives: the same stem, and an extension of the same case from the
// first one's letter on (.E01 to .E99, .EAA to .ZZZ; .e01, .s01, .L01 ...).
bool InSegmentScheme(const std::string& first, const std::string& name) {
    const std::size_t n = first.size();
    if (n < 4 || name.size() != n || first[n - 4] != '.' ||
        name.compare(0, n - 3, first, 0, n - 3) != 0) {
        return false;
    }
    const char* f = first.data() + n - 3;
    const char* e = name.data() + n - 3;
    const bool upper = std::isupper(static_cast<unsigned char>(f[0])) != 0;
    const auto letter = [upper](char c) {
        return upper ? (c >= 'A' && c <= 'Z') : (c >= 'a' && c <= 'z');
    };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (e[0] == f[0] && digit(e[1]) && digit(e[2])) {
        return true;
    }
    return letter(e[0]) && e[0] >= f[0] && letter(e[1]) && letter(e[2]);
}

// The library's search for the other segments opens every name it tries;
// a FIFO among them would hold it there for good. Each segment name the
// scheme gives is looked at first, up to the first that is not there.
bool CheckSegmentKinds(const std::string& first, std::string& why) {
    for (std::string name = first; !name.empty(); name = NextSegmentName(name)) {
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0) {
            break;
        }
        if (!S_ISREG(st.st_mode)) {
            why = "the segment " + name + " is " + FileKind(st.st_mode) + ", not a file";
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<std::string> EwfNamedFiles(const std::string& first) {
    std::vector<std::string> files{first};
    const std::filesystem::path path(first);
    const std::string dir = FolderOf(first);
    const std::string own = path.filename().string();
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return files;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != own && InSegmentScheme(own, name)) {
            files.push_back((path.parent_path() / name).string());
        }
    }
    ::closedir(folder);
    std::sort(files.begin() + 1, files.end());
    return files;
}

bool OpenEwf(const std::string& path, OpenedContainer& out, std::string& why) {
    libewf_error_t* error = nullptr;
    char** globbed = nullptr;
    int count = 0;
    if (!CheckSegmentKinds(path, why)) {
        return false;
    }
    // The other segments are found by the naming scheme the first one
    // belongs to (.E01 .E02 ... .EAA ...), not by listing the directory.
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &count, &error) !=
        1) {
        why = "cannot find its segment files: " + EwfError(error);
        return false;
    }
    std::vector<std::string> files(globbed, globbed + count);
    libewf_glob_free(globbed, count, nullptr);
    if (files.empty()) {
        why = "cannot find its segment files";
        return false;
    }
    auto decoder = EwfDecoder::Open(files, why);
    if (!decoder) {
        // A set with a segment missing opens no differently from one cut
        // short; name the next segment the naming scheme expects when it
        // is not there.
        why = "cannot open the segment set (" + std::to_string(files.size()) +
              (files.size() == 1 ? " segment" : " segments") + " found): " + why;
        return false;
    }
    if (decoder->Incomplete()) {
        // The library opens what it finds and counts the set as damaged
        // when the last segment found does not end it.
        const std::string& last = files.back();
        const std::string next = NextSegmentName(last);
        const std::string after = next.empty() ? std::string() : NextSegmentName(next);
        why = "the segment set is incomplete: " + std::to_string(files.size()) +
              (files.size() == 1 ? " segment" : " segments") + " found, and the last, " + last +
              ", does not end the set: ";
        if (!after.empty() && !Exists(next) && Exists(after)) {
            // The naming scheme goes on past a gap: the gap is the fault.
            why += "the segment after it, " + next + ", is missing (" +
                   std::filesystem::path(after).filename().string() + " is there)";
        } else if (!next.empty() && !Exists(next)) {
            why += "it is cut short, or the segment after it, " + next + ", is missing";
        } else {
            why += "it is cut short or damaged";
        }
        return false;
    }
    if (!decoder->Size(out.size, why)) {
        return false;
    }
    out.format = "EnCase";
    out.files = files;
    out.factory = [files](std::string& reason) -> std::unique_ptr<ContainerDecoder> {
        return EwfDecoder::Open(files, reason);
    };
    out.decoder = std::move(decoder);
    return true;
}

} // namespace lorvex::platform

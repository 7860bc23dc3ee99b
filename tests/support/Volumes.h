#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace lorvex::test {

// Where the generated volumes and the unpacked Windows samples live.
inline std::filesystem::path VolumeDir() {
    return LORVEX_VOLUME_DIR;
}
inline std::filesystem::path WindowsVolumeDir() {
    return VolumeDir() / "windows";
}

// One NTFS volume to check against the independent reader: the source, and
// the byte offset of the volume inside it (a partition of a whole-disk image).
struct NtfsVolumeCase {
    std::string name;
    std::filesystem::path source;
    std::uint64_t offsetSectors = 0; // 512-byte sectors, as the oracle takes it
    int partitionIndex = 0;          // index of the volume among the source's drives
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// `size` bytes of a file from `offset` (fewer at its end): a few clusters of
// an image without reading all of it.
inline std::string ReadRange(const std::filesystem::path& path, std::uint64_t offset,
                             std::size_t size) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(size, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

// key=value lines of a volume's sidecar facts file.
inline std::map<std::string, std::string> ReadFacts(const std::filesystem::path& path) {
    std::map<std::string, std::string> facts;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            facts[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return facts;
}

// Whether the tests that check records or clusters against the independent
// reader take every one (the ctest label `long`, which sets
// LORVEX_EXHAUSTIVE=1) or a fixed sample that keeps every kind (the default
// run).
inline bool Exhaustive() {
    const char* value = std::getenv("LORVEX_EXHAUSTIVE");
    return value != nullptr && std::string_view(value) == "1";
}

// Runs a shell command and gives its standard output. (Inside a TEST body,
// where gtest's own Run hides the short name, call RunCommand.)
inline std::string RunCommand(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return out;
    }
    char buffer[65536];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) {
        out.append(buffer, n);
    }
    return out;
}

inline std::string Run(const std::string& command) {
    return RunCommand(command);
}

// A file name in the temporary folder that no other test process uses: ctest
// runs test cases side by side, each in a process of its own.
inline std::filesystem::path TempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "-" + name);
}

inline std::string Quote(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

// The output of an independent reader's tool run on a volume, at its offset.
inline std::string Oracle(const std::string& tool, const NtfsVolumeCase& v,
                          const std::string& extra = "") {
    return RunCommand(tool + " -o " + std::to_string(v.offsetSectors) + " " + extra + " " +
                      Quote(v.source) + " 2>/dev/null");
}

// The rest of the line after `key` in an oracle's report, or empty.
inline std::string After(const std::string& text, const std::string& key) {
    const auto at = text.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

// Every NTFS volume the tests compare with the independent reader: the
// generated ones and the partitions of the Windows samples that are present.
inline std::vector<NtfsVolumeCase> OracleVolumes() {
    std::vector<NtfsVolumeCase> cases;
    for (const char* name : {"ntfs-4k", "ntfs-512", "ntfs-64k", "ntfs-rec4k", "ntfs-mftlist"}) {
        const auto p = VolumeDir() / (std::string(name) + ".img");
        if (std::filesystem::exists(p)) {
            cases.push_back({name, p, 0, 0});
        }
    }
    if (std::filesystem::exists(VolumeDir() / "demo.img")) {
        cases.push_back({"demo", VolumeDir() / "demo.img", 0, 0});
    }
    // Partitions of the whole-disk images, at the offsets of the oracle's own
    // listing: every numbered slot of the GPT disk (the listing shows the
    // partitions' names there, not their type) and the NTFS one of the MBR
    // disk. The index is the drive's among the disk's partitions.
    const auto partitions = [&cases](const char* disk, const char* prefix, bool ntfsOnly) {
        const auto image = VolumeDir() / disk;
        if (!std::filesystem::exists(image)) {
            return;
        }
        std::istringstream in(Run("mmls -B " + Quote(image)));
        std::string line;
        int index = 0;
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string slot, part, start;
            f >> slot >> part >> start;
            if (part.empty() || part.find_first_not_of("0123456789:") != std::string::npos) {
                continue;
            }
            if (!ntfsOnly || line.find("NTFS") != std::string::npos) {
                cases.push_back({prefix + std::to_string(index), image, std::stoull(start), index});
            }
            ++index;
        }
    };
    partitions("gpt-disk.img", "gpt-", false);
    partitions("mbr-disk.img", "mbr-", true);
    for (const char* name : {"windows10-slack", "windows10-lastaccess"}) {
        const auto p = WindowsVolumeDir() / (std::string(name) + ".raw");
        if (std::filesystem::exists(p)) {
            cases.push_back({name, p, 128, 0});
        }
    }
    return cases;
}

} // namespace lorvex::test

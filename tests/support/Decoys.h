#pragma once

// Sources that carry a container's signature they are not, made in a test's
// own folder around small volumes that mkntfs writes: a raw volume whose
// last sector is a VHD footer, a disk whose boot code begins as a
// container's header would.
#include "support/Volumes.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace lorvex::test {

// A fresh NTFS volume of `sectors` 512-byte sectors labelled `label` at the
// start of a file of `fileBytes` bytes; false when mkntfs is missing or fails.
inline bool MakeNtfsFile(const std::filesystem::path& file, std::uint64_t fileBytes,
                         std::uint64_t sectors, const std::string& label) {
    return RunCommand("command -v mkntfs >/dev/null && truncate -s " + std::to_string(fileBytes) +
                      " " + Quote(file) + " && mkntfs -F -Q -q -L " + label + " " + Quote(file) +
                      " " + std::to_string(sectors) + " >/dev/null 2>&1; echo $?") == "0\n";
}

// Writes `bytes` at `offset` of `file`, the rest of it left as it is.
inline bool Overwrite(const std::filesystem::path& file, std::uint64_t offset,
                      std::string_view bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

// Makes the last 64 KiB of `file` a dynamic VHD of an 8 MiB disk that
// holds nothing: its header and block table, then the footer in the last
// sector, each with its checksum, as the VHD format lays them out. The
// bytes before them stay as they were.
inline bool PutVhdFooter(const std::filesystem::path& file) {
    const std::uint64_t size = std::filesystem::file_size(file);
    constexpr std::uint64_t kDisk = std::uint64_t{8} << 20;
    constexpr std::uint32_t kBlock = std::uint32_t{2} << 20;
    constexpr std::uint32_t kEntries = kDisk / kBlock;
    const std::uint64_t header = size - 65536;
    const std::uint64_t table = header + 1024;
    const auto put = [](std::string& s, std::size_t at, std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            s[at + static_cast<std::size_t>(i)] =
                static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xFF);
        }
    };
    // The ones' complement of the byte sum, taken with the field at zero.
    const auto checksum = [&put](std::string& s, std::size_t at) {
        std::uint32_t sum = 0;
        for (const char c : s) {
            sum += static_cast<unsigned char>(c);
        }
        put(s, at, ~sum, 4);
    };
    std::string footer(512, '\0');
    footer.replace(0, 8, "conectix");
    put(footer, 8, 2, 4);           // features: reserved bit
    put(footer, 12, 0x00010000, 4); // version
    put(footer, 16, header, 8);     // where the dynamic header is
    put(footer, 40, kDisk, 8);      // original size
    put(footer, 48, kDisk, 8);      // current size
    put(footer, 56, 0x01001011, 4); // geometry
    put(footer, 60, 3, 4);          // dynamic
    checksum(footer, 64);
    std::string dynamic(1024, '\0');
    dynamic.replace(0, 8, "cxsparse");
    put(dynamic, 8, ~std::uint64_t{0}, 8); // no next structure
    put(dynamic, 16, table, 8);
    put(dynamic, 24, 0x00010000, 4);
    put(dynamic, 28, kEntries, 4);
    put(dynamic, 32, kBlock, 4);
    checksum(dynamic, 36);
    return Overwrite(file, header, dynamic) &&
           Overwrite(file, table, std::string(4 * kEntries, '\xFF')) &&
           Overwrite(file, size - 512, footer);
}

// A 16 MiB disk with an MBR whose one partition, at 1 MiB, holds a 4 MiB
// NTFS volume labelled "InMbr"; its boot code then begins with `bootCode`.
// False when sfdisk or mkntfs is missing or fails.
inline bool MakeMbrDisk(const std::filesystem::path& disk, std::string_view bootCode) {
    const std::filesystem::path volume = disk.string() + ".part";
    const bool made =
        MakeNtfsFile(volume, 4 << 20, (4 << 20) / 512 - 1, "InMbr") &&
        RunCommand("command -v sfdisk >/dev/null && truncate -s 16M " + Quote(disk) +
                   " && printf 'label: dos\\nstart=2048, size=8192, type=7\\n' | sfdisk -q " +
                   Quote(disk) + " >/dev/null 2>&1 && dd if=" + Quote(volume) + " of=" +
                   Quote(disk) + " bs=512 seek=2048 conv=notrunc status=none; echo $?") == "0\n";
    std::filesystem::remove(volume);
    return made && Overwrite(disk, 0, bootCode);
}

} // namespace lorvex::test

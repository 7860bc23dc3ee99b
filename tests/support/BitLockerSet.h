#pragma once

// The BitLocker volumes Windows encrypted (the shared folder's
// bitlocker-volumes.tar.xz, unpacked into the build tree by the ctest fixture
// unpack_bitlocker_volumes), and what images.conf says of each.

#include "platform/RawVolumeSystem.h"

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::test {

inline std::filesystem::path BitLockerDir() {
    return std::filesystem::path(LORVEX_BITLOCKER_VOLUMES) / "bitlocker";
}

// One image's section of images.conf: its keys, protector ids, serial and the
// SHA-256 of the whole decrypted volume (empty where the reference could not
// decrypt it).
struct BitLockerImage {
    std::string name;
    std::map<std::string, std::string> values;

    [[nodiscard]] std::filesystem::path path() const { return BitLockerDir() / (name + ".img"); }
    [[nodiscard]] std::string operator[](const std::string& key) const {
        const auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

inline std::vector<BitLockerImage> BitLockerImages() {
    std::vector<BitLockerImage> images;
    std::ifstream in(BitLockerDir() / "images.conf");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            images.push_back({line.substr(1, line.size() - 2), {}});
        } else if (const auto eq = line.find('='); eq != std::string::npos && !images.empty()) {
            images.back().values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return images;
}

// The SHA-256, in hex, of everything a drive reads through the volume layer,
// from its first byte to its last, as the program's readers see it.
inline std::string HashDrive(platform::RawVolumeSystem& system, std::size_t drive,
                             std::uint64_t& bytes) {
    bytes = 0;
    const std::string name = "\\\\.\\Volume" + system.drives()[drive].volumeGuid;
    const platform::Handle h = system.CreateFile(name);
    if (h == platform::kInvalidHandle) {
        return "cannot open";
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    std::vector<std::byte> buffer(std::size_t{1} << 20);
    for (;;) {
        std::uint32_t got = 0;
        const bool ok = system.ReadFile(h, buffer, &got);
        EVP_DigestUpdate(ctx.get(), buffer.data(), got);
        bytes += got;
        if (!ok) {
            system.CloseHandle(h);
            return "read failed at byte " + std::to_string(bytes);
        }
        if (got < buffer.size()) {
            break;
        }
    }
    system.CloseHandle(h);
    unsigned char digest[32];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &n);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

} // namespace lorvex::test

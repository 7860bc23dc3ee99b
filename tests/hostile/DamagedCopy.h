#pragma once

// A private copy of a test volume whose file records can be edited in place:
// a record is taken out with its update sequence undone, edited as plain
// bytes, and put back with the sequence applied again, so that it still
// reads as a record and only the edit is seen.

#include "ondisk/ByteReader.h"
#include "support/Sanitizers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace lorvex::test {

using Bytes = std::vector<std::byte>;

class DamagedCopy {
  public:
    DamagedCopy(const std::filesystem::path& original, const std::filesystem::path& copy)
        : path_(copy) {
        std::filesystem::copy_file(original, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        file_.open(copy, std::ios::in | std::ios::out | std::ios::binary);
        const Bytes boot = Read(0, 512);
        const ondisk::ByteReader r(boot);
        bytesPerSector_ = *r.u16(0x0B);
        // Above 128 the count is a negative power of two (2 MiB clusters).
        const std::uint32_t perCluster = *r.u8(0x0D);
        bytesPerCluster_ =
            bytesPerSector_ *
            (perCluster <= 0x80 ? perCluster : std::uint32_t{1} << (256 - perCluster));
        const auto raw = static_cast<std::int8_t>(*r.u8(0x40));
        bytesPerRecord_ =
            raw > 0 ? static_cast<std::uint32_t>(raw) * bytesPerCluster_ : std::uint32_t{1} << -raw;
        mftOffset_ = *r.u64(0x30) * bytesPerCluster_;
    }
    ~DamagedCopy() {
        file_.close();
        std::filesystem::remove(path_);
    }
    DamagedCopy(const DamagedCopy&) = delete;
    DamagedCopy& operator=(const DamagedCopy&) = delete;

    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
    [[nodiscard]] std::uint32_t BytesPerCluster() const { return bytesPerCluster_; }
    [[nodiscard]] std::uint32_t BytesPerRecord() const { return bytesPerRecord_; }

    Bytes Read(std::uint64_t at, std::size_t n) {
        Bytes out(n);
        file_.seekg(static_cast<std::streamoff>(at));
        file_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
        return out;
    }
    void Write(std::uint64_t at, const Bytes& bytes) {
        file_.seekp(static_cast<std::streamoff>(at));
        file_.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
        file_.flush();
    }

    // Record `n` with its update sequence undone. Only records in the first
    // run of the $MFT are reached, which the system files and the low user
    // records of the test volumes are.
    Bytes ReadRecord(std::int64_t n) {
        Bytes rec = Read(RecordOffset(n), bytesPerRecord_);
        const ondisk::ByteReader r(rec);
        const std::size_t usa = *r.u16(0x04);
        const std::size_t count = *r.u16(0x06);
        for (std::size_t i = 1; i < count; ++i) {
            const std::size_t tail = i * bytesPerSector_ - 2;
            rec[tail] = rec[usa + 2 * i];
            rec[tail + 1] = rec[usa + 2 * i + 1];
        }
        return rec;
    }
    void WriteRecord(std::int64_t n, Bytes rec) {
        const ondisk::ByteReader r(rec);
        const std::size_t usa = *r.u16(0x04);
        const std::size_t count = *r.u16(0x06);
        for (std::size_t i = 1; i < count; ++i) {
            const std::size_t tail = i * bytesPerSector_ - 2;
            rec[usa + 2 * i] = rec[tail];
            rec[usa + 2 * i + 1] = rec[tail + 1];
            rec[tail] = rec[usa];
            rec[tail + 1] = rec[usa + 1];
        }
        Write(RecordOffset(n), rec);
    }

    // The offset of the `nth` attribute of `type` in a plain record.
    static std::optional<std::size_t> FindAttribute(const Bytes& rec, std::uint32_t type,
                                                    int nth = 0) {
        const ondisk::ByteReader r(rec);
        std::size_t at = *r.u16(0x14);
        while (r.fits(at, 8)) {
            const std::uint32_t t = *r.u32(at);
            const std::uint32_t length = *r.u32(at + 4);
            if (t == 0xFFFFFFFF || length == 0) {
                break;
            }
            if (t == type && nth-- == 0) {
                return at;
            }
            at += length;
        }
        return std::nullopt;
    }

    // Puts `attribute` (whole, its length field set) in at `at`, moving what
    // follows; false when the record has no room for it.
    static bool InsertAt(Bytes& rec, std::size_t at, const Bytes& attribute) {
        if (!Resize(rec, at, 0, attribute.size())) {
            return false;
        }
        std::copy(attribute.begin(), attribute.end(),
                  rec.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }

    // Gives the non-resident attribute at `at` the run list `runs`, growing or
    // shrinking the attribute to hold it; false when the record has no room.
    static bool SetRunList(Bytes& rec, std::size_t at, const Bytes& runs) {
        const ondisk::ByteReader r(rec);
        const std::size_t runsAt = *r.u16(at + 0x20);
        const std::size_t oldLength = *r.u32(at + 4);
        const std::size_t newLength = (runsAt + runs.size() + 7) / 8 * 8;
        if (!Resize(rec, at, oldLength, newLength)) {
            return false;
        }
        std::fill(rec.begin() + static_cast<std::ptrdiff_t>(at + runsAt),
                  rec.begin() + static_cast<std::ptrdiff_t>(at + newLength), std::byte{0});
        std::copy(runs.begin(), runs.end(), rec.begin() + static_cast<std::ptrdiff_t>(at + runsAt));
        ondisk::StoreLE(rec, at + 4, newLength, 4);
        return true;
    }

    // A run list of one run of `clusters` clusters: sparse, or from cluster 1.
    static Bytes OneRun(std::uint64_t clusters, bool sparse) {
        Bytes runs{std::byte{0}};
        for (std::uint64_t v = clusters; v != 0; v >>= 8) {
            runs.push_back(static_cast<std::byte>(v & 0xFF));
        }
        if (std::to_integer<std::uint8_t>(runs.back()) >= 0x80 && runs.size() < 9) {
            runs.push_back(std::byte{0});
        }
        const std::size_t lengthBytes = runs.size() - 1;
        if (!sparse) {
            runs.push_back(std::byte{1});
        }
        runs[0] = static_cast<std::byte>(lengthBytes | (sparse ? 0U : 0x10U));
        runs.push_back(std::byte{0});
        return runs;
    }

  private:
    std::uint64_t RecordOffset(std::int64_t n) const {
        return mftOffset_ + static_cast<std::uint64_t>(n) * bytesPerRecord_;
    }

    // Makes the `oldLength` bytes at `at` `newLength` long, keeping what of
    // them fits (any new ones zero) and moving the rest of the used part and
    // its size.
    static bool Resize(Bytes& rec, std::size_t at, std::size_t oldLength, std::size_t newLength) {
        const ondisk::ByteReader r(rec);
        const std::size_t used = *r.u32(0x18);
        if (used - oldLength + newLength > rec.size()) {
            return false;
        }
        Bytes tail(rec.begin() + static_cast<std::ptrdiff_t>(at + oldLength),
                   rec.begin() + static_cast<std::ptrdiff_t>(used));
        std::fill(rec.begin() + static_cast<std::ptrdiff_t>(at + std::min(oldLength, newLength)),
                  rec.end(), std::byte{0});
        std::copy(tail.begin(), tail.end(),
                  rec.begin() + static_cast<std::ptrdiff_t>(at + newLength));
        ondisk::StoreLE(rec, 0x18, used - oldLength + newLength, 4);
        return true;
    }

    std::filesystem::path path_;
    std::fstream file_;
    std::uint32_t bytesPerSector_ = 512;
    std::uint32_t bytesPerCluster_ = 4096;
    std::uint32_t bytesPerRecord_ = 1024;
    std::uint64_t mftOffset_ = 0;
};

// How a child process ended.
struct ChildEnd {
    bool timedOut = false;
    int status = -1; // exit status when it exited
    bool signalled = false;
};

// Runs `argv` as a child with its output sent to /dev/null, killed by an
// alarm after `seconds` and, when `addressSpace` is not 0, refused any
// address space beyond it (except under AddressSanitizer, whose shadow alone
// is larger than any such cap).
inline ChildEnd RunLimited(const std::vector<std::string>& argv, unsigned seconds,
                           std::uint64_t addressSpace = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (addressSpace != 0 && !kAddressSanitizer) {
            const rlimit limit{addressSpace, addressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        alarm(seconds);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ChildEnd end;
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) {
        end.signalled = true;
        end.timedOut = WTERMSIG(status) == SIGALRM;
    } else if (WIFEXITED(status)) {
        end.status = WEXITSTATUS(status);
    }
    return end;
}

} // namespace lorvex::test

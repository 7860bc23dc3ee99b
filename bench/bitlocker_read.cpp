// Reads a BitLocker volume whole through the source layer on every core,
// twice a run: its bytes raw, as they lie in the image, and the same bytes
// decrypted on demand once it is unlocked. Prints the medians of wall and CPU
// time of each, and decrypted against raw. The decrypted volume is first
// checked to read as the plain one, byte for byte.
//   bench_bitlocker_read PLAIN ENCRYPTED KEYFILE [RUNS]
#include "platform/BitLockerSource.h"
#include "platform/SourceBytes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace lorvex::platform;

namespace {

constexpr std::size_t kRead = std::size_t{1} << 20;

double CpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

// Every MiB of `bytes` read once, the reads dealt out to one thread a core.
Timing ReadAll(const SourceBytes& bytes, std::atomic<std::uint64_t>& sum) {
    const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
    const std::uint64_t blocks = (bytes.size() + kRead - 1) / kRead;
    std::atomic<std::uint64_t> next{0};
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            std::vector<std::byte> buffer(kRead);
            std::uint64_t local = 0;
            for (std::uint64_t b = next++; b < blocks; b = next++) {
                const std::size_t n = bytes.Read(b * kRead, buffer);
                // Something of every read is used, so none is left out.
                local += n + std::to_integer<std::uint64_t>(buffer[n / 2]);
            }
            sum += local;
        });
    }
    for (auto& t : pool) {
        t.join();
    }
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            CpuSeconds() - cpu};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_bitlocker_read PLAIN ENCRYPTED KEYFILE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    std::uint32_t code = 0;
    std::shared_ptr<const SourceBytes> plain = SourceBytes::Open(argv[1], 0, UINT64_MAX, code);
    std::shared_ptr<const SourceBytes> raw = SourceBytes::Open(argv[2], 0, UINT64_MAX, code);
    if (!plain || !raw) {
        std::fprintf(stderr, "bench_bitlocker_read: cannot open the images\n");
        return 1;
    }
    const RegionReader read = [raw](std::uint64_t at, std::span<std::byte> out) {
        return raw->Read(at, out);
    };
    std::string why;
    const auto volume = BitLockerVolume::Open(read, raw->size(), why);
    BitLockerKey key;
    if (!volume || !ReadKeyFile(argv[3], key, why)) {
        std::fprintf(stderr, "bench_bitlocker_read: %s\n", why.c_str());
        return 1;
    }
    BitLockerAccess access;
    if (UnlockBitLocker(*volume, read, &key, access, why) !=
        BitLockerVolume::UnlockStatus::Unlocked) {
        std::fprintf(stderr, "bench_bitlocker_read: %s\n", why.c_str());
        return 1;
    }
    const auto decrypted = DecryptedSource(raw, *volume, access, {argv[2]});

    // The two read alike, or the timing says nothing.
    {
        std::vector<std::byte> a(kRead);
        std::vector<std::byte> b(kRead);
        for (std::uint64_t at = 0; at < plain->size(); at += kRead) {
            const std::size_t n = plain->Read(at, a);
            if (decrypted->Read(at, b) != n || std::memcmp(a.data(), b.data(), n) != 0) {
                std::fprintf(stderr,
                             "bench_bitlocker_read: the volumes differ in the MiB at %llu\n",
                             static_cast<unsigned long long>(at));
                return 1;
            }
        }
    }
    std::atomic<std::uint64_t> sum{0};
    std::vector<double> rawWall, rawCpu, decWall, decCpu;
    for (int r = 0; r < runs; ++r) {
        const Timing p = ReadAll(*raw, sum);
        const Timing d = ReadAll(*decrypted, sum);
        rawWall.push_back(p.wall);
        rawCpu.push_back(p.cpu);
        decWall.push_back(d.wall);
        decCpu.push_back(d.cpu);
    }
    const double mib = static_cast<double>(raw->size()) / (1 << 20);
    std::printf("volume: %.0f MiB, %s, decrypted by %s; %u threads, medians of %d runs\n", mib,
                lorvex::ondisk::MethodName(volume->method()).c_str(), access.reader.c_str(),
                std::max(1U, std::thread::hardware_concurrency()), runs);
    std::printf("%-10s %8s %8s %10s\n", "read", "wall s", "CPU s", "MiB/s");
    std::printf("%-10s %8.3f %8.3f %10.0f\n", "raw", Median(rawWall), Median(rawCpu),
                mib / Median(rawWall));
    std::printf("%-10s %8.3f %8.3f %10.0f\n", "decrypted", Median(decWall), Median(decCpu),
                mib / Median(decWall));
    std::printf("decrypted / raw: wall %.2f, CPU %.2f\n", Median(decWall) / Median(rawWall),
                Median(decCpu) / Median(rawCpu));
    return sum.load() == 0 ? 1 : 0;
}

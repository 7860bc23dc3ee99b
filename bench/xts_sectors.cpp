// The cost of XTS decryption by sector size, on one core: 1 MiB buffers
// (what the source layer decrypts at a time) decrypted over and over, the
// fastest of several rounds of CPU time, as GB/s. The sector size decides
// how the cipher runs (three passes around one call into OpenSSL, or one
// call per sector), so each is timed.
//   bench_xts_sectors [MIB]
#include "ondisk/FveMetadata.h"
#include "platform/BitLockerCrypto.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace lorvex;

namespace {

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    constexpr std::size_t kBuffer = std::size_t{1} << 20;
    std::vector<std::byte> buffer(kBuffer, std::byte{0x5a});
    std::printf("%-12s %-6s %8s\n", "cipher", "sector", "GB/s");
    for (const auto method : {ondisk::fve::method::kAesXts128, ondisk::fve::method::kAesXts256}) {
        const std::vector<std::uint8_t> key(ondisk::VolumeKeyBytes(method), 0x24);
        for (const std::uint32_t sector : {512U, 1024U, 2048U, 4096U}) {
            std::string why;
            const auto cipher = platform::SectorCipher::Create(method, key, sector, why);
            if (!cipher) {
                std::fprintf(stderr, "bench_xts_sectors: %s\n", why.c_str());
                return 1;
            }
            double best = 1e9;
            for (int round = 0; round < 5; ++round) {
                const double start = ThreadCpuSeconds();
                for (std::size_t i = 0; i < mib; ++i) {
                    if (!cipher->Decrypt(i * kBuffer, buffer)) {
                        std::fprintf(stderr, "bench_xts_sectors: the decryption failed\n");
                        return 1;
                    }
                }
                best = std::min(best, ThreadCpuSeconds() - start);
            }
            std::printf("%-12s %-6u %8.2f\n", ondisk::MethodName(method).c_str(), sector,
                        static_cast<double>(mib * kBuffer) / best / 1e9);
        }
    }
    return 0;
}

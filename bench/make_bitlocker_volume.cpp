// Encrypts a plain volume as BitLocker lays one out (tests/support/
// BitLockerWriter.h), with a password, for the benchmarks.
//   bench_make_bitlocker_volume PLAIN OUT PASSWORD [METHOD]
// METHOD: xts128 (the default), xts256, cbc128, cbc256, diffuser128,
// diffuser256.
#include "support/BitLockerWriter.h"

#include <cstdio>
#include <map>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_make_bitlocker_volume PLAIN OUT PASSWORD [METHOD]\n");
        return 2;
    }
    namespace m = lorvex::ondisk::fve::method;
    const std::map<std::string, std::uint16_t> methods = {{"xts128", m::kAesXts128},
                                                          {"xts256", m::kAesXts256},
                                                          {"cbc128", m::kAesCbc128},
                                                          {"cbc256", m::kAesCbc256},
                                                          {"diffuser128", m::kAesCbc128Diffuser},
                                                          {"diffuser256", m::kAesCbc256Diffuser}};
    const auto method = methods.find(argc > 4 ? argv[4] : "xts128");
    if (method == methods.end()) {
        std::fprintf(stderr, "bench_make_bitlocker_volume: no method %s\n", argv[4]);
        return 2;
    }
    lorvex::test::BitLockerRecipe recipe;
    recipe.method = method->second;
    recipe.password = argv[3];
    lorvex::test::BitLockerMade made;
    std::string why;
    if (!lorvex::test::MakeBitLocker(argv[1], argv[2], recipe, made, why)) {
        std::fprintf(stderr, "bench_make_bitlocker_volume: %s\n", why.c_str());
        return 1;
    }
    return 0;
}

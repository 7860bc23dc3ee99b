#pragma once

namespace lorvex::test {

// Whether this build runs under AddressSanitizer, which reserves terabytes of
// address space for its shadow: a cap on a child's address space then
// measures the sanitizer, not the program.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

} // namespace lorvex::test

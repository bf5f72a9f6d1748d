#pragma once
// The wall-time bound of a test that guards against work out of proportion to its input. The plain
// bound sits far above what a linear run takes, so only a blow-up crosses it; a sanitized build runs
// many times slower, on a machine that may be busy with other tests, and gets a wider one.

#include <chrono>

namespace velmo::test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kSanitizedSlowdown = 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr int kSanitizedSlowdown = 10;
#else
inline constexpr int kSanitizedSlowdown = 1;
#endif
#else
inline constexpr int kSanitizedSlowdown = 1;
#endif

inline constexpr std::chrono::seconds time_budget(std::chrono::seconds plain) { return plain * kSanitizedSlowdown; }

}  // namespace velmo::test

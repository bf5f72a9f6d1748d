#pragma once
// Shared pieces of the fuzz targets.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string_view>
#include <utility>

namespace velmo::fuzz {

inline std::string_view as_view(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Targets that take two documents read them as one input split at the first NUL byte, which
// XML cannot hold. Without one, the second document is empty.
inline std::pair<std::string_view, std::string_view> split_at_nul(std::string_view in) {
    const size_t nul = in.find('\0');
    if (nul == std::string_view::npos) return {in, {}};
    return {in.substr(0, nul), in.substr(nul + 1)};
}

// A broken invariant: abort so the fuzzer keeps the input.
[[noreturn]] inline void invariant_failed(const char* what) {
    std::fprintf(stderr, "invariant failed: %s\n", what);
    std::abort();
}

}  // namespace velmo::fuzz

#define FUZZ_CHECK(cond)                                  \
    do {                                                  \
        if (!(cond)) ::velmo::fuzz::invariant_failed(#cond); \
    } while (0)

#pragma once
// Where a row or column lands when lines are inserted or deleted before it.

#include <cstdint>
#include <limits>
#include <optional>

namespace velmo {

// The new position of line `p` after inserting `n` lines at `at` (`insert`), or deleting lines
// at..at+n-1; none when it falls in a deleted band or is pushed past u32.
inline std::optional<uint32_t> shifted_index(uint32_t p, uint32_t at, bool insert, uint32_t n) {
    if (p < at) return p;
    if (insert) {
        const uint64_t q = uint64_t{p} + n;
        if (q > std::numeric_limits<uint32_t>::max()) return std::nullopt;
        return static_cast<uint32_t>(q);
    }
    // Computed in 64 bits: at + n may pass u32 for a band past the grid.
    if (uint64_t{p} < uint64_t{at} + n) return std::nullopt;
    return p - n;
}

}  // namespace velmo

#pragma once
// The cell a hyperlink or a comment belongs to, from the reference it carries.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::reader {

// A single reference as written ("a1" stays "a1"); for a range, its top-left cell in canonical
// form ("b2:a1" gives "A1"), the key the writer can store; for a list ("A1 C3"), its first item.
// None for an empty reference, or one that names no cell ("Total", "A:A").
std::optional<std::string> attached_cell_key(std::string_view ref);

// The cell a reference is attached to (attached_cell_key) and the block it covers from there. A
// range that reaches past the grid covers its cell alone, and so does a first cell followed by
// something that is not one ("B2:junk", attached to "B2").
struct AttachedRange {
    std::string key;
    uint32_t rows = 1;
    uint32_t cols = 1;
};
std::optional<AttachedRange> attached_range(std::string_view ref);

}  // namespace velmo::reader

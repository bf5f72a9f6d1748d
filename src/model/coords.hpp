#pragma once
// A1 coordinates: parsing, naming and absolute forms. Rows and columns are 1-based u32 with no grid cap.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::coords {

struct CellPos {
    uint32_t col = 0;
    uint32_t row = 0;
    bool operator==(const CellPos&) const = default;
};

// Corners exactly as written: (col1,row1) is the first corner, never reordered.
struct RangePos {
    uint32_t col1 = 0, row1 = 0, col2 = 0, row2 = 0;
    bool operator==(const RangePos&) const = default;
    // The same range with corners in min/max order.
    RangePos ordered() const;
};

// Column first. None for anything but letters then an unsigned row (optional single "+") within u32.
std::optional<CellPos> parse_a1(std::string_view text);
std::optional<RangePos> parse_range(std::string_view text);
// Bijective base-26 upper-case letters; 0 gives the empty text (outside the domain, never a crash).
std::string column_name(uint32_t column);
// The column number of `letters` (A is 1), in either case. None when empty, when anything but an
// ASCII letter occurs, or when the number exceeds u32.
std::optional<uint32_t> column_number(std::string_view letters);
// Row first. Throws std::invalid_argument("row must be 1-based"/"col must be 1-based") on 0: callers must
// not pass 0, so reaching it is an internal failure.
std::string rc_to_a1(uint32_t row, uint32_t column);
// Appends rc_to_a1(row, column) to out without other allocation (hot path of keyed reads).
void append_a1(std::string& out, uint32_t row, uint32_t column);
// The most bytes rc_to_a1 gives: 7 letters and 10 digits.
inline constexpr size_t kMaxA1Size = 17;

// The grid's last row and column.
inline constexpr uint32_t kMaxRow = 1'048'576;
inline constexpr uint32_t kMaxCol = 16'384;
// Writes rc_to_a1(row, column) at `out`, which has room for kMaxA1Size bytes; returns its end.
char* write_a1(char* out, uint32_t row, uint32_t column);
// Writes column_name(column) of a column >= 1 at `out` (room for 7 bytes); returns its end.
char* write_column_name(char* out, uint32_t column);

std::string make_cell_absolute(std::string_view text);
std::string make_absolute_range(std::string_view text);
std::string make_absolute_line_range(std::string_view text);

std::optional<std::string> normalize_freeze_panes(const std::optional<std::string>& setting);
std::optional<std::string> normalize_print_setting(const std::optional<std::string>& setting);

// Unicode White_Space trimming of UTF-8 text (ASCII fast path).
std::string_view trim_ws(std::string_view text);

}  // namespace velmo::coords

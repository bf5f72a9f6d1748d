#include "model/hyperlink.hpp"

namespace velmo {

std::optional<coords::RangePos> link_range_at(const Hyperlink& link, coords::CellPos first) {
    // A block of no rows or columns covers its cell alone.
    const uint64_t last_row = uint64_t{first.row} + (link.rows ? link.rows - 1 : 0);
    const uint64_t last_col = uint64_t{first.col} + (link.cols ? link.cols - 1 : 0);
    if (last_row > coords::kMaxRow || last_col > coords::kMaxCol) return std::nullopt;
    return coords::RangePos{first.col, first.row, static_cast<uint32_t>(last_col), static_cast<uint32_t>(last_row)};
}

}  // namespace velmo

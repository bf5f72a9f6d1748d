#pragma once
// A cell's hyperlink and the block of cells it covers from that cell.

#include <cstdint>
#include <optional>
#include <string>

#include "model/coords.hpp"

namespace velmo {

struct Hyperlink {
    std::string target;  // external target; empty for a link to a place inside the workbook
    std::optional<std::string> location;
    std::optional<std::string> tooltip;
    std::optional<std::string> display;
    // The block the link covers, from its cell this many rows down and columns right: 1 by 1 for
    // the cell alone. It goes wherever its cell goes and keeps its size.
    uint32_t rows = 1;
    uint32_t cols = 1;
    bool operator==(const Hyperlink&) const = default;
};

// The range `link` covers with its cell at `first`, corners in order; none when the block would
// reach past the grid's last row or column.
std::optional<coords::RangePos> link_range_at(const Hyperlink& link, coords::CellPos first);

}  // namespace velmo

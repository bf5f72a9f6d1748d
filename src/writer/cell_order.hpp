#pragma once
// The writer's one order of a sheet's cells: row first, then column. Shared strings, style
// collection, the sheet part, comments and hyperlinks all walk this order, so two saves of one
// workbook give identical bytes.

#include <compare>
#include <cstdint>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/coords.hpp"
#include "model/workbook.hpp"

namespace velmo::writer {

// The grid of a worksheet part.
using coords::kMaxCol;
using coords::kMaxRow;

struct SortKey {
    uint32_t row = 0;
    uint32_t col = 0;
    auto operator<=>(const SortKey&) const = default;
};

// (row, column) of a reference text: ASCII letters of either case build the column (wrapping in
// 32 bits), ASCII digits the row; every other character is ignored. The row is 0 when there are
// no digits or they exceed 32 bits. "b3", "$B$3" and "3B" all give (3, 2). Never fails.
SortKey cell_sort_key(std::string_view key);

// One cell that the package mentions, with its position in the grid.
struct OrderedCell {
    uint64_t pos;  // row << 32 | column, the sort key
    const Cell* cell;

    uint32_t row() const { return static_cast<uint32_t>(pos >> 32); }
    uint32_t col() const { return static_cast<uint32_t>(pos); }
};

// Whether a cell of an order becomes a `c` element: each does but a blank cell of the default
// style that the order holds only for its comment or hyperlink. (A cell without extras is in the
// order for a value, a style, or to keep the default look under a styled row or column.)
inline bool is_written_cell(const Cell& cell) {
    return !cell.extras || !is_empty(cell.value) || cell.style_index != 0 || cell.font() || cell.fill() || cell.kept();
}

// The cells of one sheet that the package mentions (a value, a style, a direct font or fill, a
// comment or a hyperlink, what the source kept with a value), in (row, column) order, and the
// blank cells of the default style under a row or column of another style, which a source writes
// to keep the default look there. Cells without any of these are left out.
// The flags tell the walks over the cells which of them they may skip: a sheet of plain numbers
// holds no text, no date or time and no extras. An order not made by order_sheet_cells claims all.
struct SheetCellOrder : std::vector<OrderedCell> {
    using std::vector<OrderedCell>::vector;
    bool has_text = true;      // some value is a String
    bool has_temporal = true;  // some value is a Date, DateTime, Time or Duration
    bool has_extras = true;    // some cell has extras (own font or fill, comment, hyperlink, kept content)
};

// Orders the sheet's cells. InvalidFormat, naming the sheet and the key in quoted form, when a
// key is not an A1 reference, lies outside the grid, or names the same cell as another key
// ("a1" and "A1"). Positions come from the keys' canonical form, which the parts write.
Result<SheetCellOrder> order_sheet_cells(const Worksheet& ws);

// order_sheet_cells for every worksheet, in workbook order.
Result<std::vector<SheetCellOrder>> order_workbook_cells(const Workbook& wb);

}  // namespace velmo::writer

#include "writer/cell_order.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "model/coords.hpp"
#include "model/quoted.hpp"
#include "writer/text_check.hpp"

namespace velmo::writer {

SortKey cell_sort_key(std::string_view key) {
    uint32_t col = 0;
    uint64_t row = 0;
    bool digits = false;
    bool row_overflow = false;
    for (const char ch : key) {
        if (ch >= 'a' && ch <= 'z') {
            col = col * 26u + static_cast<uint32_t>(ch - 'a' + 1);
        } else if (ch >= 'A' && ch <= 'Z') {
            col = col * 26u + static_cast<uint32_t>(ch - 'A' + 1);
        } else if (ch >= '0' && ch <= '9') {
            digits = true;
            if (!row_overflow) {
                row = row * 10 + static_cast<uint64_t>(ch - '0');
                if (row > UINT32_MAX) row_overflow = true;
            }
        }
        // Bytes of non-ASCII characters are never ASCII letters or digits, so skipping bytes
        // skips whole characters.
    }
    if (!digits || row_overflow) row = 0;
    return {static_cast<uint32_t>(row), col};
}

namespace {

bool has_style(const std::unordered_map<uint32_t, LineFormat>& lines, uint32_t at) {
    const auto it = lines.find(at);
    return it != lines.end() && it->second.style.value_or(0) != 0;
}

// The rows and columns of a sheet that carry a style other than the default. A plain blank cell of
// the default style under one of them is there to keep the default look: it is written, or it
// would take the line's style.
class StyledLines {
public:
    explicit StyledLines(const Worksheet& ws) : ws_(ws) {
        const auto styled = [](const auto& entry) { return entry.second.style.value_or(0) != 0; };
        any_ = std::any_of(ws.row_formats.begin(), ws.row_formats.end(), styled) ||
               std::any_of(ws.column_formats.begin(), ws.column_formats.end(), styled);
    }
    bool keeps_default(const Cell& cell, coords::CellPos p) const {
        return any_ && cell.style_index == 0 && !cell.extras && is_empty(cell.value) &&
               (has_style(ws_.row_formats, p.row) || has_style(ws_.column_formats, p.col));
    }

private:
    const Worksheet& ws_;
    bool any_ = false;
};

bool mentioned(const Cell& cell) {
    return !is_empty(cell.value) || cell.style_index != 0 || (cell.extras && !cell.extras->empty());
}

// Whether the order holds the cell stored under `key`; asked of every cell.
[[gnu::always_inline]] inline bool ordered(const Cell& cell, const CellMap::Key& key, const StyledLines& lines) {
    if (mentioned(cell)) return true;
    const auto p = key.pos();
    return p && lines.keeps_default(cell, *p);
}

std::optional<uint64_t> grid_pos(const CellMap::Key& key) {
    const auto p = key.pos();
    if (!p || p->row > kMaxRow || p->col > kMaxCol) return std::nullopt;
    return (static_cast<uint64_t>(p->row) << 32) | p->col;
}

// Grid positions fit in 36 bits (21 for the row, 15 for the column), so three 12-bit passes of
// a radix sort order a large sheet several times faster than a comparison sort.
void sort_by_position(SheetCellOrder& cells) {
    if (cells.size() < 1024) {
        std::sort(cells.begin(), cells.end(), [](const OrderedCell& a, const OrderedCell& b) { return a.pos < b.pos; });
        return;
    }
    const auto compact = [](const OrderedCell& c) { return (static_cast<uint64_t>(c.row()) << 15) | c.col(); };
    SheetCellOrder tmp(cells.size());
    for (unsigned shift = 0; shift < 36; shift += 12) {
        std::vector<size_t> start(4097, 0);
        for (const OrderedCell& c : cells) ++start[((compact(c) >> shift) & 0xFFF) + 1];
        if (std::find(start.begin(), start.end(), cells.size()) != start.end()) continue;  // one digit for all
        for (size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
        for (const OrderedCell& c : cells) tmp[start[(compact(c) >> shift) & 0xFFF]++] = c;
        cells.swap(tmp);
    }
}

}  // namespace

Result<SheetCellOrder> order_sheet_cells(const Worksheet& ws) {
    const CellMap& cells = ws.cells();
    SheetCellOrder order;
    order.reserve(cells.size());
    // The smallest offending key, so that the message does not depend on the map's order.
    std::optional<std::string> bad_key;
    const StyledLines lines(ws);
    // Cells loaded or appended row by row come in order already: then there is nothing to sort, and no
    // two of them name the same cell.
    bool ascending = true;
    bool has_text = false, has_temporal = false, has_extras = false;
    for (const auto& [key, cell] : cells) {
        if (!ordered(cell, key, lines)) continue;
        const auto pos = grid_pos(key);
        if (!pos) {
            if (!bad_key || key < *bad_key) bad_key = key.str();
            continue;
        }
        if (!order.empty() && *pos <= order.back().pos) ascending = false;
        const ValueKind kind = kind_of(cell.value);
        has_text |= kind == ValueKind::String;
        has_temporal |= kind >= ValueKind::Date && kind <= ValueKind::Duration;
        has_extras |= cell.extras != nullptr;
        order.push_back({*pos, &cell});
    }
    order.has_text = has_text;
    order.has_temporal = has_temporal;
    order.has_extras = has_extras;
    if (bad_key) {
        const bool is_a1 = coords::parse_a1(*bad_key).has_value();
        return fail(VelmoError::invalid_format(sheet_label(ws.name) + ": cell key " + quoted(*bad_key) +
                                               (is_a1 ? " lies outside the grid (A1:XFD1048576)"
                                                      : " is not an A1 cell reference")));
    }
    if (ascending) return order;
    sort_by_position(order);
    const auto dup = std::adjacent_find(order.begin(), order.end(),
                                        [](const OrderedCell& a, const OrderedCell& b) { return a.pos == b.pos; });
    if (dup != order.end()) {
        // Name every key of that cell, in byte order.
        std::vector<std::string> keys;
        for (const auto& [key, cell] : cells)
            if (grid_pos(key) == dup->pos && ordered(cell, key, lines)) keys.push_back(key.str());
        std::sort(keys.begin(), keys.end());
        std::string msg = sheet_label(ws.name) + ": cell keys";
        for (size_t i = 0; i < keys.size(); ++i) {
            msg += i == 0 ? " " : (i + 1 == keys.size() ? " and " : ", ");
            msg += quoted(keys[i]);
        }
        msg += " name the same cell";
        return fail(VelmoError::invalid_format(std::move(msg)));
    }
    return order;
}

Result<std::vector<SheetCellOrder>> order_workbook_cells(const Workbook& wb) {
    std::vector<SheetCellOrder> orders;
    orders.reserve(wb.sheets.size());
    for (const Worksheet& ws : wb.sheets) {
        auto order = order_sheet_cells(ws);
        if (!order) return fail(std::move(order.error()));
        orders.push_back(std::move(*order));
    }
    return orders;
}

}  // namespace velmo::writer

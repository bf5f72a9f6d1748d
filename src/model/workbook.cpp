#include "model/workbook.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "model/number_text.hpp"
#include "model/quoted.hpp"
#include "model/utf8.hpp"

namespace velmo {

namespace {

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

// Resolved bounds of a rectangular read; `empty` when there is nothing to walk.
struct Rectangle {
    uint32_t min_row = 1, max_row = 1, min_col = 1, max_col = 1;
    bool empty = false;
    uint64_t rows() const { return uint64_t{max_row} - min_row + 1; }
    uint64_t cols() const { return uint64_t{max_col} - min_col + 1; }
};

Result<Rectangle> resolve_rectangle(const char* op, const UsedRange& used, std::optional<uint32_t> min_row,
                                    std::optional<uint32_t> max_row, std::optional<uint32_t> min_col,
                                    std::optional<uint32_t> max_col) {
    Rectangle r;
    r.min_row = min_row.value_or(used.empty ? 1 : used.min_row);
    r.max_row = max_row.value_or(used.empty ? 1 : used.max_row);
    r.min_col = min_col.value_or(used.empty ? 1 : used.min_col);
    r.max_col = max_col.value_or(used.empty ? 1 : used.max_col);
    if (r.min_row > r.max_row || r.min_col > r.max_col) {
        r.empty = true;
        return r;
    }
    // Only a first bound can be 0 in a rectangle that is not empty; 0 names no row or column.
    if (r.min_row == 0) {
        return fail(VelmoError::invalid_format(std::string(op) + " min_row must be >= 1, got 0"));
    }
    if (r.min_col == 0) {
        return fail(VelmoError::invalid_format(std::string(op) + " min_col must be >= 1, got 0"));
    }
    // Refuse before allocating anything: a stray key at a far row would otherwise ask for billions of cells.
    if (r.rows() > kMaxRectangleCells / r.cols()) {
        return fail(VelmoError::invalid_format(std::string(op) + " rectangle of " + std::to_string(r.rows()) +
                                               " rows by " + std::to_string(r.cols()) +
                                               " columns exceeds the limit of " +
                                               std::to_string(kMaxRectangleCells) +
                                               " cells: pass min_row, max_row, min_col and max_col to read part of it"));
    }
    return r;
}

}  // namespace

const std::shared_ptr<const StyleSheet>& empty_stylesheet() {
    static const std::shared_ptr<const StyleSheet> sheet = std::make_shared<const StyleSheet>();
    return sheet;
}

CellExtras::~CellExtras() = default;

Workbook Workbook::make_new() {
    Workbook wb;
    wb.sheets.emplace_back("Sheet");
    wb.sheet_relationships.emplace_back();
    return wb;
}

// ---- cells ----

Cell& Worksheet::ensure_cell_mut(std::string_view key) {
    if (const auto packed = CellMap::canonical_key(key)) {
        return ensure_cell_mut(static_cast<uint32_t>(*packed >> 32), static_cast<uint32_t>(*packed));
    }
    const auto [cell, inserted] = cells_.try_emplace(key);
    if (inserted) widen_used_range(key);
    return *cell;
}

Cell& Worksheet::ensure_cell_mut(uint32_t row, uint32_t col) {
    const auto [cell, inserted] = cells_.try_emplace(row, col);
    if (inserted) widen_used_range(row, col);
    return *cell;
}

void Worksheet::put_cell(std::string_view key, Cell cell) {
    if (const auto packed = CellMap::canonical_key(key)) {
        put_cell(static_cast<uint32_t>(*packed >> 32), static_cast<uint32_t>(*packed), std::move(cell));
        return;
    }
    const auto [stored, inserted] = cells_.insert_or_assign(key, std::move(cell));
    if (inserted) widen_used_range(key);
}

void Worksheet::put_cell(uint32_t row, uint32_t col, Cell&& cell) {
    const auto [stored, inserted] = cells_.put_in_order(row, col, std::move(cell));
    if (inserted) widen_used_range(row, col);
}

void Worksheet::set_cell(std::string_view key, Value value) {
    Cell& cell = ensure_cell_mut(key);
    cell.value = std::move(value);
    if (cell.extras) {
        // What rode with the old value goes with it.
        cell.extras->array.reset();
        cell.extras->kept.reset();
    }
}

Result<void> Worksheet::append(std::vector<Value> values) {
    if (values.empty()) return {};
    const UsedRange& used = used_range();
    if (!used.empty && used.max_row == kU32Max) {
        return fail(VelmoError::invalid_format("append has no next row: the sheet already holds row 4294967295"));
    }
    if (values.size() > kU32Max) {
        return fail(VelmoError::invalid_format("append row of " + std::to_string(values.size()) +
                                               " values exceeds the last column 4294967295"));
    }
    const uint32_t row = used.empty ? 1 : used.max_row + 1;
    // The row lies past every parsed key, so no canonical key of it is taken: the cells are new, and
    // arrive in order.
    for (size_t i = 0; i < values.size(); ++i) {
        Cell cell;
        cell.value = std::move(values[i]);
        const auto [stored, inserted] = cells_.put_in_order(row, static_cast<uint32_t>(i + 1), std::move(cell));
        if (inserted) widen_used_range(row, static_cast<uint32_t>(i + 1));
    }
    return {};
}

const UsedRange& Worksheet::used_range() const {
    if (used_valid_) return used_;
    UsedRange r;
    for (const auto& [key, cell] : cells_) {
        const auto pos = key.pos();
        if (!pos) continue;
        if (r.empty) {
            r = {pos->row, pos->row, pos->col, pos->col, false};
            continue;
        }
        r.min_row = std::min(r.min_row, pos->row);
        r.max_row = std::max(r.max_row, pos->row);
        r.min_col = std::min(r.min_col, pos->col);
        r.max_col = std::max(r.max_col, pos->col);
    }
    used_ = r;
    used_valid_ = true;
    return used_;
}

void Worksheet::widen_used_range(uint32_t row, uint32_t col) const {
    if (!used_valid_) return;  // recomputed in full on the next read
    if (used_.empty) {
        used_ = {row, row, col, col, false};
        return;
    }
    used_.min_row = std::min(used_.min_row, row);
    used_.max_row = std::max(used_.max_row, row);
    used_.min_col = std::min(used_.min_col, col);
    used_.max_col = std::max(used_.max_col, col);
}

void Worksheet::widen_used_range(std::string_view key) const {
    if (!used_valid_) return;
    if (const auto pos = coords::parse_a1(key)) widen_used_range(pos->row, pos->col);
}

namespace {

// A copy of the cell at (row, col) under its canonical key, or an empty filler cell.
CellCopy copy_at(const CellMap& cells, uint32_t row, uint32_t col) {
    const Cell* cell = cells.find(row, col);
    return CellCopy{coords::rc_to_a1(row, col), cell ? *cell : Cell{}};
}

}  // namespace

Result<std::vector<std::vector<CellCopy>>> Worksheet::iter_rows(std::optional<uint32_t> min_row,
                                                                std::optional<uint32_t> max_row,
                                                                std::optional<uint32_t> min_col,
                                                                std::optional<uint32_t> max_col) const {
    auto rect = resolve_rectangle("iter_rows", used_range(), min_row, max_row, min_col, max_col);
    if (!rect) return fail(std::move(rect.error()));
    std::vector<std::vector<CellCopy>> out;
    if (rect->empty) return out;
    out.reserve(rect->rows());
    // 64-bit counters so that a range ending at 4294967295 stops there instead of wrapping.
    for (uint64_t r = rect->min_row; r <= rect->max_row; ++r) {
        std::vector<CellCopy>& line = out.emplace_back();
        line.reserve(rect->cols());
        for (uint64_t c = rect->min_col; c <= rect->max_col; ++c) {
            line.push_back(copy_at(cells_, static_cast<uint32_t>(r), static_cast<uint32_t>(c)));
        }
    }
    return out;
}

Result<std::vector<std::vector<CellCopy>>> Worksheet::iter_cols(std::optional<uint32_t> min_row,
                                                                std::optional<uint32_t> max_row,
                                                                std::optional<uint32_t> min_col,
                                                                std::optional<uint32_t> max_col) const {
    auto rect = resolve_rectangle("iter_cols", used_range(), min_row, max_row, min_col, max_col);
    if (!rect) return fail(std::move(rect.error()));
    std::vector<std::vector<CellCopy>> out;
    if (rect->empty) return out;
    out.reserve(rect->cols());
    for (uint64_t c = rect->min_col; c <= rect->max_col; ++c) {
        std::vector<CellCopy>& line = out.emplace_back();
        line.reserve(rect->rows());
        for (uint64_t r = rect->min_row; r <= rect->max_row; ++r) {
            line.push_back(copy_at(cells_, static_cast<uint32_t>(r), static_cast<uint32_t>(c)));
        }
    }
    return out;
}

Result<ValueBlock> Worksheet::values_rect(bool by_rows, std::optional<uint32_t> min_row, std::optional<uint32_t> max_row,
                                          std::optional<uint32_t> min_col, std::optional<uint32_t> max_col) const {
    auto rect = resolve_rectangle(by_rows ? "iter_rows" : "iter_cols", used_range(), min_row, max_row, min_col, max_col);
    if (!rect) return fail(std::move(rect.error()));
    if (rect->empty) return ValueBlock();
    ValueBlock block(by_rows ? rect->rows() : rect->cols(), by_rows ? rect->cols() : rect->rows());
    const uint64_t lines = block.lines(), width = block.width();
    const ValueBlock::Filler fill(block);
    // The walk reads the cells under canonical keys, as iter_rows does. A rectangle much smaller than
    // the sheet is looked up position by position; otherwise one pass over the cells drops each value
    // into place, with no hashing at all.
    if (lines * width < cells_.size() / 4) {
        for (uint64_t line = 0; line < lines; ++line) {
            for (uint64_t i = 0; i < width; ++i) {
                const uint64_t r = rect->min_row + (by_rows ? line : i);
                const uint64_t c = rect->min_col + (by_rows ? i : line);
                if (const Cell* cell = cells_.find(static_cast<uint32_t>(r), static_cast<uint32_t>(c)))
                    fill.set(line, i, cell->value);
            }
        }
        return block;
    }
    const uint32_t top = rect->min_row, left = rect->min_col;
    const uint32_t last_row = rect->max_row - top, last_col = rect->max_col - left;
    const auto walk = [&]<bool ByRows>() {
        cells_.for_each_canonical([&](uint32_t row, uint32_t col, const Cell& cell) {
            const uint32_t r = row - top, c = col - left;  // wraps above or left of the rectangle
            if (r > last_row || c > last_col || is_empty(cell.value)) return;
            if constexpr (ByRows) fill.set(r, c, cell.value);
            else fill.set(c, r, cell.value);
        });
    };
    if (by_rows) walk.template operator()<true>();
    else walk.template operator()<false>();
    return block;
}

// ---- records on cells and the sheet ----

void Worksheet::merge_cells(std::string_view range) {
    if (std::find(merged_ranges.begin(), merged_ranges.end(), range) != merged_ranges.end()) return;
    merged_ranges.emplace_back(range);
}

void Worksheet::unmerge_cells(std::string_view range) { std::erase(merged_ranges, range); }

namespace {

// The cell of the grid a key names in any spelling of its reference ("B7", "b7", "B07", "$B$7"); none
// for a key that names no cell of the grid.
std::optional<coords::CellPos> grid_cell_of(std::string_view key) {
    std::optional<coords::CellPos> pos;
    if (const auto packed = CellMap::canonical_key(key)) {
        pos = coords::CellPos{static_cast<uint32_t>(*packed), static_cast<uint32_t>(*packed >> 32)};
    } else {
        // The markers of an absolute reference stand before the letters and before the row.
        std::string bare(key.substr(key.starts_with('$')));
        const size_t row_at = bare.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        if (row_at != std::string::npos && row_at > 0 && bare[row_at] == '$') bare.erase(row_at, 1);
        pos = coords::parse_a1(bare);
    }
    if (!pos || pos->row > coords::kMaxRow || pos->col > coords::kMaxCol) return std::nullopt;
    return pos;
}

}  // namespace

Result<Cell*> Worksheet::settable_cell(std::string_view key) {
    const auto pos = grid_cell_of(key);
    if (!pos) return fail(VelmoError::invalid_format("coord " + quoted(key) + " is not a cell of the grid (A1 to XFD1048576)"));
    // The cell as stored, under whatever key it has: a second key for one cell could not be saved.
    if (Cell* cell = cells_.find_any_key(pos->row, pos->col)) return cell;
    return &ensure_cell_mut(pos->row, pos->col);
}

Result<void> Worksheet::set_cell_fill(std::string_view key, Fill fill) {
    auto cell = settable_cell(key);
    if (!cell) return fail(std::move(cell.error()));
    (*cell)->extras_mut().fill = std::move(fill);
    return {};
}

Result<void> Worksheet::set_cell_comment(std::string_view key, Comment comment) {
    auto cell = settable_cell(key);
    if (!cell) return fail(std::move(cell.error()));
    auto& slot = (*cell)->extras_mut().comment;
    if (slot && !comment.loaded_at) comment.loaded_at = slot->loaded_at;
    // The same words by the same author keep the formatting they were loaded with.
    if (slot && !comment.rich_text && comment.text == slot->text && comment.author == slot->author)
        comment.rich_text = std::move(slot->rich_text);
    slot = std::move(comment);
    return {};
}

Result<void> Worksheet::set_cell_hyperlink(std::string_view key, std::string_view target) {
    if (target.empty()) return {};  // neither creates a cell nor clears an existing link
    auto cell = settable_cell(key);
    if (!cell) return fail(std::move(cell.error()));
    (*cell)->extras_mut().hyperlink = Hyperlink{std::string(target), {}, {}, {}};
    return {};
}

namespace {

Result<void> set_line_size(std::unordered_map<uint32_t, double>& sizes, const char* line, uint32_t at, uint32_t last,
                           const char* what, double size) {
    if (at == 0 || at > last) {
        return fail(VelmoError::invalid_format(std::string(line) + " " + std::to_string(at) +
                                               " is outside the grid (1 to " + std::to_string(last) + ")"));
    }
    if (!std::isfinite(size) || size < 0) {
        std::string msg = std::string(what) + " ";
        append_number_text(msg, size);
        return fail(VelmoError::invalid_format(msg + " is not a finite number >= 0"));
    }
    sizes[at] = size;
    return {};
}

}  // namespace

Result<void> Worksheet::set_column_width(uint32_t col, double width) {
    return set_line_size(column_widths, "col", col, coords::kMaxCol, "width", width);
}

Result<void> Worksheet::set_row_height(uint32_t row, double height) {
    return set_line_size(row_heights, "row", row, coords::kMaxRow, "height", height);
}

void Worksheet::set_auto_filter(const std::optional<std::string>& text) {
    loaded_auto_filter.reset();
    auto_filter_changed = true;
    if (!text) {
        auto_filter.reset();
        return;
    }
    const std::string_view trimmed = coords::trim_ws(*text);
    if (trimmed.empty()) {
        auto_filter.reset();
    } else {
        auto_filter = std::string(trimmed);
    }
}

std::optional<std::string> Worksheet::print_area() const {
    if (!print_area_text) return std::nullopt;
    const std::string title = defined_names::quote_sheet_title(name);
    const std::string& stored = *print_area_text;
    if (stored.find(',') == std::string::npos) return title + "!" + stored;
    // Split the way the stored text was built, so a comma inside a quoted title stays in its piece.
    return defined_names::compose_print_area(title, defined_names::split_top_level_csv(stored));
}

Result<void> Worksheet::add_conditional_formatting(std::string_view sqref, ConditionalRule rule) {
    const std::string_view trimmed = coords::trim_ws(sqref);
    auto invalid = [&] {
        return fail(VelmoError::invalid_format("conditional formatting sqref " + quoted(sqref) +
                                               " is not a valid A1 range"));
    };
    if (trimmed.empty()) return invalid();
    // Pieces are separated by runs of white space.
    size_t start = 0;
    size_t i = 0;
    bool piece_open = false;
    while (i <= trimmed.size()) {
        bool at_space = false;
        size_t len = 1;
        if (i < trimmed.size()) {
            const auto d = utf8::decode(trimmed, i);
            len = d.len;
            at_space = d.cp != utf8::kInvalid && utf8::is_white_space(d.cp);
        }
        if (i == trimmed.size() || at_space) {
            if (piece_open && !coords::parse_range(trimmed.substr(start, i - start))) return invalid();
            piece_open = false;
        } else if (!piece_open) {
            piece_open = true;
            start = i;
        }
        i += len;
    }

    std::optional<uint32_t> highest;
    for (const ConditionalFormatting& block : conditional_formatting) {
        for (const ConditionalRule& r : block.rules) {
            if (r.priority && (!highest || *r.priority > *highest)) highest = r.priority;
        }
    }
    if (highest == kU32Max) {
        return fail(VelmoError::invalid_format(
            "conditional formatting priority cannot exceed 4294967295: the sheet already holds a rule of that "
            "priority"));
    }
    rule.priority = highest ? *highest + 1 : 1;

    for (ConditionalFormatting& block : conditional_formatting) {
        if (block.sqref == trimmed) {
            block.rules.push_back(std::move(rule));
            return {};
        }
    }
    ConditionalFormatting block;
    block.sqref = std::string(trimmed);
    block.rules.push_back(std::move(rule));
    conditional_formatting.push_back(std::move(block));
    return {};
}

}  // namespace velmo

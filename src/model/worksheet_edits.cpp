// Structural edits of a worksheet: inserting and deleting rows or columns, and moving a block of cells.
// Every check runs before the first change, so a refused edit leaves the sheet exactly as it was.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/coords.hpp"
#include "model/line_shift.hpp"
#include "model/quoted.hpp"
#include "model/workbook.hpp"

namespace velmo {

namespace {

using coords::kMaxCol;
using coords::kMaxRow;
constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

uint32_t axis_limit(Axis axis) { return axis == Axis::Rows ? kMaxRow : kMaxCol; }
const char* axis_word(Axis axis) { return axis == Axis::Rows ? "row" : "column"; }

template <class Int>
std::string dec(Int v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

uint32_t pos_on(Axis axis, coords::CellPos p) { return axis == Axis::Rows ? p.row : p.col; }

// An array formula's block after a shift that keeps its cell at `p` on the axis: a band inserted
// inside the block widens it, a band deleted inside it narrows it; a band at or before the cell
// moves the block whole with it.
void shift_array_span(ArraySpan& span, Axis axis, uint32_t p, uint32_t at, bool insert, uint32_t n) {
    uint32_t& extent = axis == Axis::Rows ? span.rows : span.cols;
    const uint64_t last = uint64_t{p} + extent - 1;
    if (at <= p || last < at) return;
    if (insert) extent = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{extent} + n, kU32Max));
    else extent -= static_cast<uint32_t>(std::min<uint64_t>(last, uint64_t{at} + n - 1) - at + 1);
}

// Re-keys what is held per row or per column; a line in a deleted band or pushed past the grid's
// last line (`limit`) goes, so a span of lines that reached the edge still ends there.
template <class V>
void shift_lines(std::unordered_map<uint32_t, V>& lines, uint32_t at, bool insert, uint32_t n, uint32_t limit) {
    std::unordered_map<uint32_t, V> moved;
    moved.reserve(lines.size());
    for (auto& [k, v] : lines) {
        const auto nk = shifted_index(k, at, insert, n);
        if (nk && (!insert || *nk <= limit)) moved.emplace(*nk, std::move(v));
    }
    lines = std::move(moved);
}

// Whether a cell holds more than formatting: a value or formula, a note, a link, or what the
// source gave it beside its value (an error value, rich text, metadata).
bool holds_content(const Cell& cell) {
    if (!is_empty(cell.value)) return true;
    const CellExtras* x = cell.extras.get();
    return x && (x->comment || x->hyperlink || x->array || x->kept);
}

// The last line on the axis of a block from `p`, `rows` by `cols`.
uint64_t block_end(Axis axis, coords::CellPos p, uint32_t rows, uint32_t cols) {
    return uint64_t{pos_on(axis, p)} + (axis == Axis::Rows ? rows : cols) - 1;
}

// Whether a cell's link moves under an insert at `at`: it keeps its size and goes with its cell.
bool link_moves(Axis axis, coords::CellPos p, const Cell& cell, uint32_t at) {
    return cell.hyperlink() && pos_on(axis, p) >= at;
}

// The last line a cell's content covers on the axis once an insert at `at` has moved or grown it:
// its own, the end of its array formula's block (which widens), or of its link's range (which
// only moves with its cell).
uint64_t last_line(Axis axis, coords::CellPos p, const Cell& cell, uint32_t at) {
    uint64_t last = pos_on(axis, p);
    if (const ArraySpan* a = cell.array()) last = std::max(last, block_end(axis, p, a->rows, a->cols));
    if (link_moves(axis, p, cell, at)) {
        const Hyperlink* h = cell.hyperlink();
        last = std::max(last, block_end(axis, p, h->rows, h->cols));
    }
    return last;
}

// A block from `p` as a range text, its far corner held to what a position can say.
std::string block_text(coords::CellPos p, uint32_t rows, uint32_t cols) {
    return coords::rc_to_a1(p.row, p.col) + ":" +
           coords::rc_to_a1(uint32_t(std::min<uint64_t>(uint64_t{p.row} + rows - 1, kU32Max)),
                            uint32_t(std::min<uint64_t>(uint64_t{p.col} + cols - 1, kU32Max)));
}

// What inserting `n` lines at `at` would carry past the grid's last line, named for the refusal:
// the first such cell in reading order (with its array formula's block or its link's range), else
// the first such merged range, else the first cell an XML map binds (bound, even an empty cell is
// content). What only formats a line is cut at the edge instead, and tables never move (one at or
// after `at` refuses the edit before this).
std::optional<std::string> pushed_off_grid(const Worksheet& ws, Axis axis, uint32_t at, uint32_t n) {
    const uint64_t limit = axis_limit(axis);
    // A record whose last line is at or after `at` moves (or grows) by n.
    const auto pushed = [&](uint64_t last) { return last >= at && last + n > limit; };

    std::optional<coords::CellPos> first;
    std::string what;
    for (const auto& [key, cell] : ws.cells()) {
        const auto pos = key.pos();
        if (!pos || !holds_content(cell)) continue;
        const uint64_t last = last_line(axis, *pos, cell, at);
        if (!pushed(last)) continue;
        if (first && std::pair(first->row, first->col) < std::pair(pos->row, pos->col)) continue;
        first = pos;
        what = "cell " + coords::rc_to_a1(pos->row, pos->col);
        // Named by the block that reaches past the grid, when its own line does not.
        const ArraySpan* a = cell.array();
        const Hyperlink* h = cell.hyperlink();
        const auto reaches = [&](uint32_t rows, uint32_t cols) {
            const uint64_t end = block_end(axis, *pos, rows, cols);
            return end > pos_on(axis, *pos) && pushed(end);
        };
        if (a && reaches(a->rows, a->cols)) what = "array formula " + block_text(*pos, a->rows, a->cols);
        else if (link_moves(axis, *pos, cell, at) && reaches(h->rows, h->cols)) what = "hyperlink " + block_text(*pos, h->rows, h->cols);
    }
    if (first) return what;
    for (const std::string& text : ws.merged_ranges) {
        const auto r = coords::parse_range(text);
        if (r && pushed(axis == Axis::Rows ? std::max(r->row1, r->row2) : std::max(r->col1, r->col2)))
            return "merged range " + text;
    }
    for (const XmlCellMap& map : ws.xml_cell_maps)
        for (const MappedCell& c : map.cells)
            if (c.at && pushed(pos_on(axis, *c.at))) return "XML map cell " + coords::rc_to_a1(c.at->row, c.at->col);
    return std::nullopt;
}

// The edit would store two cells under one canonical key; which survives would depend on map order.
VelmoError collision_error(std::string_view what, std::string_view a, std::string_view b, std::string_view key) {
    if (b < a) std::swap(a, b);
    return VelmoError::invalid_format(std::string(what) + " would store cells " + quoted(a) + " and " + quoted(b) +
                                      " under one key " + quoted(key));
}

// Two cells that would end under one key: each entry is (old key, new key).
struct KeyClash {
    std::string_view first, second, key;
};
using Rekeying = std::vector<std::pair<std::string, std::string>>;
std::optional<KeyClash> find_clash(const Rekeying& entries) {
    std::unordered_map<std::string_view, std::string_view> seen;
    seen.reserve(entries.size());
    for (const auto& [old_key, new_key] : entries) {
        auto [it, inserted] = seen.emplace(new_key, old_key);
        if (!inserted) return KeyClash{it->second, old_key, new_key};
    }
    return std::nullopt;
}

// First table, in order, that `hit` says is in the way (given its corners in min/max order).
template <class Pred>
const Table* first_table_where(const std::vector<SheetTable>& tables, Pred hit) {
    for (const SheetTable& st : tables) {
        auto r = coords::parse_range(st.table.ref_range);
        if (!r) continue;
        // Corners as written may run bottom-to-top or right-to-left; compare the true extent.
        if (hit(r->ordered())) return &st.table;
    }
    return nullptr;
}

// First pivot table, in order, that `hit` says is in the way. A pivot table's part is carried as it
// was, so its location cannot follow its cells: what would move them is refused.
template <class Pred>
const PivotTableLocation* first_pivot_where(const std::vector<PivotTableLocation>& pivots, Pred hit) {
    for (const PivotTableLocation& p : pivots)
        if (hit(p.range)) return &p;
    return nullptr;
}

VelmoError pivot_intersection(const PivotTableLocation& p) {
    return VelmoError::invalid_format("operation intersects pivot table " + quoted(p.name) + " at " + p.ref);
}

}  // namespace

Result<void> Worksheet::validate_bulk_op(Axis axis, bool is_insert, uint32_t idx, uint32_t amount) const {
    const std::string word = axis_word(axis);
    const uint32_t limit = axis_limit(axis);
    if (idx == 0) return fail(VelmoError::invalid_format(word + " index 0 out of bounds; must be >= 1"));
    if (idx > limit)
        return fail(VelmoError::invalid_format(word + " index " + dec(idx) + " out of bounds; maximum is " + dec(limit)));
    if (amount == 0) return {};
    const uint64_t end = uint64_t{idx} + amount;
    const std::string op = is_insert ? " insert at " : " delete at ";
    if (end > kU32Max)
        return fail(VelmoError::invalid_format(word + op + dec(idx) + " with amount " + dec(amount) + " causes overflow"));
    if (is_insert && end > limit)
        return fail(VelmoError::invalid_format(word + op + dec(idx) + " with amount " + dec(amount) +
                                               " would exceed maximum " + dec(limit)));
    return {};
}

namespace {

Result<void> bulk_edit(Worksheet& ws, Axis axis, bool insert, uint32_t idx, uint32_t amount) {
    if (auto ok = ws.validate_bulk_op(axis, insert, idx, amount); !ok) return ok;
    // Table and pivot table ranges are never shifted, so any reaching idx or lying after it blocks the edit.
    const auto reaches = [&](const coords::RangePos& r) { return (axis == Axis::Rows ? r.row2 : r.col2) >= idx; };
    if (const Table* t = first_table_where(ws.tables, reaches)) return fail(VelmoError::table_intersection(t->ref_range));
    if (const PivotTableLocation* p = first_pivot_where(ws.pivot_tables, reaches)) return fail(pivot_intersection(*p));
    if (amount == 0) return {};
    return ws.shift_axis(axis, idx, insert ? int64_t{amount} : -int64_t{amount});
}

}  // namespace

Result<void> Worksheet::insert_rows(uint32_t idx, uint32_t amount) { return bulk_edit(*this, Axis::Rows, true, idx, amount); }
Result<void> Worksheet::delete_rows(uint32_t idx, uint32_t amount) { return bulk_edit(*this, Axis::Rows, false, idx, amount); }
Result<void> Worksheet::insert_cols(uint32_t idx, uint32_t amount) { return bulk_edit(*this, Axis::Cols, true, idx, amount); }
Result<void> Worksheet::delete_cols(uint32_t idx, uint32_t amount) { return bulk_edit(*this, Axis::Cols, false, idx, amount); }

Result<void> Worksheet::shift_axis(Axis axis, uint32_t at, int64_t delta) {
    if (delta == 0 || at == 0) return {};
    const bool insert = delta > 0;
    const uint64_t magnitude = insert ? uint64_t(delta) : uint64_t(0) - uint64_t(delta);
    if (magnitude > kU32Max)
        return fail(VelmoError::invalid_format(std::string(axis_word(axis)) + " shift by " + dec(delta) + " causes overflow"));
    const uint32_t n = static_cast<uint32_t>(magnitude);
    const uint32_t limit = axis_limit(axis);
    // Content pushed past the grid could never be saved again: refuse before anything moves.
    if (insert) {
        if (auto what = pushed_off_grid(*this, axis, at, n)) {
            const std::string word = axis_word(axis);
            return fail(VelmoError::invalid_format(word + " insert at " + dec(at) + " with amount " + dec(n) +
                                                   " would push " + *what + " past " + word + " " + dec(limit)));
        }
    }
    const CellEdit edit = CellEdit::shift(axis == Axis::Rows, at, delta);
    if (auto ok = check_maps_follow(xml_cell_maps, edit); !ok) return ok;

    // The cell's new position on the axis, or none when it is dropped: in a deleted band, or a cell
    // that only formats pushed past the grid. Unparsed keys never get here.
    auto target = [&](coords::CellPos p) -> std::optional<coords::CellPos> {
        auto moved = shifted_index(pos_on(axis, p), at, insert, n);
        if (!moved || (insert && *moved > limit)) return std::nullopt;
        (axis == Axis::Rows ? p.row : p.col) = *moved;
        return p;
    };

    // Check pass, before touching anything: a shift maps positions one to one, so two cells can only meet
    // under one key when some parsed key is not in canonical form ("a1" beside "A1").
    bool non_canonical = false;
    for (const auto& [key, cell] : cells_) {
        if (!key.canonical() && key.pos()) {
            non_canonical = true;
            break;
        }
    }
    if (non_canonical) {
        Rekeying survivors;
        for (const auto& [key, cell] : cells_) {
            auto pos = key.pos();
            if (!pos) continue;
            if (auto np = target(*pos)) survivors.emplace_back(key.str(), coords::rc_to_a1(np->row, np->col));
        }
        auto clash = find_clash(survivors);
        if (clash) return fail(collision_error(std::string(axis_word(axis)) + " shift", clash->first, clash->second, clash->key));
    }

    // Cells get their canonical key in place, so payloads are never copied.
    cells_.rekey([&](const CellMap::Key& key, Cell& cell) {
        const auto pos = key.pos();
        if (!pos) return CellMap::Rekey::keep();
        const auto np = target(*pos);
        if (!np) return CellMap::Rekey::drop();
        if (cell.extras && cell.extras->array) shift_array_span(*cell.extras->array, axis, pos_on(axis, *pos), at, insert, n);
        return CellMap::Rekey::move(*np);
    });
    invalidate_used_range();

    // Merged ranges, kept in list order.
    std::vector<std::string> merged;
    merged.reserve(merged_ranges.size());
    for (std::string& text : merged_ranges) {
        auto r = coords::parse_range(text);
        if (!r) {
            merged.push_back(std::move(text));
            continue;
        }
        coords::CellPos a{r->col1, r->row1}, b{r->col2, r->row2};
        uint32_t& s = axis == Axis::Rows ? a.row : a.col;
        uint32_t& e = axis == Axis::Rows ? b.row : b.col;
        if (insert) {
            // Corners move independently: a range straddling `at` grows.
            auto ns = shifted_index(s, at, true, n);
            auto ne = shifted_index(e, at, true, n);
            if (!ns || !ne) continue;
            s = *ns;
            e = *ne;
        } else {
            // Decide on the true extent, so a range written bottom-to-top cannot escape the band.
            const uint32_t lo = std::min(s, e), hi = std::max(s, e);
            if (hi >= at) {
                if (uint64_t{lo} < uint64_t{at} + n) continue;  // meets or spans the deleted band
                s -= n;
                e -= n;
            }
        }
        merged.push_back(coords::rc_to_a1(a.row, a.col) + ":" + coords::rc_to_a1(b.row, b.col));
    }
    merged_ranges = std::move(merged);

    // Heights and formats of rows, or widths and formats of columns; the other axis's are untouched.
    shift_lines(axis == Axis::Rows ? row_heights : column_widths, at, insert, n, limit);
    shift_lines(axis == Axis::Rows ? row_formats : column_formats, at, insert, n, limit);
    maps_follow(xml_cell_maps, edit);
    if (legacy_drawing) legacy_drawing->edits.push_back(edit);
    return {};
}

Result<void> Worksheet::move_range(std::string_view range, int64_t rows, int64_t cols, bool translate) {
    if (translate) return fail(VelmoError::translate_unsupported());
    auto parsed = coords::parse_range(range);
    if (!parsed) return fail(VelmoError::invalid_format("move_range cell_range " + quoted(range) + " is not a valid A1 range"));
    const coords::RangePos src = parsed->ordered();

    int64_t dst_c1, dst_r1, dst_c2, dst_r2;
    auto col_overflow = [&] {
        return fail(VelmoError::invalid_format("move_range column offset " + dec(cols) + " causes overflow for " + quoted(range)));
    };
    auto row_overflow = [&] {
        return fail(VelmoError::invalid_format("move_range row offset " + dec(rows) + " causes overflow for " + quoted(range)));
    };
    if (__builtin_add_overflow(int64_t{src.col1}, cols, &dst_c1)) return col_overflow();
    if (__builtin_add_overflow(int64_t{src.row1}, rows, &dst_r1)) return row_overflow();
    if (__builtin_add_overflow(int64_t{src.col2}, cols, &dst_c2)) return col_overflow();
    if (__builtin_add_overflow(int64_t{src.row2}, rows, &dst_r2)) return row_overflow();
    if (dst_c1 < 1 || dst_r1 < 1)
        return fail(VelmoError::invalid_format("move_range would push cells out of bounds (row/col < 1) for " + quoted(range)));
    if (dst_c2 > kMaxCol || dst_r2 > kMaxRow)
        return fail(VelmoError::invalid_format("move_range would push cells past Excel limits (max row=" + dec(kMaxRow) +
                                               ", max col=" + dec(kMaxCol) + ") for " + quoted(range)));
    // Within the grid now, so the destination fits u32.
    const coords::RangePos dst{uint32_t(dst_c1), uint32_t(dst_r1), uint32_t(dst_c2), uint32_t(dst_r2)};

    auto meets = [](const coords::RangePos& rect) {
        return [&rect](const coords::RangePos& t) {
            return t.col1 <= rect.col2 && rect.col1 <= t.col2 && t.row1 <= rect.row2 && rect.row1 <= t.row2;
        };
    };
    if (const Table* t = first_table_where(tables, meets(src))) return fail(VelmoError::table_intersection(t->ref_range));
    if (const Table* t = first_table_where(tables, meets(dst))) return fail(VelmoError::table_intersection(t->ref_range));
    if (const PivotTableLocation* p = first_pivot_where(pivot_tables, meets(src))) return fail(pivot_intersection(*p));
    if (const PivotTableLocation* p = first_pivot_where(pivot_tables, meets(dst))) return fail(pivot_intersection(*p));
    const CellEdit edit = CellEdit::move(src, rows, cols);
    if (auto ok = check_maps_follow(xml_cell_maps, edit); !ok) return ok;

    auto inside = [](const coords::RangePos& rect, coords::CellPos p) {
        return rect.col1 <= p.col && p.col <= rect.col2 && rect.row1 <= p.row && p.row <= rect.row2;
    };
    // A move maps positions one to one, so only keys not in canonical form can meet under one key.
    bool non_canonical = false;
    for (const auto& [key, cell] : cells_) {
        if (key.canonical()) continue;
        const auto pos = key.pos();
        if (pos && inside(src, *pos)) {
            non_canonical = true;
            break;
        }
    }
    if (non_canonical) {
        Rekeying keys;
        for (const auto& [key, cell] : cells_) {
            const auto pos = key.pos();
            if (!pos || !inside(src, *pos)) continue;
            keys.emplace_back(key.str(), coords::rc_to_a1(uint32_t(int64_t{pos->row} + rows), uint32_t(int64_t{pos->col} + cols)));
        }
        auto clash = find_clash(keys);
        if (clash) return fail(collision_error("move_range", clash->first, clash->second, clash->key));
    }

    // Cells of the source move (the destination lies in the grid, so the sums stay within 1..limit);
    // destination cells that do not move themselves are overwritten, so they go.
    cells_.rekey([&](const CellMap::Key& key) {
        const auto pos = key.pos();
        if (!pos) return CellMap::Rekey::keep();
        if (inside(src, *pos)) {
            return CellMap::Rekey::move({uint32_t(int64_t{pos->col} + cols), uint32_t(int64_t{pos->row} + rows)});
        }
        if (inside(dst, *pos)) return CellMap::Rekey::drop();
        return CellMap::Rekey::keep();
    });
    invalidate_used_range();
    maps_follow(xml_cell_maps, edit);
    if (legacy_drawing && (rows != 0 || cols != 0)) legacy_drawing->edits.push_back(edit);
    return {};
}

}  // namespace velmo

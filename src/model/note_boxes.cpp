#include "model/note_boxes.hpp"

#include <algorithm>
#include <limits>

#include "model/line_shift.hpp"

namespace velmo {

namespace {

constexpr uint32_t kLastRow = 1'048'575;  // zero-based, as the drawing counts
constexpr uint32_t kLastCol = 16'383;

// Moves the span a..b (either order) by `d`, stopping at 0 and at `last` without changing its size.
void move_span(uint32_t& a, uint32_t& b, int64_t d, uint32_t last) {
    const int64_t lo = std::min(a, b), hi = std::max(a, b);
    d = std::max(d, -lo);
    d = std::min(d, std::max<int64_t>(0, int64_t{last} - hi));
    a = static_cast<uint32_t>(a + d);
    b = static_cast<uint32_t>(b + d);
}

}  // namespace

bool follow_edit(const CellEdit& edit, coords::CellPos& cell, std::optional<NoteAnchor>& box) {
    if (edit.kind == CellEdit::Kind::Move) {
        const coords::RangePos& r = edit.block;
        const bool inside = r.col1 <= cell.col && cell.col <= r.col2 && r.row1 <= cell.row && cell.row <= r.row2;
        if (!inside) {
            // A cell the block lands on is overwritten.
            const int64_t c = cell.col - edit.move_cols, w = cell.row - edit.move_rows;
            return !(r.col1 <= c && c <= r.col2 && r.row1 <= w && w <= r.row2);
        }
        cell.col = static_cast<uint32_t>(cell.col + edit.move_cols);
        cell.row = static_cast<uint32_t>(cell.row + edit.move_rows);
        if (box) {
            move_span((*box)[0], (*box)[4], edit.move_cols, kLastCol);
            move_span((*box)[2], (*box)[6], edit.move_rows, kLastRow);
        }
        return true;
    }
    if (edit.delta == 0 || edit.at == 0) return true;
    const bool insert = edit.delta > 0;
    const uint64_t magnitude = insert ? uint64_t(edit.delta) : uint64_t(0) - uint64_t(edit.delta);
    if (magnitude > std::numeric_limits<uint32_t>::max()) return true;
    const uint32_t n = static_cast<uint32_t>(magnitude);
    uint32_t& p = edit.rows ? cell.row : cell.col;
    const auto moved = shifted_index(p, edit.at, insert, n);
    if (!moved) return false;
    p = *moved;
    if (box) {
        uint32_t& lo = edit.rows ? (*box)[2] : (*box)[0];
        uint32_t& hi = edit.rows ? (*box)[6] : (*box)[4];
        // The box counts lines from 0: the edit's first line is at - 1.
        const uint64_t first = uint64_t{edit.at} - 1;
        const uint64_t start = std::min(lo, hi);
        if (insert && start >= first) {
            // Held inside the grid, as a moved block's box is: the cell stays in it, the box need not.
            move_span(lo, hi, n, edit.rows ? kLastRow : kLastCol);
        } else if (!insert && start >= first + n) {
            lo -= n;
            hi -= n;
        }
    }
    return true;
}

}  // namespace velmo

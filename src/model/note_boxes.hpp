#pragma once
// What lets a loaded note keep its box through a save. The boxes (and any form controls beside
// them) live in the sheet's legacy drawing, which is kept at load as the package stored it,
// compressed, and not read: it is often several times the size of the comments themselves. A save
// copies it as it is while nothing changed, and otherwise reads it and writes each loaded note with
// its own shape; until then the sheet keeps every edit that moved cells since the load, so that a
// box can follow its cell.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/coords.hpp"
#include "model/sheet_rel.hpp"

namespace velmo {

// A row or column insertion or deletion, or a block move, as it happened to the sheet's cells.
struct CellEdit {
    enum class Kind : uint8_t { Shift, Move };
    Kind kind = Kind::Shift;
    bool rows = true;            // Shift: rows, else columns
    uint32_t at = 0;             // Shift: the first line inserted or deleted (1-based)
    int64_t delta = 0;           // Shift: n > 0 inserts n lines, n < 0 deletes -n
    coords::RangePos block{};    // Move: the block moved, corners in min/max order
    int64_t move_rows = 0;       // Move: its offsets
    int64_t move_cols = 0;

    static CellEdit shift(bool rows, uint32_t at, int64_t delta) { return {Kind::Shift, rows, at, delta, {}, 0, 0}; }
    static CellEdit move(coords::RangePos block, int64_t rows, int64_t cols) {
        return {Kind::Move, true, 0, 0, block, rows, cols};
    }
    bool operator==(const CellEdit&) const = default;
};

// The legacy drawing a loaded sheet's notes are shown by.
struct SourceDrawing {
    std::string part{};    // its entry name in the source package
    uint16_t method = 0;   // its ZIP compression method (stored or deflated),
    uint32_t crc32 = 0;    // checksum
    uint64_t size = 0;     // and size
    std::string stored{};  // and its bytes as the package stored them
    std::vector<SheetRelEntry> relationships{};  // of the part (pictures its shapes show), as read
    size_t notes = 0;               // the comments read with it
    std::vector<CellEdit> edits{};  // since the load, in order
    bool operator==(const SourceDrawing&) const = default;
};

// A note's box: left column, offset, top row, offset, right column, offset, bottom row, offset
// (columns and rows zero-based, offsets in pixels), as the drawing's anchor lists them.
using NoteAnchor = std::array<uint32_t, 8>;

// Follows one edit: `cell` (1-based) moves as the edit moves cells, and the box's rows (or
// columns) move by the same amount when the whole box lies at or beyond the inserted or deleted
// lines; a moved block takes the boxes of its cells along. A box is held inside the grid. False
// when the edit drops the cell (the box is then left as it was).
bool follow_edit(const CellEdit& edit, coords::CellPos& cell, std::optional<NoteAnchor>& box);

}  // namespace velmo

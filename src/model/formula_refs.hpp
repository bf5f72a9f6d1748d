#pragma once
// Moving the references inside a formula text, as a formula filled from one cell to another moves.

#include <cstdint>
#include <string>
#include <string_view>

namespace velmo::formula {

// `text` (A1 style, without the leading "=") as it reads in a cell `rows` below and `cols` right of
// its own: every relative row and column of a reference moves, "$" parts stay. Cells ("A1",
// "$A1"), ranges ("A1:B2"), whole columns ("A:C") and whole rows ("1:3"), with or without a sheet
// ("Other!A1", "'My Sheet'!A1"), are references; function names, texts in double quotes, defined
// names, bracketed (table and workbook) parts, error literals and numbers are left as they are.
// A reference moved off the grid becomes "#REF!" (its sheet kept). One pass, no formula tree.
std::string move_references(std::string_view text, int64_t rows, int64_t cols);

// move_references into `out`, what it held replaced, built only while it stays within `limit`
// bytes: false, with `out` cut short and its capacity within the limit, when the moved text would
// be longer. A reference can grow fivefold ("A1" to "XFD1048576"), so a caller with a budget learns
// the cost before it is paid.
bool move_references_within(std::string_view text, int64_t rows, int64_t cols, size_t limit, std::string& out);

}  // namespace velmo::formula

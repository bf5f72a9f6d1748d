#pragma once
// A worksheet's cell comments as two parts: the comments part "xl/comments{n}.xml" (authors and
// texts) and the legacy drawing "xl/drawings/vmlDrawing{n}.vml" (legacy_drawing_part.hpp), n being
// the sheet's 1-based position. The comments part is regenerated from the cells on every save,
// whatever the source package called its own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/comments.hpp"
#include "model/error.hpp"
#include "model/workbook.hpp"
#include "writer/cell_order.hpp"

namespace velmo::writer {

// True when any cell of the sheet holds a comment.
bool has_comments(const Worksheet& ws);

// One comment in the order the parts list them.
struct SortedComment {
    std::string ref;  // the cell's canonical A1 reference, as the worksheet part writes it
    const Comment* comment = nullptr;
    uint32_t row = 0;  // 1-based
    uint32_t col = 0;  // 1-based
};

// The comments of the cells of `order` (order_sheet_cells), in (row, column) order.
std::vector<SortedComment> sorted_comments(const SheetCellOrder& order);

// "xl/comments{n}.xml" and "xl/drawings/vmlDrawing{n}.vml" for the sheet at 0-based `sheet_index`.
std::string comments_part_name(size_t sheet_index);
std::string vml_drawing_part_name(size_t sheet_index);
// "xl/drawings/vmlDrawing{number}.vml".
std::string numbered_vml_drawing_part_name(uint64_t number);

// The comments part of `ws`, whose cells are `order`: the distinct authors in order of first use,
// then one comment per commented cell in cell order, texts and authors with hex escapes.
// InvalidFormat naming the sheet and cell when a comment's text or author is not UTF-8. Meant for
// a sheet that has_comments; otherwise the part lists nothing.
Result<std::string> write_comments_xml(const Worksheet& ws, const SheetCellOrder& order);

}  // namespace velmo::writer

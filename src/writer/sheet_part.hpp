#pragma once
// The worksheet part, "xl/worksheets/sheetN.xml", and the sheet's list of hyperlinks with the
// relationship ids they refer to.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/hyperlink.hpp"
#include "model/sheet_rel.hpp"
#include "model/workbook.hpp"
#include "writer/cell_order.hpp"
#include "writer/shared_strings.hpp"
#include "writer/styles_collect.hpp"

namespace velmo::writer {

inline constexpr std::string_view kHyperlinkRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink";

// One `hyperlink` element of a sheet part.
struct HyperlinkRef {
    std::string cell_ref;                  // the cell's canonical A1 reference, or the range the link covers from it
    const Hyperlink* hyperlink = nullptr;  // the cell's link, borrowed from the model
    std::optional<std::string> rel_id;     // its relationship, for a link with a target
};

// The relationship ids a sheet part refers to.
struct SheetPartRelIds {
    std::vector<std::string> table_part_ids;       // one per table, in table order
    std::vector<HyperlinkRef> hyperlinks;          // in cell order
    std::optional<std::string> legacy_drawing_id;  // present when the sheet has comments
    // Parallel to the sheet's carried elements: false for one that names a relationship the save
    // drops, or a legacy drawing the model's replaces. An element past the end is written.
    std::vector<bool> carried_written;
};

// The sheet's hyperlinks that are written (a target or a location), in cell order, without
// relationship ids yet.
std::vector<HyperlinkRef> sheet_hyperlinks(const SheetCellOrder& order);

// The non-empty targets among `links`, in order: one External relationship each.
std::vector<std::string> hyperlink_targets(const std::vector<HyperlinkRef>& links);

// Hands the ids of the hyperlink relationships of `rels`, in list order, to the links that have
// a target, in order (the k-th link with a target takes the k-th id); links to a location take
// none.
void assign_hyperlink_rel_ids(std::vector<HyperlinkRef>& links, const std::vector<SheetRelEntry>& rels);

// The worksheet part of `ws`, the sheet at `sheet_index` (0-based) of the workbook, whose cells
// are `order` (order_sheet_cells), with the save's shared strings and collected styles.
// Cells are written under their canonical keys, in row-major order; a blank cell with a style
// of its own is written as an empty `c`. Failures, all InvalidFormat and naming the sheet and
// the cell or item: a number that is NaN or infinite; a width or height that is NaN, infinite or
// negative, or set for a column or row outside the grid; a text XML cannot carry; a temporal
// value without a serial number (its own message, unchanged).
// The sheet's carried elements are written at their place among these, the sheet views with the
// model's frozen pane and `active` (the workbook's active sheet) merged in.
Result<std::string> write_sheet_xml(const Worksheet& ws, size_t sheet_index, const SheetCellOrder& order,
                                    const SharedStringTable& strings, const CollectedStyles& styles,
                                    const SheetPartRelIds& rel_ids, bool active = false);

}  // namespace velmo::writer

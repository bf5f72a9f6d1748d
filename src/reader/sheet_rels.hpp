#pragma once
// A worksheet's relationships: reading them, naming their part, resolving their targets and
// looking them up.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/sheet_rel.hpp"

namespace velmo::reader {

// Relationship types a worksheet's relationships are searched for.
inline constexpr std::string_view kCommentsRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments";
inline constexpr std::string_view kTableRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/table";
inline constexpr std::string_view kPivotTableRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/pivotTable";
inline constexpr std::string_view kVmlDrawingRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/vmlDrawing";
inline constexpr std::string_view kTableSingleCellsRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/tableSingleCells";

// Every Relationship element with Id, Type and Target, in document order (TargetMode when given).
// Fails only with an XML error.
Result<std::vector<SheetRelEntry>> parse_sheet_rels(std::string_view xml);

// "xl/worksheets/sheet1.xml" -> "xl/worksheets/_rels/sheet1.xml.rels"; a part at the root (with
// or without a leading "/") -> "_rels/{name}.rels".
std::string sheet_rels_path(std::string_view sheet_path);

// The entry name a relationship target designates, seen from the worksheet part `sheet_path`:
// "/x" -> "x", "xl/..." as is, anything else resolved against the part's folder ("." and ".."
// segments applied, ".." never climbing above the root).
std::string resolve_sheet_target(std::string_view sheet_path, std::string_view target);

// Relationships read beside the part `from`, made to reach the same parts from a part named
// `to` once it is saved under that name: when the two lie in different folders, each internal
// target becomes absolute.
void rebase_targets(std::vector<SheetRelEntry>& rels, std::string_view from, std::string_view to);

// Look-ups compare whole texts byte for byte and return the first match's stored target.
std::optional<std::string_view> relation_target_for_id(const std::vector<SheetRelEntry>& rels, std::string_view id);
std::optional<std::string_view> relation_target_for_type(const std::vector<SheetRelEntry>& rels, std::string_view type);
std::vector<std::string_view> relation_targets_for_type(const std::vector<SheetRelEntry>& rels, std::string_view type);

// An independent copy of an entry (what the writer starts its relationship list from).
inline SheetRelEntry copy_rel_entry(const SheetRelEntry& e) { return e; }

}  // namespace velmo::reader

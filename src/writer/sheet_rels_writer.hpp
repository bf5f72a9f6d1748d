#pragma once
// A worksheet's relationships as a save writes them: the comments, legacy drawing, table and
// hyperlink relationships are regenerated from the model, every other relationship the source
// held (drawings, printer settings, ...) keeps its id and its place.
//
// Every operation works on copies: the workbook's lists are never changed, so two saves of one
// workbook hand out the same ids.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/error.hpp"
#include "model/sheet_rel.hpp"
#include "model/workbook.hpp"
#include "reader/sheet_rels.hpp"
#include "writer/cell_order.hpp"
#include "writer/sheet_part.hpp"

namespace velmo::writer {

using reader::kCommentsRelType;
using reader::kTableRelType;
using reader::kVmlDrawingRelType;

// A set of relationship ids.
using RelIdSet = std::unordered_set<std::string>;

// The number of an id of the form "rId" + optional "+" + decimal digits (leading zeros allowed)
// whose value fits in 32 bits; none for any other id, which is kept but never counted.
std::optional<uint32_t> rel_id_number(std::string_view id);

// 1 + the largest numbered id among `entries`; 1 when none is numbered. Computed in 64 bits, so
// "rId4294967295" gives 4294967296 rather than wrapping to a number already in use.
uint64_t next_rel_id(const std::vector<SheetRelEntry>& entries);

// The id of the first entry of that type, or none.
std::optional<std::string> relation_id_for_type(const std::vector<SheetRelEntry>& entries, std::string_view type);

// The id of the first entry of `existing` of that type, unless an entry of `pending` already
// holds it; failing that, a new id above every numbered id of `existing` and `pending`
// together, and equal to no id text of either.
std::string id_for_type_or_next(const std::vector<SheetRelEntry>& existing, std::string_view type,
                                const std::vector<SheetRelEntry>& pending);

// Drops every comments and VML drawing entry, then appends one comments entry and one VML drawing
// entry with the given targets. Each reuses the id of the first input entry of its type, or takes
// a new one. VML drawing entries whose id is in `keep` (drawings of something else than comments,
// such as header and footer pictures) stay as they are.
std::vector<SheetRelEntry> upsert_comment_rels(const std::vector<SheetRelEntry>& entries, std::string_view comments_target,
                                               std::string_view vml_target, const RelIdSet& keep = {});

// The same without a comments entry: a drawing that holds form controls but no note any more.
std::vector<SheetRelEntry> upsert_drawing_rels(const std::vector<SheetRelEntry>& entries, std::string_view vml_target,
                                               const RelIdSet& keep = {});

// Drops every comments and VML drawing entry (a sheet whose comments are all gone), but the VML
// drawing entries whose id is in `keep`.
std::vector<SheetRelEntry> remove_comment_rels(const std::vector<SheetRelEntry>& entries,
                                               const RelIdSet& keep = {});

// Drops every table entry, then appends one per target, in order, with new ids numbered from one
// above the highest numbered id left. No targets: the table entries are simply dropped.
std::vector<SheetRelEntry> upsert_table_rels(const std::vector<SheetRelEntry>& entries,
                                             const std::vector<std::string>& targets);

// As upsert_table_rels for hyperlinks, with target mode "External"; a repeated target gets an
// entry of its own.
std::vector<SheetRelEntry> upsert_hyperlink_rels(const std::vector<SheetRelEntry>& entries,
                                                 const std::vector<std::string>& targets);

// The relationships part of the sheet titled `sheet_name` (used only in messages). InvalidFormat
// when an entry holds a text XML cannot carry.
Result<std::string> write_sheet_rels(const std::vector<SheetRelEntry>& entries, std::string_view sheet_name);

// A relationships part holding `entries` in order, whose texts the caller knows XML can carry.
std::string relationships_part_xml(const std::vector<SheetRelEntry>& entries);

// One sheet's relationships settled for a save.
struct SettledSheetRels {
    // The relationships part, in order: the source's other entries, comments and VML drawing,
    // tables, hyperlinks. Written as "xl/worksheets/_rels/sheet{n}.xml.rels" when not empty.
    std::vector<SheetRelEntry> entries;
    // What the worksheet part refers to: legacy drawing (when the sheet has comments), table parts,
    // and the sheet's hyperlinks in cell order with their ids.
    SheetPartRelIds ids;
};

// The VML drawing parts (normalized part names) that relationships a save keeps name: drawings
// of something else than comments, and every drawing of a sheet without comments, then or now.
// The source's copies of these are carried over; any other drawing of the source is replaced.
std::unordered_set<std::string> kept_vml_parts(const Workbook& wb);

// The number k of each sheet's VML drawing for its comments, "xl/drawings/vmlDrawing{k}.vml": its
// own 1-based position, unless a relationship the save keeps names that part (a drawing of form
// controls or of header pictures, copied from the source); then a number above every sheet's.
std::vector<uint64_t> comment_vml_numbers(const Workbook& wb);

// Settles the relationships of the sheet at `sheet_index` (0-based), whose cells are `order`,
// starting from a copy of the list the workbook kept for that position (none: empty):
//  - comments: with at least one comment, "../comments{n}.xml" and "../drawings/vmlDrawing{k}.vml"
//    (n = sheet_index + 1, k = `vml_number`, 0 meaning n); without, the drawing alone when
//    `drawing_without_comments` (form controls the notes shared it with), else the comments entries
//    are dropped, and so are the VML drawing ones when the source had comments. A VML drawing that
//    a carried element other than the legacy drawing names is never the comments' and stays;
//  - tables: "../tables/table{k}.xml" for each part number k of `table_part_numbers` (one per
//    table, in table order); the sheet's old table entries are always dropped;
//  - hyperlinks: one External entry per hyperlink with a target, in cell order; old hyperlink
//    entries are always dropped;
//  - carried elements: written when every relationship id they name is still that of the same
//    source relationship, and for the legacy drawing, when the model writes none.
// InvalidFormat naming the sheet and cell when a hyperlink target holds a text XML cannot carry.
Result<SettledSheetRels> settle_sheet_rels(const Workbook& wb, size_t sheet_index, const SheetCellOrder& order,
                                           const std::vector<uint64_t>& table_part_numbers, uint64_t vml_number = 0,
                                           bool drawing_without_comments = false);

}  // namespace velmo::writer

#pragma once
// Assembling a whole package: every part the model covers, regenerated in a fixed order, then
// every other entry of the source package copied raw.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/workbook.hpp"
#include "writer/workbook_carried.hpp"
#include "zip/output.hpp"

namespace velmo::writer {

// Writes the package of `wb` into `out` and finishes the archive.
//
// Entries, in order: "[Content_Types].xml" and "_rels/.rels" (generated without a source; with
// one, the source's content types are written here, patched, when any cell holds text, a sheet
// has notes or tables, or the patch changes them, and are otherwise copied in place), the workbook
// part and its relationships, the styles, the shared strings (when any cell holds text), then per
// sheet its part, comments and legacy drawing, table parts (each followed by its own relationships
// as loaded, when it has any) and relationships part (when its settled list is not empty), and
// last, with a source, every source entry this save does not regenerate, raw and in source order
// (but for a map of single cells whose entries moved: written in its place with their new cells).
// The source's shared strings, worksheet parts and worksheet relationships parts are never copied,
// nor the relationships part of any part this save writes; a part only relationships this save
// replaces reached (an old table part, a comments part) is left out.
//
// `source` is the package the workbook was loaded from; it is opened again here (Io when it is
// gone, Zip when it is no longer a readable archive; Io naming it when an entry to copy differs
// from the one `wb.source_entries` recorded at load, or an entry no relationship reached then, or
// a part the new package reaches and the source held then, or the package relationships, is
// missing; the message names `_rels/.rels` when it is that). Every entry copied raw is checked as
// it is copied, a piece at a time, so in the same memory whatever its size: one that does not
// inflate to what its archive records fails with Zip naming the source and the entry. The content types are those loaded (`wb.source_content_types`), patched;
// without them the save fails with Zip.
Result<void> write_package(const Workbook& wb, zip::Output& out, const std::optional<std::string>& source);

// The workbook part "xl/workbook.xml": the sheets (ids 1..N, relationship ids from `plan`), the
// model's active sheet (the first when out of range), the defined names, and the kept children
// of the source's part at their places. InvalidFormat naming the sheet for a title XML cannot
// carry.
Result<std::string> write_workbook_xml(const Workbook& wb, const WorkbookPlan& plan);

// The relationships of "xl/_rels/workbook.xml.rels": styles, sheets and shared strings (when
// `has_strings`) with the ids of `plan`, then the kept relationships of the source.
std::vector<SheetRelEntry> workbook_rels_entries(const WorkbookPlan& plan, bool has_strings);

}  // namespace velmo::writer

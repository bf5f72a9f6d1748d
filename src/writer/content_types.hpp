#pragma once
// "[Content_Types].xml" and "_rels/.rels": generated for a new workbook; for a loaded one the
// source's content types are carried over, patched as text so that whatever the writer does
// not model keeps its declarations byte for byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/error.hpp"
#include "writer/namespaces.hpp"
#include "zip/part_names.hpp"

namespace velmo::writer {

inline constexpr std::string_view kContentTypesEntry = "[Content_Types].xml";
inline constexpr std::string_view kPackageRelsEntry = "_rels/.rels";

inline constexpr std::string_view kContentTypesNs = "http://schemas.openxmlformats.org/package/2006/content-types";
inline constexpr std::string_view kOfficeDocumentRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";

namespace content_type {
inline constexpr std::string_view kRels = "application/vnd.openxmlformats-package.relationships+xml";
inline constexpr std::string_view kXml = "application/xml";
inline constexpr std::string_view kVml = "application/vnd.openxmlformats-officedocument.vmlDrawing";
inline constexpr std::string_view kWorkbook = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
inline constexpr std::string_view kStyles = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml";
inline constexpr std::string_view kSharedStrings =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml";
inline constexpr std::string_view kWorksheet = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
inline constexpr std::string_view kComments = "application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml";
inline constexpr std::string_view kTable = "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml";
}  // namespace content_type

// The parts of the package this save writes that need a declaration.
struct WrittenParts {
    size_t sheet_count = 0;             // "/xl/worksheets/sheet{1..N}.xml"
    bool has_strings = false;           // "/xl/sharedStrings.xml"
    std::vector<size_t> comment_sheets;  // 1-based, ascending: "/xl/comments{n}.xml" and a VML drawing
    bool vml_drawings = false;           // some sheet's legacy drawing is written (with or without comments)
    std::vector<uint64_t> table_parts;  // ascending: "/xl/tables/table{k}.xml"
};

using zip::PartNameSet;

// The content types of a package made from scratch.
std::string generated_content_types_xml(const WrittenParts& parts);

// "_rels/.rels" of a package made from scratch: one relationship, rId1, to "xl/workbook.xml".
std::string generated_package_rels_xml();

// The source's content types, patched for this save:
//  - every Override of a table part in `parts` is removed, whatever its written form, and so is
//    every Override naming a part that `package` (every entry of the new package) does not hold,
//    or one that an earlier Override already declares;
//  - an Override of a part in `parts` that spells its name otherwise is rewritten with the name
//    as written, keeping its content type;
//  - each part in `parts` without a declaration gets an Override (a "vml" and a "rels" Default
//    when missing), inserted before the end tag of the root, the tables in one run after
//    everything else but the shared strings.
// Everything else stays byte for byte. Fails as reader::read_content_types does on text that is
// no such document.
Result<std::string> patch_content_types(std::string_view source, const WrittenParts& parts, const PartNameSet& package);

}  // namespace velmo::writer

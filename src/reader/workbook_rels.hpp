#pragma once
// The sheet list of the workbook part joined with the workbook relationships.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/sheet_rel.hpp"
#include "model/sheet_settings.hpp"

namespace velmo::reader {

// One worksheet to load: its title, the entry name of its worksheet part and whether it is shown.
struct SheetRef {
    std::string name;
    std::string path;
    SheetState state = SheetState::Visible;
    bool operator==(const SheetRef&) const = default;
};

// What the workbook part says about its sheets.
struct SheetList {
    std::vector<SheetRef> sheets;  // in the order of the sheet elements
    std::uint64_t active_tab = 0;  // as read, not bounded by the sheet count
    bool date1904 = false;         // serials count from 1904-01-01 instead of 1899-12-30
    // Every relationship of the workbook with Id, Type and Target, in document order.
    std::vector<SheetRelEntry> relationships;
};

inline constexpr std::string_view kWorkbookPart = "xl/workbook.xml";
inline constexpr std::string_view kWorkbookRelsPart = "xl/_rels/workbook.xml.rels";

// Reads the sheet elements, the active tab and the date system of "xl/workbook.xml", then finds
// each sheet's part through "xl/_rels/workbook.xml.rels". Fails with an XML error naming the part, or with
// MissingPart "workbook relationship {id}" for a sheet whose id has no worksheet relationship.
Result<SheetList> parse_sheet_refs(std::string_view workbook_xml, std::string_view rels_xml);

// The entry name a workbook relationship's Target designates ("/x" -> "x", "xl/x" as is,
// anything else under "xl/").
std::string workbook_target_entry(std::string_view target);

}  // namespace velmo::reader

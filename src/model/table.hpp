#pragma once
// Worksheet tables and the bytes of the table part each was read from.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/sheet_rel.hpp"

namespace velmo {

struct TableColumn {
    std::string name;
    uint32_t id = 0;
    bool operator==(const TableColumn&) const = default;
};

struct TableStyleInfo {
    std::string name;
    bool show_first_column = false;
    bool show_last_column = false;
    bool show_row_stripes = false;
    bool show_column_stripes = false;
    bool operator==(const TableStyleInfo&) const = default;
};

struct Table {
    std::string name;
    std::string display_name;  // compared without regard to ASCII case
    std::string ref_range;     // stored unnormalised
    std::vector<TableColumn> columns;
    std::optional<TableStyleInfo> style_info;
    uint32_t id = 0;  // as read; 0 for a table made through the API
    uint32_t header_row_count = 1;

    // name and display_name both set to `display_name`; no columns, no style, id 0, one header row.
    static Table make(std::string display_name, std::string range);
};

// The table part exactly as read; written back unchanged while not modified.
struct RawTable {
    std::string bytes;
    bool modified = false;
    // The part's own relationships as read (a query table's, ...), targets relative to "xl/tables/".
    // They go with the table under whatever name a save gives its part, changed or not.
    std::vector<SheetRelEntry> relationships = {};
};

// A table with the part it was read from (none for a table added through the API), kept together so
// the pairing cannot drift.
struct SheetTable {
    Table table;
    std::optional<RawTable> raw;
};

// ASCII-case-insensitive equality of display names (only A-Z fold).
bool table_names_equal(std::string_view a, std::string_view b);

}  // namespace velmo

#pragma once
// The location of a pivot table, read from its pivot table part.

#include <optional>
#include <string_view>

#include "model/pivot_table.hpp"

namespace velmo::reader {

// The name of the part's root pivotTableDefinition and the range of its location child; none when
// the part is not such a document or its location names no range. `part` stands in for a missing
// name. Never fails: a pivot table part is carried, not read, and its trouble is no reason to
// refuse the workbook.
std::optional<PivotTableLocation> parse_pivot_location(std::string_view xml, std::string_view part);

}  // namespace velmo::reader

#pragma once
// Reading one table part of a worksheet into its record. Only the table's identity, range, header
// row count, columns and style flags are read; the rest stays in the part's retained bytes.

#include <string_view>

#include "model/error.hpp"
#include "model/table.hpp"

namespace velmo::reader {

// Fails only with an XML error. Bad or missing attributes take their defaults (id 0, header row
// count 1, empty texts, false flags); nothing is validated.
Result<Table> parse_table_xml(std::string_view xml);

}  // namespace velmo::reader

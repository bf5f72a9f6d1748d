#pragma once
// Opening a package into the model.

#include <string>
#include <string_view>

#include "model/error.hpp"
#include "model/workbook.hpp"

namespace velmo::reader {

// Reads the whole package at `path` (UTF-8) into a new Workbook whose source_path is the absolute path.
Result<Workbook> open_workbook(std::string_view path);

// The same over the bytes of a package held in memory; the workbook has no source path.
Result<Workbook> open_workbook_memory(std::string bytes);

}  // namespace velmo::reader

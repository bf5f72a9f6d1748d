#pragma once
// Saving the model as a package, atomically.

#include <string_view>

#include "model/error.hpp"
#include "model/workbook.hpp"

namespace velmo::writer {

// Writes `wb` as a complete package to `path` (UTF-8) through a temporary file and an atomic rename.
Result<void> write_xlsx(const Workbook& wb, std::string_view path);

}  // namespace velmo::writer

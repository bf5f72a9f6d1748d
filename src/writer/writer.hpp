#pragma once
// Saving the model as a package, atomically.

#include <string_view>

#include "model/error.hpp"
#include "model/workbook.hpp"

namespace velmo::writer {

// Writes `wb` as a complete package to `path` (UTF-8) through a temporary file and an atomic
// rename, copying the entries it does not regenerate from `wb.source_path` when set. Refuses,
// before touching any file, two tables whose display names are equal ignoring ASCII case
// (DuplicateTableName with the later one's name). On failure the destination is untouched.
Result<void> write_xlsx(const Workbook& wb, std::string_view path);

// The table-name check write_xlsx starts with.
Result<void> check_table_names(const Workbook& wb);

}  // namespace velmo::writer

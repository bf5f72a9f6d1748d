#include "writer/writer.hpp"

#include <string>
#include <unordered_set>

#include "writer/atomic_save.hpp"
#include "writer/package.hpp"
#include "zip/output.hpp"

namespace velmo::writer {

Result<void> check_table_names(const Workbook& wb) {
    std::unordered_set<std::string> seen;
    for (const Worksheet& ws : wb.sheets) {
        for (const SheetTable& t : ws.tables) {
            std::string folded = t.table.display_name;
            for (char& c : folded)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (!seen.insert(std::move(folded)).second)
                return fail(VelmoError::duplicate_table_name(t.table.display_name));
        }
    }
    return {};
}

Result<void> write_xlsx(const Workbook& wb, std::string_view path) {
    if (auto ok = check_table_names(wb); !ok) return ok;
    return atomic_replace(path, [&](int fd) -> Result<void> {
        zip::FdOutput out(fd);
        return write_package(wb, out, wb.source_path);
    });
}

}  // namespace velmo::writer

#include "writer/shared_strings.hpp"

#include <string>

#include "xml/white_space.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

uint32_t SharedStringTable::insert(std::string_view text) {
    if (auto it = index_.find(text); it != index_.end()) return it->second;
    const auto index = static_cast<uint32_t>(texts_.size());
    auto [it, inserted] = index_.emplace(std::string(text), index);
    texts_.push_back(&it->first);
    return index;
}

std::optional<uint32_t> SharedStringTable::find(std::string_view text) const {
    if (auto it = index_.find(text); it != index_.end()) return it->second;
    return std::nullopt;
}

Result<SharedStringTable> build_shared_strings(const Workbook& wb, const std::vector<SheetCellOrder>& orders) {
    SharedStringTable table;
    for (size_t s = 0; s < orders.size() && s < wb.sheets.size(); ++s) {
        for (const OrderedCell& oc : orders[s]) {
            const auto* text = std::get_if<std::string>(&oc.cell->value);
            if (!text) continue;
            const size_t before = table.size();
            table.insert(*text);
            if (table.size() == before) continue;  // checked at its first occurrence
            auto ok = check_xml_text(*text, [&] {
                std::string where = sheet_label(wb.sheets[s].name) + " cell ";
                coords::append_a1(where, oc.row(), oc.col());
                return where;
            });
            if (!ok) return fail(std::move(ok.error()));
        }
    }
    return table;
}

Result<std::string> write_shared_strings_xml(const SharedStringTable& table) {
    size_t bytes = 128;
    for (const std::string* t : table.texts()) bytes += t->size() + 16;
    auto w = xml::XmlWriter::with_declaration(bytes);
    w.open("sst").attr("xmlns", kMainNs).attr("count", table.size()).attr("uniqueCount", table.size()).close_start();
    for (const std::string* t : table.texts()) {
        w.start("si");
        if (xml::needs_space_preserve(*t)) w.start("t", {{"xml:space", "preserve"}});
        else w.start("t");
        w.text(*t);
        w.end("t");
        w.end("si");
    }
    w.end("sst");
    return std::move(w).finish();
}

}  // namespace velmo::writer

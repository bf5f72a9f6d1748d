#include "writer/shared_strings.hpp"

#include <string>

#include "xml/white_space.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

uint32_t SharedStringTable::insert_into(Index& index, std::string_view key, bool item) {
    if (auto it = index.find(key); it != index.end()) return it->second;
    const auto at = static_cast<uint32_t>(entries_.size());
    auto [it, inserted] = index.emplace(std::string(key), at);
    entries_.push_back({&it->first, item});
    return at;
}

uint32_t SharedStringTable::insert(std::string_view text) { return insert_into(texts_, text, false); }
uint32_t SharedStringTable::insert_item(std::string_view si) { return insert_into(items_, si, true); }

std::optional<uint32_t> SharedStringTable::find(std::string_view text) const {
    if (auto it = texts_.find(text); it != texts_.end()) return it->second;
    return std::nullopt;
}

std::optional<uint32_t> SharedStringTable::find_item(std::string_view si) const {
    if (auto it = items_.find(si); it != items_.end()) return it->second;
    return std::nullopt;
}

namespace {
// Where a text cell's string is held when cells may share it and it is worth not reading again: its
// kept item's, or its long text's.
const void* identity_of(const Text& text, const KeptValue* kept) {
    if (kept && kept->rich_text) return kept->rich_text.get();
    return text.is_long() ? text.identity() : nullptr;
}
}  // namespace

uint32_t SharedStringTable::insert_cell(const Text& text, const KeptValue* kept, bool& inserted) {
    const void* id = identity_of(text, kept);
    if (id)
        if (auto it = known_.find(id); it != known_.end()) {
            inserted = false;
            return it->second;
        }
    const size_t before = entries_.size();
    // A kept item was read from a well-formed part and is written back as it stood.
    const uint32_t at = kept && kept->rich_text ? insert_item(*kept->rich_text) : insert(text);
    inserted = entries_.size() != before;
    if (id) known_.emplace(id, at);
    return at;
}

std::optional<uint32_t> SharedStringTable::find_cell(const Cell& cell) const {
    const auto* text = std::get_if<Text>(&cell.value);
    if (!text) return std::nullopt;
    const KeptValue* kept = cell.kept();
    if (const void* id = identity_of(*text, kept))
        if (auto it = known_.find(id); it != known_.end()) return it->second;
    if (kept && kept->rich_text) return find_item(*kept->rich_text);
    return find(*text);
}

Result<SharedStringTable> build_shared_strings(const Workbook& wb, const std::vector<SheetCellOrder>& orders) {
    SharedStringTable table;
    for (size_t s = 0; s < orders.size() && s < wb.sheets.size(); ++s) {
        if (!orders[s].has_text) continue;
        for (const OrderedCell& oc : orders[s]) {
            const auto* text = std::get_if<Text>(&oc.cell->value);
            if (!text) continue;
            const KeptValue* kept = oc.cell->kept();
            bool inserted = false;
            table.insert_cell(*text, kept, inserted);
            // A text is checked at its first occurrence; a kept item needs no check.
            if (!inserted || (kept && kept->rich_text)) continue;
            auto ok = check_utf8_text(*text, [&] {
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
    for (const auto& e : table.entries()) bytes += e.text->size() + 16;
    auto w = xml::XmlWriter::with_declaration(bytes);
    w.open("sst").attr("xmlns", kMainNs);
    // Kept items may use "r" as their source's root bound it.
    if (table.has_items()) w.attr("xmlns:r", kOfficeRelsNs);
    w.attr("count", table.size()).attr("uniqueCount", table.size()).close_start();
    for (const auto& [t, item] : table.entries()) {
        if (item) {
            w.raw(*t);
            continue;
        }
        w.start("si");
        if (xml::needs_space_preserve(*t)) w.start("t", {{"xml:space", "preserve"}});
        else w.start("t");
        w.hex_text(*t);
        w.end("t");
        w.end("si");
    }
    w.end("sst");
    return std::move(w).finish();
}

}  // namespace velmo::writer

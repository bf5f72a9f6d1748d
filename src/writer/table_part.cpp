#include "writer/table_part.hpp"

#include <algorithm>
#include <unordered_set>

#include "model/coords.hpp"
#include "model/quoted.hpp"
#include "writer/cell_order.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "xml/number_format.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

namespace {

Result<void> check_table_texts(const Table& t, std::string_view name) {
    const auto where = [&] { return "table " + quoted(t.display_name); };
    const auto check = [&](std::string_view text) { return check_xml_text(text, where); };
    for (std::string_view text : {name, std::string_view(t.display_name), std::string_view(t.ref_range)})
        if (auto ok = check(text); !ok) return ok;
    // Column names hold their header cells' texts, and are escaped as those are.
    for (const TableColumn& c : t.columns)
        if (auto ok = check_utf8_text(c.name, where); !ok) return ok;
    if (t.style_info)
        if (auto ok = check(t.style_info->name); !ok) return ok;
    return {};
}

}  // namespace

std::vector<uint64_t> TableNumbering::part_numbers(size_t sheet_index) const {
    std::vector<uint64_t> out;
    if (sheet_index >= sheets.size()) return out;
    out.reserve(sheets[sheet_index].size());
    for (const TablePlan& p : sheets[sheet_index]) out.push_back(p.part_number);
    return out;
}

bool is_verbatim(const SheetTable& t) { return t.raw && !t.raw->modified; }

TableNumbering assign_table_ids(const std::vector<Worksheet>& sheets) {
    std::unordered_set<uint64_t> used;
    for (const Worksheet& ws : sheets)
        for (const SheetTable& t : ws.tables)
            if (is_verbatim(t)) used.insert(t.table.id);

    TableNumbering out;
    out.sheets.reserve(sheets.size());
    uint64_t counter = 1;
    for (const Worksheet& ws : sheets) {
        std::vector<TablePlan>& plans = out.sheets.emplace_back();
        plans.reserve(ws.tables.size());
        for (const SheetTable& t : ws.tables) {
            TablePlan plan;
            plan.part_number = ++out.table_count;
            plan.verbatim = is_verbatim(t);
            if (plan.verbatim) {
                plan.id = t.table.id;
            } else {
                while (used.contains(counter)) ++counter;
                plan.id = counter;
                used.insert(counter);
                ++counter;
            }
            plans.push_back(plan);
        }
    }
    return out;
}

std::string table_part_name(uint64_t part_number) {
    return xml::numbered("xl/tables/table", part_number, ".xml");
}

Result<std::string> serialize_table_xml(const Table& table, uint64_t id) {
    if (table.columns.empty())
        return fail(VelmoError::invalid_format("table " + quoted(table.display_name) +
                                               " has zero columns, cannot serialize"));
    const std::string_view name = table.name.empty() ? std::string_view(table.display_name) : std::string_view(table.name);
    if (auto ok = check_table_texts(table, name); !ok) return fail(std::move(ok.error()));
    // A range reaching past the last row or column gives a part that spreadsheet applications
    // refuse to open.
    if (const auto r = coords::parse_range(table.ref_range);
        r && (std::max(r->row1, r->row2) > kMaxRow || std::max(r->col1, r->col2) > kMaxCol))
        return fail(VelmoError::invalid_format("table " + quoted(table.display_name) + " range " +
                                               quoted(table.ref_range) + " lies outside the grid (A1:XFD1048576)"));

    auto w = xml::XmlWriter::with_declaration(512 + table.columns.size() * 48);
    w.open("table")
        .attr("xmlns", kMainNs)
        .attr("id", id)
        .attr("name", name)
        .attr("displayName", table.display_name)
        .attr("ref", table.ref_range)
        .attr("headerRowCount", table.header_row_count)
        .close_start();
    w.empty("autoFilter", {{"ref", table.ref_range}});
    w.open("tableColumns").attr("count", table.columns.size()).close_start();
    for (const TableColumn& c : table.columns) w.open("tableColumn").attr("id", c.id).hex_attr("name", c.name).close_empty();
    w.end("tableColumns");
    if (table.style_info) {
        const TableStyleInfo& s = *table.style_info;
        w.open("tableStyleInfo").attr("name", s.name);
        if (s.show_first_column) w.attr("showFirstColumn", "1");
        if (s.show_last_column) w.attr("showLastColumn", "1");
        if (s.show_row_stripes) w.attr("showRowStripes", "1");
        if (s.show_column_stripes) w.attr("showColumnStripes", "1");
        w.close_empty();
    }
    w.end("table");
    return std::move(w).finish();
}

Result<std::string> table_part_bytes(const SheetTable& table, const TablePlan& plan) {
    if (plan.verbatim && table.raw) return table.raw->bytes;
    return serialize_table_xml(table.table, plan.id);
}

}  // namespace velmo::writer

#include "writer/table_part.hpp"

#include <algorithm>
#include <unordered_set>

#include "model/coords.hpp"
#include "model/quoted.hpp"
#include "reader/sheet_rels.hpp"
#include "reader/table_reader.hpp"
#include "writer/cell_order.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "writer/workbook_carried.hpp"
#include "xml/number_format.hpp"
#include "xml/number_parse.hpp"
#include "xml/tokenizer.hpp"
#include "xml/xml_writer.hpp"
#include "zip/part_names.hpp"

namespace velmo::writer {

namespace {

// Column names hold their header cells' texts, and are escaped as those are.
Result<void> check_column_names(const Table& t) {
    const auto where = [&] { return "table " + quoted(t.display_name); };
    for (const TableColumn& c : t.columns)
        if (auto ok = check_utf8_text(c.name, where); !ok) return ok;
    return {};
}

Result<void> check_table_texts(const Table& t, std::string_view name) {
    const auto where = [&] { return "table " + quoted(t.display_name); };
    const auto check = [&](std::string_view text) { return check_xml_text(text, where); };
    for (std::string_view text : {name, std::string_view(t.display_name), std::string_view(t.ref_range)})
        if (auto ok = check(text); !ok) return ok;
    if (auto ok = check_column_names(t); !ok) return ok;
    if (t.style_info)
        if (auto ok = check(t.style_info->name); !ok) return ok;
    return {};
}

// What every written table is refused for: no columns, a text XML cannot carry, a range past the grid.
Result<void> check_table(const Table& table, std::string_view name) {
    if (table.columns.empty())
        return fail(VelmoError::invalid_format("table " + quoted(table.display_name) +
                                               " has zero columns, cannot serialize"));
    if (auto ok = check_table_texts(table, name); !ok) return ok;
    // A range reaching past the last row or column gives a part that spreadsheet applications
    // refuse to open.
    if (const auto r = coords::parse_range(table.ref_range);
        r && (std::max(r->row1, r->row2) > kMaxRow || std::max(r->col1, r->col2) > kMaxCol))
        return fail(VelmoError::invalid_format("table " + quoted(table.display_name) + " range " +
                                               quoted(table.ref_range) + " lies outside the grid (A1:XFD1048576)"));
    return {};
}

// An empty name is written as the display name.
std::string_view written_name(const Table& table) {
    return table.name.empty() ? std::string_view(table.display_name) : std::string_view(table.name);
}

// What a table's auto filter covers: the header and data rows, never the totals rows (sorting
// would move them among the data). The table's own range when that does not parse.
std::string filter_range(const Table& table, uint32_t totals_rows) {
    const auto r = coords::parse_range(table.ref_range);
    if (!r) return table.ref_range;
    const coords::RangePos o = r->ordered();
    std::string out;
    coords::append_a1(out, o.row1, o.col1);
    out += ':';
    coords::append_a1(out, o.row2 - std::min(totals_rows, o.row2 - o.row1), o.col2);
    return out;
}

// `local` under the prefix of the part's root, which is in the main namespace.
std::string qualified(std::string_view prefix, std::string_view local) {
    return prefix.empty() ? std::string(local) : std::string(prefix) + ":" + std::string(local);
}

void write_columns(xml::XmlWriter& w, const Table& table, std::string_view prefix) {
    const std::string column = qualified(prefix, "tableColumn");
    w.open(qualified(prefix, "tableColumns")).attr("count", table.columns.size()).close_start();
    for (const TableColumn& c : table.columns) w.open(column).attr("id", c.id).hex_attr("name", c.name).close_empty();
    w.end(qualified(prefix, "tableColumns"));
}

void write_style_info(xml::XmlWriter& w, const std::optional<TableStyleInfo>& style, std::string_view prefix) {
    if (!style) return;
    w.open(qualified(prefix, "tableStyleInfo")).attr("name", style->name);
    if (style->show_first_column) w.attr("showFirstColumn", "1");
    if (style->show_last_column) w.attr("showLastColumn", "1");
    if (style->show_row_stripes) w.attr("showRowStripes", "1");
    if (style->show_column_stripes) w.attr("showColumnStripes", "1");
    w.close_empty();
}

// `part` with each tableColumn named as in `now` where `was` (what the part says, column by column)
// differs, everything else as it stands. None when the part does not hold one tableColumn per
// column of `was`.
std::optional<std::string> with_column_names(std::string_view part, const std::vector<TableColumn>& was,
                                             const std::vector<TableColumn>& now) {
    std::string out;
    out.reserve(part.size() + 64);
    size_t done = 0, index = 0;
    xml::Tokenizer tok(part);
    xml::Event ev;
    while (tok.next(ev)) {
        if (!ev.is_tag() || ev.local_name != "tableColumn") continue;
        const size_t i = index++;
        if (i >= was.size() || i >= now.size() || now[i].name == was[i].name) continue;
        xml::AttrIter it(ev);
        xml::Attribute a;
        bool found = false;
        for (auto more = it.next(a); more && *more; more = it.next(a))
            if ((found = a.name == "name")) break;
        // The value in place of the old one, or the attribute after the element's name.
        const size_t at = found ? a.offset : ev.offset + 1 + ev.name.size();
        out.append(part.substr(done, at - done));
        if (!found) out += " name=\"";
        xml::append_hex_escaped_attr(out, now[i].name);
        if (!found) out += '"';
        done = found ? a.offset + a.value.size() : at;
    }
    if (!tok.ok() || index != was.size()) return std::nullopt;
    out.append(part.substr(done));
    return out;
}

bool same_ids(const std::vector<TableColumn>& a, const std::vector<TableColumn>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const TableColumn& x, const TableColumn& y) { return x.id == y.id; });
}

std::string escaped_attr(std::string_view value) {
    std::string out;
    (void)xml::append_escaped_attr(out, value);
    return out;
}

std::string decimal(uint64_t n) {
    std::string out;
    xml::append_u64(out, n);
    return out;
}

// A loaded table part: its root's start tag, the root's children and where the root ends.
struct LoadedTable {
    struct Child {
        xml::Event tag;
        size_t end = 0;
    };
    xml::Event root;
    std::vector<Child> children;
    size_t root_end = 0;  // offset of the root's end tag
};

std::optional<LoadedTable> layout_of(std::string_view part) {
    xml::Tokenizer tok(part);
    LoadedTable out;
    xml::Event ev;
    while (tok.next(ev)) {
        if (!ev.is_tag() && ev.kind != xml::EventKind::End) continue;
        const size_t level = tok.depth() + (ev.kind == xml::EventKind::Start ? 0 : 1);
        if (level == 1) {
            if (ev.kind == xml::EventKind::End) out.root_end = ev.offset;
            else if (ev.kind == xml::EventKind::Start && ev.local_name == "table") out.root = ev;
            else return std::nullopt;
        } else if (level == 2 && ev.is_tag()) {
            out.children.push_back({ev, ev.offset + ev.raw.size()});
        } else if (level == 2 && ev.kind == xml::EventKind::End) {
            out.children.back().end = ev.offset + ev.raw.size();
        }
    }
    if (!tok.ok() || out.root.kind != xml::EventKind::Start || out.root_end == 0) return std::nullopt;
    return out;
}

// A changed table written from the part it was loaded from: what the model holds is written anew
// where it differs from what the part says, and everything else (totals row, column formulas and
// totals functions, sort state, extensions, ...) stays as loaded. The auto filter stays too, over
// filter_range, unless the table has no header row. None when the part has no table root.
std::optional<std::string> rewrite_loaded_table(const Table& table, uint64_t id, std::string_view loaded) {
    const auto was = reader::parse_table_xml(loaded);
    const auto part = layout_of(loaded);
    if (!was || !part) return std::nullopt;
    const std::string_view prefix = xml::prefix_of(part->root.name);

    std::string root(part->root.raw);
    const auto set = [&](std::string_view attr, const std::string& value) { root = with_attribute(root, "table", attr, value); };
    set("id", decimal(id));
    if (written_name(table) != was->name) set("name", escaped_attr(written_name(table)));
    if (table.display_name != was->display_name) set("displayName", escaped_attr(table.display_name));
    if (table.ref_range != was->ref_range) set("ref", escaped_attr(table.ref_range));
    if (table.header_row_count != was->header_row_count) set("headerRowCount", decimal(table.header_row_count));
    std::string scratch;
    const auto totals = xml::attr_value(part->root, "totalsRowCount", scratch);
    const uint32_t totals_rows = totals && *totals ? xml::parse_u32(**totals).value_or(0) : 0;

    xml::XmlWriter w(loaded.size() + 256);
    w.raw(loaded.substr(0, part->root.offset));
    w.raw(root);
    size_t done = part->root.offset + part->root.raw.size();
    bool styled = false;  // the style has its place
    const auto style_here = [&] {
        if (!styled) write_style_info(w, table.style_info, prefix);
        styled = true;
    };
    for (const LoadedTable::Child& c : part->children) {
        const std::string_view name = c.tag.local_name, element = loaded.substr(c.tag.offset, c.end - c.tag.offset);
        w.raw(loaded.substr(done, c.tag.offset - done));
        done = c.end;
        if (name == "autoFilter") {
            if (table.header_row_count == 0) continue;
            const std::string range = filter_range(table, totals_rows);
            const auto ref = xml::attr_value(c.tag, "ref", scratch);
            w.raw(ref && *ref == range ? std::string(element) : with_attribute(element, "autoFilter", "ref", escaped_attr(range)));
        } else if (name == "tableColumns" && table.columns != was->columns) {
            // Renamed columns keep their formulas, totals and formats.
            const auto renamed = same_ids(table.columns, was->columns)
                                     ? with_column_names(element, was->columns, table.columns)
                                     : std::nullopt;
            if (renamed) w.raw(*renamed);
            else write_columns(w, table, prefix);
        } else if (name == "tableStyleInfo") {
            // Kept while it is the model's style; else the model's goes where the schema puts it,
            // before the extensions or at the end.
            if (!styled && table.style_info == was->style_info) {
                w.raw(element);
                styled = true;
            }
        } else {
            if (name == "extLst") style_here();
            w.raw(element);
        }
    }
    w.raw(loaded.substr(done, part->root_end - done));
    style_here();
    w.raw(loaded.substr(part->root_end));
    return std::move(w.buffer());
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

std::vector<uint64_t> TableNumbering::all_part_numbers() const {
    std::vector<uint64_t> out;
    out.reserve(table_count);
    for (const std::vector<TablePlan>& plans : sheets)
        for (const TablePlan& p : plans) out.push_back(p.part_number);
    return out;
}

TableNumbering assign_table_ids(const std::vector<Worksheet>& sheets, const std::unordered_set<uint64_t>& taken) {
    std::unordered_set<uint64_t> used;
    for (const Worksheet& ws : sheets)
        for (const SheetTable& t : ws.tables)
            if (is_verbatim(t)) used.insert(t.table.id);

    TableNumbering out;
    out.sheets.reserve(sheets.size());
    uint64_t counter = 1;
    uint64_t part = 0;
    for (const Worksheet& ws : sheets) {
        std::vector<TablePlan>& plans = out.sheets.emplace_back();
        plans.reserve(ws.tables.size());
        for (const SheetTable& t : ws.tables) {
            TablePlan plan;
            do ++part;
            while (taken.contains(part));
            plan.part_number = part;
            ++out.table_count;
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

std::unordered_set<uint64_t> table_numbers_taken(const Workbook& wb) {
    std::unordered_set<uint64_t> out;
    if (std::all_of(wb.sheets.begin(), wb.sheets.end(), [](const Worksheet& ws) { return ws.tables.empty(); })) return out;
    // The loaded relationships are rebased to the folder the save writes sheets in.
    zip::PartNameSet tables;
    for (const std::vector<SheetRelEntry>& rels : wb.sheet_relationships)
        for (const SheetRelEntry& e : rels)
            if (e.rel_type == reader::kTableRelType && e.target_mode != "External")
                tables.add(reader::resolve_sheet_target("xl/worksheets/sheet.xml", e.target));
    constexpr std::string_view kPrefix = "xl/tables/table", kSuffix = ".xml";
    for (const SourceEntry& e : wb.source_entries) {
        const std::string name = zip::PartNameSet::normalize(e.name);
        if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix) || tables.contains(name)) continue;
        const std::string_view digits = std::string_view(name).substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
        // Only the plain decimal spelling a save writes can meet one of its names.
        if (digits.empty() || digits.front() < '1' || digits.front() > '9') continue;
        if (const auto k = xml::parse_u64(digits)) out.insert(*k);
    }
    return out;
}

std::string table_part_name(uint64_t part_number) {
    return xml::numbered("xl/tables/table", part_number, ".xml");
}

std::string table_rels_part_name(uint64_t part_number) {
    return xml::numbered("xl/tables/_rels/table", part_number, ".xml.rels");
}

Result<std::string> serialize_table_xml(const Table& table, uint64_t id) {
    const std::string_view name = written_name(table);
    if (auto ok = check_table(table, name); !ok) return fail(std::move(ok.error()));

    auto w = xml::XmlWriter::with_declaration(512 + table.columns.size() * 48);
    w.open("table")
        .attr("xmlns", kMainNs)
        .attr("id", id)
        .attr("name", name)
        .attr("displayName", table.display_name)
        .attr("ref", table.ref_range)
        .attr("headerRowCount", table.header_row_count)
        .close_start();
    // Without a header row there is nothing to hold the filter buttons: an application would take
    // the first data row for the header.
    if (table.header_row_count > 0) w.empty("autoFilter", {{"ref", table.ref_range}});
    write_columns(w, table, "");
    write_style_info(w, table.style_info, "");
    w.end("table");
    return std::move(w).finish();
}

Result<std::string> table_part_bytes(const Worksheet& sheet, const SheetTable& table, const TablePlan& plan) {
    auto named = table::columns_named_by_header(sheet, table.table);
    if (!named) return table_part_bytes(table, plan);
    SheetTable renamed{table.table, table.raw};
    renamed.table.columns = std::move(*named);
    if (plan.verbatim && table.raw) {
        // Unchanged but for the names: the part as read, with only those rewritten.
        if (auto ok = check_column_names(renamed.table); !ok) return fail(std::move(ok.error()));
        if (auto part = with_column_names(table.raw->bytes, table.table.columns, renamed.table.columns))
            return std::move(*part);
        // A part the names cannot be matched in is rewritten whole, keeping its id.
        TablePlan rewritten = plan;
        rewritten.verbatim = false;
        return table_part_bytes(renamed, rewritten);
    }
    return table_part_bytes(renamed, plan);
}

Result<std::string> table_part_bytes(const SheetTable& table, const TablePlan& plan) {
    if (plan.verbatim && table.raw) return table.raw->bytes;
    if (table.raw) {
        if (auto ok = check_table(table.table, written_name(table.table)); !ok) return fail(std::move(ok.error()));
        if (auto part = rewrite_loaded_table(table.table, plan.id, table.raw->bytes)) return std::move(*part);
    }
    return serialize_table_xml(table.table, plan.id);
}

}  // namespace velmo::writer

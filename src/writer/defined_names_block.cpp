#include "writer/defined_names_block.hpp"

#include <algorithm>
#include <unordered_set>

#include "model/ascii.hpp"
#include "model/quoted.hpp"
#include "reader/defined_names_reader.hpp"
#include "writer/filter_database.hpp"
#include "writer/text_check.hpp"
#include "xml/number_format.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::writer {

namespace {

constexpr std::string_view kPrintArea = "_xlnm.Print_Area";
constexpr std::string_view kPrintTitles = "_xlnm.Print_Titles";

std::optional<std::string> print_area_value(const Worksheet& ws) {
    if (!ws.print_area_text) return std::nullopt;
    return defined_names::compose_print_area(ws.name, *ws.print_area_text);
}

bool has_print_setting(const Worksheet& ws) { return ws.print_area_text || ws.print_title_rows || ws.print_title_cols; }

Result<void> check_name(const DefinedName& dn, const std::string& scope_prefix) {
    const auto where = [&] { return scope_prefix + "defined name " + quoted(dn.name); };
    if (auto ok = check_xml_text(dn.name, where); !ok) return ok;
    if (auto ok = check_xml_text(dn.value, where); !ok) return ok;
    if (dn.comment)
        if (auto ok = check_xml_text(*dn.comment, where); !ok) return ok;
    return {};
}

// Every text the block will write, checked before anything is written.
Result<void> check_texts(const std::vector<Worksheet>& sheets, const DefinedNames& workbook_names) {
    for (const Worksheet& ws : sheets) {
        if (const auto area = print_area_value(ws))
            if (auto ok = check_xml_text(*area, [&] { return sheet_label(ws.name) + " print area"; }); !ok) return ok;
        if (const auto titles = print_titles_value(ws))
            if (auto ok = check_xml_text(*titles, [&] { return sheet_label(ws.name) + " print titles"; }); !ok)
                return ok;
    }
    for (const DefinedName& dn : workbook_names.items())
        if (auto ok = check_name(dn, ""); !ok) return ok;
    for (const Worksheet& ws : sheets)
        for (const DefinedName& dn : ws.defined_names.items())
            if (auto ok = check_name(dn, sheet_label(ws.name) + " "); !ok) return ok;
    return {};
}

// Per kept element, whether another definition of its name in its scope is written instead: a
// name of the model (one added from Python replaces the kept one, as a later name replaces an
// earlier), or a later kept element. Applications refuse or rename a second definition. Reserved
// names and elements whose scope cannot be told are left alone.
std::vector<char> superseded_kept(const std::vector<Worksheet>& sheets, const DefinedNames& workbook_names,
                                  const std::vector<std::string>& kept) {
    std::vector<char> out(kept.size(), 0);
    std::unordered_set<std::string> later;  // scope, NUL, name folded
    std::string scratch, key;
    xml::Event tag;
    for (size_t i = kept.size(); i-- > 0;) {
        xml::Tokenizer tok(kept[i]);
        if (!tok.next(tag) || !tag.is_tag()) continue;
        std::optional<xml::Attribute> name, sheet;
        xml::AttrIter it(tag);
        xml::Attribute a;
        for (auto more = it.next(a); more && *more; more = it.next(a)) {
            if (a.name == "name" && !name) name = a;
            else if (a.name == "localSheetId" && !sheet) sheet = a;
        }
        if (!name) continue;
        const DefinedNames* scope = &workbook_names;
        key = "w";
        if (sheet) {
            const auto text = xml::decode(sheet->value, scratch, sheet->offset);
            const auto index = text ? reader::parse_sheet_index(*text) : std::nullopt;
            if (!index || *index >= sheets.size()) continue;
            scope = &sheets[*index].defined_names;
            key.clear();
            xml::append_u64(key, *index);
        }
        const auto text = xml::decode(name->value, scratch, name->offset);
        if (!text || text->starts_with("_xlnm.")) continue;
        key += '\0';
        append_ascii_lower(key, *text);
        out[i] = scope->find_same(*text) != nullptr || !later.insert(key).second;
    }
    return out;
}

}  // namespace

std::optional<std::string> print_titles_value(const Worksheet& ws) {
    if (!ws.print_title_rows && !ws.print_title_cols) return std::nullopt;
    const std::string quoted_title = defined_names::quote_sheet_title(ws.name);
    std::string out;
    for (const auto* part : {&ws.print_title_rows, &ws.print_title_cols}) {
        if (!*part) continue;
        if (!out.empty()) out += ',';
        out += quoted_title;
        out += '!';
        out += **part;
    }
    return out;
}

void write_reserved_defined_name(xml::XmlWriter& w, std::string_view name, size_t sheet_position, std::string_view value,
                                 bool hidden) {
    w.open("definedName").attr("name", name).attr("localSheetId", sheet_position);
    if (hidden) w.attr("hidden", "1");
    w.close_start();
    w.text(value);
    w.end("definedName");
}

void write_modeled_defined_name(xml::XmlWriter& w, const DefinedName& name, std::optional<size_t> sheet_position) {
    w.open("definedName").attr("name", name.name);
    if (sheet_position) w.attr("localSheetId", *sheet_position);
    if (name.hidden) w.attr("hidden", "1");
    if (name.comment) w.attr("comment", *name.comment);
    w.close_start();
    w.text(name.value);
    w.end("definedName");
}

Result<void> write_defined_names_block(xml::XmlWriter& w, const std::vector<Worksheet>& sheets,
                                       const DefinedNames& workbook_names,
                                       const std::vector<std::string>& raw_defined_names) {
    const FilterNames filters = plan_filter_names(sheets, raw_defined_names);
    const std::vector<char> superseded = superseded_kept(sheets, workbook_names, raw_defined_names);
    bool any = !workbook_names.empty() ||
               std::any_of(filters.kept.begin(), filters.kept.end(), [](const auto& k) { return !k || !k->empty(); });
    for (size_t p = 0; p < sheets.size(); ++p)
        any = any || has_print_setting(sheets[p]) || !sheets[p].defined_names.empty() || filters.added[p];
    if (!any) return {};
    if (auto ok = check_texts(sheets, workbook_names); !ok) return ok;

    w.start("definedNames");
    for (size_t p = 0; p < sheets.size(); ++p) {
        if (const auto area = print_area_value(sheets[p])) write_reserved_defined_name(w, kPrintArea, p, *area);
        if (const auto titles = print_titles_value(sheets[p])) write_reserved_defined_name(w, kPrintTitles, p, *titles);
        if (filters.added[p]) write_reserved_defined_name(w, kFilterDatabase, p, *filters.added[p], true);
    }
    for (const DefinedName& dn : workbook_names.items()) write_modeled_defined_name(w, dn, std::nullopt);
    for (size_t p = 0; p < sheets.size(); ++p)
        for (const DefinedName& dn : sheets[p].defined_names.items()) write_modeled_defined_name(w, dn, p);
    // Elements kept from the source are already XML; they go out exactly as read, but for the
    // filter names brought in line with their filters.
    for (size_t i = 0; i < raw_defined_names.size(); ++i)
        if (!superseded[i]) w.raw(filters.kept[i] ? *filters.kept[i] : raw_defined_names[i]);
    w.end("definedNames");
    return {};
}

}  // namespace velmo::writer

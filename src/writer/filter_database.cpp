#include "writer/filter_database.hpp"

#include <algorithm>

#include "model/coords.hpp"
#include "model/defined_names.hpp"
#include "reader/defined_names_reader.hpp"
#include "xml/tokenizer.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

namespace {

// A range written with or without "$" and a sheet prefix, corners in min/max order.
std::optional<coords::RangePos> range_of(std::string_view text) {
    if (const auto bang = text.rfind('!'); bang != std::string_view::npos) text.remove_prefix(bang + 1);
    std::string bare(coords::trim_ws(text));
    std::erase(bare, '$');
    const auto r = coords::parse_range(bare);
    if (!r) return std::nullopt;
    return r->ordered();
}

// The name's value for the sheet's filter: the quoted title and the absolute range
// ("'Sheet1'!$A$1:$C$5"); none without a filter, or with one whose text is not a range.
std::optional<std::string> filter_database_value(const Worksheet& ws) {
    const auto r = ws.auto_filter ? range_of(*ws.auto_filter) : std::nullopt;
    if (!r) return std::nullopt;
    std::string range;
    coords::append_a1(range, r->row1, r->col1);
    if (r->row2 != r->row1 || r->col2 != r->col1) {
        range += ':';
        coords::append_a1(range, r->row2, r->col2);
    }
    return defined_names::quote_sheet_title(ws.name) + "!" + coords::make_absolute_range(range);
}

// A kept element that names a sheet's filter: the sheet's position, its start tag and its value.
struct KeptFilterName {
    size_t sheet = 0;
    xml::Event tag;
    std::string value;
};

std::optional<KeptFilterName> kept_filter_name(std::string_view element, size_t sheet_count) {
    if (element.find(kFilterDatabase) == std::string_view::npos) return std::nullopt;
    xml::Tokenizer tok(element);
    KeptFilterName out;
    if (!tok.next(out.tag) || !out.tag.is_tag()) return std::nullopt;
    std::string scratch;
    const auto name = xml::attr_value(out.tag, "name", scratch);
    if (!name || *name != kFilterDatabase) return std::nullopt;
    const auto sheet = xml::attr_value(out.tag, "localSheetId", scratch);
    if (!sheet || !*sheet) return std::nullopt;
    const auto index = reader::parse_sheet_index(**sheet);
    if (!index || *index >= sheet_count) return std::nullopt;
    out.sheet = static_cast<size_t>(*index);
    if (out.tag.kind == xml::EventKind::Start) {
        auto value = reader::read_defined_name_text(tok);
        if (!value) return std::nullopt;
        out.value = std::move(*value);
    }
    return out;
}

// The kept element with `value` in place of its own.
std::string with_value(const xml::Event& tag, std::string_view value) {
    std::string out = "<" + std::string(tag.name) + std::string(tag.attrs) + ">";
    (void)xml::append_escaped_text(out, value);
    return out + "</" + std::string(tag.name) + ">";
}

}  // namespace

FilterNames plan_filter_names(const std::vector<Worksheet>& sheets, const std::vector<std::string>& kept) {
    FilterNames plan;
    plan.kept.resize(kept.size());
    plan.added.reserve(sheets.size());
    for (const Worksheet& ws : sheets) plan.added.push_back(filter_database_value(ws));
    std::vector<bool> named(sheets.size(), false);
    for (size_t i = 0; i < kept.size(); ++i) {
        const auto found = kept_filter_name(kept[i], sheets.size());
        if (!found) continue;
        const Worksheet& ws = sheets[found->sheet];
        const std::optional<std::string>& value = plan.added[found->sheet];
        named[found->sheet] = true;
        if (!ws.auto_filter_changed) continue;
        if (!value) {
            plan.kept[i] = std::string();
        } else if (range_of(found->value) != range_of(*ws.auto_filter)) {
            plan.kept[i] = with_value(found->tag, *value);
        }
    }
    for (size_t p = 0; p < sheets.size(); ++p)
        if (named[p]) plan.added[p].reset();
    return plan;
}

}  // namespace velmo::writer

#include "reader/workbook_rels.hpp"

#include <optional>
#include <unordered_map>

#include "reader/alternate_content.hpp"
#include "reader/namespaces.hpp"
#include "xml/number_parse.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

using xml::Event;
using xml::EventKind;

struct PendingSheet {
    std::string name;
    std::string rel_id;
    SheetState state;
};

// Any other state, or none, shows the sheet.
SheetState sheet_state_of(std::optional<std::string_view> text) {
    if (text == "hidden") return SheetState::Hidden;
    if (text == "veryHidden") return SheetState::VeryHidden;
    return SheetState::Visible;
}

// Both parts are read to their end; one cut short keeps what stands before the cut.
constexpr xml::TokenizerOptions kOptions{.allow_unclosed_at_eof = true};

Result<void> read_workbook_part(std::string_view doc, std::vector<PendingSheet>& sheets, SheetList& out) {
    xml::Tokenizer tok(doc, kOptions);
    PartWalk walk(tok);
    std::string scratch;
    Event ev;
    while (walk.next(ev)) {
        if (!ev.is_tag()) continue;
        if (ev.local_name == "workbookView") {
            auto tab = xml::attr_value(ev, "activeTab", scratch);
            if (!tab) return fail(tab.error());
            if (*tab) {
                if (auto n = xml::parse_u64(**tab)) out.active_tab = *n;
            }
        } else if (ev.local_name == "workbookPr") {
            auto flag = xml::attr_value(ev, "date1904", scratch);
            if (!flag) return fail(flag.error());
            if (*flag) out.date1904 = xml::parse_xml_bool(**flag);
        } else if (ev.local_name == "sheet") {
            auto id = relationship_id(ev, walk.ns(), "id");
            if (!id) return fail(id.error());
            auto name = xml::attr_string(ev, "name");
            if (!name) return fail(name.error());
            auto state = xml::attr_value(ev, "state", scratch);
            if (!state) return fail(state.error());
            if (*id && *name) sheets.push_back({std::move(**name), std::move(**id), sheet_state_of(*state)});
        }
    }
    if (!tok.ok()) return fail(tok.error());
    return {};
}

// Every relationship into `all`; the worksheet ones also by id, with the entry names they designate.
Result<std::unordered_map<std::string, std::string>> read_worksheet_rels(std::string_view doc,
                                                                         std::vector<SheetRelEntry>& all) {
    std::unordered_map<std::string, std::string> by_id;
    xml::Tokenizer tok(doc, kOptions);
    Event ev;
    while (tok.next(ev)) {
        if (!ev.is_tag() || ev.local_name != "Relationship") continue;
        auto type = xml::attr_string(ev, "Type");
        if (!type) return fail(type.error());
        if (!*type) continue;
        auto id = xml::attr_string(ev, "Id");
        if (!id) return fail(id.error());
        if (!*id) continue;
        auto target = xml::attr_string(ev, "Target");
        if (!target) return fail(target.error());
        if (!*target) continue;
        auto mode = xml::attr_string(ev, "TargetMode");
        if (!mode) return fail(mode.error());
        // Transitional and strict worksheet types both contain this; chart, dialog and macro sheets do not.
        if ((*type)->find("worksheet") != std::string::npos)
            by_id.insert_or_assign(**id, workbook_target_entry(**target));
        all.push_back({std::move(**id), std::move(**type), std::move(**target), std::move(*mode)});
    }
    if (!tok.ok()) return fail(tok.error());
    return by_id;
}

}  // namespace

std::string workbook_target_entry(std::string_view target) {
    if (target.starts_with('/')) return std::string(target.substr(1));
    if (target.starts_with("xl/")) return std::string(target);
    std::string out = "xl/";
    out.append(target);
    return out;
}

Result<SheetList> parse_sheet_refs(std::string_view workbook_xml, std::string_view rels_xml) {
    SheetList out;
    std::vector<PendingSheet> pending;
    if (auto r = read_workbook_part(workbook_xml, pending, out); !r) return fail(in_part(kWorkbookPart, r.error()));
    auto rels = read_worksheet_rels(rels_xml, out.relationships);
    if (!rels) return fail(in_part(kWorkbookRelsPart, rels.error()));

    out.sheets.reserve(pending.size());
    for (auto& s : pending) {
        auto it = rels->find(s.rel_id);
        if (it == rels->end()) return fail(VelmoError::missing_part("workbook relationship " + s.rel_id));
        out.sheets.push_back({std::move(s.name), it->second, s.state});
    }
    return out;
}

}  // namespace velmo::reader

#include "writer/workbook_carried.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "reader/workbook_elements.hpp"
#include "reader/workbook_rels.hpp"
#include "writer/namespaces.hpp"
#include "xml/tokenizer.hpp"
#include "xml/white_space.hpp"

namespace velmo::writer {
namespace {

std::string_view last_segment(std::string_view type) {
    const auto slash = type.rfind('/');
    return slash == std::string_view::npos ? type : type.substr(slash + 1);
}

// The relationship types a save writes itself, from the model. The worksheet test is the
// reader's: every type that names a worksheet.
bool is_regenerated_type(std::string_view type) {
    const std::string_view last = last_segment(type);
    return last == "styles" || last == "sharedStrings" || last == "calcChain" ||
           type.find("worksheet") != std::string_view::npos;
}

bool xml_can_carry(const SheetRelEntry& e) {
    for (const std::string* t : {&e.id, &e.rel_type, &e.target})
        if (xml::find_disallowed_char(*t)) return false;
    return !e.target_mode || !xml::find_disallowed_char(*e.target_mode);
}

// The local name of the element `xml` starts with.
std::string_view element_name(std::string_view xml) {
    if (xml.starts_with('<')) xml.remove_prefix(1);
    const auto end = xml.find_first_of(" \t\r\n/>");
    return xml::local_name_of(xml.substr(0, end));
}

// One kept child, brought in line with the save (write_kept_workbook_elements).
void write_kept(xml::XmlWriter& w, std::string_view xml, std::string_view name, uint64_t active_tab) {
    std::string patched;
    auto patch = [&](std::string_view tag, std::string_view attr, std::optional<std::string_view> value) {
        patched = with_attribute(xml, tag, attr, value);
        xml = patched;
    };
    if (name == "bookViews") {
        std::string tab;
        xml::append_u64(tab, active_tab);
        patch("workbookView", "activeTab", tab);
    } else if (name == "calcPr") {
        patch("calcPr", "fullCalcOnLoad", "1");
    }
    // Read wherever it stands, so taken out wherever it stands.
    if (xml.find("date1904") != std::string_view::npos) patch("workbookPr", "date1904", std::nullopt);
    w.raw(xml);
}

}  // namespace

WorkbookPlan plan_workbook_part(const Workbook& wb, bool carry) {
    WorkbookPlan plan;
    std::unordered_set<std::string_view> taken;
    if (carry) {
        for (const SheetRelEntry& e : wb.workbook_relationships) {
            if (is_regenerated_type(e.rel_type)) {
                if (last_segment(e.rel_type) == "calcChain" && e.target_mode != "External")
                    plan.dropped_entries.push_back(reader::workbook_target_entry(e.target));
                continue;
            }
            // A relationship XML cannot carry would make the part unreadable; a repeated id would
            // make it ambiguous.
            if (!xml_can_carry(e) || !taken.insert(e.id).second) continue;
            plan.kept_rels.push_back(e);
        }
        for (const WorkbookElement& e : wb.workbook_elements) {
            const std::string_view name = element_name(e.xml);
            (reader::workbook_child_rank(name) ? plan.elements : plan.unnamed).push_back({name, &e});
        }
        std::stable_sort(plan.elements.begin(), plan.elements.end(), [](const auto& a, const auto& b) {
            return *reader::workbook_child_rank(a.name) < *reader::workbook_child_rank(b.name);
        });
        plan.ignorable = &wb.workbook_ignorable;
    }
    // "rId1", "rId2", ... skipping the ids kept relationships hold.
    uint64_t n = 0;
    auto next_id = [&] {
        std::string id;
        do {
            id = xml::numbered("rId", ++n);
        } while (taken.contains(id));
        return id;
    };
    plan.styles_id = next_id();
    plan.sheet_ids.reserve(wb.sheets.size());
    for (size_t i = 0; i < wb.sheets.size(); ++i) plan.sheet_ids.push_back(next_id());
    plan.shared_strings_id = next_id();
    return plan;
}

void start_workbook_root(xml::XmlWriter& w, const WorkbookPlan& plan) {
    w.open("workbook").attr("xmlns", kMainNs).attr("xmlns:r", kOfficeRelsNs);
    if (plan.ignorable) declare_ignorable(w, *plan.ignorable);
    w.close_start();
}

bool write_kept_workbook_elements(xml::XmlWriter& w, const WorkbookPlan& plan, std::string_view name,
                                  uint64_t active_tab) {
    bool any = false;
    for (const KeptWorkbookElement& e : plan.elements) {
        if (e.name != name) continue;
        any = true;
        write_kept(w, e.element->xml, name, active_tab);
    }
    return any;
}

void write_workbook_elements_after(xml::XmlWriter& w, const WorkbookPlan& plan, std::string_view name) {
    for (const KeptWorkbookElement& e : plan.unnamed)
        if (e.element->follows == name) write_kept(w, e.element->xml, e.name, 0);
}

std::string with_attribute(std::string_view element, std::string_view tag, std::string_view attr,
                           std::optional<std::string_view> value) {
    std::string out;
    out.reserve(element.size() + attr.size() + 8);
    size_t done = 0;
    auto copy_to = [&](size_t at) {
        out.append(element.substr(done, at - done));
        done = at;
    };
    xml::Tokenizer tok(element, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true, .fragment = true});
    xml::Event ev;
    while (tok.next(ev)) {
        if (!ev.is_tag() || ev.local_name != tag) continue;
        xml::AttrIter it(ev);
        xml::Attribute a;
        bool found = false;
        for (auto more = it.next(a); more && *more; more = it.next(a)) {
            if (a.name == attr) {
                found = true;
                break;
            }
        }
        const size_t value_end = found ? a.offset + a.value.size() : 0;
        if (found && value) {
            copy_to(a.offset);
            out += *value;
            done = value_end;
        } else if (found) {
            // From the white space before the name through the closing quote.
            size_t begin = static_cast<size_t>(a.name.data() - element.data());
            while (begin > 0 && xml::is_space(element[begin - 1])) --begin;
            copy_to(begin);
            done = value_end + 1;
        } else if (value) {
            copy_to(ev.offset + 1 + ev.name.size());
            out += ' ';
            out += attr;
            out += "=\"";
            out += *value;
            out += '"';
        }
    }
    copy_to(element.size());
    return out;
}

}  // namespace velmo::writer

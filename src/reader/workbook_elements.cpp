#include "reader/workbook_elements.hpp"

#include <utility>

#include "reader/raw_element.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

// Whether kept XML holds what the model reads wherever it stands: written back beside the model's
// own, a sheet or a defined name would be read twice.
bool holds_modelled(std::string_view xml) {
    xml::Tokenizer tok(xml, xml::TokenizerOptions{.allow_unclosed_at_eof = true});
    xml::Event ev;
    while (tok.next(ev))
        if (ev.is_tag() && (ev.local_name == "sheet" || ev.local_name == "definedName")) return true;
    return false;
}

}  // namespace

std::optional<std::size_t> workbook_child_rank(std::string_view local_name) {
    for (std::size_t i = 0; i < kWorkbookChildOrder.size(); ++i)
        if (kWorkbookChildOrder[i] == local_name) return i;
    return std::nullopt;
}

Result<std::vector<std::string>> parse_workbook_elements(std::string_view doc) {
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    ElementScopes scopes;
    std::vector<std::string> out;
    std::array<bool, kWorkbookChildOrder.size()> seen{};
    xml::Event ev;
    while (tok.next(ev)) {
        if (ev.is_tag()) {
            scopes.enter(ev);
            const bool root_child = tok.depth() == (ev.kind == xml::EventKind::Start ? 2u : 1u);
            const auto rank = root_child ? workbook_child_rank(ev.local_name) : std::nullopt;
            const bool kept = rank && ev.local_name != "sheets" && ev.local_name != "definedNames" &&
                              (!seen[*rank] || ev.local_name == "fileRecoveryPr");
            if (kept) {
                seen[*rank] = true;
                auto raw = capture_raw_element(tok, scopes, ev);
                if (raw && !holds_modelled(*raw)) out.push_back(std::move(*raw));
            }
        }
        scopes.sync(tok.depth());
    }
    if (!tok.ok()) return fail(tok.error());
    return out;
}

}  // namespace velmo::reader

#include "reader/workbook_elements.hpp"

#include <array>
#include <utility>

#include "reader/alternate_content.hpp"
#include "reader/carried_elements.hpp"
#include "reader/ignorable.hpp"
#include "reader/namespaces.hpp"
#include "reader/raw_element.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

// What the model reads wherever it stands, and would read twice from a child kept whole.
constexpr std::array<std::string_view, 2> kReadAnywhere{"sheet", "definedName"};
// The root's children the model reads and the writer writes itself: alternatives holding one are
// not kept whole.
bool modelled(std::string_view local_name) { return local_name == "sheets" || local_name == "definedNames"; }

}  // namespace

std::optional<std::size_t> workbook_child_rank(std::string_view local_name) {
    for (std::size_t i = 0; i < kWorkbookChildOrder.size(); ++i)
        if (kWorkbookChildOrder[i] == local_name) return i;
    return std::nullopt;
}

Result<WorkbookElements> parse_workbook_elements(std::string_view doc) {
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    // Alternatives among the root's children are kept as they stand, unless they hold what the
    // model reads: then the children of the branch it reads are kept one by one.
    PartWalk walk(tok, {.whole_at = 2, .reads = modelled});
    WorkbookElements out;
    NamespaceBindings listed;  // what the root marks ignorable
    IgnorableLookup lookup;
    std::vector<bool> used;  // by a kept child
    std::array<bool, kWorkbookChildOrder.size()> seen{};
    std::string_view follows;  // the last child the schema names, so far
    xml::Event ev;
    while (walk.next(ev)) {
        if (!ev.is_tag()) continue;
        const std::size_t depth = walk.level();
        if (depth == 1) {
            listed = ignorable_namespaces(ev, walk.ns());
            lookup = IgnorableLookup(listed);
            used.assign(listed.size(), false);
        }
        if (depth != 2) continue;
        const auto rank = workbook_child_rank(ev.local_name);
        const bool kept = !rank || (ev.local_name != "sheets" && ev.local_name != "definedNames" &&
                                    (!seen[*rank] || ev.local_name == "fileRecoveryPr"));
        const std::string_view place = follows;
        if (rank) {
            seen[*rank] = true;
            follows = kWorkbookChildOrder[*rank];
        }
        if (ev.local_name == "definedNames" && !lookup.empty()) {
            // The names the model does not hold go back as they stand, with the prefixes they
            // use: those stay ignorable too.
            if (auto raw = capture_raw_element(tok, walk.ns(), ev))
                for (const std::size_t i : references(*raw, NamespaceScope{}, &lookup).ignorable) used[i] = true;
        } else if (kept) {
            // Looked through on its own, a captured child declares every prefix bound where it
            // stood but "r". It goes back unless a prefix is bound nowhere (the part would be
            // unreadable) or it holds what the model reads elsewhere.
            auto raw = capture_raw_element(tok, walk.ns(), ev);
            if (raw) {
                const References refs = references(*raw, NamespaceScope{}, &lookup, kReadAnywhere);
                if (!refs.unbound && !refs.refused) {
                    for (const std::size_t i : refs.ignorable) used[i] = true;
                    out.elements.push_back({std::move(*raw), std::string(place)});
                }
            }
        }
    }
    if (!tok.ok()) return fail(tok.error());
    for (std::size_t i = 0; i < listed.size(); ++i)
        if (used[i]) out.ignorable.push_back(std::move(listed[i]));
    return out;
}

}  // namespace velmo::reader

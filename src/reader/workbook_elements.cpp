#include "reader/workbook_elements.hpp"

#include <utility>

#include "reader/ignorable.hpp"
#include "reader/kept_namespaces.hpp"
#include "reader/namespaces.hpp"
#include "reader/raw_element.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

// The namespaces the root marks ignorable, and which of them the kept children use.
class IgnorableNamespaces {
public:
    void read_root(const xml::Event& root, const NamespaceScope& scope) {
        listed_ = ignorable_namespaces(root, scope);
        lookup_ = IgnorableLookup(listed_);
        state_.assign(listed_.size(), State::Unused);
    }

    // A name of a child in namespace `uri`; counted once the child is kept.
    void use(std::optional<std::string_view> uri) {
        const auto i = lookup_.find(uri);
        if (!i || state_[*i] != State::Unused) return;
        state_[*i] = State::Pending;
        pending_.push_back(*i);
    }
    void settle(bool kept) {
        for (const std::size_t i : pending_) state_[i] = kept ? State::Used : State::Unused;
        pending_.clear();
    }

    NamespaceBindings used() && {
        NamespaceBindings out;
        for (std::size_t i = 0; i < listed_.size(); ++i)
            if (state_[i] == State::Used) out.push_back(std::move(listed_[i]));
        return out;
    }

private:
    // Pending: used by the child being looked through.
    enum class State : unsigned char { Unused, Pending, Used };
    NamespaceBindings listed_;
    IgnorableLookup lookup_;
    std::vector<State> state_;
    std::vector<std::size_t> pending_;
};

// Looks through a captured child on its own, which declares every prefix bound where it stood
// but "r": whether it can go back (none of its prefixes is bound nowhere, which would make the
// part unreadable; it holds no sheet or defined name, which the model reads wherever they stand
// and which would be read twice), and which ignorable namespaces its names use.
bool can_go_back(std::string_view xml, IgnorableNamespaces& ignorable) {
    xml::Tokenizer tok(xml, xml::TokenizerOptions{.allow_unclosed_at_eof = true});
    NamespaceScope ns;
    std::string scratch;
    const auto use = [&](std::string_view prefix) {
        const auto uri = ns.uri_of(prefix);
        ignorable.use(uri);
        return uri || prefix.empty() || prefix == "r" || prefix == "xml";
    };
    xml::Event ev;
    while (tok.next(ev)) {
        if (ev.kind == xml::EventKind::End) ns.pop();
        if (!ev.is_tag()) continue;
        if (ev.local_name == "sheet" || ev.local_name == "definedName") return false;
        ns.open();
        xml::Attribute a;
        xml::AttrIter decls(ev);
        for (auto more = decls.next(a); more && *more; more = decls.next(a))
            if (const auto p = declared_prefix(a.name))
                if (auto uri = xml::decode(a.value, scratch, a.offset)) ns.bind(*p, *uri);
        if (!use(xml::prefix_of(ev.name))) return false;
        xml::AttrIter uses(ev);
        for (auto more = uses.next(a); more && *more; more = uses.next(a)) {
            const auto p = xml::prefix_of(a.name);
            if (p != "xmlns" && !use(p)) return false;
        }
        if (ev.kind == xml::EventKind::Empty) ns.pop();
    }
    return true;
}

}  // namespace

std::optional<std::size_t> workbook_child_rank(std::string_view local_name) {
    for (std::size_t i = 0; i < kWorkbookChildOrder.size(); ++i)
        if (kWorkbookChildOrder[i] == local_name) return i;
    return std::nullopt;
}

Result<WorkbookElements> parse_workbook_elements(std::string_view doc) {
    xml::Tokenizer tok(doc, xml::TokenizerOptions{.trim_text = false, .allow_unclosed_at_eof = true});
    ElementScopes scopes;
    WorkbookElements out;
    IgnorableNamespaces ignorable;
    std::array<bool, kWorkbookChildOrder.size()> seen{};
    std::string_view follows;  // the last child the schema names, so far
    xml::Event ev;
    while (tok.next(ev)) {
        if (ev.is_tag()) {
            scopes.enter(ev);
            const std::size_t depth = tok.depth() + (ev.kind == xml::EventKind::Empty ? 1 : 0);
            if (depth == 1) ignorable.read_root(ev, scopes.ns);
            if (depth == 2) {
                const auto rank = workbook_child_rank(ev.local_name);
                const bool kept = !rank || (ev.local_name != "sheets" && ev.local_name != "definedNames" &&
                                            (!seen[*rank] || ev.local_name == "fileRecoveryPr"));
                const std::string_view place = follows;
                if (rank) {
                    seen[*rank] = true;
                    follows = kWorkbookChildOrder[*rank];
                }
                if (kept) {
                    auto raw = capture_raw_element(tok, scopes, ev);
                    const bool keep = raw && can_go_back(*raw, ignorable);
                    ignorable.settle(keep);
                    if (keep) out.elements.push_back({std::move(*raw), std::string(place)});
                }
            }
        }
        scopes.sync(tok.depth());
    }
    if (!tok.ok()) return fail(tok.error());
    out.ignorable = std::move(ignorable).used();
    return out;
}

}  // namespace velmo::reader

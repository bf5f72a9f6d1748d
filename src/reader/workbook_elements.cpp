#include "reader/workbook_elements.hpp"

#include <unordered_map>
#include <utility>

#include "reader/kept_namespaces.hpp"
#include "reader/namespaces.hpp"
#include "reader/raw_element.hpp"
#include "xml/names.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

namespace {

// A prefix that can be declared on the written root as it stands: a name without a colon, none of
// the ones the writer binds itself.
bool is_portable_prefix(std::string_view p) {
    if (p == "xml" || p == "xmlns" || p == "r" || p == "mc") return false;
    return xml::is_name(p) && p.find(':') == std::string_view::npos;
}

// The namespaces the root marks ignorable, and which of them the kept children use.
class IgnorableNamespaces {
public:
    // Reads the root's "Ignorable" attribute of the markup-compatibility namespace; `scope` holds
    // the root's bindings.
    void read_root(const xml::Event& root, const NamespaceScope& scope) {
        xml::AttrIter it(root);
        xml::Attribute a;
        std::string scratch;
        for (auto more = it.next(a); more && *more; more = it.next(a)) {
            const auto prefix = xml::prefix_of(a.name);
            if (prefix.empty() || xml::local_name_of(a.name) != "Ignorable" ||
                scope.uri_of(prefix) != kMarkupCompatibilityNs)
                continue;
            auto value = xml::decode(a.value, scratch, a.offset);
            if (!value) return;
            for (const std::string_view p : listed_prefixes(*value)) {
                const auto uri = scope.uri_of(p);
                if (!uri || *uri == kMarkupCompatibilityNs || !is_portable_prefix(p)) continue;
                if (by_uri_.try_emplace(std::string(*uri), listed_.size()).second)
                    listed_.push_back({{std::string(p), std::string(*uri)}});
            }
            return;
        }
    }

    // A name of a child in namespace `uri`; counted once the child is kept.
    void use(std::optional<std::string_view> uri) {
        if (!uri) return;
        const auto it = by_uri_.find(*uri);
        if (it == by_uri_.end()) return;
        Listed& l = listed_[it->second];
        if (!l.used && !l.pending) {
            l.pending = true;
            pending_.push_back(it->second);
        }
    }
    void settle(bool kept) {
        for (const std::size_t i : pending_) {
            listed_[i].used = kept;
            listed_[i].pending = false;
        }
        pending_.clear();
    }

    std::vector<std::pair<std::string, std::string>> used() && {
        std::vector<std::pair<std::string, std::string>> out;
        for (auto& l : listed_)
            if (l.used) out.push_back(std::move(l.binding));
        return out;
    }

private:
    struct Listed {
        std::pair<std::string, std::string> binding;
        bool used = false;
        bool pending = false;  // used by the child being looked through
    };
    std::vector<Listed> listed_;
    std::vector<std::size_t> pending_;
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> by_uri_;
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

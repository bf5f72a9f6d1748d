#include "reader/ignorable.hpp"

#include <string>
#include <unordered_set>

#include "xml/names.hpp"

namespace velmo::reader {

namespace {

// A prefix that can be declared on a written root: a name without a colon, and neither of the
// ones XML reserves.
bool is_declarable(std::string_view p) {
    if (p == "xml" || p == "xmlns") return false;
    return xml::is_name(p) && p.find(':') == std::string_view::npos;
}

// The writer binds these on the root itself.
bool is_taken(std::string_view p) { return p == "r" || p == "mc"; }

bool may_be_ignored(std::string_view uri) {
    return uri != kMarkupCompatibilityNs && !is_spreadsheet_main_ns(uri) && uri != kRelationshipsNs &&
           uri != kStrictRelationshipsNs;
}

}  // namespace

NamespaceBindings ignorable_namespaces(const xml::Event& root, const NamespaceScope& scope) {
    NamespaceBindings out;
    xml::AttrIter it(root);
    xml::Attribute a;
    std::string scratch;
    for (auto more = it.next(a); more && *more; more = it.next(a)) {
        const auto prefix = xml::prefix_of(a.name);
        if (prefix.empty() || xml::local_name_of(a.name) != "Ignorable" || scope.uri_of(prefix) != kMarkupCompatibilityNs)
            continue;
        auto value = xml::decode(a.value, scratch, a.offset);
        if (!value) return out;
        std::unordered_set<std::string_view> seen;
        std::unordered_set<std::string> prefixes;
        std::vector<std::size_t> renamed;
        for (const std::string_view p : listed_prefixes(*value)) {
            const auto uri = scope.uri_of(p);
            if (!uri || !may_be_ignored(*uri) || !is_declarable(p) || !seen.insert(*uri).second) continue;
            if (is_taken(p)) renamed.push_back(out.size());
            out.emplace_back(p, *uri);
            prefixes.emplace(p);
        }
        // What the root lists under a prefix the writer binds otherwise goes under a new one:
        // carried XML declares its own prefixes, so the root's name for the namespace is free.
        std::size_t n = 0;
        for (const std::size_t i : renamed) {
            std::string fresh;
            do {
                fresh = "ns" + std::to_string(++n);
            } while (prefixes.contains(fresh));
            out[i].first = fresh;
        }
        return out;
    }
    return out;
}

IgnorableLookup::IgnorableLookup(const NamespaceBindings& listed) {
    by_uri_.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) by_uri_.try_emplace(listed[i].second, i);
}

}  // namespace velmo::reader

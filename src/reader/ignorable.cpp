#include "reader/ignorable.hpp"

#include <unordered_set>

#include "xml/names.hpp"

namespace velmo::reader {

namespace {

// A prefix that can be declared on a written root as it stands: a name without a colon, none of
// the ones the writer binds itself.
bool is_portable_prefix(std::string_view p) {
    if (p == "xml" || p == "xmlns" || p == "r" || p == "mc") return false;
    return xml::is_name(p) && p.find(':') == std::string_view::npos;
}

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
        for (const std::string_view p : listed_prefixes(*value)) {
            const auto uri = scope.uri_of(p);
            if (!uri || !may_be_ignored(*uri) || !is_portable_prefix(p)) continue;
            if (seen.insert(*uri).second) out.emplace_back(p, *uri);
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

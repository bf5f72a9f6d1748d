#include "reader/namespaces.hpp"

#include <utility>

#include "xml/attribute_value.hpp"

namespace velmo::reader {

std::vector<std::string_view> listed_prefixes(std::string_view list) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t start = list.find_first_not_of(" \t\r\n");
        if (start == std::string_view::npos) return out;
        list.remove_prefix(start);
        out.push_back(list.substr(0, list.find_first_of(" \t\r\n")));
        list.remove_prefix(out.back().size());
    }
}

Result<void> NamespaceScope::push(const xml::Event& ev, bool default_too) {
    open();
    xml::AttrIter it(ev);
    xml::Attribute a;
    std::string scratch;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(more.error());
        if (!*more) break;
        const bool is_default = default_too && a.name == "xmlns";
        if (!is_default && !a.name.starts_with("xmlns:")) continue;
        auto value = xml::decode_attribute(a.value, scratch, a.offset);
        if (!value) return fail(value.error());
        bind(is_default ? std::string_view{} : a.name.substr(6), *value);
    }
    return {};
}

void NamespaceScope::bind(std::string_view prefix, std::string_view uri) {
    const std::size_t index = bindings_.size();
    auto [slot, inserted] = innermost_.try_emplace(std::string(prefix), index);
    const std::size_t shadowed = inserted ? kNone : std::exchange(slot->second, index);
    bindings_.push_back({std::string(prefix), std::string(uri), shadowed});
}

void NamespaceScope::pop() {
    if (marks_.empty()) return;
    while (bindings_.size() > marks_.back()) {
        const Binding& b = bindings_.back();
        if (b.shadowed == kNone) {
            innermost_.erase(b.prefix);
        } else {
            innermost_.find(b.prefix)->second = b.shadowed;
        }
        bindings_.pop_back();
    }
    marks_.pop_back();
}

std::optional<std::string_view> NamespaceScope::uri_of(std::string_view prefix) const {
    const auto it = innermost_.find(prefix);
    if (it == innermost_.end()) return outer_ ? outer_->uri_of(prefix) : std::nullopt;
    return std::string_view(bindings_[it->second].uri);
}

Result<std::optional<std::string>> NamespaceScope::attr(const xml::Event& ev, std::string_view uri,
                                                        std::string_view local) const {
    xml::AttrIter it(ev);
    xml::Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more) return fail(more.error());
        if (!*more) return std::optional<std::string>{};
        const auto colon = a.name.find(':');
        if (colon == std::string_view::npos || a.name.substr(colon + 1) != local) continue;
        const auto prefix = a.name.substr(0, colon);
        if (prefix == "xmlns") continue;
        if (uri_of(prefix) != uri) continue;
        std::string scratch;
        auto value = xml::decode(a.value, scratch, a.offset);
        if (!value) return fail(value.error());
        return std::optional<std::string>(std::string(*value));
    }
}

Result<std::optional<std::string>> relationship_id(const xml::Event& ev, const NamespaceScope& scope,
                                                   std::string_view fallback_name) {
    for (std::string_view ns : {kRelationshipsNs, kStrictRelationshipsNs}) {
        auto v = scope.attr(ev, ns, "id");
        if (!v) return v;
        if (*v) return v;
    }
    auto v = xml::attr_string(ev, "r:id");
    if (!v || *v || fallback_name.empty()) return v;
    return xml::attr_string(ev, fallback_name);
}

}  // namespace velmo::reader

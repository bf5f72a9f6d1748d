#pragma once
// The namespaces a part's root marks ignorable (its markup-compatibility "Ignorable" list), for a
// save to declare and mark again, on the root it writes, those that what it carries uses.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// (prefix, namespace) pairs.
using NamespaceBindings = std::vector<std::pair<std::string, std::string>>;

// The pairs the "Ignorable" attribute of `root` lists, in its order, under the first prefix listed
// for each namespace; `scope` holds the root's bindings. A namespace listed under "r" or "mc",
// which a written root binds itself, gets a prefix of its own ("ns1", ...). Left out: a prefix
// bound nowhere or that cannot be declared, and one bound to the markup-compatibility, main or
// relationships namespace (marked ignorable again, those would let a consumer skip what it must
// read). Empty without a list, or with one that does not decode.
NamespaceBindings ignorable_namespaces(const xml::Event& root, const NamespaceScope& scope);

// Finds the entries of such a list by namespace.
class IgnorableLookup {
public:
    IgnorableLookup() = default;
    explicit IgnorableLookup(const NamespaceBindings& listed);
    bool empty() const { return by_uri_.empty(); }
    // The position in the list of the namespace `uri`, when it is listed.
    std::optional<std::size_t> find(std::optional<std::string_view> uri) const {
        if (!uri) return std::nullopt;
        const auto it = by_uri_.find(*uri);
        return it == by_uri_.end() ? std::nullopt : std::optional(it->second);
    }

private:
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> by_uri_;
};

}  // namespace velmo::reader

#pragma once
// Namespace-aware attribute look-up for the few attributes that live in a namespace (the
// relationship id of a sheet or a hyperlink). Files may bind that namespace to any prefix, so
// matching the literal "r:id" alone would miss them.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/error.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The relationships namespace of transitional packages, and of strict ones.
inline constexpr std::string_view kRelationshipsNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kStrictRelationshipsNs = "http://purl.oclc.org/ooxml/officeDocument/relationships";

// The main spreadsheet namespace, transitional or strict.
inline constexpr std::string_view kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view kStrictMainNs = "http://purl.oclc.org/ooxml/spreadsheetml/main";
constexpr bool is_spreadsheet_main_ns(std::string_view uri) { return uri == kMainNs || uri == kStrictMainNs; }

// The markup-compatibility namespace: alternate content and the list of ignorable namespaces.
inline constexpr std::string_view kMarkupCompatibilityNs = "http://schemas.openxmlformats.org/markup-compatibility/2006";

// The prefixes of a markup-compatibility list ("Ignorable", "Requires"): separated by white space.
std::vector<std::string_view> listed_prefixes(std::string_view list);

// Hashes std::string keys so that they can be looked up by std::string_view.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Tracks the prefix bindings (xmlns:p="uri") in scope while a reader walks a document.
// Feed it every tag: push() on Start and Empty (before reading the tag's attributes),
// pop() on End and right after handling an Empty.
class NamespaceScope {
public:
    // With `default_too`, a default namespace the tag declares binds the prefix "" as well.
    Result<void> push(const xml::Event& ev, bool default_too = false);
    void pop();
    // What push() does, for a reader that reads the declarations itself: open() a tag, then
    // bind() each prefix it declares ("" for the default namespace, which push() leaves out).
    void open() { marks_.push_back(bindings_.size()); }
    void bind(std::string_view prefix, std::string_view uri);

    // An empty scope whose look-ups fall back on `outer`, which must outlive it: a reader that
    // captures element after element under one scope would otherwise copy every binding in it
    // for each, and a root can declare tens of thousands.
    static NamespaceScope over(const NamespaceScope& outer) {
        NamespaceScope s;
        s.outer_ = &outer;
        return s;
    }

    // The namespace bound to `prefix` in the current scope, if any.
    std::optional<std::string_view> uri_of(std::string_view prefix) const;

    // The decoded value of the first attribute of `ev` named "p:local" whose prefix p is bound
    // to `uri` (ev must be the tag last pushed). Unprefixed attributes are in no namespace.
    Result<std::optional<std::string>> attr(const xml::Event& ev, std::string_view uri, std::string_view local) const;

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Binding {
        std::string prefix;
        std::string uri;
        std::size_t shadowed;  // the binding of the same prefix this one hides, or kNone
    };
    std::vector<Binding> bindings_;
    std::vector<std::size_t> marks_;  // bindings_.size() at each open tag
    // The innermost binding of each prefix, so that a look-up does not scan every declaration in
    // scope: a file can declare tens of thousands and then look up on every element.
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> innermost_;
    const NamespaceScope* outer_ = nullptr;
};

// The relationship id of a tag: an "id" attribute in the relationships namespace under whatever
// prefix, else a literal "r:id" (files that never declare the prefix), else `fallback_name`
// (unqualified) when given.
Result<std::optional<std::string>> relationship_id(const xml::Event& ev, const NamespaceScope& scope,
                                                   std::string_view fallback_name = {});

}  // namespace velmo::reader

#pragma once
// Element XML that a reader keeps without interpreting it, so that the writer can put it back
// in a part of its own making.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/error.hpp"
#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The prefix an "xmlns" or "xmlns:p" attribute declares ("" for the default namespace), or
// none when the attribute is not a declaration.
std::optional<std::string_view> declared_prefix(std::string_view attr_name);

// Attributes (name, value) of the element that kept XML is written into; declarations among
// them bind prefixes for the kept XML.
using HostAttributes = std::vector<std::pair<std::string, std::string>>;

// Serialises a run of sibling elements, fed event by event, as XML that stays well-formed
// inside the part the writer produces: a prefix bound to the main spreadsheet namespace is
// dropped from element names (the writer's default namespace is that one), and every other
// prefix the kept XML uses gets its declaration carried along on the outermost kept element. A
// prefix bound nowhere, a bad escape and invalid UTF-8 are XML errors naming `what` (for
// example "a conditional formatting rule").
class KeptXml {
public:
    // `outer` holds the bindings in force where the kept elements stand; it must outlive this.
    KeptXml(const NamespaceScope& outer, std::string what) : outer_(outer), what_(std::move(what)) {}

    void reset();
    // Kept elements open; 0 between two of them.
    size_t depth() const { return names_.size(); }

    // A start tag (`empty` false) or a self-closing tag of a kept element, at any depth.
    Result<void> open(const xml::Event& ev, bool empty, const HostAttributes& host);
    // The end tag of the innermost open kept element.
    void close();
    // A Text or CData event inside a kept element.
    Result<void> text(const xml::Event& ev);

    // The XML kept since the last take() or reset(); it starts again empty.
    Result<std::string> take();

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct Decl {
        std::string prefix;  // "" for the default namespace
        std::string uri;
        size_t depth;
        size_t shadowed;  // the declaration of the same prefix this one hides, or kNone
    };
    // Hashes std::string keys so that they can be looked up by std::string_view.
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    template <class V>
    using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

    void clear_carried();
    void close_scope(size_t depth);
    const std::string* inner_uri(std::string_view prefix) const;
    const std::string* host_decl(const HostAttributes& host, std::string_view prefix);
    bool default_is_main(const HostAttributes& host);
    Result<void> need(std::string_view prefix, bool element, const HostAttributes& host, std::string_view where,
                      bool& drop);

    const NamespaceScope& outer_;
    std::string what_;
    std::string xml_;
    std::string scratch_;
    std::vector<Decl> inner_;
    TextMap<size_t> inner_index_;  // prefix -> its innermost declaration in inner_
    std::optional<TextMap<size_t>> host_decls_;  // prefix -> host attribute index, built on first use
    std::vector<std::string> names_;  // output names of the open kept elements
    std::vector<std::pair<std::string, std::string>> carried_;
    std::unordered_set<std::string, TextHash, std::equal_to<>> carried_names_;
    std::vector<std::string_view> prefixed_;
    size_t insert_at_ = 0;  // just after the outermost kept element's name
};

// An unbound-prefix error for an element or attribute of `where`, inside `what`.
VelmoError unbound_prefix(std::string_view prefix, std::string_view where, std::string_view what);

}  // namespace velmo::reader

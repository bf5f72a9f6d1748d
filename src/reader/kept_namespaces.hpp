#pragma once
// The namespaces of XML that a reader keeps as written and a save moves into a part of its own,
// whose root binds the main spreadsheet namespace as default: the bindings the kept XML makes
// itself, and the declarations it needs carried from where it stood.

#include <cstddef>
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

// Appends `s` escaped for a quoted attribute value (& < " tab LF CR and, when `gt`, >).
void append_escaped(std::string& out, std::string_view s, bool gt = true);

class KeptNamespaces {
public:
    // Where the two kinds of kept XML part ways. The defaults are those of XML re-serialised
    // event by event (KeptXml); a raw copy (capture_raw_element) sets all three the other way.
    struct Landing {
        bool root_binds_r = false;  // the root binds "r" to relationships: such an "r" needs nothing
        bool carries_xmlns = true;  // a prefix named "xmlns" gets a declaration like any other
        bool escape_gt = true;      // carried namespace names escape '>'
    };
    enum class Need { Met, Drop, Unbound };

    // `source` holds the bindings in force where the kept XML stands; it must outlive this.
    KeptNamespaces(const NamespaceScope& source, Landing landing) : source_(source), landing_(landing) {}

    void reset();
    // A tag of the kept XML: binds what it declares and lists in attribute_prefixes() the
    // prefixes its other attributes use. Values are copied as written, so each must decode. The
    // tag is open for close() even when this fails.
    Result<void> open(const xml::Event& ev);
    const std::vector<std::string_view>& attribute_prefixes() const { return used_; }
    void close() { inner_.pop(); }

    // The namespace `prefix` names at this point of the kept XML.
    std::optional<std::string_view> uri_of(std::string_view prefix) const;

    // What a prefix the kept XML uses (in an element's name when `element`) needs where it
    // lands, `host` being the element it is written into: Met, having noted any declaration to
    // carry; Drop, to write the element's name unprefixed as it is in the main namespace; or
    // Unbound, bound nowhere.
    Need need(std::string_view prefix, bool element, const HostAttributes* host = nullptr);
    // A markup-compatibility choice names in a value the prefixes it requires ("x14"): unbound
    // where the element lands, they would make an application skip the choice. Notes what the
    // tag `ev` (opened last) requires.
    void need_required(const xml::Event& ev, const HostAttributes* host = nullptr);

    // Inserts the declarations to carry into `xml` at `at`, just after the outermost kept
    // element's name, and forgets them.
    void write_carried(std::string& xml, std::size_t at);

private:
    const std::string* host_decl(const HostAttributes* host, std::string_view prefix);
    bool default_is_main(const HostAttributes* host);

    const NamespaceScope& source_;
    Landing landing_;
    NamespaceScope inner_;  // the bindings made inside the kept XML, "" for a default namespace
    std::string scratch_;
    std::vector<std::string_view> used_;
    // Prefix -> its first declaration among the host's attributes, built on first use.
    std::optional<std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>> host_decls_;
    std::vector<std::pair<std::string, std::string>> carried_;
    std::unordered_set<std::string, TextHash, std::equal_to<>> carried_names_;
};

}  // namespace velmo::reader

#pragma once
// Element XML that a reader keeps without interpreting it, so that the writer can put it back
// in a part of its own making.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/error.hpp"
#include "reader/kept_namespaces.hpp"
#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// Serialises a run of sibling elements, fed event by event, as XML that stays well-formed
// inside the part the writer produces: a prefix bound to the main spreadsheet namespace is
// dropped from element names (the writer's default namespace is that one), and every other
// prefix the kept XML uses gets its declaration carried along on the outermost kept element. A
// prefix bound nowhere, a bad escape and invalid UTF-8 are XML errors naming `what` (for
// example "a conditional formatting rule").
class KeptXml {
public:
    // `outer` holds the bindings in force where the kept elements stand; it must outlive this.
    KeptXml(const NamespaceScope& outer, std::string what) : ns_(outer, {}), what_(std::move(what)) {}

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
    // The same appended to `out`, keeping this buffer for the next elements; nothing is
    // appended on an error.
    Result<void> take_into(std::string& out);

private:
    void close_scope(size_t depth);

    KeptNamespaces ns_;
    std::string what_;
    std::string xml_;
    std::string scratch_;
    std::vector<std::string> names_;  // output names of the open kept elements
    size_t insert_at_ = 0;            // just after the outermost kept element's name
};

// An unbound-prefix error for an element or attribute of `where`, inside `what`.
VelmoError unbound_prefix(std::string_view prefix, std::string_view where, std::string_view what);

}  // namespace velmo::reader

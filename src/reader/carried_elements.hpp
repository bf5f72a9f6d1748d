#pragma once
// Keeping the children of a worksheet element that the model does not hold, as the source's own
// bytes, for the writer to put back at their place.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.hpp"
#include "model/sheet_settings.hpp"
#include "reader/ignorable.hpp"
#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The kind of a child of the worksheet element named `local_name`; Other for a name the schema
// does not list.
SheetChild sheet_child_of(std::string_view local_name);

// Whether a save carries a child of that kind: the model reads and writes the others itself, and
// the dimension is left out (a save works it out anew). The sheet reader carries the auto filter
// beside the range it reads from it.
bool is_carried(SheetChild kind);

// What the element `source` refers to outside itself, `scope` holding the bindings there: the
// relationship ids it names, whether it uses a prefix bound nowhere (copied, it would make the
// part unreadable), and the namespaces of `ignorable` that its element and attribute names use.
// An "r" bound nowhere means the relationships namespace, as the part the element lands in binds
// it.
// With `refused`, whether it holds an element of one of those local names (the look stops there).
struct References {
    std::vector<std::string> rel_ids;
    bool unbound = false;
    std::vector<std::size_t> ignorable;  // positions in the list, ascending, each once
    bool refused = false;
};
References references(std::string_view source, const NamespaceScope& scope, const IgnorableLookup* ignorable = nullptr,
                      std::span<const std::string_view> refused = {});

struct CapturedElement {
    std::string_view source;  // the element in the part, from its start tag to its end tag
    // What to write back (capture_raw_element, for a root that binds "r" to relationships); none
    // when it cannot be carried (a bad escape, invalid UTF-8, a prefix bound nowhere, an element
    // cut off by the end of the part): it is then left out.
    std::optional<CarriedElement> element;
};

// Reads the element whose start or self-closing tag `start` the tokenizer has just returned, up to
// and including its end tag. `scope` holds the bindings in force at the element; `ignorable`, when
// given, the root's ignorable namespaces, which the element notes it uses. The element's `kind`
// and `place` are left for the caller. Fails only with the tokenizer's XML errors.
Result<CapturedElement> capture_element(xml::Tokenizer& tok, const xml::Event& start, const NamespaceScope& scope,
                                        const IgnorableLookup* ignorable = nullptr);

}  // namespace velmo::reader

#pragma once
// An element of the workbook part that the model does not represent, kept as its source XML so
// that a save can put it back: raw defined names, and the workbook settings the model does not
// hold.

#include <cstddef>
#include <string>

#include "model/error.hpp"
#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The namespace bindings in force, kept in step with the tokenizer's open elements: enter() every
// tag, then sync() to the tokenizer's depth after every event. Bindings only matter to the raw
// capture, so a tag whose attributes do not scan simply binds what it could.
struct ElementScopes {
    NamespaceScope ns;
    std::size_t depth = 0;

    void enter(const xml::Event& ev) {
        (void)ns.push(ev);
        ++depth;
    }
    void sync(std::size_t open) {
        while (depth > open) {
            ns.pop();
            --depth;
        }
    }
};

// The element whose tag `root` the tokenizer has just returned (and `scopes` entered), read to its
// end tag and written back as XML text for a part whose root binds the main namespace as default
// and "r" to relationships: a prefix bound to the main namespace is dropped from element names, any
// other prefix bound outside the element gets its declaration carried on the element, and
// everything else (attributes, texts, comments) stays as it stood. InvalidFormat when the document
// ends inside the element, the text is not UTF-8, or it holds what the tokenizer lets through but
// a parser refuses (a name XML does not allow, an attribute twice, a bad declaration, comment or
// processing instruction, a DOCTYPE, "]]>" in a text).
Result<std::string> capture_raw_element(xml::Tokenizer& tok, ElementScopes& scopes, const xml::Event& root);
// The same for a reader whose `scope` holds the bindings in force at `root`, its own included.
Result<std::string> capture_raw_element(xml::Tokenizer& tok, const NamespaceScope& scope, const xml::Event& root);

// Whether whole elements, as a tokenizer matched them from their start tags to their end tags, can
// be kept as their bytes stand, sparing the capture above: every name is ASCII without a prefix
// (xml:space aside), nothing declares a namespace, no tag names an attribute twice, every attribute
// and reference reads well, no text holds "]]>", every character can be carried, and there is no
// comment, CDATA section or processing instruction. False leaves the
// decision to the capture. The elements of one part mostly open with the same tags (a note's run
// properties), so the tags that opened the last plain element are remembered and not looked at
// again.
class PlainElements {
public:
    bool plain(std::string_view element);

private:
    std::string opening_;  // the tags before the first text of the last plain element
    std::string scratch_;
};


}  // namespace velmo::reader

#pragma once
// Reading one conditionalFormatting block of a worksheet part. What the model edits (type,
// operator, priority, stop flag, differential format, formulas) is modelled; a rule's other
// attributes and child elements are kept so the writer can put them back.

#include <span>

#include "model/conditional_formatting.hpp"
#include "model/error.hpp"
#include "model/styles.hpp"
#include "reader/namespaces.hpp"
#include "xml/tokenizer.hpp"

namespace velmo::reader {

// The rule a cfRule tag describes, with no formulas and no kept children. Attributes other than
// type, operator, priority, stopIfTrue and dxfId are kept as (name, value) pairs; `dxf` is a copy
// of dxfs[dxfId] when that exists.
Result<ConditionalRule> parse_cf_rule_attrs(const xml::Event& tag, std::span<const Dxf> dxfs);

// Reads the block whose start tag `start` the tokenizer has just returned, up to and including
// its end tag (or the end of the input). `scope` holds the namespace bindings in force at the
// block (its own tag's declarations included).
//
// Kept child elements are stored as XML that stays well-formed inside the worksheet the writer
// produces: a prefix bound to the main spreadsheet namespace is dropped from element names
// (the writer's default namespace is that one), and every other prefix the kept XML or the
// rule's own attributes use gets its declaration carried along: on the outermost kept element,
// or as an extra "xmlns:p" attribute of the rule. A prefix bound nowhere, a bad escape and
// invalid UTF-8 are XML errors.
Result<ConditionalFormatting> parse_conditional_formatting(xml::Tokenizer& tok, const xml::Event& start,
                                                           std::span<const Dxf> dxfs, const NamespaceScope& scope);

// Appends the trimmed, unescaped content of a Text event, or a CDATA section literally, to `out`
// (space, tab, CR and LF dropped at both ends of a text; an empty remainder adds nothing).
Result<void> append_element_text(const xml::Event& ev, std::string& out);

}  // namespace velmo::reader

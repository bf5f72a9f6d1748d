#pragma once
// Refusing texts that no XML 1.0 document can carry, before they reach a part. The XML writer
// would write them anyway; checking first lets a save fail naming the sheet and item concerned.

#include <string>
#include <string_view>

#include "model/error.hpp"
#include "xml/utf8.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

// The InvalidFormat error for `bad` found in a text of the item that `where` describes
// ("sheet \"Data\" cell B2").
VelmoError disallowed_text_error(std::string_view where, const xml::DisallowedChar& bad);

// Succeeds when `text` is valid UTF-8 free of characters XML does not allow; otherwise
// InvalidFormat naming the item. `where` is only called on failure, so callers can build the
// description lazily.
template <class Where>
Result<void> check_xml_text(std::string_view text, Where&& where) {
    if (const auto bad = xml::find_disallowed_char(text)) return fail(disallowed_text_error(where(), *bad));
    return {};
}

// The same for texts written with hex escapes (XmlWriter::hex_text), which carry every character:
// only invalid UTF-8 is refused.
template <class Where>
Result<void> check_utf8_text(std::string_view text, Where&& where) {
    if (const auto bad = xml::check_utf8(text))
        return fail(disallowed_text_error(
            where(), {bad->valid_up_to, static_cast<unsigned char>(text[bad->valid_up_to]), true}));
    return {};
}

// `sheet "Title"`, the prefix of every message about a worksheet's content.
std::string sheet_label(std::string_view sheet_name);

}  // namespace velmo::writer

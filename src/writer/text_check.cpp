#include "writer/text_check.hpp"

#include <charconv>

#include "model/quoted.hpp"

namespace velmo::writer {

namespace {

void append_hex(std::string& out, std::uint32_t v, int min_digits) {
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, 16);
    (void)ec;
    for (int n = static_cast<int>(end - buf); n < min_digits; ++n) out += '0';
    for (char* p = buf; p != end; ++p) out += static_cast<char>(*p >= 'a' ? *p - 'a' + 'A' : *p);
}

}  // namespace

VelmoError disallowed_text_error(std::string_view where, const xml::DisallowedChar& bad) {
    std::string msg(where);
    if (bad.invalid_utf8) {
        msg += ": text is not valid UTF-8 (byte 0x";
        append_hex(msg, bad.code_point, 2);
        msg += " at offset ";
    } else {
        msg += ": text holds U+";
        append_hex(msg, bad.code_point, 4);
        msg += ", which XML does not allow (offset ";
    }
    msg += std::to_string(bad.offset);
    msg += ')';
    return VelmoError::invalid_format(std::move(msg));
}

std::string sheet_label(std::string_view sheet_name) { return "sheet " + quoted(sheet_name); }

}  // namespace velmo::writer

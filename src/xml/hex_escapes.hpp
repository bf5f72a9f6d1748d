#pragma once
// The packages' own escape inside text: `_xHHHH_` (a lower-case x, four hex digits of either case)
// stands for the UTF-16 code unit HHHH, so that cell text and notes can hold characters XML cannot
// carry; `_x005F_` is an escaped underscore, which keeps a literal `_xHHHH_` from reading as one.
// Readers decode it in the texts that use it; writers escape those texts the other way
// (append_hex_escaped_text in xml_writer.hpp).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::xml {

// The slow path of decode_hex_escapes, from the first underscore it found.
void decode_hex_escapes_after(std::string& text, std::size_t underscore);

// Replaces the escapes in `text` from byte `from` on by their characters, in place. A high and a
// low surrogate escaped one after the other become the character they encode. A lone surrogate,
// and anything that is not exactly `_x`, four hex digits and `_`, stays as written, so the result
// is valid UTF-8 when `text` is. Inline, so that a text without an underscore costs one memchr.
inline void decode_hex_escapes(std::string& text, std::size_t from = 0) {
    if (from >= text.size()) return;
    if (const void* u = std::memchr(text.data() + from, '_', text.size() - from))
        decode_hex_escapes_after(text, static_cast<std::size_t>(static_cast<const char*>(u) - text.data()));
}

// A character the writer stores as an escape: a control character XML does not allow (all below
// U+0020 but tab, line feed and carriage return), U+FFFE or U+FFFF.
struct EscapedChar {
    char16_t unit;
    std::uint8_t bytes;  // its length in `text`
};
// The character at `text[i]` when it is one of those.
inline std::optional<EscapedChar> escaped_char_at(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20) {
        if (b == '\t' || b == '\n' || b == '\r') return std::nullopt;
        return EscapedChar{b, 1};
    }
    // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
    if (b == 0xEF && text.size() - i >= 3 && static_cast<unsigned char>(text[i + 1]) == 0xBF) {
        const auto last = static_cast<unsigned char>(text[i + 2]);
        if (last == 0xBE) return EscapedChar{0xFFFE, 3};
        if (last == 0xBF) return EscapedChar{0xFFFF, 3};
    }
    return std::nullopt;
}

// Whether the underscore at `text[i]` must be written as `_x005F_`: it starts `_x` and four hex
// digits followed by what is written as an underscore (one, or a character written as an escape),
// which would otherwise read back as an escape.
bool underscore_needs_escape(std::string_view text, std::size_t i);

// Appends `_xHHHH_`, upper-case digits.
void append_hex_escape(std::string& out, char16_t unit);

}  // namespace velmo::xml

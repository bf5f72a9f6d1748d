#include "xml/hex_escapes.hpp"

#include <cstring>

#include "model/utf8.hpp"

namespace velmo::xml {

namespace {

constexpr std::size_t kEscapeBytes = 7;  // "_x" HHHH "_"

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The code unit of the "_x" and four hex digits at `i`, whatever follows them.
std::optional<char16_t> unit_head_at(std::string_view s, std::size_t i) {
    if (s.size() - i < kEscapeBytes - 1 || s[i] != '_' || s[i + 1] != 'x') return std::nullopt;
    unsigned unit = 0;
    for (std::size_t k = 2; k < kEscapeBytes - 1; ++k) {
        const int d = hex_digit(s[i + k]);
        if (d < 0) return std::nullopt;
        unit = unit << 4 | static_cast<unsigned>(d);
    }
    return static_cast<char16_t>(unit);
}

// The code unit of a whole escape at `i`.
std::optional<char16_t> unit_at(std::string_view s, std::size_t i) {
    if (i >= s.size() || s.size() - i < kEscapeBytes || s[i + kEscapeBytes - 1] != '_') return std::nullopt;
    return unit_head_at(s, i);
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The character of the escape (or escaped surrogate pair) at `i` and the bytes it takes; none for
// a lone surrogate or no escape at all.
std::optional<std::pair<char32_t, std::size_t>> escaped_at(std::string_view s, std::size_t i) {
    const auto unit = unit_at(s, i);
    if (!unit || is_low_surrogate(*unit)) return std::nullopt;
    if (!is_high_surrogate(*unit)) return std::pair{char32_t{*unit}, kEscapeBytes};
    const auto low = unit_at(s, i + kEscapeBytes);
    if (!low || !is_low_surrogate(*low)) return std::nullopt;
    const char32_t cp = 0x10000 + ((char32_t{*unit} - 0xD800) << 10) + (char32_t{*low} - 0xDC00);
    return std::pair{cp, 2 * kEscapeBytes};
}

}  // namespace

void decode_hex_escapes_after(std::string& text, std::size_t underscore) {
    std::size_t read = text.find("_x", underscore);
    if (read == std::string::npos) return;
    // In place: an escape's character never takes more bytes than the escape, so what is written
    // never overtakes what is still to read.
    std::size_t write = read;
    std::string ch;
    while (read < text.size()) {
        const auto found = escaped_at(text, read);
        if (found) {
            ch.clear();
            utf8::append(ch, found->first);
            std::memcpy(text.data() + write, ch.data(), ch.size());
            write += ch.size();
            read += found->second;
        } else {
            text[write++] = text[read++];  // the underscore of something that is not an escape
        }
        std::size_t next = text.find("_x", read);
        if (next == std::string::npos) next = text.size();
        std::memmove(text.data() + write, text.data() + read, next - read);
        write += next - read;
        read = next;
    }
    text.resize(write);
}

bool underscore_needs_escape(std::string_view text, std::size_t i) {
    if (!unit_head_at(text, i)) return false;
    const std::size_t after = i + kEscapeBytes - 1;
    return after < text.size() && (text[after] == '_' || escaped_char_at(text, after));
}

void append_hex_escape(std::string& out, char16_t unit) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    const char escape[kEscapeBytes] = {'_', 'x', kDigits[unit >> 12], kDigits[(unit >> 8) & 0xF],
                                       kDigits[(unit >> 4) & 0xF], kDigits[unit & 0xF], '_'};
    out.append(escape, kEscapeBytes);
}

}  // namespace velmo::xml

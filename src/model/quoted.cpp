#include "model/quoted.hpp"

#include <charconv>

#include <utf8proc.h>

#include "model/utf8.hpp"

namespace velmo {

namespace {

bool is_grapheme_extend(char32_t cp) {
    // The grapheme-break class Extend is Grapheme_Extend plus the emoji skin-tone modifiers.
    if (cp >= 0x1F3FB && cp <= 0x1F3FF) return false;
    return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->boundclass == UTF8PROC_BOUNDCLASS_EXTEND;
}

bool needs_unicode_escape(char32_t cp) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_ZS:
        return cp != U' ';
    default:
        return is_grapheme_extend(cp);
    }
}

void append_unicode_escape(std::string& out, char32_t cp) {
    char hex[8];
    const auto res = std::to_chars(hex, hex + sizeof hex, static_cast<uint32_t>(cp), 16);
    out.append("\\u{");
    out.append(hex, static_cast<size_t>(res.ptr - hex));
    out.push_back('}');
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        // Printable ASCII is by far the common case and needs no table look-up.
        if (c >= 0x20 && c < 0x7F) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(c);
            ++i;
            continue;
        }
        switch (c) {
        case '\t': out.append("\\t"); ++i; continue;
        case '\r': out.append("\\r"); ++i; continue;
        case '\n': out.append("\\n"); ++i; continue;
        case '\0': out.append("\\0"); ++i; continue;
        default: break;
        }
        const auto d = utf8::decode(text, i);
        i += d.len;
        if (d.cp == utf8::kInvalid) {
            utf8::append(out, U'\uFFFD');
        } else if (needs_unicode_escape(d.cp)) {
            append_unicode_escape(out, d.cp);
        } else {
            out.append(text.substr(i - d.len, d.len));
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace velmo

#include "xml/names.hpp"

#include "model/utf8.hpp"

namespace velmo::xml {

namespace {

bool is_name_start(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool is_name_char(char32_t c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

bool is_name(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto [c, len] = utf8::decode(s, i);
        if (c == utf8::kInvalid || !(i == 0 ? is_name_start(c) : is_name_char(c))) return false;
        i += len;
    }
    return !s.empty();
}

bool is_qualified_name(std::string_view s) {
    const auto colon = s.find(':');
    if (colon == std::string_view::npos) return is_name(s);
    const std::string_view prefix = s.substr(0, colon), local = s.substr(colon + 1);
    return is_name(prefix) && is_name(local) && local.find(':') == std::string_view::npos;
}

}  // namespace velmo::xml

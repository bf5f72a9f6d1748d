#pragma once
// XML's white space (space, tab, line feed, carriage return), shared by the tokenizer, the part
// readers that drop it around text, and the writers that decide when a text must keep it.

#include <string_view>

namespace velmo::xml {

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// `s` without white space at either end.
constexpr std::string_view trim_space(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Whether a text starts or ends with white space, which readers drop unless the element
// carries xml:space="preserve".
constexpr bool needs_space_preserve(std::string_view s) {
    return !s.empty() && (is_space(s.front()) || is_space(s.back()));
}

}  // namespace velmo::xml

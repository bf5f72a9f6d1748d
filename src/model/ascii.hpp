#pragma once
// ASCII case folding, for the names applications compare without regard to case (table and
// defined names); other bytes, UTF-8 included, compare exactly.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmo {

constexpr char ascii_fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_fold(a[i]) != ascii_fold(b[i])) return false;
    return true;
}

// `s` appended to `out` with its ASCII capitals folded.
inline void append_ascii_lower(std::string& out, std::string_view s) {
    for (const char c : s) out += ascii_fold(c);
}

inline std::string ascii_lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_ascii_lower(out, s);
    return out;
}

}  // namespace velmo

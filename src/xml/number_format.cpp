#include "xml/number_format.hpp"

#include <charconv>

namespace velmo::xml {

std::string format_f64(double v) {
    std::string s;
    append_f64(s, v);
    return s;
}

void append_u64(std::string& out, std::uint64_t v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

std::string numbered(std::string_view prefix, std::uint64_t n, std::string_view suffix) {
    std::string s(prefix);
    append_u64(s, n);
    s += suffix;
    return s;
}

void append_i64(std::string& out, std::int64_t v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

}  // namespace velmo::xml

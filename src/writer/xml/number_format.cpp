#include "writer/xml/number_format.hpp"

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

void append_i64(std::string& out, std::int64_t v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

}  // namespace velmo::xml

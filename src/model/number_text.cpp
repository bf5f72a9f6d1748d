#include "model/number_text.hpp"

#include <charconv>
#include <cmath>

namespace velmo {

void append_number_text(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    if (v == 0) {
        out += std::signbit(v) ? "-0" : "0";
        return;
    }
    // Shortest round-trip digits come from the scientific form ("-1.2345e+20"); the fixed
    // form alone would print the exact binary value (1e23 as 99999999999999991611392).
    char buf[40];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const char* p = buf;
    const char* end = res.ptr;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[24];
    int nd = 0;
    while (p < end && *p != 'e') {
        if (*p != '.') digits[nd++] = *p;
        ++p;
    }
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp10);
    // Digits d0 d1 ... stand for d0.d1... x 10^exp10, so `point` digits precede the point.
    const int point = exp10 + 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, static_cast<std::size_t>(nd));
    } else if (point >= nd) {
        out.append(digits, static_cast<std::size_t>(nd));
        out.append(static_cast<std::size_t>(point - nd), '0');
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits + point, static_cast<std::size_t>(nd - point));
    }
}

}  // namespace velmo

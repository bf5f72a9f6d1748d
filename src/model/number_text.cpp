#include "model/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace velmo {

namespace {

// Below 2^51 a double is finer than one unit of the last of the decimals tried (see
// append_short_decimal), and an integer below it is its own shortest form.
constexpr double kTwo51 = 2251799813685248.0;

void append_int(std::string& out, int64_t n) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

// Most numbers in a sheet are integers or carry a few decimals (1.25, 0.1, 19.99). For those the
// shortest form is found without the general conversion: v is m / 10^k for the fewest decimals k
// whose m, rounded, divides back to exactly v. With |m| below 2^51 the doubles near v lie closer
// together than 10^-k, so no other k-decimal text reads back to v, and none with fewer decimals
// does (the same test failed for each). False when v needs more decimals, or is too large.
bool append_short_decimal(std::string& out, double v) {
    static constexpr double kScale[] = {1e1, 1e2, 1e3, 1e4};
    static constexpr int64_t kIntScale[] = {10, 100, 1000, 10000};
    for (int k = 0; k < 4; ++k) {
        const double scaled = std::nearbyint(v * kScale[k]);
        if (!(std::fabs(scaled) < kTwo51)) return false;
        if (scaled / kScale[k] != v) continue;
        const int64_t m = static_cast<int64_t>(scaled);
        const uint64_t magnitude = m < 0 ? uint64_t(-m) : uint64_t(m);
        if (m < 0) out.push_back('-');
        append_int(out, static_cast<int64_t>(magnitude / uint64_t(kIntScale[k])));
        out.push_back('.');
        // The decimals, leading zeros included.
        char digits[4];
        uint64_t frac = magnitude % uint64_t(kIntScale[k]);
        for (int d = k; d >= 0; --d, frac /= 10) digits[d] = static_cast<char>('0' + frac % 10);
        out.append(digits, static_cast<size_t>(k + 1));
        return true;
    }
    return false;
}

}  // namespace

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
    if (std::fabs(v) < kTwo51) {
        if (v == std::trunc(v)) {
            append_int(out, static_cast<int64_t>(v));
            return;
        }
        if (append_short_decimal(out, v)) return;
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

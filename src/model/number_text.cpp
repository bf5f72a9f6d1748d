#include "model/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace velmo {

namespace {

// Below 2^51 a double is finer than one unit of the last of the decimals tried (see
// write_short_number_text), and an integer below it is its own shortest form.
constexpr double kTwo51 = 2251799813685248.0;

}  // namespace

// Most numbers in a sheet are integers or carry a few decimals (1.25, 0.1, 19.99). For those the
// shortest form is found without the general conversion: v is m / 10^k for the fewest decimals k
// whose m, rounded, divides back to exactly v. With |m| below 2^51 the doubles near v lie closer
// together than 10^-k, so no other k-decimal text reads back to v, and none with fewer decimals
// does (the same test failed for each).
char* write_short_number_text(char* out, double v) {
    static constexpr double kScale[] = {1e0, 1e1, 1e2, 1e3, 1e4};
    static constexpr uint64_t kIntScale[] = {1, 10, 100, 1000, 10000};
    if (v == 0) {
        if (std::signbit(v)) *out++ = '-';
        *out++ = '0';
        return out;
    }
    if (!(std::fabs(v) < kTwo51)) return nullptr;  // NaN and infinities included
    // v as m / 10^k, when that divides back to exactly v.
    const auto scaled = [v](int k, int64_t& m) {
        const double product = v * kScale[k];
        if (!(std::fabs(product) < kTwo51)) return false;
        // Rounded half away from zero by the cast; a tie cannot divide back to v anyway.
        m = static_cast<int64_t>(product + (product < 0 ? -0.5 : 0.5));
        return static_cast<double>(m) / kScale[k] == v;
    };
    int64_t m = 0;
    int k = 0;
    // A number with fewer decimals also has four (with trailing zeros): one without four needs the
    // general conversion, and is told so after two tries rather than five.
    if (!scaled(0, m)) {
        if (!scaled(4, m)) return nullptr;
        k = 1;
        while (k < 4 && !scaled(k, m)) ++k;
        if (k == 4) scaled(4, m);
    }
    const uint64_t magnitude = m < 0 ? uint64_t(0) - uint64_t(m) : uint64_t(m);
    if (m < 0) *out++ = '-';
    out = std::to_chars(out, out + 16, magnitude / kIntScale[k]).ptr;
    if (k == 0) return out;
    *out++ = '.';
    // The decimals, leading zeros included.
    uint64_t frac = magnitude % kIntScale[k];
    for (int d = k - 1; d >= 0; --d, frac /= 10) out[d] = static_cast<char>('0' + frac % 10);
    return out + k;
}

void append_number_text(std::string& out, double v) {
    char quick[kMaxShortNumberText];
    if (char* end = write_short_number_text(quick, v)) {
        out.append(quick, static_cast<size_t>(end - quick));
        return;
    }
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
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

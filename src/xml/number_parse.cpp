#include "xml/number_parse.hpp"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace velmo::xml {

namespace {

// Read on every cell (its style, a shared-string index): a plain loop, with the overflow test.
template <class T>
std::optional<T> parse_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    T v = 0;
    for (const char c : s) {
        const unsigned d = static_cast<unsigned char>(c) - unsigned{'0'};
        if (d > 9) return std::nullopt;
        if (v > (std::numeric_limits<T>::max() - d) / 10) return std::nullopt;
        v = static_cast<T>(v * 10 + d);
    }
    return v;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the run of digits from `p` on into `digits` (times ten for each, wrapping past 19 digits) and
// returns its end; eight at a time while eight are left.
[[gnu::always_inline]] inline const char* gather_digits(const char* p, const char* end, std::uint64_t& digits) {
    std::uint64_t n = digits;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0, kZeros = 0x3030303030303030;
        while (end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            // Eight ASCII digits: every byte 0x30-0x39, so that adding 6 leaves each below 0x40.
            if (((v & kHigh) | (((v + 0x0606060606060606) & kHigh) >> 4)) != 0x3333333333333333) break;
            v -= kZeros;
            v = v * 10 + (v >> 8);  // pairs of digits in every other byte
            v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
                 (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
            n = n * 100000000 + v;
            p += 8;
        }
    }
    for (; p != end; ++p) {
        const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
        if (d > 9) break;
        n = n * 10 + d;
    }
    digits = n;
    return p;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != b[i]) return false;
    return true;
}

}  // namespace

std::optional<std::uint32_t> parse_u32(std::string_view s) { return parse_unsigned<std::uint32_t>(s); }
std::optional<std::uint64_t> parse_u64(std::string_view s) { return parse_unsigned<std::uint64_t>(s); }

std::optional<double> parse_f64(std::string_view s) {
    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return std::nullopt;

    if (!is_digit(body.front()) && body.front() != '.') {
        if (iequals(body, "inf") || iequals(body, "infinity"))
            return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        if (iequals(body, "nan")) return negative ? -std::numeric_limits<double>::quiet_NaN()
                                                  : std::numeric_limits<double>::quiet_NaN();
        return std::nullopt;
    }

    // Validate the grammar ourselves: from_chars is laxer in places (it reads a prefix) and
    // stricter in others (no leading "+"). The same pass gathers the digits into an integer for the
    // quick road below, which takes it only when there are at most 19 (so that it cannot overflow).
    std::size_t i = 0;
    const std::size_t n = body.size();
    std::uint64_t digits = 0;
    const char* const begin = body.data();
    const std::size_t int_begin = i;
    i = static_cast<std::size_t>(gather_digits(begin + i, begin + n, digits) - begin);
    const std::size_t int_end = i;
    std::size_t frac_begin = i, frac_end = i;
    if (i < n && body[i] == '.') {
        ++i;
        frac_begin = i;
        i = static_cast<std::size_t>(gather_digits(begin + i, begin + n, digits) - begin);
        frac_end = i;
    }
    const std::size_t count = (int_end - int_begin) + (frac_end - frac_begin);
    if (count == 0) return std::nullopt;
    long long exponent = 0;
    if (i < n && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < n && (body[i] == '+' || body[i] == '-')) {
            exp_negative = body[i] == '-';
            ++i;
        }
        if (i >= n || !is_digit(body[i])) return std::nullopt;
        while (i < n && is_digit(body[i])) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[i] - '0');
            ++i;
        }
        if (exp_negative) exponent = -exponent;
    }
    if (i != n) return std::nullopt;

    // Most cells need no exponent and at most 2^53 as their digits ("42", "1.25", the 16 digits of a
    // serial date-time): the digits are then an exact double and so is the power of ten, and one IEEE
    // division rounds correctly.
    constexpr std::uint64_t kExactInteger = std::uint64_t{1} << 53;
    if (exponent == 0 && count <= 19 && digits <= kExactInteger) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                            1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
        const double v = static_cast<double>(digits) / kPow10[frac_end - frac_begin];
        return negative ? -v : v;
    }

    double v = 0.0;
    const auto [p, ec] = std::from_chars(body.data(), body.data() + n, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Out of range either way: the decimal exponent of the first significant digit tells
        // overflow (infinity) from underflow (zero).
        long long lead = 0;
        std::size_t k = int_begin;
        while (k < int_end && body[k] == '0') ++k;
        if (k < int_end) {
            lead = static_cast<long long>(int_end - k) - 1;
        } else {
            std::size_t f = frac_begin;
            while (f < frac_end && body[f] == '0') ++f;
            lead = -static_cast<long long>(f - frac_begin) - 1;
        }
        v = (lead + exponent >= 0) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc{} || p != body.data() + n) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

}  // namespace velmo::xml

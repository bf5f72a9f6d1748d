#pragma once
// Numbers as written into parts: locale-free, shortest round-trip form, never an exponent.

#include <cstdint>
#include <string>

namespace velmo::xml {

// The shortest decimal text that reads back to the same double, laid out without exponent;
// an integral value has no fraction ("1", not "1.0"; 1e23 is "1" and 23 zeros). NaN is
// "NaN", infinities "inf" and "-inf", negative zero "-0".
void append_f64(std::string& out, double v);
std::string format_f64(double v);

void append_u64(std::string& out, std::uint64_t v);
void append_i64(std::string& out, std::int64_t v);

}  // namespace velmo::xml

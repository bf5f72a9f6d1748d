#pragma once
// The one text form of a double used wherever a number becomes text (saved parts, table
// header names): locale-free, shortest round-trip digits, never an exponent.

#include <cstddef>
#include <string>

namespace velmo {

// The shortest decimal text that reads back to the same double, laid out without exponent;
// an integral value has no fraction ("1", not "1.0"; 1e23 is "1" and 23 zeros). NaN is
// "NaN", infinities "inf" and "-inf", negative zero "-0".
void append_number_text(std::string& out, double v);

// The most bytes write_short_number_text writes.
inline constexpr std::size_t kMaxShortNumberText = 24;
// The text append_number_text gives, written at `out` (room for kMaxShortNumberText bytes), for the
// numbers that need no general conversion: zeros, integers below 2^51 and numbers of at most four
// decimals. Returns its end; null, with nothing written, for every other number.
char* write_short_number_text(char* out, double v);

}  // namespace velmo

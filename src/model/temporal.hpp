#pragma once
// Excel serial numbers (1900 date system only) and the classification of number formats as temporal.
//
// A serial counts days from 1899-12-30 with the time of day as the fraction. Day numbers 1 to 60 are one
// lower than the calendar count (the 1900 leap-year rule), so serial 60 (a 1900-02-29 that never existed)
// is never written and reads as 1900-02-28. Every value is exact to the millisecond, ties to the even one.

#include <cstdint>
#include <optional>
#include <string_view>

#include "model/error.hpp"
#include "model/styles.hpp"
#include "model/value.hpp"

namespace velmo::temporal {

inline constexpr int64_t kMillisPerDay = 86'400'000;

// The kind of a built-in number-format id (14-22, 45-47); none for any other id.
std::optional<TemporalKind> builtin_format_kind(uint32_t num_fmt_id);

// The kind a custom number-format code stands for, judged on its first section; none when not temporal.
std::optional<TemporalKind> format_kind(std::string_view code);

// The value a serial read under a format of `kind` stands for; none when it lies outside years 1..9999 or
// the millisecond range. A Date-kind serial with a time of day gives a DateTime, so the time is not lost.
// A Time-kind serial outside [0, 1) gives the number unchanged. Never allocates.
std::optional<Value> from_excel_serial(double serial, TemporalKind kind);

// The serial of a Date, DateTime, Time or Duration value; InvalidFormat for anything else or out of range.
Result<double> to_excel_serial(const Value& value);

// The duration in whole milliseconds, ties to the even count; InvalidFormat when it overflows 64 bits.
Result<int64_t> round_duration_to_millis(const Duration& duration);

// ms / 86400000 as a double, refused unless it converts back to exactly ms.
Result<double> exact_serial_from_millis(int64_t ms);

// The serial day number of a date (days from 1899-12-30, with 1..60 one lower).
int64_t date_days(const Date& date);

// Refuses a year outside 1..9999.
Result<void> validate_date(const Date& date);

}  // namespace velmo::temporal

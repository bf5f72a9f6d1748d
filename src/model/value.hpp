#pragma once
// A cell value. String and Formula are distinct alternatives though both hold text.

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include "model/text.hpp"

namespace velmo {

// A proleptic Gregorian date; the year may lie outside 1..9999 (but within chrono's +-32767).
using Date = std::chrono::year_month_day;

// Seconds since midnight (0..86399) plus a nanosecond fraction; nanos >= 1'000'000'000 marks a leap second.
struct TimeOfDay {
    uint32_t secs = 0;
    uint32_t nanos = 0;
    bool operator==(const TimeOfDay&) const = default;
};

struct DateTime {
    Date date;
    TimeOfDay time;
    bool operator==(const DateTime&) const = default;
};

// Signed whole seconds plus nanoseconds in 0..999'999'999 (so -1.5 s is secs -2, nanos 500'000'000).
struct Duration {
    int64_t secs = 0;
    uint32_t nanos = 0;
    bool operator==(const Duration&) const = default;
};

struct Formula {
    std::string text;  // without the leading "="
    bool operator==(const Formula&) const = default;
};

// Variants in this order: Empty, String, Number, Bool, Date, DateTime, Time, Duration, Formula.
using Value = std::variant<std::monostate, Text, double, bool, Date, DateTime, TimeOfDay, Duration, Formula>;

enum class ValueKind { Empty, String, Number, Bool, Date, DateTime, Time, Duration, Formula };
inline ValueKind kind_of(const Value& v) { return static_cast<ValueKind>(v.index()); }
inline bool is_empty(const Value& v) { return v.index() == 0; }

}  // namespace velmo

#include "model/temporal.hpp"

#include <cmath>
#include <string>

namespace velmo {

namespace temporal {

namespace {

using std::chrono::days;
using std::chrono::sys_days;

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kNanosPerMilli = 1'000'000;
constexpr double kTwo63 = 9223372036854775808.0;  // 2^63, exact as a double

constexpr sys_days kEpoch = sys_days{std::chrono::year{1899} / 12 / 30};
constexpr int64_t days_from_epoch(const Date& d) { return (sys_days{d} - kEpoch).count(); }
// Day counts from the epoch of the first and last dates a serial may stand for (years 1..9999).
constexpr int64_t kMinDay = days_from_epoch(std::chrono::year{1} / 1 / 1);
constexpr int64_t kMaxDay = days_from_epoch(std::chrono::year{9999} / 12 / 31);
// The widest day counts a Date can hold.
constexpr int64_t kChronoMinDay = days_from_epoch(std::chrono::year::min() / 1 / 1);
constexpr int64_t kChronoMaxDay = days_from_epoch(std::chrono::year::max() / 12 / 31);
// Instants from serial 1 up to just before serial 60 read one day later (the 1900 leap-year rule).
constexpr int64_t kShiftFirstMs = kMillisPerDay;
constexpr int64_t kShiftLastMs = 60 * kMillisPerDay - 1;

constexpr std::string_view kNotTemporal = "value is not temporal";
constexpr std::string_view kLeapSecond = "Excel cannot represent leap-second temporal values";
constexpr std::string_view kInexact = "temporal value cannot be represented exactly at XLSX millisecond precision";
constexpr std::string_view kDurationRange = "temporal value is outside XLSX range";
constexpr std::string_view kDateTimeRange = "datetime is outside the XLSX temporal range";

VelmoError invalid(std::string_view message) { return VelmoError::invalid_format(std::string(message)); }

constexpr int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Only called with a day count already checked against the range a Date can hold.
Date date_at(int64_t day) { return Date{kEpoch + days{day}}; }

std::optional<Value> date_time_from_millis(int64_t ms) {
    if (ms >= kShiftFirstMs && ms <= kShiftLastMs) ms += kMillisPerDay;
    const int64_t day = floor_div(ms, kMillisPerDay);
    if (day < kMinDay || day > kMaxDay) return std::nullopt;
    const int64_t of_day = ms - day * kMillisPerDay;
    const TimeOfDay time{static_cast<uint32_t>(of_day / 1000), static_cast<uint32_t>((of_day % 1000) * kNanosPerMilli)};
    return Value{DateTime{date_at(day), time}};
}

}  // namespace

std::optional<TemporalKind> builtin_format_kind(uint32_t num_fmt_id) {
    switch (num_fmt_id) {
    case 14: case 15: case 16: case 17: return TemporalKind::Date;
    case 18: case 19: case 20: case 21: return TemporalKind::Time;
    case 22: return TemporalKind::DateTime;
    case 45: case 47: return TemporalKind::Time;
    case 46: return TemporalKind::Duration;
    default: return std::nullopt;
    }
}

std::optional<TemporalKind> format_kind(std::string_view code) {
    // Only the first section (up to a semicolon outside quotes and brackets) counts. Escapes apply even
    // inside quotes and brackets here, unlike in the cleaning pass below.
    size_t end = code.size();
    {
        bool in_quotes = false, in_brackets = false, skip_next = false;
        for (size_t i = 0; i < code.size(); ++i) {
            const char c = code[i];
            if (skip_next) {
                skip_next = false;
            } else if (c == '\\' || c == '_' || c == '*') {
                skip_next = true;
            } else if (c == '"') {
                if (!in_brackets) in_quotes = !in_quotes;
            } else if (c == '[') {
                if (!in_quotes) in_brackets = true;
            } else if (c == ']') {
                if (!in_quotes) in_brackets = false;
            } else if (c == ';' && !in_quotes && !in_brackets) {
                end = i;
                break;
            }
        }
    }
    const std::string_view section = code.substr(0, end);

    // Clean and judge in one pass: quoted text, escaped characters and brackets other than the short
    // elapsed-time codes say nothing about the kind. Multi-byte characters never match any ASCII test,
    // so working byte by byte judges whole characters alike.
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    bool has_date = false, has_hour = false, has_second = false;
    for (size_t i = 0; i < section.size(); ++i) {
        const char c = lower(section[i]);
        if (c == '"') {
            const size_t close = section.find('"', i + 1);
            if (close == std::string_view::npos) break;
            i = close;
        } else if (c == '\\' || c == '_' || c == '*') {
            ++i;
        } else if (c == '[') {
            const size_t close = section.find(']', i + 1);
            const size_t stop = close == std::string_view::npos ? section.size() : close;
            const std::string_view content = section.substr(i + 1, stop - i - 1);
            if (content.size() == 1 || content.size() == 2) {
                const char a = lower(content[0]);
                const char b = lower(content.back());
                if (a == b && (a == 'h' || a == 'm' || a == 's')) return TemporalKind::Duration;
            }
            i = stop;
        } else if (c == 'y' || c == 'd') {
            has_date = true;
        } else if (c == 'h') {
            has_hour = true;
        } else if (c == 's') {
            has_second = true;
        }
    }
    if (has_hour) return has_date ? TemporalKind::DateTime : TemporalKind::Time;
    if (has_date) return has_second ? TemporalKind::DateTime : TemporalKind::Date;
    if (has_second) return TemporalKind::Time;
    return std::nullopt;
}

std::optional<Value> from_excel_serial(double serial, TemporalKind kind) {
    if (!std::isfinite(serial)) return std::nullopt;
    const double product = serial * static_cast<double>(kMillisPerDay);
    // nearbyint rounds ties to even under the default rounding mode. Both ends of +-2^63 are refused
    // before the cast, which would otherwise be undefined.
    const double rounded = std::nearbyint(product);
    if (!(rounded > -kTwo63 && rounded < kTwo63)) return std::nullopt;
    const int64_t ms = static_cast<int64_t>(rounded);

    switch (kind) {
    case TemporalKind::Date: {
        // A date format over a serial with a time of day (a time stamp shown as a date) keeps its time.
        if (ms % kMillisPerDay != 0) return date_time_from_millis(ms);
        int64_t day = ms / kMillisPerDay;
        if (day >= 1 && day <= 59) ++day;
        if (day < kMinDay || day > kMaxDay) return std::nullopt;
        return Value{date_at(day)};
    }
    case TemporalKind::DateTime:
        return date_time_from_millis(ms);
    case TemporalKind::Time: {
        if (!(serial >= 0.0 && serial < 1.0)) return Value{serial};
        // A fraction that rounds up to a whole day wraps to midnight.
        const int64_t of_day = ms % kMillisPerDay;
        return Value{TimeOfDay{static_cast<uint32_t>(of_day / 1000), static_cast<uint32_t>((of_day % 1000) * kNanosPerMilli)}};
    }
    case TemporalKind::Duration: {
        const int64_t secs = floor_div(ms, 1000);
        return Value{Duration{secs, static_cast<uint32_t>((ms - secs * 1000) * kNanosPerMilli)}};
    }
    }
    return std::nullopt;
}

Result<int64_t> round_duration_to_millis(const Duration& duration) {
    int64_t secs = duration.secs;
    int64_t nanos = duration.nanos;
    if (nanos >= kNanosPerSecond) {  // tolerate an unnormalised fraction
        if (__builtin_add_overflow(secs, nanos / kNanosPerSecond, &secs)) return fail(invalid(kDurationRange));
        nanos %= kNanosPerSecond;
    }
    // Split into whole seconds truncated toward zero and a rest carrying the duration's sign.
    int64_t whole = secs;
    int64_t rest = nanos;
    if (secs < 0 && nanos > 0) {
        whole = secs + 1;
        rest = nanos - kNanosPerSecond;
    }
    int64_t q = rest / kNanosPerMilli;
    const int64_t f = rest - q * kNanosPerMilli;
    const int64_t half = kNanosPerMilli / 2;
    const int64_t abs_f = f < 0 ? -f : f;
    if (abs_f > half || (abs_f == half && q % 2 != 0)) q += f > 0 ? 1 : -1;
    int64_t total = 0;
    if (__builtin_mul_overflow(whole, int64_t{1000}, &total) || __builtin_add_overflow(total, q, &total)) {
        return fail(invalid(kDurationRange));
    }
    return total;
}

Result<double> exact_serial_from_millis(int64_t ms) {
    const double serial = static_cast<double>(ms) / static_cast<double>(kMillisPerDay);
    const double back = std::nearbyint(serial * static_cast<double>(kMillisPerDay));
    if (!std::isfinite(back) || back < -kTwo63 || back >= kTwo63 || static_cast<int64_t>(back) != ms) {
        return fail(invalid(kInexact));
    }
    return serial;
}

int64_t date_days(const Date& date) {
    const int64_t n = days_from_epoch(date);
    return (n >= 1 && n <= 60) ? n - 1 : n;
}

Result<void> validate_date(const Date& date) {
    const int year = static_cast<int>(date.year());
    if (year < 1 || year > 9999) {
        return fail(VelmoError::invalid_format("temporal year " + std::to_string(year) +
                                               " is outside the XLSX range 1..=9999"));
    }
    return {};
}

namespace {

Result<double> date_time_serial(const DateTime& t) {
    if (auto ok = validate_date(t.date); !ok) return fail(std::move(ok.error()));
    if (t.time.nanos >= kNanosPerSecond) return fail(invalid(kLeapSecond));
    // Years 1..9999 keep every quantity far below 2^63; the checks guard an out-of-range time of day.
    int64_t secs = 0;
    if (__builtin_mul_overflow(days_from_epoch(t.date), int64_t{86400}, &secs) ||
        __builtin_add_overflow(secs, int64_t{t.time.secs}, &secs)) {
        return fail(invalid(kDateTimeRange));
    }
    auto ms = round_duration_to_millis(Duration{secs, t.time.nanos});
    if (!ms) return fail(std::move(ms.error()));
    const int64_t day = floor_div(*ms, kMillisPerDay);
    const int64_t of_day = *ms - day * kMillisPerDay;
    // Rounding may carry the value into year 10000, which the year test below reports; a day that no
    // calendar date can hold is refused before chrono sees it.
    if (day < kChronoMinDay || day > kChronoMaxDay) return fail(invalid(kDateTimeRange));
    const Date rounded_date = date_at(day);
    if (auto ok = validate_date(rounded_date); !ok) return fail(std::move(ok.error()));
    const int64_t serial_day = (day >= 1 && day <= 60) ? day - 1 : day;
    int64_t total = 0;
    if (__builtin_mul_overflow(serial_day, kMillisPerDay, &total) || __builtin_add_overflow(total, of_day, &total)) {
        return fail(invalid(kDateTimeRange));
    }
    return exact_serial_from_millis(total);
}

Result<double> time_serial(const TimeOfDay& t) {
    if (t.nanos >= kNanosPerSecond) return fail(invalid(kLeapSecond));
    auto ms = round_duration_to_millis(Duration{int64_t{t.secs}, t.nanos});
    if (!ms) return fail(std::move(ms.error()));
    // 23:59:59.9995 rounds up to 24:00:00.000, which is written as midnight.
    int64_t of_day = *ms % kMillisPerDay;
    if (of_day < 0) of_day += kMillisPerDay;
    return exact_serial_from_millis(of_day);
}

}  // namespace

Result<double> to_excel_serial(const Value& value) {
    switch (kind_of(value)) {
    case ValueKind::Date: {
        const Date& d = std::get<Date>(value);
        if (auto ok = validate_date(d); !ok) return fail(std::move(ok.error()));
        return static_cast<double>(date_days(d));
    }
    case ValueKind::DateTime: return date_time_serial(std::get<DateTime>(value));
    case ValueKind::Time: return time_serial(std::get<TimeOfDay>(value));
    case ValueKind::Duration: {
        auto ms = round_duration_to_millis(std::get<Duration>(value));
        if (!ms) return fail(std::move(ms.error()));
        return exact_serial_from_millis(*ms);
    }
    default: return fail(invalid(kNotTemporal));
    }
}

}  // namespace temporal

std::optional<TemporalKind> StyleSheet::temporal_kind(uint64_t index) const {
    if (index >= cell_xfs.size()) return std::nullopt;
    const uint32_t id = cell_xfs[index].num_fmt_id;
    // Built-in ids win over a custom format stored under the same id.
    if (auto kind = temporal::builtin_format_kind(id)) return kind;
    if (num_fmts.empty()) return std::nullopt;
    auto it = num_fmts.find(id);
    if (it == num_fmts.end()) return std::nullopt;
    return temporal::format_kind(it->second);
}

}  // namespace velmo

#include "model/temporal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/styles.hpp"

using namespace velmo;
using namespace std::chrono;
using temporal::format_kind;
using temporal::from_excel_serial;
using temporal::to_excel_serial;

namespace {

Date ymd(int y, unsigned m, unsigned d) { return Date{year{y}, month{m}, day{d}}; }
TimeOfDay hms(uint32_t h, uint32_t m, uint32_t s, uint32_t nanos = 0) { return TimeOfDay{h * 3600 + m * 60 + s, nanos}; }

std::string error_of(const Result<double>& r) { return r ? std::string("ok") : r.error().message; }

}  // namespace

TEST(FormatKind, PlainCodes) {
    for (const char* code : {"General", "0.00", "#,##0;[Red]-#,##0", "mmmm", "AM/PM", "mm", ""}) {
        EXPECT_EQ(format_kind(code), std::nullopt) << code;
    }
    for (const char* code : {"m/d/yyyy", "d-mmm-yy", "mmm-yy", "dddd", "yyyy-mm-dd", "DD/MM/YYYY"}) {
        EXPECT_EQ(format_kind(code), TemporalKind::Date) << code;
    }
    for (const char* code : {"yyyy-mm-dd hh:mm:ss", "yyyy-mm-dd h:mm:ss", "dd ss"}) {
        EXPECT_EQ(format_kind(code), TemporalKind::DateTime) << code;
    }
    for (const char* code : {"h:mm AM/PM", "mm:ss", "ss.0", "h:mm:ss", "0 sec"}) {
        EXPECT_EQ(format_kind(code), TemporalKind::Time) << code;
    }
}

TEST(FormatKind, ElapsedTimeBrackets) {
    for (const char* code : {"[h]:mm:ss", "[hh]:mm:ss", "[mm]:ss", "[ss].000", "[H]:MM", "0 [h", "[s]"}) {
        EXPECT_EQ(format_kind(code), TemporalKind::Duration) << code;
    }
    // Longer or mixed codes are dropped whole, leaving only what surrounds them.
    EXPECT_EQ(format_kind("[hhh]:mm"), std::nullopt);
    EXPECT_EQ(format_kind("[hm]:mm"), std::nullopt);
    EXPECT_EQ(format_kind("[]0"), std::nullopt);
}

TEST(FormatKind, QuotesEscapesAndTags) {
    EXPECT_EQ(format_kind("[$-409]d-mmm-yy"), TemporalKind::Date);
    EXPECT_EQ(format_kind("[Red]0.00"), std::nullopt);
    EXPECT_EQ(format_kind("[<=9999999]###-####"), std::nullopt);
    EXPECT_EQ(format_kind("\"Total\" 0"), std::nullopt);
    EXPECT_EQ(format_kind("\"unclosed d"), std::nullopt);
    EXPECT_EQ(format_kind("0\\d"), std::nullopt);
    EXPECT_EQ(format_kind("0_d"), std::nullopt);
    EXPECT_EQ(format_kind("0*s"), std::nullopt);
    EXPECT_EQ(format_kind("0 d"), TemporalKind::Date);
    EXPECT_EQ(format_kind("\"h\" d"), TemporalKind::Date);
    // Multi-byte text around the letters does not confuse the scan.
    EXPECT_EQ(format_kind("yyyy\"年\"m\"月\"d\"日\""), TemporalKind::Date);
}

TEST(FormatKind, OnlyFirstSectionCounts) {
    EXPECT_EQ(format_kind("0;d"), std::nullopt);
    EXPECT_EQ(format_kind(";d"), std::nullopt);
    EXPECT_EQ(format_kind("0\\;d"), TemporalKind::Date);       // escaped semicolon does not split
    EXPECT_EQ(format_kind("\"a;b\" d;0"), TemporalKind::Date);  // nor one inside quotes
    EXPECT_EQ(format_kind("[$;-409]d;0"), TemporalKind::Date);  // nor one inside brackets
}

TEST(StyleSheetTemporalKind, BuiltInIdsWinAndCustomCodesAreLookedUp) {
    StyleSheet ss;
    for (uint32_t id : {0u, 14u, 22u, 46u, 27u, 164u, 165u, 20u}) ss.cell_xfs.push_back(CellXf{0, 0, id});
    ss.num_fmts[14] = "0.00";
    ss.num_fmts[164] = "yyyy-mm-dd hh:mm";
    ss.num_fmts[165] = "0.0%";
    EXPECT_EQ(ss.temporal_kind(0), std::nullopt);
    EXPECT_EQ(ss.temporal_kind(1), TemporalKind::Date);
    EXPECT_EQ(ss.temporal_kind(2), TemporalKind::DateTime);
    EXPECT_EQ(ss.temporal_kind(3), TemporalKind::Duration);
    EXPECT_EQ(ss.temporal_kind(4), std::nullopt);
    EXPECT_EQ(ss.temporal_kind(5), TemporalKind::DateTime);
    EXPECT_EQ(ss.temporal_kind(6), std::nullopt);
    EXPECT_EQ(ss.temporal_kind(7), TemporalKind::Time);
    EXPECT_EQ(ss.temporal_kind(8), std::nullopt);
    EXPECT_EQ(ss.temporal_kind(UINT64_MAX), std::nullopt);
    ss.num_fmts[27] = "d";
    EXPECT_EQ(ss.temporal_kind(4), TemporalKind::Date);
}

TEST(FromSerial, DatesAroundTheLeapYearRuleAndRange) {
    auto date = [](double s) { return from_excel_serial(s, TemporalKind::Date); };
    EXPECT_EQ(date(0), Value{ymd(1899, 12, 30)});
    EXPECT_EQ(date(1), Value{ymd(1900, 1, 1)});
    EXPECT_EQ(date(59), Value{ymd(1900, 2, 28)});
    EXPECT_EQ(date(60), Value{ymd(1900, 2, 28)});
    EXPECT_EQ(date(61), Value{ymd(1900, 3, 1)});
    EXPECT_EQ(date(-1), Value{ymd(1899, 12, 29)});
    EXPECT_EQ(date(2958465), Value{ymd(9999, 12, 31)});
    EXPECT_EQ(date(2958466), std::nullopt);
    EXPECT_EQ(date(-693593), Value{ymd(1, 1, 1)});
    EXPECT_EQ(date(-693594), std::nullopt);
    EXPECT_EQ(date(1e300), std::nullopt);
    EXPECT_EQ(date(-1e18), std::nullopt);
}

TEST(FromSerial, DateFormatKeepsTheTimeOfDay) {
    // A time stamp shown with a date format must not lose its time on a load/save round trip.
    auto v = from_excel_serial(45000.75, TemporalKind::Date);
    EXPECT_EQ(v, Value{(DateTime{ymd(2023, 3, 15), hms(18, 0, 0)})});
    ASSERT_TRUE(v);
    EXPECT_EQ(to_excel_serial(*v), 45000.75);
    EXPECT_EQ(from_excel_serial(-0.5, TemporalKind::Date), Value{(DateTime{ymd(1899, 12, 29), hms(12, 0, 0)})});
    // A fraction below half a millisecond is no time at all.
    EXPECT_EQ(from_excel_serial(45000.0 + 1e-10, TemporalKind::Date), Value{ymd(2023, 3, 15)});
    EXPECT_EQ(from_excel_serial(45000.99999999999, TemporalKind::Date), Value{ymd(2023, 3, 16)});
    EXPECT_EQ(from_excel_serial(2958465.5, TemporalKind::Date), Value{(DateTime{ymd(9999, 12, 31), hms(12, 0, 0)})});
    EXPECT_EQ(from_excel_serial(2958466.5, TemporalKind::Date), std::nullopt);
}

TEST(FromSerial, DateTimes) {
    auto dt = [](double s) { return from_excel_serial(s, TemporalKind::DateTime); };
    EXPECT_EQ(dt(45000.75), Value{(DateTime{ymd(2023, 3, 15), hms(18, 0, 0)})});
    EXPECT_EQ(dt(59.5), Value{(DateTime{ymd(1900, 2, 28), hms(12, 0, 0)})});
    EXPECT_EQ(dt(60.5), Value{(DateTime{ymd(1900, 2, 28), hms(12, 0, 0)})});
    EXPECT_EQ(dt(0.5), Value{(DateTime{ymd(1899, 12, 30), hms(12, 0, 0)})});
    EXPECT_EQ(dt(1), Value{(DateTime{ymd(1900, 1, 1), hms(0, 0, 0)})});
    EXPECT_EQ(dt(-0.25), Value{(DateTime{ymd(1899, 12, 29), hms(18, 0, 0)})});
    // Milliseconds survive; finer digits round to the nearest one.
    EXPECT_EQ(dt(45000.0 + 1234.0 / 86400000.0), Value{(DateTime{ymd(2023, 3, 15), hms(0, 0, 1, 234'000'000)})});
    EXPECT_EQ(dt(2958466), std::nullopt);
}

TEST(FromSerial, Times) {
    auto t = [](double s) { return from_excel_serial(s, TemporalKind::Time); };
    EXPECT_EQ(t(0), Value{hms(0, 0, 0)});
    EXPECT_EQ(t(0.5), Value{hms(12, 0, 0)});
    EXPECT_EQ(t(0.3333333333), Value{hms(8, 0, 0)});
    EXPECT_EQ(t(0.99999999999), Value{hms(0, 0, 0)});
    EXPECT_EQ(t(1.25), Value{1.25});
    EXPECT_EQ(t(-0.25), Value{-0.25});
}

TEST(FromSerial, DurationsAndGuards) {
    auto d = [](double s) { return from_excel_serial(s, TemporalKind::Duration); };
    EXPECT_EQ(d(1.5), Value{(Duration{36 * 3600, 0})});
    EXPECT_EQ(d(-0.5), Value{(Duration{-12 * 3600, 0})});
    EXPECT_EQ(d(-1.5 / 86400000.0), Value{(Duration{-1, 998'000'000})});  // -1.5 ms rounds to -2 ms
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (TemporalKind k : {TemporalKind::Date, TemporalKind::DateTime, TemporalKind::Time, TemporalKind::Duration}) {
        EXPECT_EQ(from_excel_serial(nan, k), std::nullopt);
        EXPECT_EQ(from_excel_serial(inf, k), std::nullopt);
        EXPECT_EQ(from_excel_serial(-inf, k), std::nullopt);
    }
    // Exactly +-2^63 milliseconds is outside the signed range at both ends.
    const double edge = 9223372036854775808.0 / 86400000.0;
    EXPECT_EQ(d(edge), std::nullopt);
    EXPECT_EQ(d(-edge), std::nullopt);
    EXPECT_EQ(d(1e300), std::nullopt);
    EXPECT_TRUE(d(std::nextafter(edge, 0.0)));
    EXPECT_TRUE(d(-std::nextafter(edge, 0.0)));
}

TEST(ToSerial, Dates) {
    EXPECT_EQ(to_excel_serial(ymd(1900, 3, 1)), 61);
    EXPECT_EQ(to_excel_serial(ymd(1900, 2, 28)), 59);
    EXPECT_EQ(to_excel_serial(ymd(1900, 1, 1)), 1);
    EXPECT_EQ(to_excel_serial(ymd(1899, 12, 31)), 0);
    EXPECT_EQ(to_excel_serial(ymd(1899, 12, 30)), 0);
    EXPECT_EQ(to_excel_serial(ymd(1899, 12, 29)), -1);
    EXPECT_EQ(to_excel_serial(ymd(9999, 12, 31)), 2958465);
    EXPECT_EQ(to_excel_serial(ymd(1, 1, 1)), -693593);
    EXPECT_EQ(error_of(to_excel_serial(ymd(10000, 1, 1))), "temporal year 10000 is outside the XLSX range 1..=9999");
    EXPECT_EQ(error_of(to_excel_serial(ymd(0, 6, 1))), "temporal year 0 is outside the XLSX range 1..=9999");
    EXPECT_EQ(error_of(to_excel_serial(ymd(-32767, 1, 1))), "temporal year -32767 is outside the XLSX range 1..=9999");
    EXPECT_EQ(to_excel_serial(ymd(10000, 1, 1)).error().kind, ErrorKind::InvalidFormat);
}

TEST(ToSerial, DateTimesRoundToTheMillisecond) {
    EXPECT_EQ(to_excel_serial(DateTime{ymd(2023, 3, 15), hms(18, 0, 0)}), 45000.75);
    EXPECT_EQ(to_excel_serial(DateTime{ymd(1900, 2, 28), hms(12, 0, 0)}), 59.5);
    EXPECT_EQ(error_of(to_excel_serial(DateTime{ymd(9999, 12, 31), hms(23, 59, 59, 999'500'000)})),
              "temporal year 10000 is outside the XLSX range 1..=9999");
    auto ok = to_excel_serial(DateTime{ymd(9999, 12, 31), hms(23, 59, 59, 998'500'000)});
    ASSERT_TRUE(ok);
    EXPECT_EQ(from_excel_serial(*ok, TemporalKind::DateTime), Value{(DateTime{ymd(9999, 12, 31), hms(23, 59, 59, 998'000'000)})});
    EXPECT_EQ(error_of(to_excel_serial(DateTime{ymd(2020, 1, 1), hms(23, 59, 59, 1'000'000'000)})),
              "Excel cannot represent leap-second temporal values");
    EXPECT_EQ(error_of(to_excel_serial(DateTime{ymd(10000, 1, 1), hms(0, 0, 0)})),
              "temporal year 10000 is outside the XLSX range 1..=9999");
}

TEST(ToSerial, RoundTripsEveryMillisecondOfADay) {
    // Reading back what was written gives the same millisecond at every step of a day near 2023.
    for (int64_t ms = 0; ms < temporal::kMillisPerDay; ms += 997) {
        const DateTime t{ymd(2023, 3, 15), TimeOfDay{static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>(ms % 1000) * 1'000'000}};
        auto s = to_excel_serial(t);
        ASSERT_TRUE(s);
        ASSERT_EQ(from_excel_serial(*s, TemporalKind::DateTime), Value{t}) << ms;
    }
}

TEST(ToSerial, Times) {
    EXPECT_EQ(to_excel_serial(hms(12, 0, 0)), 0.5);
    EXPECT_EQ(to_excel_serial(hms(23, 59, 59, 999'500'000)), 0);
    EXPECT_EQ(to_excel_serial(hms(0, 0, 0, 1'500'000)), 2.0 / 86400000.0);
    EXPECT_EQ(error_of(to_excel_serial(hms(23, 59, 59, 1'200'000'000))), "Excel cannot represent leap-second temporal values");
}

TEST(ToSerial, DurationsAndNonTemporalValues) {
    EXPECT_EQ(to_excel_serial(Duration{0, 1000}), 0);
    EXPECT_EQ(to_excel_serial(Duration{36 * 3600, 0}), 1.5);
    EXPECT_EQ(to_excel_serial(Duration{-1, 998'500'000}), -2.0 / 86400000.0);
    // 2^62 ms is beyond what a double can carry exactly at millisecond precision.
    EXPECT_EQ(error_of(to_excel_serial(Duration{(int64_t{1} << 62) / 1000 + 1, 1'000'000})),
              "temporal value cannot be represented exactly at XLSX millisecond precision");
    EXPECT_EQ(error_of(to_excel_serial(Duration{INT64_MAX, 0})), "temporal value is outside XLSX range");
    for (const Value& v : {Value{}, Value{std::string("x")}, Value{1.0}, Value{true}, Value{Formula{"A1"}}}) {
        EXPECT_EQ(error_of(to_excel_serial(v)), "value is not temporal");
    }
}

TEST(RoundDuration, TiesGoToTheEvenMillisecond) {
    auto r = [](int64_t secs, uint32_t nanos) { return temporal::round_duration_to_millis(Duration{secs, nanos}).value(); };
    EXPECT_EQ(r(0, 1'500'000), 2);
    EXPECT_EQ(r(0, 2'500'000), 2);
    EXPECT_EQ(r(0, 2'500'001), 3);
    EXPECT_EQ(r(-1, 998'500'000), -2);  // -1.5 ms
    EXPECT_EQ(r(-1, 999'500'000), 0);   // -0.5 ms
    EXPECT_EQ(r(-1, 997'500'000), -2);  // -2.5 ms
    EXPECT_EQ(r(-1, 997'499'999), -3);
    EXPECT_EQ(r(0, 999'999'999), 1000);
    EXPECT_EQ(r(-2, 500'000'000), -1500);
    EXPECT_EQ(r(INT64_MAX / 1000, 0), INT64_MAX / 1000 * 1000);
    EXPECT_EQ(r(INT64_MIN / 1000, 0), INT64_MIN / 1000 * 1000);
    EXPECT_FALSE(temporal::round_duration_to_millis(Duration{INT64_MAX / 1000 + 1, 0}));
    EXPECT_FALSE(temporal::round_duration_to_millis(Duration{INT64_MIN, 0}));
    EXPECT_EQ(temporal::round_duration_to_millis(Duration{INT64_MIN, 0}).error().message, "temporal value is outside XLSX range");
}

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "xml/number_parse.hpp"
#include "xml/number_format.hpp"
#include "xml/xml_writer.hpp"

using namespace velmo;
using namespace velmo::xml;

TEST(XmlWriter, DeclarationTagsAndAttributes) {
    XmlWriter w = XmlWriter::with_declaration(256);
    w.start("worksheet", {{"xmlns", "http://x"}});
    w.start("sheetData");
    w.open("c").attr("r", "A1").attr("s", std::uint64_t{3}).attr("n", -2).attr("ht", 12.5).close_start();
    w.start("v");
    w.text(1.0);
    w.end("v");
    w.end("c");
    w.empty("col", {{"min", "1"}, {"max", "2"}});
    w.empty("br");
    w.start("e");
    w.end("e");
    w.end("sheetData");
    w.end("worksheet");
    auto out = std::move(w).finish();
    ASSERT_TRUE(out);
    EXPECT_EQ(*out,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
              "<worksheet xmlns=\"http://x\"><sheetData>"
              "<c r=\"A1\" s=\"3\" n=\"-2\" ht=\"12.5\"><v>1</v></c>"
              "<col min=\"1\" max=\"2\"/><br/><e></e></sheetData></worksheet>");
}

TEST(XmlWriter, EscapingTables) {
    std::string t;
    EXPECT_TRUE(append_escaped_text(t, "a&b<c>d\"e'f\tg\nh\ri \xC3\xA9"));
    EXPECT_EQ(t, "a&amp;b&lt;c&gt;d&quot;e&apos;f\tg\nh&#13;i \xC3\xA9");

    std::string a;
    EXPECT_TRUE(append_escaped_attr(a, "a&b<c>d\"e'f\tg\nh\ri"));
    EXPECT_EQ(a, "a&amp;b&lt;c&gt;d&quot;e&apos;f&#9;g&#10;h&#13;i");

    XmlWriter w;
    w.empty("sheet", {{"name", "Tom & Jerry's\n"}});
    w.text("x\r\ny");
    EXPECT_EQ(w.buffer(), "<sheet name=\"Tom &amp; Jerry&apos;s&#10;\"/>x&#13;\ny");

    // Characters U+FFFD and above U+FFFF pass; the EF lead byte alone is no reason to refuse.
    std::string u;
    EXPECT_TRUE(append_escaped_text(u, "\xEF\xBF\xBD\xEF\xBB\xBF\xF0\x9F\x98\x80"));
    EXPECT_EQ(u, "\xEF\xBF\xBD\xEF\xBB\xBF\xF0\x9F\x98\x80");
}

TEST(XmlWriter, DisallowedCharactersAreRefused) {
    for (const char* bad : {"\x01", "a\x08", "\x0B", "\x0C", "\x0E", "\x1F", "\xEF\xBF\xBE", "\xEF\xBF\xBF"}) {
        std::string s;
        EXPECT_FALSE(append_escaped_text(s, bad)) << bad;
        EXPECT_FALSE(append_escaped_attr(s, bad)) << bad;
    }
    std::string nul("a\0b", 3);
    std::string s;
    EXPECT_FALSE(append_escaped_text(s, nul));

    XmlWriter w = XmlWriter::with_declaration();
    w.start("t");
    w.text("ok\x02");
    w.end("t");
    EXPECT_FALSE(w.ok());
    auto out = std::move(w).finish();
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, ErrorKind::Xml);
    EXPECT_NE(out.error().message.find("U+0002"), std::string::npos) << out.error().message;

    // The check callers run first, to name the cell in their own message.
    EXPECT_FALSE(find_disallowed_char("tab\tlf\ncr\r \xC3\xA9 \xEF\xBF\xBD \xF0\x9F\x98\x80"));
    auto c = find_disallowed_char("ab\x07");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->offset, 2u);
    EXPECT_EQ(c->code_point, 7u);
    c = find_disallowed_char("\xC3\xA9\xEF\xBF\xBF");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->offset, 2u);
    EXPECT_EQ(c->code_point, 0xFFFFu);
    c = find_disallowed_char(std::string_view("x\0", 2));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->code_point, 0u);
    // A fault in the encoding is reported too, after any earlier disallowed character.
    c = find_disallowed_char("ok\xED\xA0\x80");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->invalid_utf8);
    EXPECT_EQ(c->offset, 2u);
    c = find_disallowed_char("\x01\xFF");
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->invalid_utf8);
}

TEST(XmlNumberFormat, ShortestPlainDecimal) {
    EXPECT_EQ(format_f64(1.0), "1");
    EXPECT_EQ(format_f64(-1.0), "-1");
    EXPECT_EQ(format_f64(0.1), "0.1");
    EXPECT_EQ(format_f64(12.5), "12.5");
    EXPECT_EQ(format_f64(-0.001), "-0.001");
    EXPECT_EQ(format_f64(1e21), "1000000000000000000000");
    EXPECT_EQ(format_f64(1e23), "100000000000000000000000");
    EXPECT_EQ(format_f64(1e-7), "0.0000001");
    EXPECT_EQ(format_f64(123456789012345680000.0), "123456789012345680000");
    EXPECT_EQ(format_f64(0.30000000000000004), "0.30000000000000004");
    EXPECT_EQ(format_f64(45678.123456789), "45678.123456789");
    EXPECT_EQ(format_f64(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(format_f64(std::numeric_limits<double>::max()), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(format_f64(0.0), "0");
    EXPECT_EQ(format_f64(-0.0), "-0");
    EXPECT_EQ(format_f64(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_f64(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_f64(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(XmlNumberFormat, EveryFormReadsBack) {
    const double values[] = {1.0,     0.1,   1e21,    1e23,          1e-7, 5e-324, std::numeric_limits<double>::max(),
                             -0.0,    2.5e-308, 123456789012345680000.0, 1.0 / 3, 9007199254740993.0,
                             -1e300,  std::numeric_limits<double>::infinity()};
    for (double v : values) {
        const std::string s = format_f64(v);
        EXPECT_EQ(s.find_first_of("eE"), std::string::npos) << s;
        const auto back = parse_f64(s);
        ASSERT_TRUE(back) << s;
        EXPECT_EQ(*back, v) << s;
        EXPECT_EQ(std::signbit(*back), std::signbit(v)) << s;
    }
    EXPECT_TRUE(std::isnan(*parse_f64(format_f64(std::nan("")))));
}

// The shortest digits of the scientific form, laid out without exponent: what every number's text
// must equal, whichever road it takes.
std::string plain_shortest(double v) {
    char buf[40];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    std::string out, digits;
    if (sci.front() == '-') {
        out = "-";
        sci.remove_prefix(1);
    }
    const size_t e = sci.find('e');
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    const int point = std::stoi(std::string(sci.substr(e + 1))) + 1;
    const int nd = static_cast<int>(digits.size());
    if (point <= 0) return out + "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    if (point >= nd) return out + digits + std::string(static_cast<size_t>(point - nd), '0');
    return out + digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
}

// Integers and short decimals take a quicker road than other numbers; all read the same.
TEST(XmlNumberFormat, QuickFormsMatchTheShortestDigits) {
    std::mt19937_64 rng(25);
    const auto pick = [&](int i) -> double {
        const double sign = rng() % 2 ? -1.0 : 1.0;
        const int64_t n = static_cast<int64_t>(rng() >> (rng() % 64));
        switch (i % 5) {
        case 0: return sign * static_cast<double>(n);                                  // integers of any size
        case 1: return sign * static_cast<double>(n % 100000000) / std::pow(10.0, static_cast<int>(rng() % 7));
        case 2: return sign * static_cast<double>(n >> 11) / 4;                         // quarters near 2^51
        case 3: return static_cast<double>(rng() % 4000000) + (rng() % 1000) / 1000.0;  // sums, not exact
        default: {
            double bits;
            const uint64_t raw = rng();
            std::memcpy(&bits, &raw, sizeof bits);
            return std::isfinite(bits) ? bits : 1.5;
        }
        }
    };
    for (int i = 0; i < 300000; ++i) {
        const double v = pick(i);
        if (v == 0) continue;
        ASSERT_EQ(format_f64(v), plain_shortest(v)) << std::hexfloat << v;
    }
}

TEST(XmlNumberFormat, Integers) {
    std::string s;
    append_u64(s, 0);
    s += ' ';
    append_u64(s, UINT64_MAX);
    s += ' ';
    append_i64(s, INT64_MIN);
    EXPECT_EQ(s, "0 18446744073709551615 -9223372036854775808");

    XmlWriter w;
    w.text(std::uint32_t{42});
    w.text(-7);
    EXPECT_EQ(w.buffer(), "42-7");
}

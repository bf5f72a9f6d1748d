#include "model/coords.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmo::coords {
namespace {

using Pos = std::optional<CellPos>;
using Rng = std::optional<RangePos>;

TEST(ParseA1, AcceptsLettersOfEitherCaseThenUnsignedRow) {
    EXPECT_EQ(parse_a1("A1"), (CellPos{1, 1}));
    EXPECT_EQ(parse_a1("a1"), (CellPos{1, 1}));
    EXPECT_EQ(parse_a1("A+1"), (CellPos{1, 1}));
    EXPECT_EQ(parse_a1("A01"), (CellPos{1, 1}));
    EXPECT_EQ(parse_a1("A00000000001"), (CellPos{1, 1}));
    EXPECT_EQ(parse_a1("ab05"), (CellPos{28, 5}));
    EXPECT_EQ(parse_a1("XFD1048576"), (CellPos{16384, 1048576}));
}

TEST(ParseA1, RefusesAnythingElse) {
    for (const char* text : {"", "A0", "A", "1", "A-1", "A 1", " A1", "A1 ", "$A$1", "A$1", "A1:B2", "Sheet1!A1",
                             "A++1", "+1", "A+", "A1x", "\xc3\xa9" "1", "A\xd9\xa1"}) {
        EXPECT_EQ(parse_a1(text), Pos{}) << text;
    }
}

TEST(ParseA1, HasNoGridLimitButStaysWithinU32) {
    EXPECT_EQ(parse_a1("XFE1"), (CellPos{16385, 1}));
    EXPECT_EQ(parse_a1("A1048577"), (CellPos{1, 1048577}));
    EXPECT_EQ(parse_a1("MWLQKWU1"), (CellPos{4294967295u, 1}));
    EXPECT_EQ(parse_a1("A4294967295"), (CellPos{1, 4294967295u}));
    EXPECT_EQ(parse_a1("MWLQKWV1"), Pos{});
    EXPECT_EQ(parse_a1("AAAAAAAAAAAAAAAAAAAAAAAAAAAA1"), Pos{});
    EXPECT_EQ(parse_a1("A4294967296"), Pos{});
    EXPECT_EQ(parse_a1("A99999999999999999999999"), Pos{});
}

TEST(ParseRange, TrimsSidesAndKeepsCornersAsWritten) {
    EXPECT_EQ(parse_range(" A1 : B2 "), (RangePos{1, 1, 2, 2}));
    EXPECT_EQ(parse_range("B5:A1"), (RangePos{2, 5, 1, 1}));
    EXPECT_EQ(parse_range("C3"), (RangePos{3, 3, 3, 3}));
    EXPECT_EQ(parse_range("\xc2\xa0" "C3\xe3\x80\x80"), (RangePos{3, 3, 3, 3}));  // NBSP, ideographic space
    for (const char* text : {"A1:", ":A1", "A:C", "1:3", "A1:B2:C3", "$A$1:$B$2", "", " ", ":"}) {
        EXPECT_EQ(parse_range(text), Rng{}) << text;
    }
    EXPECT_EQ((RangePos{2, 5, 1, 1}).ordered(), (RangePos{1, 1, 2, 5}));
}

TEST(ColumnName, IsBijectiveBase26) {
    const std::pair<uint32_t, const char*> cases[] = {
        {1, "A"},     {26, "Z"},     {27, "AA"},      {52, "AZ"},           {53, "BA"},
        {702, "ZZ"},  {703, "AAA"},  {16384, "XFD"},  {4294967295u, "MWLQKWU"},
    };
    for (auto [n, name] : cases) {
        EXPECT_EQ(column_name(n), name);
        char buf[8];
        EXPECT_EQ(std::string(buf, write_column_name(buf, n)), name);
        EXPECT_EQ(parse_a1(std::string(name) + "1"), (CellPos{n, 1}));
        EXPECT_EQ(column_number(name), n);
    }
    EXPECT_EQ(column_name(0), "");
    EXPECT_EQ(column_number("xfd"), 16384u);
    for (const char* bad : {"", "A1", "A ", "MWLQKWV", "\xc3\x84"}) EXPECT_EQ(column_number(bad), std::nullopt) << bad;
}

TEST(RcToA1, BuildsTheCanonicalKeyRowFirst) {
    EXPECT_EQ(rc_to_a1(1, 1), "A1");
    EXPECT_EQ(rc_to_a1(5, 28), "AB5");
    EXPECT_EQ(rc_to_a1(1048576, 16384), "XFD1048576");
    EXPECT_EQ(rc_to_a1(4294967295u, 4294967295u), "MWLQKWU4294967295");
    auto parsed = parse_a1("ab05");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(rc_to_a1(parsed->row, parsed->col), "AB5");

    std::string buf = "x";
    append_a1(buf, 12, 3);
    EXPECT_EQ(buf, "xC12");
}

TEST(RcToA1, RefusesZeroWithoutCrashingRowFirst) {
    auto message = [](uint32_t r, uint32_t c) {
        try {
            rc_to_a1(r, c);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no throw");
    };
    EXPECT_EQ(message(0, 1), "row must be 1-based");
    EXPECT_EQ(message(0, 0), "row must be 1-based");
    EXPECT_EQ(message(1, 0), "col must be 1-based");
    std::string buf = "keep";
    EXPECT_THROW(append_a1(buf, 1, 0), std::invalid_argument);
    EXPECT_EQ(buf, "keep");
}

TEST(AbsoluteForms, CellAndRange) {
    EXPECT_EQ(make_cell_absolute("B3"), "$B$3");
    EXPECT_EQ(make_cell_absolute("b3"), "$b$3");
    EXPECT_EQ(make_cell_absolute("A1B2"), "$A$1B2");
    EXPECT_EQ(make_cell_absolute("AB"), "AB");
    EXPECT_EQ(make_cell_absolute("12"), "12");
    EXPECT_EQ(make_cell_absolute("$B3"), "$B3");
    EXPECT_EQ(make_cell_absolute(""), "");

    EXPECT_EQ(make_absolute_range("A1:B2"), "$A$1:$B$2");
    EXPECT_EQ(make_absolute_range("B3"), "$B$3");
    EXPECT_EQ(make_absolute_range("1:3"), "$1:$3");
    EXPECT_EQ(make_absolute_range("A:C"), "$A:$C");
    EXPECT_EQ(make_absolute_range("a1:b2"), "$a$1:$b$2");
    EXPECT_EQ(make_absolute_range("$A$1:B2"), "$A$1:B2");
    EXPECT_EQ(make_absolute_range("A1:B2:C3"), "$A$1:$B$2:C3");
    EXPECT_EQ(make_absolute_range("1:C"), "$1:$C");
    EXPECT_EQ(make_absolute_range(":5"), "$:$5");
    EXPECT_EQ(make_absolute_range(""), "");
}

TEST(AbsoluteForms, LineRange) {
    EXPECT_EQ(make_absolute_line_range("1:3"), "$1:$3");
    EXPECT_EQ(make_absolute_line_range("$1:$3"), "$1:$3");
    EXPECT_EQ(make_absolute_line_range("A1:B2"), "$A1:$B2");
    EXPECT_EQ(make_absolute_line_range("A:C"), "$A:$C");
    EXPECT_EQ(make_absolute_line_range("A1"), "A1");
    EXPECT_EQ(make_absolute_line_range(""), "");
}

TEST(NormalizeFreezePanes, UpperCasesAndDropsUnusable) {
    using S = std::optional<std::string>;
    for (S in : {S{}, S{""}, S{" \t "}, S{"A1"}, S{"a1"}, S{" a1 "}, S{"$B$2"}, S{"B2:C3"}, S{"Sheet1!B2"},
                 S{"B 2"}}) {
        EXPECT_EQ(normalize_freeze_panes(in), S{}) << in.value_or("<none>");
    }
    EXPECT_EQ(normalize_freeze_panes(" c3 "), "C3");
    EXPECT_EQ(normalize_freeze_panes("xfe5"), "XFE5");
    EXPECT_EQ(normalize_freeze_panes("b02"), "B02");  // kept as written, not rebuilt
}

TEST(NormalizePrintSetting, AbsolutePiecesWithoutSheetPrefix) {
    using S = std::optional<std::string>;
    EXPECT_EQ(normalize_print_setting(S{}), S{});
    EXPECT_EQ(normalize_print_setting("Sheet1!A1:B2"), "$A$1:$B$2");
    EXPECT_EQ(normalize_print_setting("A1:B2, D1:E2"), "$A$1:$B$2,$D$1:$E$2");
    EXPECT_EQ(normalize_print_setting("'My Sheet'!$A$1:$C$3"), "$A$1:$C$3");
    EXPECT_EQ(normalize_print_setting("1:2"), "$1:$2");
    EXPECT_EQ(normalize_print_setting("A1:B2,,C3"), "$A$1:$B$2,$C$3");
    EXPECT_EQ(normalize_print_setting("Sheet1!A1, Sheet2!B2:C3"), "$A$1,$B$2:$C$3");
    EXPECT_EQ(normalize_print_setting("  A:B  "), "$A:$B");
    for (const char* blank : {"Sheet1!", ", ,", "!", "", "   "}) {
        EXPECT_EQ(normalize_print_setting(blank), S{}) << blank;
    }
}

TEST(NormalizePrintSetting, CommaInsideQuotedTitleDoesNotSplit) {
    EXPECT_EQ(normalize_print_setting("'Q1,Q2'!A1:B2"), "$A$1:$B$2");
    EXPECT_EQ(normalize_print_setting("'Q1,Q2'!A1:B2,'Bob''s'!C3"), "$A$1:$B$2,$C$3");
    EXPECT_EQ(normalize_print_setting("'a!b'!D4"), "$D$4");
}

TEST(TrimWs, UnicodeWhiteSpaceAtBothEnds) {
    EXPECT_EQ(trim_ws(" \t\r\n x y \v\f"), "x y");
    EXPECT_EQ(trim_ws("\xc2\x85\xc2\xa0x\xe2\x80\x80\xe2\x80\xa8\xe3\x80\x80"), "x");
    EXPECT_EQ(trim_ws("\xe2\x80\x8bx"), "\xe2\x80\x8bx");  // zero-width space is not White_Space
    EXPECT_EQ(trim_ws("\xa0x\xa0"), "\xa0x\xa0");          // lone continuation bytes stay
    EXPECT_EQ(trim_ws("   "), "");
    EXPECT_EQ(trim_ws(""), "");
}

}  // namespace
}  // namespace velmo::coords

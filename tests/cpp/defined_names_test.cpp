#include "model/defined_names.hpp"

#include <gtest/gtest.h>

using namespace velmo;
using namespace velmo::defined_names;
using Pieces = std::vector<std::string>;

namespace {

const char* kReservedMessage =
    "'_xlnm.*' names are reserved for print settings; use ws.print_area / ws.print_title_rows / ws.print_title_cols instead";

}  // namespace

TEST(DefinedNames, InsertReplacesInPlaceByExactName) {
    DefinedNames names;
    names.insert(DefinedName::make("Alpha", "1"));
    DefinedName total = DefinedName::make("Total", "Sheet1!$A$1");
    total.comment = "old";
    total.hidden = true;
    names.insert(total);
    names.insert(DefinedName::make("Zeta", "3"));

    names.insert(DefinedName::make("Total", "Sheet1!$B$2"));
    EXPECT_EQ(names.names(), (Pieces{"Alpha", "Total", "Zeta"}));
    const DefinedName* found = names.find("Total");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, DefinedName::make("Total", "Sheet1!$B$2"));  // comment and hidden flag replaced too

    // One name in any ASCII case: the later spelling replaces the earlier in place. No trimming, and
    // look-ups by key stay exact.
    names.insert(DefinedName::make("total", "4"));
    names.insert(DefinedName::make("Total ", "5"));
    EXPECT_EQ(names.names(), (Pieces{"Alpha", "total", "Zeta", "Total "}));
    EXPECT_EQ(names.find("Total"), nullptr);
    EXPECT_EQ(names.find("TOTAL"), nullptr);
    ASSERT_NE(names.find_same("TOTAL"), nullptr);
    EXPECT_EQ(names.find_same("TOTAL")->value, "4");
    EXPECT_FALSE(names.remove("TOTAL"));
    // Only ASCII letters fold.
    names.insert(DefinedName::make("\xc3\x84", "6"));
    names.insert(DefinedName::make("\xc3\xa4", "7"));
    EXPECT_EQ(names.size(), 6u);

    // The reader path stores reserved and empty names unchecked.
    names.insert(DefinedName::make("_xlnm.Print_Area", "x"));
    names.insert(DefinedName::make("", ""));
    EXPECT_EQ(names.size(), 8u);
    EXPECT_TRUE(names.remove("total"));
    EXPECT_EQ(names.find_same("TOTAL"), nullptr);
    EXPECT_EQ(names.find("Zeta")->value, "3");
}

TEST(DefinedNames, AddRefusesTheReservedPrefixOnly) {
    DefinedNames names;
    ASSERT_TRUE(names.add(DefinedName::make("Keep", "1")));
    for (const char* reserved : {"_xlnm.Print_Area", "_xlnm._FilterDatabase", "_xlnm.", "_XLNM.Print_Area", "_xLnM.x"}) {
        auto r = names.add(DefinedName::make(reserved, "x"));
        ASSERT_FALSE(r) << reserved;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
        EXPECT_EQ(r.error().message, kReservedMessage);
    }
    EXPECT_EQ(names.names(), (Pieces{"Keep"}));
    for (const char* accepted : {"_XLNM", "_xlnm", "xlnm.x", "_xlnm_x"}) {
        EXPECT_TRUE(names.add(DefinedName::make(accepted, "x"))) << accepted;
    }
    ASSERT_TRUE(names.add(DefinedName::make("Keep", "2")));
    EXPECT_EQ(names.names(), (Pieces{"Keep", "_xlnm", "xlnm.x", "_xlnm_x"}));
    EXPECT_EQ(names.find("Keep")->value, "2");
}

TEST(DefinedNames, RemoveAndFindMut) {
    DefinedNames names;
    for (const char* n : {"A", "B", "C"}) names.insert(DefinedName::make(n, n));
    names.find_mut("B")->hidden = true;
    EXPECT_TRUE(names.find("B")->hidden);
    EXPECT_FALSE(names.remove("b"));
    EXPECT_TRUE(names.remove("B"));
    EXPECT_FALSE(names.remove("B"));
    EXPECT_EQ(names.names(), (Pieces{"A", "C"}));
}

TEST(QuoteSheetTitle, AlwaysQuotesAndDoublesApostrophes) {
    EXPECT_EQ(quote_sheet_title("Sheet1"), "'Sheet1'");
    EXPECT_EQ(quote_sheet_title("Bob's"), "'Bob''s'");
    EXPECT_EQ(quote_sheet_title(""), "''");
    EXPECT_EQ(quote_sheet_title("'"), "''''");
    EXPECT_EQ(quote_sheet_title("My Sheet, 2"), "'My Sheet, 2'");
}

TEST(SplitTopLevelCsv, CommasInsideQuotedTitlesStay) {
    EXPECT_EQ(split_top_level_csv("A1,B2"), (Pieces{"A1", "B2"}));
    EXPECT_EQ(split_top_level_csv("'a,b'!A1, C1"), (Pieces{"'a,b'!A1", "C1"}));
    EXPECT_EQ(split_top_level_csv("'it''s'!A1,B1"), (Pieces{"'it''s'!A1", "B1"}));
    EXPECT_EQ(split_top_level_csv("'x'',y'!A1,B1"), (Pieces{"'x'',y'!A1", "B1"}));
    EXPECT_EQ(split_top_level_csv("'My Sheet'!A1"), (Pieces{"'My Sheet'!A1"}));
    EXPECT_EQ(split_top_level_csv("'a,b"), (Pieces{"'a,b"}));
}

TEST(SplitTopLevelCsv, EmptyPieces) {
    EXPECT_EQ(split_top_level_csv("A,,B"), (Pieces{"A", "", "B"}));
    EXPECT_EQ(split_top_level_csv("A,"), (Pieces{"A"}));
    EXPECT_EQ(split_top_level_csv(" , A"), (Pieces{"", "A"}));
    EXPECT_EQ(split_top_level_csv(""), Pieces{});
    EXPECT_EQ(split_top_level_csv(" \t\n"), Pieces{});
    // Trimming covers Unicode white space (here a no-break space and an ideographic space).
    EXPECT_EQ(split_top_level_csv("\u00a0A1\u3000,B1"), (Pieces{"A1", "B1"}));
}

TEST(ComposePrintArea, SingleRangeVerbatimListsTrimmed) {
    EXPECT_EQ(compose_print_area(std::string_view("Data"), std::string_view("$A$1:$B$2")), "'Data'!$A$1:$B$2");
    EXPECT_EQ(compose_print_area(std::string_view("Data"), std::string_view(" $A$1 ")), "'Data'! $A$1 ");
    EXPECT_EQ(compose_print_area(std::string_view("Bob's"), std::string_view("$A$1:$B$2, $D$1:$D$5")),
              "'Bob''s'!$A$1:$B$2,'Bob''s'!$D$1:$D$5");
    EXPECT_EQ(compose_print_area(std::string_view("S"), std::string_view("$A$1,,$B$1,")), "'S'!$A$1,'S'!,'S'!$B$1");
    EXPECT_EQ(compose_print_area(std::string_view("S"), std::string_view("")), "'S'!");
    EXPECT_EQ(compose_print_area(std::string_view("'Q'"), Pieces{" $A$1", "$C$3 "}), "'Q'!$A$1,'Q'!$C$3");
}

TEST(StripSheetPrefixMulti, DropsEverythingUpToTheLastBang) {
    EXPECT_EQ(strip_sheet_prefix_multi("Sheet1!$A$1:$B$2"), "$A$1:$B$2");
    EXPECT_EQ(strip_sheet_prefix_multi("'My Sheet'!A1:B2, 'My Sheet'!D1"), "A1:B2,D1");
    EXPECT_EQ(strip_sheet_prefix_multi("'a!b'!C3"), "C3");
    EXPECT_EQ(strip_sheet_prefix_multi("'a,b'!A1,'a,b'!B2"), "A1,B2");
    EXPECT_EQ(strip_sheet_prefix_multi("A1"), "A1");
    EXPECT_EQ(strip_sheet_prefix_multi(" Sheet1! A1 "), "A1");
    EXPECT_EQ(strip_sheet_prefix_multi("Sheet1!"), "");
    EXPECT_EQ(strip_sheet_prefix_multi(""), "");
}

TEST(MakeAbsoluteAreaRange, EachPieceMadeAbsolute) {
    EXPECT_EQ(make_absolute_area_range("A1:B2,D1"), "$A$1:$B$2,$D$1");
    EXPECT_EQ(make_absolute_area_range("A1:B2, D1 "), "$A$1:$B$2,$D$1");
    EXPECT_EQ(make_absolute_area_range("1:3"), "$1:$3");
    EXPECT_EQ(make_absolute_area_range("$A$1,B2"), "$A$1,$B$2");
    EXPECT_EQ(make_absolute_area_range(""), "");
}

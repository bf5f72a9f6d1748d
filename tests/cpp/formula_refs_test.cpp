#include "model/formula_refs.hpp"

#include <gtest/gtest.h>

#include <random>

namespace velmo::formula {
namespace {

TEST(MoveReferences, MovesRelativePartsOnly) {
    struct Case {
        const char* text;
        int64_t rows, cols;
        const char* want;
    } cases[] = {
        {"A1*2", 1, 0, "A2*2"},
        {"A1+A$1+$A1+$A$1", 2, 3, "D3+D$1+$A3+$A$1"},
        {"SUM(A1:B2)", 1, 1, "SUM(B2:C3)"},
        {"SUM(A:A,$B:C,1:1,$2:3)", 4, 1, "SUM(B:B,$B:D,5:5,$2:7)"},
        {"Other!A1+'My Sheet'!B$2+'Bob''s'!C3", 1, 0, "Other!A2+'My Sheet'!B$2+'Bob''s'!C4"},
        {"SUM(Sheet1:Sheet3!A1)+[1]Data!B2", 1, 0, "SUM(Sheet1:Sheet3!A2)+[1]Data!B3"},
        {"LOG10(A1)+ATAN2(A1,B1)+_xlfn.DAYS360(A1,B1)", 1, 0, "LOG10(A2)+ATAN2(A2,B2)+_xlfn.DAYS360(A2,B2)"},
        {"IF(A1=\"A1 \"\"B2\"\"\",Rate,#N/A)&#REF!", 1, 0, "IF(A2=\"A1 \"\"B2\"\"\",Rate,#N/A)&#REF!"},
        {"Table1[[#This Row],[A1]]*1E3+1.5e-2+.5+TRUE", 1, 0, "Table1[[#This Row],[A1]]*1E3+1.5e-2+.5+TRUE"},
        {"Sales2024+ABCD1+XFE1+A1048577+A0", 1, 1, "Sales2024+ABCD1+XFE1+A1048577+A0"},
        {"b2*c$3+A1#", 1, 1, "C3*D$3+B2#"},
        {"{1,2;3,4}*A1:A2 B1:B2", 2, 0, "{1,2;3,4}*A3:A4 B3:B4"},
        {"A2-A1", -1, 0, "A1-#REF!"},
        {"SUM(Data!A1:B2)+XFD1", 0, 1, "SUM(Data!B1:C2)+#REF!"},
        {"SUM(A1:B2)+A:A+1:1", -1, -1, "SUM(#REF!)+#REF!+#REF!"},
        {"$A$1048576+A1048576", 1, 0, "$A$1048576+#REF!"},
        {"'unclosed!A1", 1, 0, "'unclosed!A1"},
        {"T[x'[y]+A1", 1, 0, "T[x'[y]+A2"},
        {"T[x+A1", 1, 0, "T[x+A1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(move_references(c.text, c.rows, c.cols), c.want) << c.text << " by " << c.rows << "," << c.cols;
    }
}

// Moving there and back gives the text back whenever nothing left the grid; any text is safe to scan.
TEST(MoveReferences, RoundTripsAndSurvivesArbitraryText) {
    std::mt19937 rng(13);
    const char* pieces[] = {"A1", "$B$2", "C$3", "$D4", ":", "A:B", "3:4", "+", "SUM(", ")", "'S x'!", "\"t\"", "[T]",
                            "1E3", "N1", "'", "\"", "[", "$", "\xc3\xa9", " ", ",", "!"};
    for (int n = 0; n < 2000; ++n) {
        std::string text;
        for (int k = rng() % 8; k >= 0; --k) text += pieces[rng() % std::size(pieces)];
        const std::string there = move_references(text, 5, 5);
        if (there.find("#REF!") != std::string::npos) continue;
        EXPECT_EQ(move_references(there, -5, -5), text) << text;
    }
}

// Within a limit the text comes out whole or not at all, and the text built on the way, the
// scratch's room included, never passes the limit, however the references grow.
TEST(MoveReferences, WithinALimitStopsAtIt) {
    std::string grown;  // "A1+A1+..." moved a million rows down: 20 times "A1000001", 179 bytes
    for (int i = 0; i < 20; ++i) grown += i ? "+A1" : "A1";
    struct Case {
        std::string text;
        int64_t rows;
        size_t limit;
        bool whole;
    } cases[] = {
        {grown, 1'000'000, 179, true}, {grown, 1'000'000, 178, false}, {grown, 1'000'000, 40, false},
        {grown, 1'048'576, 119, true}, {grown, 1'048'576, 118, false},  // 20 times "#REF!"
        {"SUM(A1:B2)", 0, 10, true},   {"SUM(A1:B2)", 0, 9, false},    {"", 5, 0, true},
    };
    for (const Case& c : cases) {
        std::string fresh, used = "left over from an earlier text";
        for (std::string* out : {&fresh, &used}) {
            EXPECT_EQ(move_references_within(c.text, c.rows, 0, c.limit, *out), c.whole) << c.text << " within " << c.limit;
            if (c.whole) {
                EXPECT_EQ(*out, move_references(c.text, c.rows, 0));
            }
            EXPECT_LE(out->size(), c.limit);
        }
        // A string's smallest room on the heap is 30 bytes.
        EXPECT_LE(fresh.capacity(), std::max(c.limit, size_t{30})) << c.text << " within " << c.limit;
    }
}

}  // namespace
}  // namespace velmo::formula

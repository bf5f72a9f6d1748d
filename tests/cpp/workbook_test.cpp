#include "model/workbook.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

namespace velmo {
namespace {

std::vector<std::vector<std::string>> coordinates(const std::vector<std::vector<CellCopy>>& lines) {
    std::vector<std::vector<std::string>> out;
    for (const auto& line : lines) {
        auto& o = out.emplace_back();
        for (const CellCopy& c : line) o.push_back(c.coordinate);
    }
    return out;
}

ConditionalRule rule_with_priority(std::optional<uint32_t> p) {
    ConditionalRule r = ConditionalRule::formula({"A1>0"}, Dxf{});
    r.priority = p;
    return r;
}

// ---- workbook and cells ----

TEST(Cells, KeysAreExactTexts) {
    Worksheet ws("S");
    ws.set_cell("a1", 1.0);
    EXPECT_EQ(ws.find_cell("A1"), nullptr);
    ASSERT_NE(ws.find_cell("a1"), nullptr);
    ws.set_cell("A1", 2.0);
    ws.set_cell(" A1", 3.0);
    ws.set_cell("junk", std::string("x"));
    EXPECT_EQ(ws.cells().size(), 4u);
    EXPECT_EQ(std::get<double>(ws.find_cell("a1")->value), 1.0);
    EXPECT_EQ(std::get<double>(ws.find_cell("A1")->value), 2.0);
}

TEST(Cells, ApiCellsShareTheEmptyStyleSheetAndKeepRecordsOnReassignment) {
    Workbook wb = Workbook::make_new();
    Worksheet& ws = wb.sheets[0];
    ws.set_cell("B2", std::string("x"));
    const Cell* c = ws.find_cell("B2");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->style_index, 0u);
    EXPECT_EQ(c->stylesheet, empty_stylesheet());
    EXPECT_TRUE(c->stylesheet->cell_xfs.empty() && c->stylesheet->fonts.empty() && c->stylesheet->num_fmts.empty());
    EXPECT_EQ(c->extras, nullptr);

    Fill fill;
    fill.pattern_type = "solid";
    ws.set_cell_comment("B2", Comment{"note", "me"});
    ws.set_cell_fill("B2", fill);
    ws.set_cell("B2", Formula{"SUM(A1:A3)"});
    c = ws.find_cell("B2");
    EXPECT_EQ(kind_of(c->value), ValueKind::Formula);
    ASSERT_NE(c->comment(), nullptr);
    EXPECT_EQ(c->comment()->text, "note");
    ASSERT_NE(c->fill(), nullptr);
    EXPECT_EQ(*c->fill(), fill);
    EXPECT_EQ(c->font(), nullptr);

    ws.set_cell("B2", Value{});
    EXPECT_TRUE(is_empty(ws.find_cell("B2")->value));  // an empty value leaves the cell in place
    EXPECT_NE(ws.find_cell("B2")->comment(), nullptr);
}

TEST(Cells, PutCellReplacesAndWidensTheUsedRange) {
    Worksheet ws;
    Cell c;
    c.value = 1.0;
    ws.put_cell("C3", c);
    c.value = 2.0;
    ws.put_cell("C3", c);
    EXPECT_EQ(ws.cells().size(), 1u);
    EXPECT_EQ(std::get<double>(ws.find_cell("C3")->value), 2.0);
    ws.put_cell("e9", c);
    const UsedRange& u = ws.used_range();
    EXPECT_FALSE(u.empty);
    EXPECT_EQ(u.min_row, 3u);
    EXPECT_EQ(u.max_row, 9u);
    EXPECT_EQ(u.min_col, 3u);
    EXPECT_EQ(u.max_col, 5u);
}

TEST(Cells, UsedRangeIsRecomputedAfterInvalidation) {
    Worksheet ws;
    ws.set_cell("B2", 1.0);
    ws.set_cell("Z99", 1.0);
    ws.set_cell("$A$1", 1.0);  // stored, but takes no part in the used range
    EXPECT_EQ(ws.used_range().max_row, 99u);
    EXPECT_EQ(ws.used_range().min_col, 2u);
    ws.cells_mut().erase("Z99");
    ws.invalidate_used_range();
    EXPECT_EQ(ws.used_range().max_row, 2u);
    EXPECT_EQ(ws.used_range().max_col, 2u);
    ws.cells_mut().erase("B2");
    ws.invalidate_used_range();
    EXPECT_TRUE(ws.used_range().empty);
    ws.set_cell("D4", 1.0);  // widening after a recompute starts from the new cell
    EXPECT_EQ(ws.used_range().min_row, 4u);
    EXPECT_EQ(ws.used_range().max_row, 4u);
}

// ---- append ----

TEST(Append, RowChoice) {
    Worksheet ws;
    ASSERT_TRUE(ws.append({1.0}));
    EXPECT_NE(ws.find_cell("A1"), nullptr);
    ASSERT_TRUE(ws.append({2.0, 3.0}));
    EXPECT_NE(ws.find_cell("B2"), nullptr);

    Worksheet other;
    other.set_cell("B7", 1.0);
    other.set_cell("x", 1.0);
    ASSERT_TRUE(other.append({Value{}, 5.0}));
    ASSERT_NE(other.find_cell("A8"), nullptr);
    EXPECT_TRUE(is_empty(other.find_cell("A8")->value));
    EXPECT_EQ(std::get<double>(other.find_cell("B8")->value), 5.0);

    Worksheet lower;
    lower.set_cell("b7", 1.0);  // a non-canonical key still counts
    ASSERT_TRUE(lower.append({true}));
    EXPECT_NE(lower.find_cell("A8"), nullptr);

    Worksheet junk_only;
    junk_only.set_cell("junk", 1.0);
    ASSERT_TRUE(junk_only.append({true}));
    EXPECT_NE(junk_only.find_cell("A1"), nullptr);
}

TEST(Append, FollowsEditsThatMoveCells) {
    Worksheet ws;
    ws.set_cell("A10", 1.0);
    ws.cells_mut().rekey([](const CellMap::Key& key) {
        return key == "A10" ? CellMap::Rekey::move({1, 2}) : CellMap::Rekey::keep();
    });
    ws.invalidate_used_range();
    ASSERT_TRUE(ws.append({1.0}));
    EXPECT_NE(ws.find_cell("A3"), nullptr);
}

TEST(Append, NoRowAfterTheLastU32RowFailsAndChangesNothing) {
    Worksheet ws;
    ws.set_cell("c4294967295", 1.0);
    auto r = ws.append({1.0, 2.0});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(r.error().message, "append has no next row: the sheet already holds row 4294967295");
    EXPECT_EQ(ws.cells().size(), 1u);
    // An empty row asks for no next row, so it is no error.
    EXPECT_TRUE(ws.append({}));

    Worksheet below;
    below.set_cell("A4294967294", 1.0);
    ASSERT_TRUE(below.append({1.0}));
    EXPECT_NE(below.find_cell("A4294967295"), nullptr);
}

// ---- rectangular reads ----

TEST(RectangleReads, DefaultsToTheUsedRange) {
    Worksheet ws;
    ws.set_cell("B2", 1.0);
    ws.set_cell("D5", 2.0);
    auto rows = ws.iter_rows({}, {}, {}, {});
    ASSERT_TRUE(rows);
    EXPECT_EQ(coordinates(*rows), (std::vector<std::vector<std::string>>{
                                      {"B2", "C2", "D2"}, {"B3", "C3", "D3"}, {"B4", "C4", "D4"}, {"B5", "C5", "D5"}}));
    EXPECT_EQ(std::get<double>((*rows)[0][0].cell.value), 1.0);
    EXPECT_EQ(std::get<double>((*rows)[3][2].cell.value), 2.0);
    EXPECT_TRUE(is_empty((*rows)[1][1].cell.value));

    auto cols = ws.iter_cols({}, {}, {}, {});
    ASSERT_TRUE(cols);
    ASSERT_EQ(cols->size(), 3u);
    EXPECT_EQ(coordinates(*cols)[0], (std::vector<std::string>{"B2", "B3", "B4", "B5"}));
    EXPECT_EQ(coordinates(*cols)[2][3], "D5");

    EXPECT_EQ(ws.cells().size(), 2u);  // fillers are not inserted
}

TEST(RectangleReads, ExplicitBoundsAndEmptyResults) {
    Worksheet ws;
    ws.set_cell("B2", 1.0);
    ws.set_cell("D5", 2.0);
    auto below = ws.iter_rows(6, {}, {}, {});
    ASSERT_TRUE(below);
    EXPECT_TRUE(below->empty());
    auto reversed = ws.iter_cols(1, 1, 4, 2);
    ASSERT_TRUE(reversed);
    EXPECT_TRUE(reversed->empty());
    auto one = ws.iter_rows(5, 5, 4, 4);
    ASSERT_TRUE(one);
    EXPECT_EQ(coordinates(*one), (std::vector<std::vector<std::string>>{{"D5"}}));

    Worksheet empty;
    auto lone = empty.iter_rows({}, {}, {}, {});
    ASSERT_TRUE(lone);
    EXPECT_EQ(coordinates(*lone), (std::vector<std::vector<std::string>>{{"A1"}}));
    EXPECT_TRUE(empty.cells().empty());
}

TEST(RectangleReads, FillersAndNonCanonicalKeys) {
    Worksheet ws;
    ws.set_cell("a1", 7.0);
    ws.set_cell("B2", 8.0);
    ws.set_cell_comment("B2", Comment{"c", ""});
    auto rows = ws.iter_rows({}, {}, {}, {});
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    const CellCopy& a1 = (*rows)[0][0];
    EXPECT_EQ(a1.coordinate, "A1");
    EXPECT_TRUE(is_empty(a1.cell.value));  // "a1" widens the range but is not the key "A1"
    EXPECT_EQ(a1.cell.style_index, 0u);
    EXPECT_EQ(a1.cell.stylesheet, (*rows)[0][1].cell.stylesheet);
    EXPECT_TRUE(a1.cell.stylesheet->cell_xfs.empty());
    const CellCopy& b2 = (*rows)[1][1];
    ASSERT_NE(b2.cell.comment(), nullptr);
    EXPECT_NE(b2.cell.comment(), ws.find_cell("B2")->comment());  // a copy, not the stored record
}

// A value of a block as a Value, a text as a String; a formula of the full read compares as its text.
Value unpacked(const PackedValue& p, const std::string& texts) {
    switch (p.kind()) {
        case PackedValue::Kind::Empty: return {};
        case PackedValue::Kind::Text: return std::string(p.text(texts));
        case PackedValue::Kind::Number: return p.number();
        case PackedValue::Kind::Bool: return p.boolean();
        case PackedValue::Kind::Date: return p.date();
        case PackedValue::Kind::DateTime: return p.date_time();
        case PackedValue::Kind::Time: return p.time();
        case PackedValue::Kind::Duration: return p.duration();
    }
    return {};
}

void expect_same_values(const ValueBlock& block, const std::vector<std::vector<CellCopy>>& full, const std::string& what) {
    ASSERT_EQ(block.lines(), full.size()) << what;
    size_t line = 0;
    for (const ValueBand& band : block.bands()) {
        for (uint64_t l = 0; l < band.lines; ++l, ++line) {
            ASSERT_EQ(block.width(), full.at(line).size()) << what;
            for (size_t i = 0; i < block.width(); ++i) {
                const Value& v = full[line][i].cell.value;
                const auto* f = std::get_if<Formula>(&v);
                EXPECT_EQ(unpacked(band.values[l * block.width() + i], band.texts), f ? Value("=" + f->text) : v)
                    << full[line][i].coordinate << what;
            }
        }
    }
    EXPECT_EQ(line, full.size()) << what;
}

// The values-only read gives what the full read gives, through both of its walks (one pass over the
// cells for a large rectangle, look-ups for a small one), by rows and by columns.
TEST(RectangleReads, ValuesAloneMatchTheFullRead) {
    Worksheet ws;
    for (uint32_t r = 2; r <= 40; ++r)
        for (uint32_t c = 2; c <= 6; c += (r % 3) + 1) ws.put_cell(r, c, Cell{});
    for (uint32_t r = 2; r <= 40; ++r) ws.ensure_cell_mut(r, 3).value = std::string("t") + std::to_string(r);
    ws.set_cell("D7", 4.5);
    ws.set_cell("d8", 9.0);  // not canonical: no rectangle read finds it
    ws.set_cell("total", 1.0);
    using Bounds = std::array<std::optional<uint32_t>, 4>;
    for (const Bounds& b : {Bounds{}, Bounds{7, 8, 3, 4}, Bounds{1, 3, 1, 2}, Bounds{5, 4, 1, 1}, Bounds{39, 45, 6, 7}}) {
        for (bool by_rows : {true, false}) {
            auto full = by_rows ? ws.iter_rows(b[0], b[1], b[2], b[3]) : ws.iter_cols(b[0], b[1], b[2], b[3]);
            auto block = ws.values_rect(by_rows, b[0], b[1], b[2], b[3]);
            ASSERT_TRUE(full && block);
            expect_same_values(*block, *full, by_rows ? " by rows" : " by columns");
        }
    }
    EXPECT_FALSE(ws.values_rect(true, 0, 5, 1, 1));  // the same refusals
}

// Random sheets of every kind of value, read through random rectangles: the copy holds what the full
// read holds, also across the bands of a long or wide rectangle.
TEST(RectangleReads, ValueCopiesMatchTheFullReadOnRandomSheets) {
    for (unsigned seed = 0; seed < 30; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
        auto date = [&](int year, uint32_t years) {
            return Date{std::chrono::year(year + int(pick(0, years))), std::chrono::month(pick(1, 12)), std::chrono::day(pick(1, 28))};
        };
        const bool wide = seed % 5 == 0;  // past 64K values a band: one line each
        const uint32_t rows = wide ? 3 : pick(1, 600), cols = wide ? 40000 : pick(1, 40);
        Worksheet ws;
        const Text shared_long(std::string(Text::kLong + 1, 's'));  // one text read by many cells
        for (uint32_t n = pick(0, 2000); n > 0; --n) {
            const Value values[] = {Value{}, std::string(pick(0, 40), 'x'), std::string("=text"), Formula{"A1+B2"},
                                    std::string(pick(Text::kLong - 8, Text::kLong + 40), 'y'), shared_long,
                                    std::uniform_real_distribution<double>(-1e300, 1e300)(rng), pick(0, 1) == 1,
                                    date(-32767, 65534), DateTime{date(1, 9998), TimeOfDay{pick(0, 86399), pick(0, 1'999'999'999)}},
                                    TimeOfDay{pick(0, 86399), pick(0, 999'999'999)},
                                    Duration{std::uniform_int_distribution<int64_t>(INT64_MIN, INT64_MAX)(rng), pick(0, 999'999'999)}};
            ws.set_cell(coords::rc_to_a1(pick(1, rows), pick(1, cols)), values[pick(0, std::size(values) - 1)]);
        }
        ws.set_cell("c" + std::to_string(pick(1, rows)), 1.0);  // not canonical: never read
        auto bound = [&](uint32_t limit) { return pick(0, 2) ? std::optional<uint32_t>(pick(1, limit + 2)) : std::nullopt; };
        for (int round = 0; round < 4; ++round) {
            const auto min_row = bound(rows), max_row = bound(rows), min_col = bound(cols), max_col = bound(cols);
            for (bool by_rows : {true, false}) {
                auto full = by_rows ? ws.iter_rows(min_row, max_row, min_col, max_col) : ws.iter_cols(min_row, max_row, min_col, max_col);
                auto block = ws.values_rect(by_rows, min_row, max_row, min_col, max_col);
                ASSERT_TRUE(full && block);
                expect_same_values(*block, *full, " seed " + std::to_string(seed) + (by_rows ? " by rows" : " by columns"));
            }
        }
    }
}

TEST(RectangleReads, RangesEndingAtTheLastU32IndexDoNotWrap) {
    Worksheet ws;
    auto rows = ws.iter_rows(4294967294u, 4294967295u, 4294967295u, 4294967295u);
    ASSERT_TRUE(rows);
    EXPECT_EQ(coordinates(*rows), (std::vector<std::vector<std::string>>{{"MWLQKWU4294967294"}, {"MWLQKWU4294967295"}}));
    auto cols = ws.iter_cols(4294967295u, 4294967295u, 4294967294u, {});
    ASSERT_TRUE(cols);
    EXPECT_TRUE(cols->empty());  // max_col defaults to 1 on an empty sheet
}

TEST(RectangleReads, ZeroBoundInsideANonEmptyRectangleFails) {
    Worksheet ws;
    ws.set_cell("B2", 1.0);
    auto r = ws.iter_rows(0, 2, {}, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(r.error().message, "iter_rows min_row must be >= 1, got 0");
    auto c = ws.iter_cols({}, {}, 0, {});
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().message, "iter_cols min_col must be >= 1, got 0");
    EXPECT_FALSE(ws.iter_rows(0, 0, 0, 0));
    EXPECT_EQ(ws.cells().size(), 1u);

    // A rectangle that is empty because a first bound exceeds its last is no error.
    auto none = ws.iter_rows(5, 0, {}, {});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    auto none_cols = ws.iter_cols({}, {}, 1, 0);
    ASSERT_TRUE(none_cols);
    EXPECT_TRUE(none_cols->empty());
}

TEST(RectangleReads, OversizedRectangleFailsBeforeBuilding) {
    Worksheet ws;
    ws.set_cell("A1", 1.0);
    ws.set_cell("A4294967295", 1.0);
    auto r = ws.iter_rows({}, {}, {}, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(r.error().message,
              "iter_rows rectangle of 4294967295 rows by 1 columns exceeds the limit of 100000000 cells: pass min_row, "
              "max_row, min_col and max_col to read part of it");
    auto c = ws.iter_cols(1, 4294967295u, 1, 4294967295u);  // 2^64 - 2^33 + 1 cells: no overflow in the test
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().message,
              "iter_cols rectangle of 4294967295 rows by 4294967295 columns exceeds the limit of 100000000 cells: pass "
              "min_row, max_row, min_col and max_col to read part of it");
    // Just over the limit.
    EXPECT_FALSE(ws.iter_rows(1, 10001, 1, 10000));
}

// ---- records on cells and the sheet ----

TEST(Records, MergeAndUnmergeCompareBytes) {
    Worksheet ws;
    ws.merge_cells("A1:B2");
    ws.merge_cells("A1:B2");
    ws.merge_cells("a1:b2");
    ws.merge_cells("C1:D1");
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A1:B2", "a1:b2", "C1:D1"}));
    ws.unmerge_cells("A1:B2");
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"a1:b2", "C1:D1"}));
    ws.unmerge_cells("Z9:Z10");
    EXPECT_EQ(ws.merged_ranges.size(), 2u);
}

TEST(Records, AutoFilterIsTrimmedAndBlankClears) {
    Worksheet ws;
    ws.set_auto_filter("  A1:C9 ");
    EXPECT_EQ(ws.auto_filter, "A1:C9");
    ws.set_auto_filter("   ");
    EXPECT_FALSE(ws.auto_filter);
    ws.set_auto_filter("A1:B2");
    ws.set_auto_filter(std::nullopt);
    EXPECT_FALSE(ws.auto_filter);
}

TEST(Records, PrintAreaIsComposedWithTheQuotedTitle) {
    Worksheet ws("Sheet1");
    EXPECT_FALSE(ws.print_area());
    ws.print_area_text = "$A$1:$C$3";
    EXPECT_EQ(ws.print_area(), "'Sheet1'!$A$1:$C$3");
    ws.name = "Bob's";
    ws.print_area_text = "$A$1:$B$2,$D$1";
    EXPECT_EQ(ws.print_area(), "'Bob''s'!$A$1:$B$2,'Bob''s'!$D$1");
    ws.name = "T";
    ws.print_area_text = "$A$1, $B$2";
    EXPECT_EQ(ws.print_area(), "'T'!$A$1,'T'!$B$2");
    // A comma inside single quotes does not split.
    ws.print_area_text = "'x,y'!A1,B2";
    EXPECT_EQ(ws.print_area(), "'T'!'x,y'!A1,'T'!B2");
    ws.name = "a,b";
    ws.print_area_text = *coords::normalize_print_setting("'a,b'!A1:B2");
    EXPECT_EQ(ws.print_area(), "'a,b'!$A$1:$B$2");
}

// ---- conditional formatting ----

TEST(ConditionalFormattingAdd, PrioritiesAndBlocks) {
    Worksheet ws;
    ASSERT_TRUE(ws.add_conditional_formatting("A1:A5", rule_with_priority(40)));
    ASSERT_EQ(ws.conditional_formatting.size(), 1u);
    EXPECT_EQ(ws.conditional_formatting[0].rules[0].priority, 1u);  // a carried priority is replaced

    ASSERT_TRUE(ws.add_conditional_formatting(" A1:A5 ", rule_with_priority({})));
    ASSERT_EQ(ws.conditional_formatting.size(), 1u);
    EXPECT_EQ(ws.conditional_formatting[0].rules[1].priority, 2u);

    ASSERT_TRUE(ws.add_conditional_formatting("A1:A5 C1", rule_with_priority({})));
    ASSERT_TRUE(ws.add_conditional_formatting("A1:A5  C1", rule_with_priority({})));
    ASSERT_EQ(ws.conditional_formatting.size(), 3u);
    EXPECT_EQ(ws.conditional_formatting[1].sqref, "A1:A5 C1");
    EXPECT_EQ(ws.conditional_formatting[2].sqref, "A1:A5  C1");
    EXPECT_EQ(ws.conditional_formatting[2].rules[0].priority, 4u);
    EXPECT_EQ(ws.conditional_formatting[2].rules[0].formulas, (std::vector<std::string>{"A1>0"}));

    // Pieces may be separated by any white space.
    EXPECT_TRUE(ws.add_conditional_formatting("A1\tB2:C3\xc2\xa0" "D4", rule_with_priority({})));
}

TEST(ConditionalFormattingAdd, HighestPriorityOnTheSheetCounts) {
    Worksheet ws;
    ws.conditional_formatting.push_back({"B1", {rule_with_priority({}), rule_with_priority(7)}});
    ws.conditional_formatting.push_back({"B2", {rule_with_priority(3)}});
    ASSERT_TRUE(ws.add_conditional_formatting("B2", rule_with_priority({})));
    EXPECT_EQ(ws.conditional_formatting[1].rules.back().priority, 8u);

    Worksheet unprioritised;
    unprioritised.conditional_formatting.push_back({"B1", {rule_with_priority({})}});
    ASSERT_TRUE(unprioritised.add_conditional_formatting("C1", rule_with_priority({})));
    EXPECT_EQ(unprioritised.conditional_formatting[1].rules[0].priority, 1u);
}

TEST(ConditionalFormattingAdd, InvalidSqrefFailsWithQuotedTextAndChangesNothing) {
    Worksheet ws;
    ASSERT_TRUE(ws.add_conditional_formatting("A1:A5", rule_with_priority({})));
    const std::pair<const char*, const char*> cases[] = {
        {"A1:", "conditional formatting sqref \"A1:\" is not a valid A1 range"},
        {"", "conditional formatting sqref \"\" is not a valid A1 range"},
        {" \t ", "conditional formatting sqref \" \\t \" is not a valid A1 range"},
        {"A1:A5 junk", "conditional formatting sqref \"A1:A5 junk\" is not a valid A1 range"},
        {"A:C", "conditional formatting sqref \"A:C\" is not a valid A1 range"},
        {"A1 \"B\"\n", "conditional formatting sqref \"A1 \\\"B\\\"\\n\" is not a valid A1 range"},
    };
    for (auto [sqref, message] : cases) {
        auto r = ws.add_conditional_formatting(sqref, rule_with_priority({}));
        ASSERT_FALSE(r) << sqref;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
        EXPECT_EQ(r.error().message, message);
    }
    ASSERT_EQ(ws.conditional_formatting.size(), 1u);
    EXPECT_EQ(ws.conditional_formatting[0].rules.size(), 1u);
}

TEST(ConditionalFormattingAdd, NoPriorityAboveTheLastU32FailsAndChangesNothing) {
    Worksheet ws;
    ws.conditional_formatting.push_back({"A1", {rule_with_priority(4294967295u)}});
    auto r = ws.add_conditional_formatting("A1", rule_with_priority({}));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(r.error().message,
              "conditional formatting priority cannot exceed 4294967295: the sheet already holds a rule of that "
              "priority");
    EXPECT_EQ(ws.conditional_formatting.size(), 1u);
    EXPECT_EQ(ws.conditional_formatting[0].rules.size(), 1u);
}


TEST(TableNames, OnlyAsciiLettersFold) {
    EXPECT_TRUE(table_names_equal("Sales", "sALES"));
    EXPECT_FALSE(table_names_equal("Sales", "Sale"));
    EXPECT_FALSE(table_names_equal("\xc3\xa9", "\xc3\x89"));  // only A-Z fold
    EXPECT_FALSE(table_names_equal("a[", "A{"));
}

}  // namespace
}  // namespace velmo

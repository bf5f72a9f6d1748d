#include "writer/sheet_part.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "model/coords.hpp"
#include "support/xml_well_formed.hpp"

using namespace velmo;
using namespace velmo::writer;
using namespace std::chrono;

namespace {

constexpr std::string_view kDecl = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)";
constexpr std::string_view kRoot = R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)";
constexpr std::string_view kRootR =
    R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" )"
    R"(xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)";

// Everything a save prepares before writing sheet 0.
struct Prepared {
    std::vector<SheetCellOrder> orders;
    SharedStringTable strings;
    CollectedStyles styles;
};

Result<Prepared> prepare(const Workbook& wb, bool has_source = false) {
    Prepared p;
    auto orders = order_workbook_cells(wb);
    if (!orders) return fail(orders.error());
    p.orders = std::move(*orders);
    auto strings = build_shared_strings(wb, p.orders);
    if (!strings) return fail(strings.error());
    p.strings = std::move(*strings);
    auto styles = collect_styles(wb, has_source, p.orders);
    if (!styles) return fail(styles.error());
    p.styles = std::move(*styles);
    return p;
}

Result<std::string> sheet_xml(const Workbook& wb, const SheetPartRelIds& rels = {}, size_t sheet = 0) {
    auto p = prepare(wb);
    if (!p) return fail(p.error());
    return write_sheet_xml(wb.sheets[sheet], sheet, p->orders[sheet], p->strings, p->styles, rels);
}

std::string ok_xml(const Workbook& wb, const SheetPartRelIds& rels = {}) {
    auto xml = sheet_xml(wb, rels);
    EXPECT_TRUE(xml) << xml.error().message;
    if (!xml) return {};
    EXPECT_TRUE(test::parses_as_xml(*xml));
    return *xml;
}

std::string error_of(const Workbook& wb, const SheetPartRelIds& rels = {}) {
    auto xml = sheet_xml(wb, rels);
    EXPECT_FALSE(xml);
    if (xml) return {};
    EXPECT_EQ(xml.error().kind, ErrorKind::InvalidFormat);
    return xml.error().message;
}

std::string between(const std::string& s, std::string_view from, std::string_view to) {
    const auto a = s.find(from);
    if (a == std::string::npos) return "<missing " + std::string(from) + ">";
    const auto b = s.find(to, a);
    return s.substr(a, b + to.size() - a);
}

Workbook one_sheet() { return Workbook::make_new(); }

}  // namespace

TEST(CellSortKey, Examples) {
    EXPECT_EQ(cell_sort_key("B3"), (SortKey{3, 2}));
    EXPECT_EQ(cell_sort_key("b3"), (SortKey{3, 2}));
    EXPECT_EQ(cell_sort_key("$B$3"), (SortKey{3, 2}));
    EXPECT_EQ(cell_sort_key("3B"), (SortKey{3, 2}));
    EXPECT_EQ(cell_sort_key("AA10"), (SortKey{10, 27}));
    EXPECT_EQ(cell_sort_key("XFD1048576"), (SortKey{1048576, 16384}));
    EXPECT_EQ(cell_sort_key("AB"), (SortKey{0, 28}));
    EXPECT_EQ(cell_sort_key(""), (SortKey{0, 0}));
    EXPECT_EQ(cell_sort_key("A4294967296"), (SortKey{0, 1}));
    EXPECT_EQ(cell_sort_key("\xC3\xA9" "B2"), (SortKey{2, 2}));
    EXPECT_LT(cell_sort_key("B9"), cell_sort_key("B10"));
    EXPECT_LT(cell_sort_key("C1"), cell_sort_key("B2"));
}

TEST(CellOrder, RowMajorWithCanonicalPositions) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    for (const char* key : {"B10", "C1", "B9", "b2", "A+2", "AA1"}) ws.set_cell(key, Value{1.0});
    ws.set_cell("Z9", Value{});  // mentions nothing: left out
    auto order = order_sheet_cells(ws);
    ASSERT_TRUE(order);
    std::vector<std::string> refs;
    for (const OrderedCell& oc : *order) refs.push_back(coords::rc_to_a1(oc.row(), oc.col()));
    EXPECT_EQ(refs, (std::vector<std::string>{"C1", "AA1", "A2", "B2", "B9", "B10"}));
}

// What an order says its cells hold lets the walks for texts, dates and extras skip a sheet; a flag
// left down wrongly would drop a shared string, a date format, a comment or a hyperlink.
TEST(CellOrder, TellsWhatItsCellsHold) {
    struct Case {
        const char* what;
        std::function<void(Worksheet&)> add;
        bool text, temporal, extras;
    };
    const Case cases[] = {
        {"numbers", [](Worksheet&) {}, false, false, false},
        {"a text", [](Worksheet& ws) { ws.set_cell("C3", Value{std::string("t")}); }, true, false, false},
        {"a formula", [](Worksheet& ws) { ws.set_cell("C3", Value{Formula{"A1"}}); }, false, false, false},
        {"a date", [](Worksheet& ws) { ws.set_cell("C3", Value{Date{std::chrono::year{2024} / 1 / 2}}); }, false, true,
         false},
        {"a duration", [](Worksheet& ws) { ws.set_cell("C3", Value{Duration{60, 0}}); }, false, true, false},
        {"a comment on a blank", [](Worksheet& ws) { ws.set_cell_comment("C3", Comment{"c", "me"}); }, false, false,
         true},
        {"a hyperlink", [](Worksheet& ws) { ws.set_cell_hyperlink("C3", "https://example.com"); }, false, false, true},
        {"an own fill", [](Worksheet& ws) { ws.set_cell_fill("C3", Fill{"solid", std::nullopt, std::nullopt}); },
         false, false, true},
    };
    for (const Case& c : cases) {
        Workbook wb = one_sheet();
        Worksheet& ws = wb.sheets[0];
        ws.set_cell("A1", Value{1.0});
        ws.set_cell("B2", Value{2.5});
        c.add(ws);
        auto order = order_sheet_cells(ws);
        ASSERT_TRUE(order) << c.what;
        EXPECT_EQ(order->has_text, c.text) << c.what;
        EXPECT_EQ(order->has_temporal, c.temporal) << c.what;
        EXPECT_EQ(order->has_extras, c.extras) << c.what;
    }
    // An order made by hand claims everything, so that nothing is skipped for it.
    const SheetCellOrder by_hand;
    EXPECT_TRUE(by_hand.has_text && by_hand.has_temporal && by_hand.has_extras);
}

// Cells stored out of order are sorted, by the radix sort from 1024 cells on; cells stored in order are
// taken as they are. Both give the one row-major order.
TEST(CellOrder, SortsCellsStoredOutOfOrder) {
    std::mt19937 rng(25);
    for (const size_t count : {size_t{40}, size_t{3000}}) {
        std::vector<std::pair<uint32_t, uint32_t>> cells;
        for (uint32_t r = 1; cells.size() < count; ++r)
            for (uint32_t c = 1; c <= 30 && cells.size() < count; c += 1 + rng() % 3) cells.emplace_back(r * 7, c * 500);
        for (const bool shuffled : {false, true}) {
            auto stored = cells;
            if (shuffled) std::shuffle(stored.begin(), stored.end(), rng);
            Workbook wb = one_sheet();
            for (auto [r, c] : stored) wb.sheets[0].set_cell(coords::rc_to_a1(r, c), Value{1.0});
            auto order = order_sheet_cells(wb.sheets[0]);
            ASSERT_TRUE(order);
            ASSERT_EQ(order->size(), cells.size());
            for (size_t i = 0; i < cells.size(); ++i)
                ASSERT_EQ(std::make_pair((*order)[i].row(), (*order)[i].col()), cells[i]) << count << " " << shuffled;
        }
    }
}

TEST(CellOrder, RefusesKeysOutsideTheGridAndDuplicates) {
    const auto refused = [](std::initializer_list<const char*> keys) {
        Workbook wb = one_sheet();
        for (const char* key : keys) wb.sheets[0].set_cell(key, Value{1.0});
        auto order = order_sheet_cells(wb.sheets[0]);
        EXPECT_FALSE(order);
        return order ? std::string() : order.error().message;
    };
    EXPECT_EQ(refused({"A1", "foo"}), "sheet \"Sheet\": cell key \"foo\" is not an A1 cell reference");
    EXPECT_EQ(refused({"$A$1"}), "sheet \"Sheet\": cell key \"$A$1\" is not an A1 cell reference");
    EXPECT_EQ(refused({"A0"}), "sheet \"Sheet\": cell key \"A0\" is not an A1 cell reference");
    EXPECT_EQ(refused({"zz", "A 1"}), "sheet \"Sheet\": cell key \"A 1\" is not an A1 cell reference");
    EXPECT_EQ(refused({"XFE1"}), "sheet \"Sheet\": cell key \"XFE1\" lies outside the grid (A1:XFD1048576)");
    EXPECT_EQ(refused({"A1048577"}), "sheet \"Sheet\": cell key \"A1048577\" lies outside the grid (A1:XFD1048576)");
    EXPECT_EQ(refused({"a1", "A1"}), "sheet \"Sheet\": cell keys \"A1\" and \"a1\" name the same cell");
    EXPECT_EQ(refused({"a1", "A1", "A01"}), "sheet \"Sheet\": cell keys \"A01\", \"A1\" and \"a1\" name the same cell");

    // A key that holds nothing to write is no concern of the package.
    Workbook wb = one_sheet();
    wb.sheets[0].set_cell("foo", Value{});
    wb.sheets[0].set_cell("a1", Value{});
    wb.sheets[0].set_cell("A1", Value{1.0});
    EXPECT_TRUE(order_sheet_cells(wb.sheets[0]));
    // A comment alone puts a key in the package.
    wb.sheets[0].ensure_cell_mut("bar").extras_mut().comment = Comment{"c", "me"};
    EXPECT_FALSE(order_sheet_cells(wb.sheets[0]));
}

TEST(SheetPart, EmptySheetExactText) {
    EXPECT_EQ(ok_xml(one_sheet()), std::string(kDecl) + std::string(kRoot) + "<sheetData></sheetData></worksheet>");
}

TEST(SheetPart, CellsExactText) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.set_cell("b10", Value{std::string("ten")});
    ws.set_cell("B9", Value{1.0});
    ws.set_cell("C1", Value{0.1});
    ws.set_cell("B2", Value{1e21});
    ws.set_cell("A2", Value{false});
    ws.set_cell("D2", Value{true});
    ws.set_cell("E2", Value{Formula{"SUM(A1:A3)"}});
    ws.set_cell("F2", Value{Formula{""}});
    ws.set_cell("G2", Value{-0.0});
    ws.set_cell("H2", Value{Date{year{1900}, month{3}, day{1}}});
    ws.set_cell("A5", Value{std::string("five")});
    ws.set_cell("B5", Value{std::string("ten")});
    ws.row_heights[4] = 30;
    ws.row_heights[5] = 12.5;
    EXPECT_EQ(ok_xml(wb), std::string(kDecl) + std::string(kRoot) +
                              R"(<sheetData>)"
                              R"(<row r="1"><c r="C1" s="0"><v>0.1</v></c></row>)"
                              R"(<row r="2"><c r="A2" s="0" t="b"><v>0</v></c>)"
                              R"(<c r="B2" s="0"><v>1000000000000000000000</v></c>)"
                              R"(<c r="D2" s="0" t="b"><v>1</v></c>)"
                              R"(<c r="E2" s="0"><f>SUM(A1:A3)</f></c>)"
                              R"(<c r="F2" s="0"><f></f></c>)"
                              R"(<c r="G2" s="0"><v>-0</v></c>)"
                              R"(<c r="H2" s="1"><v>61</v></c></row>)"
                              R"(<row r="4" ht="30" customHeight="1"></row>)"
                              R"(<row r="5" ht="12.5" customHeight="1"><c r="A5" s="0" t="s"><v>0</v></c>)"
                              R"(<c r="B5" s="0" t="s"><v>1</v></c></row>)"
                              R"(<row r="9"><c r="B9" s="0"><v>1</v></c></row>)"
                              R"(<row r="10"><c r="B10" s="0" t="s"><v>1</v></c></row>)"
                              R"(</sheetData></worksheet>)");
}

TEST(SheetPart, ArrayFormulasWriteTheirBlockCutAtTheGrid) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    const std::pair<const char*, ArraySpan> arrays[] = {{"A1", {3, 2}}, {"C1", {1, 1}}, {"XFD2", {2, 5}}};
    for (const auto& [key, span] : arrays) {
        ws.set_cell(key, Value{Formula{"A1<B1"}});
        ws.find_cell_mut(key)->extras_mut().array = span;
    }
    EXPECT_EQ(between(ok_xml(wb), "<sheetData>", "</sheetData>"),
              R"(<sheetData><row r="1"><c r="A1" s="0"><f t="array" ref="A1:B3">A1&lt;B1</f></c>)"
              R"(<c r="C1" s="0"><f t="array" ref="C1">A1&lt;B1</f></c></row>)"
              R"(<row r="2"><c r="XFD2" s="0"><f t="array" ref="XFD2:XFD3">A1&lt;B1</f></c></row></sheetData>)");
}

TEST(SheetPart, BlankCellsKeepTheirStyle) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    Cell styled;
    styled.style_index = 3;
    ws.put_cell("B1", styled);
    ws.set_cell_fill("A1", Fill{"solid", ColorArgb{"FFFF0000"}, std::nullopt});
    ws.set_cell("C1", Value{});                        // nothing to keep: dropped
    ws.set_cell_comment("D1", Comment{"note", "me"});  // its comment goes elsewhere
    EXPECT_EQ(between(ok_xml(wb), "<sheetData>", "</sheetData>"),
              R"(<sheetData><row r="1"><c r="A1" s="1"/><c r="B1" s="3"/></row></sheetData>)");
}

TEST(SheetPart, WhatACellKeptIsWrittenWhileItsValueStays) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    const auto keep = [&](const char* key, Value v, KeptValue kept) {
        ws.set_cell(key, std::move(v));
        ws.find_cell_mut(key)->extras_mut().kept = std::move(kept);
    };
    keep("A1", Value{}, KeptValue{nullptr, "#N/A", {}, {}});
    keep("B1", Value{}, KeptValue{nullptr, "#VALUE!", 1, {}});
    keep("C1", Value{Formula{"SORT(D1:D3)"}}, KeptValue{nullptr, {}, {}, 1});
    keep("D1", Value{std::string("x")}, KeptValue{std::make_shared<const std::string>("<si><r><t>x</t></r></si>"), {}, 2, 3});
    keep("E1", Value{}, KeptValue{nullptr, {}, 4, {}});
    EXPECT_EQ(between(ok_xml(wb), "<sheetData>", "</sheetData>"),
              R"(<sheetData><row r="1"><c r="A1" s="0" t="e"><v>#N/A</v></c>)"
              R"(<c r="B1" s="0" t="e" vm="1"><v>#VALUE!</v></c>)"
              R"(<c r="C1" s="0" cm="1"><f>SORT(D1:D3)</f></c>)"
              R"(<c r="D1" s="0" t="s" cm="3" vm="2"><v>0</v></c>)"
              R"(<c r="E1" s="0" vm="4"/></row></sheetData>)");
    // A new value drops what the old one kept.
    for (const char* key : {"A1", "B1", "C1", "D1", "E1"}) ws.set_cell(key, Value{1.0});
    EXPECT_EQ(between(ok_xml(wb), "<sheetData>", "</sheetData>"),
              R"(<sheetData><row r="1"><c r="A1" s="0"><v>1</v></c><c r="B1" s="0"><v>1</v></c><c r="C1" s="0"><v>1</v></c>)"
              R"(<c r="D1" s="0"><v>1</v></c><c r="E1" s="0"><v>1</v></c></row></sheetData>)");
}

TEST(SheetPart, BlankDefaultCellsUnderStyledLinesAreWritten) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.column_formats[1].style = 2;  // column A
    ws.row_formats[3].style = 1;     // row 3
    ws.column_formats[2].hidden = true;  // a format without a style
    for (const char* key : {"A1", "B1", "B3", "C2"}) ws.set_cell(key, Value{});
    ws.set_cell_comment("A2", Comment{"note", "me"});  // made for its comment: not written
    EXPECT_EQ(between(ok_xml(wb), "<sheetData>", "</sheetData>"),
              R"(<sheetData><row r="1"><c r="A1" s="0"/></row><row r="3" s="1" customFormat="1"><c r="B3" s="0"/></row></sheetData>)");
}

TEST(SheetPart, RefusesNumbersAndSizesNoReaderTakes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    Workbook wb = one_sheet();
    wb.sheets[0].set_cell("c7", Value{nan});
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\" cell C7: the number NaN cannot be stored in a workbook");
    wb.sheets[0].set_cell("c7", Value{-inf});
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\" cell C7: the number -inf cannot be stored in a workbook");
    wb.sheets[0].set_cell("c7", Value{1.0});

    wb.sheets[0].column_widths[3] = nan;
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": column 3 width NaN is not a finite, non-negative number");
    wb.sheets[0].column_widths[3] = -1;
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": column 3 width -1 is not a finite, non-negative number");
    wb.sheets[0].column_widths[3] = 0;
    wb.sheets[0].column_widths[16385] = 5;
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": a width is set for column 16385, outside the grid (1..16384)");
    wb.sheets[0].column_widths.erase(16385);
    wb.sheets[0].row_heights[2] = inf;
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": row 2 height inf is not a finite, non-negative number");
    wb.sheets[0].row_heights.erase(2);
    wb.sheets[0].row_heights[0] = 10;
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": a height is set for row 0, outside the grid (1..1048576)");
}

TEST(SheetPart, RefusesRangesPastTheGrid) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.freeze_panes = "A2000000";
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": frozen pane \"A2000000\" lies outside the grid (A1:XFD1048576)");
    ws.freeze_panes = "XFD1048576";
    ws.auto_filter = "A1:XFE3";
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": auto filter \"A1:XFE3\" lies outside the grid (A1:XFD1048576)");
    ws.auto_filter = "A1:XFD3";
    ws.merged_ranges = {"A1:B2", "not a range", "A1048577:A1048576"};
    EXPECT_EQ(error_of(wb), "sheet \"Sheet\": merged range \"A1048577:A1048576\" lies outside the grid (A1:XFD1048576)");
    ws.merged_ranges.pop_back();
    ASSERT_TRUE(ws.add_conditional_formatting("A1  B1:C1048577", ConditionalRule::formula({"1"}, Dxf{})));
    EXPECT_EQ(error_of(wb),
              "sheet \"Sheet\": conditional formatting range \"A1  B1:C1048577\" lies outside the grid (A1:XFD1048576)");
    ws.conditional_formatting[0].sqref = "A1 B1:C1048576";
    // Texts that are not ranges still go out as they are.
    EXPECT_NE(ok_xml(wb).find("<mergeCell ref=\"not a range\"/>"), std::string::npos);
}

TEST(SheetPart, TemporalValueOutsideTheSerialRange) {
    Workbook wb = one_sheet();
    wb.sheets[0].set_cell("A1", Value{Date{year{10000}, month{1}, day{1}}});
    EXPECT_EQ(error_of(wb), "temporal year 10000 is outside the XLSX range 1..=9999");
}

TEST(SheetPart, RefusesTextsXmlCannotCarry) {
    Workbook wb = one_sheet();
    wb.sheets[0].name = "Q&A";
    wb.sheets[0].set_cell("a3", Value{Formula{"\"x\x1f\""}});
    EXPECT_EQ(error_of(wb), "sheet \"Q&A\" cell A3: text holds U+001F, which XML does not allow (offset 2)");
    wb.sheets[0].set_cell("a3", Value{Formula{"\"\xE2\x82\""}});
    EXPECT_EQ(error_of(wb), "sheet \"Q&A\" cell A3: text is not valid UTF-8 (byte 0xE2 at offset 1)");
    wb.sheets[0].set_cell("a3", Value{1.0});

    wb.sheets[0].merge_cells("A1:B2\x0b");
    EXPECT_EQ(error_of(wb), "sheet \"Q&A\" merged range: text holds U+000B, which XML does not allow (offset 5)");
    wb.sheets[0].merged_ranges.clear();

    Hyperlink link{"", "Sheet!A1", "tip\x0c", std::nullopt};
    wb.sheets[0].ensure_cell_mut("B4").extras_mut().hyperlink = link;
    auto order = order_sheet_cells(wb.sheets[0]);
    SheetPartRelIds rels;
    rels.hyperlinks = sheet_hyperlinks(*order);
    EXPECT_EQ(error_of(wb, rels), "sheet \"Q&A\" hyperlink at B4: text holds U+000C, which XML does not allow (offset 3)");
}

TEST(SheetPart, EscapingAndWhiteSpace) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.set_cell("A1", Value{Formula{"IF(A2<>\"a&b\",'x',\"\r\n\")"}});
    ws.set_auto_filter(std::string("A1:C9"));
    ws.merge_cells("A1:B2");
    ws.merge_cells("A1:B2 ");
    const std::string xml = ok_xml(wb);
    EXPECT_NE(xml.find("<f>IF(A2&lt;&gt;&quot;a&amp;b&quot;,&apos;x&apos;,&quot;&#13;\n&quot;)</f>"), std::string::npos);
    EXPECT_NE(xml.find(R"(</sheetData><autoFilter ref="A1:C9"/><mergeCells count="2"><mergeCell ref="A1:B2"/>)"
                       R"(<mergeCell ref="A1:B2 "/></mergeCells></worksheet>)"),
              std::string::npos);
}

TEST(SheetPart, FrozenPanes) {
    const auto views = [](const char* pane) {
        Workbook wb = one_sheet();
        wb.sheets[0].freeze_panes = pane;
        const std::string xml = ok_xml(wb);
        return xml.find("<sheetViews>") == std::string::npos ? std::string() : between(xml, "<sheetViews>", "</sheetViews>");
    };
    EXPECT_EQ(views("C5"),
              R"(<sheetViews><sheetView workbookViewId="0"><pane topLeftCell="C5" activePane="bottomRight" state="frozen" )"
              R"(xSplit="2" ySplit="4"/><selection pane="topRight"/><selection pane="bottomLeft"/>)"
              R"(<selection pane="bottomRight" activeCell="C5" sqref="C5"/></sheetView></sheetViews>)");
    EXPECT_EQ(views("A2"),
              R"(<sheetViews><sheetView workbookViewId="0"><pane topLeftCell="A2" activePane="bottomLeft" state="frozen" )"
              R"(ySplit="1"/><selection pane="bottomLeft" activeCell="A2" sqref="A2"/></sheetView></sheetViews>)");
    EXPECT_EQ(views("B1"),
              R"(<sheetViews><sheetView workbookViewId="0"><pane topLeftCell="B1" activePane="topRight" state="frozen" )"
              R"(xSplit="1"/><selection pane="topRight" activeCell="B1" sqref="B1"/></sheetView></sheetViews>)");
    EXPECT_EQ(views("A1"), "");
    EXPECT_EQ(views("B"), "");
}

TEST(SheetPart, ColumnWidthsInColumnOrder) {
    Workbook wb = one_sheet();
    wb.sheets[0].column_widths[3] = 8.43;
    wb.sheets[0].column_widths[1] = 20;
    wb.sheets[0].column_widths[2] = 20;
    EXPECT_EQ(between(ok_xml(wb), "<cols>", "</cols>"),
              R"(<cols><col min="1" max="1" width="20" customWidth="1"/><col min="2" max="2" width="20" customWidth="1"/>)"
              R"(<col min="3" max="3" width="8.43" customWidth="1"/></cols>)");
}

TEST(SheetPart, RowAndColumnFormatsBesideSizes) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.column_widths[2] = 9;
    ws.column_formats = {{2, LineFormat{4, 0, false, false, true}}, {5, LineFormat{std::nullopt, 2, true, true, false, true}}};
    ws.row_heights[3] = 20;
    ws.row_formats = {{3, LineFormat{1, 1}}, {6, LineFormat{std::nullopt, 0, true}}, {1048577, LineFormat{std::nullopt, 0, true}}};
    const std::string xml = ok_xml(wb);
    EXPECT_EQ(between(xml, "<sheetFormatPr", "/>"), R"(<sheetFormatPr defaultRowHeight="15" outlineLevelRow="1" outlineLevelCol="2"/>)");
    EXPECT_EQ(between(xml, "<cols>", "</cols>"),
              R"(<cols><col min="2" max="2" width="9" customWidth="1" style="4" bestFit="1"/>)"
              R"(<col min="5" max="5" hidden="1" phonetic="1" outlineLevel="2" collapsed="1"/></cols>)");
    // A row past the grid has nowhere to go.
    EXPECT_EQ(between(xml, "<sheetData>", "</sheetData>"),
              R"(<sheetData><row r="3" ht="20" customHeight="1" s="1" customFormat="1" outlineLevel="1"></row>)"
              R"(<row r="6" hidden="1"></row></sheetData>)");
}

TEST(SheetPart, ConditionalFormatting) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    const Dxf dxf{std::nullopt, Fill{"solid", ColorArgb{"FFFF0000"}, std::nullopt}};
    ASSERT_TRUE(ws.add_conditional_formatting("A1:A9", ConditionalRule::cell_is("", {"1", "\"a<b\""}, dxf)));
    ConditionalRule read;
    read.rule_type = "timePeriod";
    read.extra_attributes = {{"timePeriod", "today"}, {"text", "a\"b"}};
    read.extra_children_xml = "<colorScale><cfvo type=\"min\"/></colorScale>";
    read.stop_if_true = true;
    read.dxf_id = 7;
    ws.conditional_formatting.push_back(ConditionalFormatting{"B1:B2 C3", {read}});
    ws.conditional_formatting.push_back(ConditionalFormatting{"D1", {}});
    EXPECT_EQ(between(ok_xml(wb), "</sheetData>", "</worksheet>"),
              R"(</sheetData><conditionalFormatting sqref="A1:A9"><cfRule type="cellIs" priority="1" operator="" dxfId="0">)"
              R"(<formula>1</formula><formula>&quot;a&lt;b&quot;</formula></cfRule></conditionalFormatting>)"
              R"(<conditionalFormatting sqref="B1:B2 C3"><cfRule type="timePeriod" priority="1" dxfId="7" stopIfTrue="1" )"
              R"(timePeriod="today" text="a&quot;b"><colorScale><cfvo type="min"/></colorScale></cfRule>)"
              R"(</conditionalFormatting><conditionalFormatting sqref="D1"></conditionalFormatting></worksheet>)");
}

TEST(SheetPart, HyperlinksDrawingAndTables) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.ensure_cell_mut("b2").extras_mut().hyperlink = Hyperlink{"https://example.com/?a=1&b=2", {}, {}, {}};
    ws.ensure_cell_mut("A5").extras_mut().hyperlink = Hyperlink{"", "'Other'!A1", "go\nthere", "Other"};
    ws.ensure_cell_mut("A7").extras_mut().hyperlink = Hyperlink{};  // neither target nor location: dropped
    ws.set_cell_hyperlink("C9", "https://example.org");
    auto order = order_sheet_cells(ws);
    ASSERT_TRUE(order);

    SheetPartRelIds rels;
    rels.hyperlinks = sheet_hyperlinks(*order);
    ASSERT_EQ(rels.hyperlinks.size(), 3u);
    EXPECT_EQ(hyperlink_targets(rels.hyperlinks), (std::vector<std::string>{"https://example.com/?a=1&b=2", "https://example.org"}));
    const std::string link_type(kHyperlinkRelType);
    const std::vector<SheetRelEntry> rel_list{
        {"rId3", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/printerSettings", "x", std::nullopt},
        {"rId4", link_type, "https://example.com/?a=1&b=2", "External"},
        {"rId5", link_type, "https://example.org", "External"},
    };
    assign_hyperlink_rel_ids(rels.hyperlinks, rel_list);
    rels.legacy_drawing_id = "rId2";
    rels.table_part_ids = {"rId6", "rId7"};
    const std::string xml = ok_xml(wb, rels);
    EXPECT_EQ(xml.substr(0, kDecl.size() + kRootR.size()), std::string(kDecl) + std::string(kRootR));
    EXPECT_EQ(between(xml, "</sheetData>", "</worksheet>"),
              R"(</sheetData><hyperlinks><hyperlink ref="B2" r:id="rId4"/>)"
              R"(<hyperlink ref="A5" location="&apos;Other&apos;!A1" tooltip="go&#10;there" display="Other"/>)"
              R"(<hyperlink ref="C9" r:id="rId5"/></hyperlinks><legacyDrawing r:id="rId2"/>)"
              R"(<tableParts count="2"><tablePart r:id="rId6"/><tablePart r:id="rId7"/></tableParts></worksheet>)");

    // Location-only links refer to no relationship: no xmlns:r.
    Workbook inner = one_sheet();
    inner.sheets[0].ensure_cell_mut("A1").extras_mut().hyperlink = Hyperlink{"", "B9", std::nullopt, std::nullopt};
    auto inner_order = order_sheet_cells(inner.sheets[0]);
    SheetPartRelIds inner_rels;
    inner_rels.hyperlinks = sheet_hyperlinks(*inner_order);
    assign_hyperlink_rel_ids(inner_rels.hyperlinks, {});
    const std::string inner_xml = ok_xml(inner, inner_rels);
    EXPECT_EQ(inner_xml.substr(kDecl.size(), kRoot.size()), kRoot);
    EXPECT_NE(inner_xml.find(R"(<hyperlinks><hyperlink ref="A1" location="B9"/></hyperlinks>)"), std::string::npos);
}

TEST(SheetPart, AssignsHyperlinkIdsInListOrder) {
    Hyperlink a{"x", std::nullopt, std::nullopt, std::nullopt}, b{"", "A1", std::nullopt, std::nullopt}, c = a;
    std::vector<HyperlinkRef> links{{"A1", &a, std::nullopt}, {"A2", &b, std::nullopt}, {"A3", &c, std::nullopt}};
    const std::string type(kHyperlinkRelType);
    assign_hyperlink_rel_ids(links, {{"rId1", type, "x", "External"}, {"rId9", "other", "y", std::nullopt}});
    EXPECT_EQ(links[0].rel_id, "rId1");
    EXPECT_EQ(links[1].rel_id, std::nullopt);
    EXPECT_EQ(links[2].rel_id, std::nullopt);  // ids used up
}

TEST(SheetPart, SameBytesWhateverTheMapOrder) {
    const auto build = [](bool reverse) {
        Workbook wb = one_sheet();
        Worksheet& ws = wb.sheets[0];
        ws.reserve_cells(reverse ? 3 : 4096);
        for (int k = 0; k < 500; ++k) {
            const int i = reverse ? 499 - k : k;
            const std::string key = coords::rc_to_a1(static_cast<uint32_t>(i / 7 + 1), static_cast<uint32_t>(i % 7 + 1));
            switch (i % 4) {
            case 0: ws.set_cell(key, Value{"s" + std::to_string(i % 37)}); break;
            case 1: ws.set_cell(key, Value{Date{year{2000 + i % 9}, month{1}, day{1}}}); break;
            case 2: ws.set_cell(key, Value{Duration{i, 0}}); break;
            default: ws.set_cell(key, Value{i * 0.25}); break;
            }
            if (i % 11 == 0) ws.set_cell_fill(key, Fill{"solid", ColorIndexed{static_cast<uint32_t>(i % 13)}, std::nullopt});
        }
        return wb;
    };
    const Workbook a = build(false), b = build(true);
    const auto pa = prepare(a), pb = prepare(b);
    ASSERT_TRUE(pa && pb);
    EXPECT_EQ(*write_shared_strings_xml(pa->strings), *write_shared_strings_xml(pb->strings));
    const auto xa = write_sheet_xml(a.sheets[0], 0, pa->orders[0], pa->strings, pa->styles, {});
    const auto xb = write_sheet_xml(b.sheets[0], 0, pb->orders[0], pb->strings, pb->styles, {});
    ASSERT_TRUE(xa && xb);
    EXPECT_EQ(*xa, *xb);
    EXPECT_EQ(pa->styles.cell_xfs, pb->styles.cell_xfs);
    EXPECT_EQ(pa->styles.fills, pb->styles.fills);
}

// Timing of the save's sheet-level work on a 1M-cell sheet (100000 rows of 10 columns: numbers,
// texts, dates, booleans). Run with --gtest_also_run_disabled_tests --gtest_filter='*Million*'.
TEST(SheetPartBench, DISABLED_MillionCells) {
    Workbook wb = one_sheet();
    Worksheet& ws = wb.sheets[0];
    ws.reserve_cells(1'000'000);
    std::string key;
    for (uint32_t r = 1; r <= 100'000; ++r) {
        for (uint32_t c = 1; c <= 10; ++c) {
            key.clear();
            coords::append_a1(key, r, c);
            switch (c % 5) {
            case 0: ws.set_cell(key, Value{"text " + std::to_string(r % 50'000)}); break;
            case 1: ws.set_cell(key, Value{Date{year{2000 + static_cast<int>(r % 20)}, month{1}, day{1}}}); break;
            case 2: ws.set_cell(key, Value{r % 2 == 0}); break;
            default: ws.set_cell(key, Value{r * 1.25 + c}); break;
            }
        }
    }
    using clock = std::chrono::steady_clock;
    const auto ms = [](clock::time_point a, clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    const auto t0 = clock::now();
    auto orders = order_workbook_cells(wb);
    const auto t1 = clock::now();
    auto strings = build_shared_strings(wb, *orders);
    const auto t2 = clock::now();
    auto styles = collect_styles(wb, false, *orders);
    const auto t3 = clock::now();
    auto sheet = write_sheet_xml(ws, 0, (*orders)[0], *strings, *styles, {});
    const auto t4 = clock::now();
    auto sst = write_shared_strings_xml(*strings);
    const auto t5 = clock::now();
    ASSERT_TRUE(orders && strings && styles && sheet && sst);
    std::printf("order %.1f ms, shared strings %.1f ms, styles %.1f ms, sheet part %.1f ms (%zu bytes), "
                "strings part %.1f ms; total %.1f ms\n",
                ms(t0, t1), ms(t1, t2), ms(t2, t3), ms(t3, t4), sheet->size(), ms(t4, t5), ms(t0, t5));
}

#include "writer/styles_collect.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

using namespace velmo;
using namespace velmo::writer;
using namespace std::chrono;

namespace {

Value date_value(int y = 2024, unsigned m = 1, unsigned d = 2) { return Value{Date{year{y}, month{m}, day{d}}}; }
Value datetime_value() { return Value{DateTime{Date{year{2024}, month{1}, day{2}}, TimeOfDay{3600, 0}}}; }

Fill solid(std::string argb) { return Fill{"solid", ColorArgb{std::move(argb)}, std::nullopt}; }

struct Collected {
    std::vector<SheetCellOrder> orders;
    CollectedStyles styles;
};

Collected collect(const Workbook& wb, bool has_source) {
    auto orders = order_workbook_cells(wb);
    EXPECT_TRUE(orders);
    auto styles = collect_styles(wb, has_source, *orders);
    EXPECT_TRUE(styles) << styles.error().message;
    return {std::move(*orders), std::move(*styles)};
}

// The `s` a sheet part would write for the cell under `key` (canonical) of sheet 0.
uint32_t style_of(const Collected& c, const Workbook& wb, std::string_view key) {
    const auto pos = coords::parse_a1(key);
    const uint64_t packed = (static_cast<uint64_t>(pos->row) << 32) | pos->col;
    const auto& order = c.orders[0];
    for (size_t i = 0; i < order.size(); ++i)
        if (order[i].pos == packed) return c.styles.cell_style(0, i, *order[i].cell);
    ADD_FAILURE() << "no cell " << key;
    return 0;
}

bool has_derived(const Collected& c, std::string_view key) {
    const auto pos = coords::parse_a1(key);
    const uint64_t packed = (static_cast<uint64_t>(pos->row) << 32) | pos->col;
    for (size_t i = 0; i < c.orders[0].size(); ++i)
        if (c.orders[0][i].pos == packed) return c.styles.derived_xf(0, i).has_value();
    return false;
}

// A loaded workbook: a style sheet shared by its cells.
struct Loaded {
    Workbook wb = Workbook::make_new();
    std::shared_ptr<StyleSheet> ss = std::make_shared<StyleSheet>();

    Loaded() {
        ss->fonts = {Font{"Arial", std::nullopt, 10, false, false, false}, Font{"Arial", std::nullopt, 12, true, false, false}};
        ss->fills = {Fill{"none", std::nullopt, std::nullopt}, Fill{"gray125", std::nullopt, std::nullopt}, solid("FFFF0000")};
        ss->cell_xfs = {CellXf{0, 0, 0}, CellXf{1, 2, 0}, CellXf{0, 0, 14}, CellXf{1, 0, 2}};
        wb.stylesheet = ss;
    }
    void put(std::string key, Value v, uint64_t style) {
        Cell c;
        c.value = std::move(v);
        c.style_index = style;
        c.stylesheet = ss;
        wb.sheets[0].put_cell(std::move(key), std::move(c));
    }
};

}  // namespace

TEST(CollectStyles, NewWorkbookDefaults) {
    Workbook wb = Workbook::make_new();
    wb.sheets[0].set_cell("A1", Value{1.0});
    wb.sheets[0].set_cell("A2", Value{std::string("t")});
    const auto c = collect(wb, false);
    ASSERT_EQ(c.styles.fonts.size(), 1u);
    EXPECT_EQ(c.styles.fonts[0], Font{});
    ASSERT_EQ(c.styles.fills.size(), 2u);
    EXPECT_EQ(c.styles.fills[0].pattern_type, "none");
    EXPECT_EQ(c.styles.fills[1].pattern_type, "gray125");
    EXPECT_EQ(c.styles.cell_xfs, std::vector<CellXf>{CellXf{}});
    EXPECT_TRUE(c.styles.num_fmts.empty());
    EXPECT_TRUE(c.styles.dxfs.empty());
    EXPECT_FALSE(has_derived(c, "A1"));
    EXPECT_FALSE(has_derived(c, "A2"));
}

TEST(CollectStyles, TemporalFormatsFrom164InCellOrder) {
    Workbook wb = Workbook::make_new();
    Worksheet& ws = wb.sheets[0];
    ws.set_cell("B2", date_value());
    ws.set_cell("A1", datetime_value());  // first in cell order: takes 164
    ws.set_cell("C3", date_value(2020));
    ws.set_cell("A4", Value{TimeOfDay{60, 0}});
    ws.set_cell("A5", Value{Duration{-90, 0}});
    const auto c = collect(wb, false);
    using P = std::pair<uint32_t, std::string>;
    EXPECT_EQ(c.styles.num_fmts, (std::vector<P>{{164, "yyyy-mm-dd h:mm:ss"}, {165, "yyyy-mm-dd"}, {166, "h:mm:ss"},
                                                 {167, "[hh]:mm:ss"}}));
    EXPECT_EQ(c.styles.cell_xfs,
              (std::vector<CellXf>{{0, 0, 0}, {0, 0, 164}, {0, 0, 165}, {0, 0, 166}, {0, 0, 167}}));
    EXPECT_EQ(style_of(c, wb, "A1"), 1u);
    EXPECT_EQ(style_of(c, wb, "B2"), 2u);
    EXPECT_EQ(style_of(c, wb, "C3"), 2u);  // reused
    EXPECT_EQ(style_of(c, wb, "A4"), 3u);
    EXPECT_EQ(style_of(c, wb, "A5"), 4u);
}

TEST(CollectStyles, LoadedTemporalFormats) {
    Loaded l;
    l.ss->num_fmts = {{170, "dd/mm/yyyy"}, {171, "0.000"}};
    l.put("A1", date_value(), 2);   // built-in date format 14: kept
    l.put("A2", date_value(), 0);   // General: a date format is derived
    l.put("A3", date_value(), 3);   // "0.00" (id 2) would read back as a number: derived, keeping font 1
    l.put("A4", date_value(), 99);  // beyond the list: font 0, fill 0
    l.ss->cell_xfs.push_back(CellXf{0, 2, 170});  // 4: custom date format, kept
    l.ss->cell_xfs.push_back(CellXf{0, 0, 171});  // 5: custom number format, derived
    l.put("A5", date_value(), 4);
    l.put("A6", date_value(), 5);
    const auto c = collect(l.wb, true);
    EXPECT_FALSE(has_derived(c, "A1"));
    EXPECT_EQ(style_of(c, l.wb, "A1"), 2u);
    EXPECT_FALSE(has_derived(c, "A5"));
    EXPECT_EQ(style_of(c, l.wb, "A5"), 4u);
    // Custom ids go above the source's largest (171).
    using P = std::pair<uint32_t, std::string>;
    EXPECT_EQ(c.styles.num_fmts, (std::vector<P>{{170, "dd/mm/yyyy"}, {171, "0.000"}, {172, "yyyy-mm-dd"}}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A2")], (CellXf{0, 0, 172}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A3")], (CellXf{1, 0, 172}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A4")], (CellXf{0, 0, 172}));
    EXPECT_EQ(style_of(c, l.wb, "A2"), style_of(c, l.wb, "A4"));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A6")], (CellXf{0, 0, 172}));

    // Without a source package every temporal cell gets a derived format.
    const auto fresh = collect(l.wb, false);
    EXPECT_TRUE(has_derived(fresh, "A1"));
}

TEST(CollectStyles, SourceWithoutFontsFillsOrCellFormatsKeepsPlaceZeroForPlainCells) {
    Loaded l;
    l.ss->fonts.clear();
    l.ss->fills.clear();
    l.ss->cell_xfs.clear();
    l.put("A1", Value{1.0}, 0);
    l.put("A2", date_value(), 0);
    const auto c = collect(l.wb, true);
    EXPECT_EQ(c.styles.fonts, (std::vector<Font>{Font{}}));
    ASSERT_EQ(c.styles.fills.size(), 2u);
    EXPECT_EQ(c.styles.fills[1].pattern_type, "gray125");
    // The plain number keeps the general format at 0; the date's format comes after it.
    ASSERT_EQ(c.styles.cell_xfs.size(), 2u);
    EXPECT_EQ(c.styles.cell_xfs[0], (CellXf{}));
    EXPECT_EQ(style_of(c, l.wb, "A1"), 0u);
    EXPECT_EQ(style_of(c, l.wb, "A2"), 1u);
}

TEST(CollectStyles, CustomIdNumbering) {
    {
        Loaded l;
        l.ss->num_fmts = {{100, "0.0"}};
        l.put("A1", date_value(), 0);
        EXPECT_EQ(collect(l.wb, true).styles.num_fmts.back(), (std::pair<uint32_t, std::string>{164, "yyyy-mm-dd"}));
    }
    {
        Loaded l;
        l.ss->num_fmts = {{200, "0.0"}, {180, "0.00%"}};
        l.put("A1", date_value(), 0);
        const auto c = collect(l.wb, true);
        EXPECT_EQ(c.styles.num_fmts.back(), (std::pair<uint32_t, std::string>{201, "yyyy-mm-dd"}));
        EXPECT_EQ(c.styles.num_fmts.front().first, 180u);  // sorted
    }
    {
        // A source format of the same code lends its (smallest) id.
        Loaded l;
        l.ss->num_fmts = {{190, "yyyy-mm-dd"}, {165, "yyyy-mm-dd"}};
        l.put("A1", date_value(), 0);
        const auto c = collect(l.wb, true);
        EXPECT_EQ(c.styles.num_fmts.size(), 2u);
        EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A1")].num_fmt_id, 165u);
    }
    {
        Loaded l;
        l.ss->num_fmts = {{UINT32_MAX, "0.0"}};
        l.put("A1", date_value(), 0);
        auto orders = order_workbook_cells(l.wb);
        auto r = collect_styles(l.wb, true, *orders);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
        EXPECT_EQ(r.error().message, "number format ID space exhausted");
    }
}

TEST(CollectStyles, DirectFillsAndFonts) {
    Loaded l;
    l.put("A1", Value{1.0}, 1);
    l.wb.sheets[0].set_cell_fill("A1", solid("FFFF0000"));  // equal to source fill 2: nothing added
    l.put("A2", Value{1.0}, 3);
    l.wb.sheets[0].set_cell_fill("A2", solid("FF00FF00"));
    l.wb.sheets[0].set_cell_fill("B7", solid("FF00FF00"));  // an empty cell still contributes
    auto& extras = l.wb.sheets[0].ensure_cell_mut("A3").extras_mut();
    extras.font = Font{"Courier", std::nullopt, 9, false, true, false};
    l.wb.sheets[0].set_cell("A3", Value{std::string("x")});
    const auto c = collect(l.wb, true);
    EXPECT_EQ(c.styles.fills.size(), 4u);
    EXPECT_EQ(c.styles.fills[3], solid("FF00FF00"));
    EXPECT_EQ(c.styles.fonts.size(), 3u);
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A1")], (CellXf{1, 2, 0}));
    EXPECT_EQ(style_of(c, l.wb, "A1"), 1u);  // the source's own entry is found
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A2")], (CellXf{1, 3, 2}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "B7")], (CellXf{0, 3, 0}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A3")], (CellXf{2, 0, 0}));
}

TEST(CollectStyles, DerivedFormatsKeepTheRestAndApplyWhatTheCellChanges) {
    Loaded l;
    CellXf xf{0, 0, 0, 1, 1, 2};
    for (const auto f : {XfFlag::ApplyFont, XfFlag::ApplyFill, XfFlag::ApplyNumberFormat}) xf.set_flag(f, false);
    l.ss->cell_xfs.push_back(xf);  // 4
    l.put("A1", Value{1.0}, 4);
    l.wb.sheets[0].find_cell_mut("A1")->extras_mut().font = Font{"Courier", std::nullopt, 9, false, false, false};
    l.put("A2", date_value(), 4);
    const auto c = collect(l.wb, true);
    CellXf font = xf, date = xf;
    font.font_id = 2;
    font.set_flag(XfFlag::ApplyFont, true);
    date.num_fmt_id = 164;
    date.set_flag(XfFlag::ApplyNumberFormat, true);
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A1")], font);
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A2")], date);
}

// What a font, fill or differential format carries counts in finding its equal: a font that
// differs only in its underline or in being read, a gradient, and a differential format read
// with children the model does not hold keep their own entries; a fill given to the cell
// replaces the gradient.
TEST(CollectStyles, CarriedPartsCountInEquality) {
    Loaded l;
    Font underlined = l.ss->fonts[0];
    underlined.children_xml = "<u/>";
    Font read = l.ss->fonts[0];
    read.loaded = true;
    Fill gradient{"none", std::nullopt, std::nullopt, R"(<gradientFill degree="90"/>)"};
    l.ss->fonts.push_back(underlined);                  // 2
    l.ss->fills.push_back(gradient);                    // 3
    l.ss->cell_xfs.push_back(CellXf{2, 3, 0});          // 4
    const Dxf bold_off{l.ss->fonts[0], std::nullopt, R"(<dxf><font><b val="0"/></font></dxf>)"};
    l.ss->dxfs = {Dxf{l.ss->fonts[0], std::nullopt}, bold_off};
    Worksheet& ws = l.wb.sheets[0];
    for (const char* key : {"A1", "A2", "A3", "A4"}) l.put(key, Value{1.0}, 4);
    ws.set_cell_fill("A1", solid("FFFF0000"));
    ws.find_cell_mut("A2")->extras_mut().font = l.ss->fonts[0];
    ws.set_cell_fill("A3", Fill{});
    ws.find_cell_mut("A4")->extras_mut().font = read;
    ASSERT_TRUE(ws.add_conditional_formatting("B1", ConditionalRule::formula({"B1>1"}, Dxf{underlined, gradient})));
    ASSERT_TRUE(ws.add_conditional_formatting("B1", ConditionalRule::formula({"B1>2"}, Dxf{underlined, gradient})));
    ASSERT_TRUE(ws.add_conditional_formatting("C1", ConditionalRule::formula({"C1>1"}, bold_off)));
    ASSERT_TRUE(ws.add_conditional_formatting("C1", ConditionalRule::formula({"C1>2"}, Dxf{l.ss->fonts[0], std::nullopt})));
    const auto c = collect(l.wb, true);
    EXPECT_EQ(c.styles.fonts.size(), 4u);
    EXPECT_EQ(c.styles.fills.size(), 4u);
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A1")], (CellXf{2, 2, 0}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A2")], (CellXf{0, 3, 0}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A3")], (CellXf{2, 0, 0}));
    EXPECT_EQ(c.styles.cell_xfs[style_of(c, l.wb, "A4")], (CellXf{3, 3, 0}));
    EXPECT_EQ(c.styles.dxfs.size(), 3u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 0, 0), 2u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 0, 1), 2u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 1, 0), 1u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 1, 1), 0u);
}

TEST(CollectStyles, FillAndDateOnOneNewCell) {
    Workbook wb = Workbook::make_new();
    wb.sheets[0].set_cell("A1", date_value());
    wb.sheets[0].set_cell_fill("A1", solid("FF112233"));
    const auto c = collect(wb, false);
    // The format made for the fill alone stays in the list.
    EXPECT_EQ(c.styles.cell_xfs, (std::vector<CellXf>{{0, 0, 0}, {0, 2, 0}, {0, 2, 164}}));
    EXPECT_EQ(style_of(c, wb, "A1"), 2u);
}

TEST(CollectStyles, DifferentialFormats) {
    Loaded l;
    const Dxf red{std::nullopt, solid("FFFF0000")};
    l.ss->dxfs = {red};
    Worksheet& ws = l.wb.sheets[0];
    ASSERT_TRUE(ws.add_conditional_formatting("A1:A5", ConditionalRule::formula({"A1>1"}, red)));
    ASSERT_TRUE(ws.add_conditional_formatting("A1:A5", ConditionalRule::formula({"A1>2"}, Dxf{Font{}, std::nullopt})));
    ConditionalRule stored;
    stored.rule_type = "expression";
    stored.dxf_id = 42;  // points past the list: kept as it is
    ws.conditional_formatting.push_back(ConditionalFormatting{"B1", {stored, ConditionalRule{}}});
    const auto c = collect(l.wb, true);
    EXPECT_EQ(c.styles.dxfs.size(), 2u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 0, 0), 0u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 0, 1), 1u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 1, 0), 42u);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 1, 1), std::nullopt);
    EXPECT_EQ(c.styles.rule_dxf_id(0, 2, 0), std::nullopt);
}

TEST(CollectStyles, SameWorkbookSameTablesWhateverTheMapOrder) {
    // The same cells stored in opposite orders: hash maps iterate them differently, the
    // collected tables must not differ.
    const auto build = [](bool reverse) {
        Workbook wb = Workbook::make_new();
        Worksheet& ws = wb.sheets[0];
        ws.reserve_cells(reverse ? 7 : 5000);
        for (int k = 0; k < 300; ++k) {
            const int i = reverse ? 299 - k : k;
            const std::string key = "A" + std::to_string(i + 1);
            if (i % 3 == 0) ws.set_cell(key, date_value(2000 + i % 7));
            else if (i % 3 == 1) ws.set_cell(key, Value{Duration{i, 0}});
            else ws.set_cell(key, Value{1.0});
            if (i % 5 == 0) ws.set_cell_fill(key, solid("FF0000" + std::to_string(10 + i % 50)));
        }
        return wb;
    };
    const Workbook a = build(false), b = build(true);
    const auto ca = collect(a, false), cb = collect(b, false);
    EXPECT_EQ(ca.styles.fills, cb.styles.fills);
    EXPECT_EQ(ca.styles.cell_xfs, cb.styles.cell_xfs);
    EXPECT_EQ(ca.styles.num_fmts, cb.styles.num_fmts);
    EXPECT_EQ(ca.styles.cell_xf_ids, cb.styles.cell_xf_ids);
}

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "model/coords.hpp"
#include "reader/sheet.hpp"

using namespace velmo;
using reader::ParsedSheet;
using reader::RawHyperlink;
using namespace std::chrono;

namespace {

// Style indexes of the test style sheet.
enum Style : uint64_t { kGeneral = 0, kDate = 1, kDateTime = 2, kTime = 3, kDuration = 4, kCustomDate = 5 };

std::shared_ptr<const StyleSheet> test_styles() {
    auto s = std::make_shared<StyleSheet>();
    s->cell_xfs = {CellXf{0, 0, 0}, CellXf{0, 0, 14}, CellXf{0, 0, 22}, CellXf{0, 0, 21}, CellXf{0, 0, 46},
                   CellXf{0, 0, 164}};
    s->num_fmts[164] = "yyyy-mm-dd";
    Dxf red;
    red.fill = Fill{"solid", ColorArgb{"FFFF0000"}, std::nullopt};
    s->dxfs = {red};
    return s;
}

struct Reader {
    std::shared_ptr<const StyleSheet> styles = test_styles();
    std::vector<std::optional<TemporalKind>> kinds = reader::temporal_kinds_by_style(*styles);
    reader::SharedStrings shared{{"zero", "one", "two"}, {}};

    Result<ParsedSheet> try_parse(std::string_view body, bool date1904 = false) {
        doc = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
              "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
              "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";
        doc += body;
        doc += "</worksheet>";
        return reader::parse_sheet(doc, shared, styles, kinds, date1904);
    }
    ParsedSheet parse(std::string_view body, bool date1904 = false) {
        auto r = try_parse(body, date1904);
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
        return r ? std::move(*r) : ParsedSheet{};
    }
    // The value of the one cell of a sheetData holding `cells`.
    Value value(std::string_view cells, std::string_view key = "A1", bool date1904 = false) {
        auto p = parse("<sheetData><row r=\"1\">" + std::string(cells) + "</row></sheetData>", date1904);
        const Cell* c = p.worksheet.find_cell(key);
        EXPECT_NE(c, nullptr) << "no cell " << key;
        return c ? c->value : Value{};
    }
    std::string doc;
};

Value num(double d) { return Value{d}; }
Value str(std::string s) { return Value{std::move(s)}; }
Value date(int y, unsigned m, unsigned d) { return Value{Date{year{y}, month{m}, day{d}}}; }
Value date_time(int y, unsigned m, unsigned d, uint32_t secs, uint32_t nanos = 0) {
    return Value{DateTime{Date{year{y}, month{m}, day{d}}, TimeOfDay{secs, nanos}}};
}
Value tod(uint32_t secs) { return Value{TimeOfDay{secs, 0}}; }
Value dur(int64_t secs) { return Value{Duration{secs, 0}}; }
Value formula(std::string text) { return Value{Formula{std::move(text)}}; }
const Value kEmpty{};

std::vector<std::string> keys(const Worksheet& ws) {
    std::vector<std::string> out;
    for (const auto& [k, c] : ws.cells()) out.push_back(k);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(SheetReader, ScalarValuesByCellType) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\"><v>1e3</v></c>"), num(1000));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"n\"><v> 2.5 </v></c>"), num(2.5));
    EXPECT_EQ(r.value("<c r=\"A1\"><v>1,5</v></c>"), kEmpty);
    EXPECT_TRUE(std::isnan(std::get<double>(r.value("<c r=\"A1\"><v>NaN</v></c>"))));
    EXPECT_EQ(r.value("<c r=\"A1\"><v>-inf</v></c>"), num(-INFINITY));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"b\"><v>1</v></c>"), Value{true});
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"b\"><v>true</v></c>"), Value{false});
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"e\"><v>#N/A</v></c>"), kEmpty);
    // Cached text of a string formula result, numeric-looking or not.
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v>hello</v></c>"), str("hello"));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v>12</v></c>"), str("12"));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v>a_x000D_b_x005F_x0041_</v></c>"), str("a\rb_x0041_"));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"n\"><v>&#49;2</v></c>"), num(12));
}

TEST(SheetReader, SharedStringIndexesNeverReachOutsideTheTable) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v>2</v></c>"), str("two"));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v>3</v></c>"), kEmpty);
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v>18446744073709551615</v></c>"), kEmpty);
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v>99999999999999999999999</v></c>"), kEmpty);
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v>-1</v></c>"), kEmpty);
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v></v></c>"), kEmpty);
    r.shared.items.clear();
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"s\"><v>0</v></c>"), kEmpty);
}

TEST(SheetReader, CellKeysStylesAndSharing) {
    Reader r;
    auto p = r.parse(
        "<sheetData><row r=\"2\"><c r=\"B2\" s=\"3\"/><c r=\"a1\"><v>1</v></c><c r=\"C2\"><v>1</v></c>"
        "<c r=\"C2\"><v>2</v></c><c r=\"D2\" s=\"+5\"/><c r=\"E2\" s=\"-1\"/><c r=\"F2\" s=\"1.5\"/>"
        "<c r=\"G2\" s=\"\"/><c r=\"H2\" s=\"99999\"><v>4</v></c></row></sheetData>");
    const auto& ws = p.worksheet;
    using Keys = std::vector<std::string>;
    EXPECT_EQ(keys(ws), (Keys{"B2", "C2", "D2", "E2", "F2", "G2", "H2", "a1"}));
    EXPECT_EQ(ws.find_cell("B2")->style_index, 3u);
    EXPECT_EQ(ws.find_cell("B2")->value, kEmpty);
    EXPECT_EQ(ws.find_cell("C2")->value, num(2));  // the later duplicate wins
    EXPECT_EQ(ws.find_cell("D2")->style_index, 5u);
    for (const char* k : {"E2", "F2", "G2"}) EXPECT_EQ(ws.find_cell(k)->style_index, 0u) << k;
    // A style index past the cell formats is kept and simply not temporal.
    EXPECT_EQ(ws.find_cell("H2")->style_index, 99999u);
    EXPECT_EQ(ws.find_cell("H2")->value, num(4));
    for (const auto& [k, c] : ws.cells()) {
        EXPECT_EQ(c.stylesheet.get(), r.styles.get()) << k;
        EXPECT_EQ(c.extras, nullptr) << k;
    }
}

TEST(SheetReader, CellsAndRowsWithoutReferenceFollowThePreviousOne) {
    Reader r;
    auto p = r.parse(
        "<sheetData>"
        "<row r=\"3\"><c><v>1</v></c><c r=\"D3\"><v>2</v></c><c><v>3</v></c></row>"
        "<row><c><v>4</v></c><c r=\"\"><v>5</v></c></row>"
        "<row r=\"x\"><c><v>6</v></c></row>"
        "</sheetData>");
    const auto& ws = p.worksheet;
    using Keys = std::vector<std::string>;
    EXPECT_EQ(keys(ws), (Keys{"A3", "A4", "A5", "B4", "D3", "E3"}));
    EXPECT_EQ(ws.find_cell("E3")->value, num(3));
    EXPECT_EQ(ws.find_cell("B4")->value, num(5));
    EXPECT_EQ(ws.find_cell("A5")->value, num(6));
    // With no row to place it in, a cell without reference has nowhere to go.
    EXPECT_TRUE(r.parse("<sheetData><c><v>1</v></c></sheetData>").worksheet.cells().empty());
    EXPECT_TRUE(r.parse("<sheetData><row r=\"0\"><c><v>1</v></c></row></sheetData>").worksheet.cells().empty());
}

// A row without a number is the row after the previous one for its height and format too, as it is
// for its cells; one placed outside the grid keeps nothing.
TEST(SheetReader, RowsWithoutReferenceKeepTheirHeightAndFormat) {
    using Sizes = std::unordered_map<uint32_t, double>;
    using Formats = std::unordered_map<uint32_t, LineFormat>;
    const LineFormat hidden{std::nullopt, 0, true};
    const struct {
        const char* rows;
        Sizes heights;
        Formats formats;
    } cases[] = {
        {"<row ht=\"2\"><c><v>1</v></c></row><row ht=\"3\" hidden=\"1\"/><row r=\"5\"/><row r=\"x\" ht=\"6\"/>",
         {{1, 2}, {2, 3}, {6, 6}}, {{2, hidden}}},
        {"<row r=\"0\" ht=\"4\"/><row ht=\"7\"/><row r=\"1048576\" ht=\"1\"/><row ht=\"2\" hidden=\"1\"/>", {{1, 7}, {1048576, 1}}, {}},
    };
    Reader r;
    for (const auto& c : cases) {
        const auto p = r.parse("<sheetData>" + std::string(c.rows) + "</sheetData>");
        EXPECT_EQ(p.worksheet.row_heights, c.heights) << c.rows;
        EXPECT_EQ(p.worksheet.row_formats, c.formats) << c.rows;
    }
}

TEST(SheetReader, InlineStrings) {
    Reader r;
    const auto is = [&](std::string_view inner) {
        return r.value("<c r=\"A1\" t=\"inlineStr\"><is>" + std::string(inner) + "</is></c>");
    };
    EXPECT_EQ(is("<r><t>ab</t></r><r><t>cd</t></r>"), str("abcd"));
    EXPECT_EQ(is("<t>  padded\n</t>"), str("padded"));
    EXPECT_EQ(is("<t xml:space=\"preserve\">  kept </t>"), str("  kept "));
    EXPECT_EQ(is("<r><t>a</t></r><r><t xml:space=\"preserve\"> </t></r><r><t>b</t></r>"), str("a b"));
    // The reading of a phonetic run is not part of the text.
    EXPECT_EQ(is("<t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh><phoneticPr fontId=\"1\"/>"), str("漢字"));
    EXPECT_EQ(is("<t><![CDATA[ <raw> & ]]></t>"), str(" <raw> & "));
    EXPECT_EQ(is("<t>a &amp; b</t>"), str("a & b"));
    EXPECT_EQ(is("<r><t>_x0001_</t></r><r><t>_x00</t></r><r><t>41_</t></r>"), str("\x01_x0041_"));
    // An `is` in a cell of another type is not an inline string.
    EXPECT_EQ(r.value("<c r=\"A1\"><is><t>x</t></is><v>3</v></c>"), num(3));
}

TEST(SheetReader, WhatACellKeepsBesideItsValue) {
    Reader r;
    const auto bold = std::make_shared<const std::string>("<si><r><rPr><b/></rPr><t>two</t></r></si>");
    r.shared.rich[2] = bold;
    struct Case {
        const char* cell;
        Value value;
        const char* error;  // "" for none
        std::optional<uint32_t> vm, cm;
        const char* rich;  // null for none
    };
    const Case cases[] = {
        {"<c r=\"A1\" t=\"e\"><v>#N/A</v></c>", kEmpty, "#N/A", {}, {}, nullptr},
        {"<c r=\"A1\" t=\"e\" vm=\"1\"><v>#VALUE!</v></c>", kEmpty, "#VALUE!", 1, {}, nullptr},
        {"<c r=\"A1\" cm=\"1\"><f t=\"array\" ref=\"A1:A3\">SORT(B1:B3)</f><v>1</v></c>", formula("SORT(B1:B3)"), "", {},
         1, nullptr},
        // A formula's cached error, a number under "e", indexes that are none and an empty error keep nothing.
        {"<c r=\"A1\" t=\"e\"><f>1/0</f><v>#DIV/0!</v></c>", formula("1/0"), "", {}, {}, nullptr},
        {"<c r=\"A1\" t=\"e\"><v>7</v></c>", num(7), "", {}, {}, nullptr},
        {"<c r=\"A1\" vm=\"x\" cm=\"-1\"><v>2</v></c>", num(2), "", {}, {}, nullptr},
        {"<c r=\"A1\" t=\"e\"><v></v></c>", kEmpty, "", {}, {}, nullptr},
        {"<c r=\"A1\" t=\"s\"><v>2</v></c>", str("two"), "", {}, {}, bold->c_str()},
        {"<c r=\"A1\" t=\"s\"><v>1</v></c>", str("one"), "", {}, {}, nullptr},
        {"<c r=\"A1\" t=\"inlineStr\" vm=\"3\"><is><r><rPr><i/></rPr><t>ab</t></r></is></c>", str("ab"), "", 3, {},
         "<si><r><rPr><i/></rPr><t>ab</t></r></si>"},
        {"<c r=\"A1\" t=\"inlineStr\"><is><t>ab</t></is></c>", str("ab"), "", {}, {}, nullptr},
    };
    for (const Case& c : cases) {
        auto p = r.parse(std::string("<sheetData><row r=\"1\">") + c.cell + "</row></sheetData>");
        const Cell* cell = p.worksheet.find_cell("A1");
        ASSERT_NE(cell, nullptr) << c.cell;
        EXPECT_EQ(cell->value, c.value) << c.cell;
        const KeptValue* kept = cell->kept();
        const bool keeps = *c.error || c.vm || c.cm || c.rich;
        ASSERT_EQ(kept != nullptr, keeps) << c.cell;
        if (!kept) continue;
        EXPECT_EQ(kept->error, c.error) << c.cell;
        EXPECT_EQ(kept->value_meta, c.vm) << c.cell;
        EXPECT_EQ(kept->cell_meta, c.cm) << c.cell;
        EXPECT_EQ(kept->rich_text ? *kept->rich_text : "", c.rich ? c.rich : "") << c.cell;
    }
    // Cells of one item share it.
    auto p = r.parse("<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>2</v></c><c r=\"B1\" t=\"s\"><v>2</v></c></row></sheetData>");
    EXPECT_EQ(p.worksheet.find_cell("B1")->kept()->rich_text, bold);
}

TEST(SheetReader, CdataCountsAsLiteralText) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\"><v><![CDATA[42]]></v></c>"), num(42));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v><![CDATA[a<b]]></v></c>"), str("a<b"));
    EXPECT_EQ(r.value("<c r=\"A1\"><f><![CDATA[A1<B1]]></f><v>1</v></c>"), formula("A1<B1"));
}

TEST(SheetReader, Formulas) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\"><f>SUM(A1:A3)</f><v>6</v></c>"), formula("SUM(A1:A3)"));
    // A shared-formula dependant carries an empty f and keeps its cached number.
    EXPECT_EQ(r.value("<c r=\"A1\"><f t=\"shared\" si=\"0\"/><v>7</v></c>"), num(7));
    EXPECT_EQ(r.value("<c r=\"A1\"><f t=\"shared\" si=\"0\"></f><v>7</v></c>"), num(7));
    EXPECT_EQ(r.value("<c r=\"A1\"><f>IF(A2&lt;3,\"x\",\"y\")</f><v>y</v></c>"), formula("IF(A2<3,\"x\",\"y\")"));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><f>A2&amp;A3</f><v>ab</v></c>"), formula("A2&A3"));
    // A formula outside any cell is no one's.
    auto p = r.parse("<sheetData><f>A1</f><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
    EXPECT_EQ(p.worksheet.find_cell("A1")->value, num(1));
}

TEST(SheetReader, SharedFormulasExpandAndArrayFormulasKeepTheirBlock) {
    Reader r;
    auto p = r.parse(
        "<sheetData><row r=\"1\"><c r=\"C1\"><f t=\"shared\" si=\"1\"/><v>5</v></c></row>"  // before its master
        "<row r=\"2\"><c r=\"B2\"><f t=\"shared\" ref=\"B2:C3\" si=\"1\">A2*$A$1</f><v>2</v></c>"
        "<c r=\"C2\"><f t=\"shared\" si=\"1\"/><v>3</v></c></row>"
        "<row r=\"3\"><c r=\"A3\"><f t=\"shared\" si=\"1\"></f><v>4</v></c><c r=\"D3\"><f t=\"shared\" si=\"9\"/><v>6</v></c>"
        "<c r=\"E3\"><f t=\"array\" ref=\"E3:F4\">A1:B2*2</f><v>1</v></c><c r=\"G3\"><f t=\"array\" ref=\"A1:B2\">1</f></c>"
        "<c><f t=\"array\">{1}</f></c><c r=\"I3\"><f t=\"array\" ref=\"I3:I2000000\">2</f></c></row></sheetData>");
    const Worksheet& ws = p.worksheet;
    const std::pair<const char*, Value> values[] = {{"C1", num(5)},          {"B2", formula("A2*$A$1")},
                                                    {"C2", formula("B2*$A$1")}, {"A3", formula("#REF!*$A$1")},
                                                    {"D3", num(6)},          {"E3", formula("A1:B2*2")}};
    for (const auto& [key, want] : values) EXPECT_EQ(ws.find_cell(key)->value, want) << key;
    const std::pair<const char*, ArraySpan> arrays[] = {{"E3", {2, 2}}, {"G3", {1, 1}}, {"H3", {1, 1}}, {"I3", {1, 1}}};
    for (const auto& [key, want] : arrays) {
        ASSERT_NE(ws.find_cell(key)->array(), nullptr) << key;
        EXPECT_EQ(*ws.find_cell(key)->array(), want) << key;
    }
    EXPECT_EQ(ws.find_cell("B2")->array(), nullptr);
}

// Each dependent of a shared formula pays its cell and the text moved to it ("A1" grown to "A100",
// or "#REF!" off the grid), in either spelling of a dependent, out of one budget for every sheet read
// with it. A budget one byte short refuses the last dependent, naming the limit and charging nothing.
TEST(SheetReader, SharedFormulaDependentsPayWhatTheyStoreOutOfOneBudget) {
    using reader::SharedFormulaBudget;
    struct Case {
        std::vector<std::vector<uint32_t>> sheets;  // the rows of each sheet's dependents of A{master}
        uint32_t master;                            // "A1+A1+A1" at A{master}
        std::vector<const char*> texts;             // the dependents', all sheets in order
    } cases[] = {
        {{{100}}, 1, {"A100+A100+A100"}},
        {{{2, 9}}, 1, {"A2+A2+A2", "A9+A9+A9"}},
        {{{2}}, 5, {"#REF!+#REF!+#REF!"}},
        {{{3, 40}, {}, {500}}, 1, {"A3+A3+A3", "A40+A40+A40", "A500+A500+A500"}},
    };
    for (const std::string dependent : {"<f t=\"shared\" si=\"0\"/><v>1</v>", "<f t=\"shared\" si=\"0\"></f>"}) {
        for (const Case& c : cases) {
            uint64_t cost = 0;
            for (const std::string_view text : c.texts) cost += SharedFormulaBudget::cost_of(text.size());
            for (const uint64_t limit : {cost, cost - 1}) {
                SCOPED_TRACE(std::string(c.texts.back()) + ", budget " + std::to_string(limit) + ", " + dependent);
                SharedFormulaBudget budget(limit);
                size_t read = 0, stored = 0;
                for (const auto& rows : c.sheets) {
                    const auto cell = [](uint32_t row, const std::string& inner) {
                        const std::string r = std::to_string(row);
                        return "<row r=\"" + r + "\"><c r=\"A" + r + "\">" + inner + "</c></row>";
                    };
                    std::string body = cell(c.master, "<f t=\"shared\" si=\"0\">A1+A1+A1</f>");
                    for (const uint32_t row : rows) body += cell(row, dependent);
                    Reader r;
                    r.doc = "<worksheet><sheetData>" + body + "</sheetData></worksheet>";
                    auto p = reader::parse_sheet(r.doc, r.shared, r.styles, r.kinds, false, &budget);
                    if (!p) {
                        EXPECT_EQ(p.error().display(), "xml: shared formulas expand to more than " + std::to_string(limit) + " bytes");
                        break;
                    }
                    ++read;
                    for (const uint32_t row : rows)
                        EXPECT_EQ(p->worksheet.find_cell("A" + std::to_string(row))->value, formula(c.texts[stored++]));
                }
                EXPECT_EQ(read, limit == cost ? c.sheets.size() : c.sheets.size() - 1);
                EXPECT_EQ(budget.left(), limit == cost ? 0 : SharedFormulaBudget::cost_of(std::string_view(c.texts.back()).size()) - 1);
            }
        }
    }
}

TEST(SheetReader, NumbersBecomeTemporalByNumberFormat) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"1\"><v>45000</v></c>"), date(2023, 3, 15));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"5\"><v>61</v></c>"), date(1900, 3, 1));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"2\"><v>45000.75</v></c>"), date_time(2023, 3, 15, 18 * 3600));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"3\"><v>0.5</v></c>"), tod(12 * 3600));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"3\"><v>1.25</v></c>"), num(1.25));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"4\"><v>1.5</v></c>"), dur(36 * 3600));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"0\"><v>45000</v></c>"), num(45000));
    // Out of the calendar's range: the number stays.
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"1\"><v>2958466</v></c>"), num(2958466));
    // Never for booleans or strings.
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"1\" t=\"b\"><v>1</v></c>"), Value{true});
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"1\" t=\"s\"><v>1</v></c>"), str("one"));
}

TEST(SheetReader, Date1904SystemShiftsDatesOnly) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"1\"><v>0</v></c>", "A1", true), date(1904, 1, 1));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"1\"><v>43538</v></c>", "A1", true), date(2023, 3, 15));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"2\"><v>43538.75</v></c>", "A1", true), date_time(2023, 3, 15, 18 * 3600));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"3\"><v>0.5</v></c>", "A1", true), tod(12 * 3600));
    EXPECT_EQ(r.value("<c r=\"A1\" s=\"4\"><v>1.5</v></c>", "A1", true), dur(36 * 3600));
}

TEST(SheetReader, IsoDateCells) {
    Reader r;
    const auto d = [&](std::string_view text) {
        return r.value("<c r=\"A1\" t=\"d\"><v>" + std::string(text) + "</v></c>");
    };
    EXPECT_EQ(d("2023-03-15"), date(2023, 3, 15));
    EXPECT_EQ(d("2023-03-15T18:30:05"), date_time(2023, 3, 15, 18 * 3600 + 30 * 60 + 5));
    EXPECT_EQ(d("2023-03-15T18:30"), date_time(2023, 3, 15, 18 * 3600 + 30 * 60));
    EXPECT_EQ(d("2023-03-15T00:00:00.25Z"), date_time(2023, 3, 15, 0, 250'000'000));
    EXPECT_EQ(d("2023-03-15T00:00:00.0015"), date_time(2023, 3, 15, 0, 2'000'000));  // ties to even
    EXPECT_EQ(d("2023-03-15T00:00:00.0025"), date_time(2023, 3, 15, 0, 2'000'000));
    EXPECT_EQ(d("2023-12-31T23:59:59.9999"), date_time(2024, 1, 1, 0));
    EXPECT_EQ(d("T06:00:00"), tod(6 * 3600));
    EXPECT_EQ(d("06:00"), tod(6 * 3600));
    for (const char* bad : {"", "2023-02-30", "2023-13-01", "2023-3-15", "2023-03-15T24:00:00", "2023-03-15T10",
                            "45000", "2023-03-15T10:00:00+01:00", "9999-12-31T23:59:59.9999", "0000-01-01"})
        EXPECT_EQ(d(bad), kEmpty) << bad;
}

TEST(SheetReader, RowHeightsAndColumnWidths) {
    Reader r;
    auto p = r.parse(
        "<cols><col min=\"2\" max=\"4\" width=\"12.5\" customWidth=\"1\"/><col min=\"5\" max=\"4\" width=\"9\"/>"
        "<col min=\"6\" width=\"9\"/><col min=\"7\" max=\"7\" width=\"x\"/></cols>"
        "<sheetData><row r=\"2\" ht=\"30\" customHeight=\"1\"/><row r=\"3\"/>"
        "<row r=\"4\" ht=\"abc\"/></sheetData>");
    const auto& ws = p.worksheet;
    using Sizes = std::unordered_map<uint32_t, double>;
    EXPECT_EQ(ws.column_widths, (Sizes{{2, 12.5}, {3, 12.5}, {4, 12.5}}));
    EXPECT_EQ(ws.row_heights, (Sizes{{2, 30}}));

    // Sizes no worksheet part can hold are dropped, so that the workbook stays savable: rows 0 and
    // past the grid, column 0 (the rest of its span stays), and sizes that are not finite and >= 0.
    auto off = r.parse(
        "<cols><col min=\"0\" max=\"2\" width=\"7\"/><col min=\"5\" max=\"5\" width=\"-1\"/>"
        "<col min=\"6\" max=\"6\" width=\"inf\"/><col min=\"7\" max=\"7\" width=\"NaN\"/></cols>"
        "<sheetData><row r=\"0\" ht=\"5\"/><row r=\"1048577\" ht=\"5\"/><row r=\"1048576\" ht=\"6\"/>"
        "<row r=\"3\" ht=\"-2\"/><row r=\"4\" ht=\"nan\"/><row r=\"5\" ht=\"-inf\"/><row r=\"6\" ht=\"0\"/></sheetData>");
    EXPECT_EQ(off.worksheet.column_widths, (Sizes{{1, 7}, {2, 7}}));
    EXPECT_EQ(off.worksheet.row_heights, (Sizes{{1048576, 6}, {6, 0}}));
}

TEST(SheetReader, RowAndColumnFormats) {
    Reader r;
    // Style 6 lies past the style sheet's six formats; a row's style needs customFormat; levels run 0 to 7.
    auto p = r.parse(
        "<cols><col min=\"2\" max=\"3\" style=\"1\" bestFit=\"1\" phonetic=\"true\" width=\"9\"/>"
        "<col min=\"4\" max=\"4\" hidden=\"1\" outlineLevel=\"9\" collapsed=\"0\" style=\"6\"/></cols>"
        "<sheetData><row r=\"3\" hidden=\"1\" outlineLevel=\"2\" collapsed=\"1\" s=\"1\" customFormat=\"1\" spans=\"1:2\"/>"
        "<row r=\"4\" s=\"1\"/><row r=\"5\" outlineLevel=\"1\" outlineLevel=\"3\" s=\"6\" customFormat=\"1\"/></sheetData>");
    using Formats = std::unordered_map<uint32_t, LineFormat>;
    const LineFormat styled{1, 0, false, false, true, true};
    EXPECT_EQ(p.worksheet.column_formats, (Formats{{2, styled}, {3, styled}, {4, LineFormat{std::nullopt, 0, true}}}));
    EXPECT_EQ(p.worksheet.row_formats, (Formats{{3, LineFormat{1, 2, true, true}}, {5, LineFormat{std::nullopt, 1}}}));

    // Where rows are hidden unless listed, a listed row is kept as one.
    LineFormat listed;
    listed.listed = true;
    auto zero = r.parse("<sheetFormatPr zeroHeight=\"1\"/><sheetData><row r=\"2\"/><row r=\"3\" hidden=\"1\"/></sheetData>");
    EXPECT_EQ(zero.worksheet.row_formats, (Formats{{2, listed}, {3, LineFormat{std::nullopt, 0, true}}}));
}

TEST(SheetReader, ChildrenTheModelDoesNotHoldAreKeptAsWritten) {
    Reader r;
    const std::string root = "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                             "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                             "xmlns:x14=\"urn:x14\" xmlns:mc=\"urn:mc\">";
    struct Case {
        std::string child;
        std::vector<CarriedElement> kept;
    };
    const Case cases[] = {
        {"<pageMargins left=\"1\"/>", {{SheetChild::PageMargins, SheetChild::PageMargins, "<pageMargins left=\"1\"/>", {}}}},
        // Outer declarations the element uses travel with it (but "r", which the part binds); its own
        // stay as they are.
        {"<drawing r:id=\"rId5\"/>", {{SheetChild::Drawing, SheetChild::Drawing, "<drawing r:id=\"rId5\"/>", {"rId5"}}}},
        {"<extLst><ext xmlns:q=\"urn:q\"><q:a x14:b=\"1\">t </q:a></ext></extLst>",
         {{SheetChild::ExtLst, SheetChild::ExtLst,
           "<extLst xmlns:x14=\"urn:x14\"><ext xmlns:q=\"urn:q\"><q:a x14:b=\"1\">t </q:a></ext></extLst>", {}}}},
        // An element the schema does not list keeps the place after its neighbour; the prefixes a
        // markup-compatibility choice requires are declared with it.
        {"<sheetPr/><mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
         "<mc:Choice Requires=\"x14\"><controls><control r:id=\"rId3\"/></controls></mc:Choice></mc:AlternateContent>",
         {{SheetChild::SheetPr, SheetChild::SheetPr, "<sheetPr/>", {}},
          {SheetChild::Other, SheetChild::SheetPr,
           "<mc:AlternateContent xmlns:x14=\"urn:x14\" xmlns:mc=\"http://schemas.openxmlformats.org/"
           "markup-compatibility/2006\"><mc:Choice Requires=\"x14\"><controls><control r:id=\"rId3\"/></controls>"
           "</mc:Choice></mc:AlternateContent>",
           {"rId3"}}}},
        // What could not be written back is left out; the sheet still loads.
        {"<headerFooter><oddHeader>&bogus;</oddHeader></headerFooter><picture p:id=\"x\"/><oleObjects>\xff</oleObjects>", {}},
        // Children the model writes itself, and the dimension, are not kept.
        {"<dimension ref=\"A1\"/><cols/><sheetData/><mergeCells/><hyperlinks/><tableParts/>", {}},
        // The auto filter is, beside its range: the last one with a range, its criteria and prefixes along.
        {"<autoFilter ref=\"A1\"/><autoFilter><filterColumn colId=\"1\"/></autoFilter>"
         "<autoFilter ref=\"B2:C9\"><filterColumn colId=\"0\"><x14:f/></filterColumn></autoFilter>",
         {{SheetChild::AutoFilter, SheetChild::AutoFilter,
           "<autoFilter xmlns:x14=\"urn:x14\" ref=\"B2:C9\"><filterColumn colId=\"0\"><x14:f/></filterColumn></autoFilter>",
           {}}}},
    };
    for (const Case& c : cases) {
        r.doc = root + c.child + "</worksheet>";
        auto p = reader::parse_sheet(r.doc, r.shared, r.styles, r.kinds, false);
        ASSERT_TRUE(p) << p.error().message;
        EXPECT_EQ(p->worksheet.carried, c.kept) << c.child;
    }
    // Sheet views are kept and still give the frozen pane.
    auto views = r.parse("<sheetViews><sheetView><pane topLeftCell=\"C3\" state=\"frozen\"/></sheetView></sheetViews>");
    EXPECT_EQ(views.worksheet.freeze_panes, "C3");
    EXPECT_EQ(views.worksheet.loaded_freeze_panes, "C3");
    ASSERT_EQ(views.worksheet.carried.size(), 1u);
    EXPECT_EQ(views.worksheet.carried[0].kind, SheetChild::SheetViews);
}

TEST(SheetReader, ColumnSpanIsCutAtTheLastGridColumn) {
    Reader r;
    auto p = r.parse("<cols><col min=\"16380\" max=\"4294967295\" width=\"3\"/>"
                     "<col min=\"20000\" max=\"4000000000\" width=\"4\"/></cols>");
    EXPECT_EQ(p.worksheet.column_widths.size(), 5u);
    EXPECT_EQ(p.worksheet.column_widths.at(16384), 3.0);
}

TEST(SheetReader, MergedRangesPanesAndAutoFilter) {
    Reader r;
    auto p = r.parse(
        "<sheetViews><sheetView tabSelected=\"1\"><pane xSplit=\"1\" ySplit=\"1\" topLeftCell=\"b2\" "
        "state=\"frozen\"/><selection/></sheetView></sheetViews>"
        "<sheetData/><autoFilter ref=\"A1:C9\"><filterColumn colId=\"0\"/></autoFilter>"
        "<customSheetViews><customSheetView guid=\"{1}\"><pane topLeftCell=\"D4\" state=\"frozen\"/>"
        "<autoFilter ref=\"A1:Z99\"/></customSheetView></customSheetViews>"
        "<mergeCells><mergeCell ref=\"A1:B2\"/><mergeCell ref=\"A1:B2\"/><mergeCell/><mergeCell ref=\"x\"/></mergeCells>");
    const auto& ws = p.worksheet;
    EXPECT_EQ(ws.freeze_panes, "B2");
    EXPECT_EQ(ws.auto_filter, "A1:C9");
    EXPECT_EQ(ws.merged_ranges, (std::vector<std::string>{"A1:B2", "A1:B2", "x"}));

    // The later frozen pane wins, even when it freezes nothing; a split pane changes nothing.
    const auto panes = [&](std::string_view views) { return r.parse(views).worksheet.freeze_panes; };
    EXPECT_EQ(panes("<sheetViews><sheetView><pane topLeftCell=\"C3\" state=\"frozen\"/></sheetView>"
                    "<sheetView><pane topLeftCell=\"E5\" state=\"frozenSplit\"/></sheetView></sheetViews>"),
              "E5");
    EXPECT_EQ(panes("<sheetView><pane topLeftCell=\"C3\" state=\"frozen\"/></sheetView>"
                    "<sheetView><pane topLeftCell=\"A1\" state=\"frozen\"/></sheetView>"),
              std::nullopt);
    EXPECT_EQ(panes("<sheetView><pane topLeftCell=\"C3\" state=\"frozen\"/></sheetView>"
                    "<sheetView><pane topLeftCell=\"E5\" state=\"split\"/><pane topLeftCell=\"F6\"/></sheetView>"),
              "C3");
    EXPECT_EQ(panes("<sheetView><pane state=\"frozen\"/></sheetView>"), std::nullopt);
    EXPECT_FALSE(r.parse("<autoFilter/>").worksheet.auto_filter.has_value());
}

TEST(SheetReader, Hyperlinks) {
    Reader r;
    auto p = r.parse(
        "<hyperlinks><hyperlink ref=\"B2\" r:id=\"rId1\" tooltip=\"t &amp; t\"/>"
        "<hyperlink ref=\"a5\" location=\"Sheet2!A1\" display=\"go\"/>"
        "<hyperlink location=\"nowhere\"/><hyperlink ref=\"\" location=\"x\"/><hyperlink ref=\"  \"/>"
        "<hyperlink ref=\"c3:b10\" location=\"range\"/><hyperlink ref=\"B2\" location=\"again\"/>"
        "<hyperlink ref=\"E1 F1\" location=\"list\"/><hyperlink ref=\"A:A\" location=\"column\"/>"
        "<hyperlink ref=\"Total\" location=\"no cell\"/><hyperlink ref=\"D4:junk\" location=\"half\"/>"
        "<hyperlink ref=\"A1048575:B1048577\" location=\"past the grid\"/><hyperlink ref=\" C1:C1 \" location=\"one\"/>"
        "<hyperlink ref=\"XFC1048575:XFD1048576\" location=\"to the edge\"/></hyperlinks>");
    const std::vector<RawHyperlink> want{
        {"B2", "rId1", std::nullopt, "t & t", std::nullopt},
        {"a5", std::nullopt, "Sheet2!A1", std::nullopt, "go"},
        {"B3", std::nullopt, "range", std::nullopt, std::nullopt, 8, 2},
        {"B2", std::nullopt, "again", std::nullopt, std::nullopt},
        {"E1", std::nullopt, "list", std::nullopt, std::nullopt},
        {"D4", std::nullopt, "half", std::nullopt, std::nullopt},
        {"A1048575", std::nullopt, "past the grid", std::nullopt, std::nullopt},
        {"C1", std::nullopt, "one", std::nullopt, std::nullopt},
        {"XFC1048575", std::nullopt, "to the edge", std::nullopt, std::nullopt, 2, 2},
    };
    EXPECT_EQ(p.hyperlinks, want);
    EXPECT_TRUE(p.worksheet.cells().empty());  // the open sequence attaches them
}

TEST(SheetReader, HyperlinkRelationshipIdUnderAnyPrefix) {
    Reader r;
    r.doc.clear();
    const std::string doc =
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:rel=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" xmlns:r=\"urn:other\">"
        "<hyperlinks><hyperlink ref=\"A1\" r:id=\"wrong\" rel:id=\"rId7\"/><hyperlink ref=\"A2\" r:id=\"wrong\"/>"
        "<hyperlink xmlns:q=\"http://purl.oclc.org/ooxml/officeDocument/relationships\" ref=\"A3\" q:id=\"rId8\"/>"
        "</hyperlinks></worksheet>";
    auto p = reader::parse_sheet(doc, r.shared, r.styles, r.kinds, false);
    ASSERT_TRUE(p) << p.error().message;
    ASSERT_EQ(p->hyperlinks.size(), 3u);
    EXPECT_EQ(p->hyperlinks[0].rel_id, "rId7");
    EXPECT_EQ(p->hyperlinks[1].rel_id, std::nullopt);
    EXPECT_EQ(p->hyperlinks[2].rel_id, "rId8");
    // A file that never declares the prefix still gets its literal r:id.
    auto undeclared = reader::parse_sheet("<worksheet><hyperlink ref=\"A1\" r:id=\"rId2\"/></worksheet>", r.shared,
                                          r.styles, r.kinds, false);
    ASSERT_TRUE(undeclared);
    EXPECT_EQ(undeclared->hyperlinks.at(0).rel_id, "rId2");
}

TEST(SheetReader, ConditionalFormattingOnlyFromTheWorksheetItself) {
    Reader r;
    auto p = r.parse(
        "<sheetData/>"
        "<conditionalFormatting sqref=\"A1:A10\"><cfRule type=\"cellIs\" dxfId=\"0\" priority=\"1\" "
        "operator=\"greaterThan\"><formula>10</formula></cfRule></conditionalFormatting>"
        "<conditionalFormatting/>"
        "<extLst><ext uri=\"{78C0D931-6437-407d-A8EE-F0AAD7539E65}\" "
        "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\">"
        "<x14:conditionalFormattings><x14:conditionalFormatting "
        "xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\"><x14:cfRule type=\"dataBar\" id=\"{1}\">"
        "<x14:dataBar><x14:cfvo type=\"min\"/></x14:dataBar></x14:cfRule><xm:sqref>A1:A10</xm:sqref>"
        "</x14:conditionalFormatting></x14:conditionalFormattings></ext></extLst>"
        "<hyperlinks><hyperlink ref=\"A1\" location=\"after\"/></hyperlinks>");
    const auto& cf = p.worksheet.conditional_formatting;
    ASSERT_EQ(cf.size(), 1u);
    EXPECT_EQ(cf[0].sqref, "A1:A10");
    ASSERT_EQ(cf[0].rules.size(), 1u);
    EXPECT_EQ(cf[0].rules[0].formulas, std::vector<std::string>{"10"});
    EXPECT_EQ(cf[0].rules[0].dxf, r.styles->dxfs[0]);
    // Reading resumes after the blocks.
    EXPECT_EQ(p.hyperlinks.size(), 1u);
}

TEST(SheetReader, XmlErrorsFailTheSheet) {
    Reader r;
    for (const std::string& body : {
             std::string("<sheetData><row></sheetData>"),
             std::string("<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>&#1;</v></c></row></sheetData>"),
             std::string("<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>&nbsp;</v></c></row></sheetData>"),
             std::string("<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>\xff</v></c></row></sheetData>"),
             std::string("<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>\xc3</t></is></c></row>"
                         "</sheetData>"),
             std::string("<sheetData><row r=\"1\"><c r=\"A&amp\"/></row></sheetData>"),
             std::string("<sheetData><row r=1><c r=\"A1\"/></row></sheetData>"),
             std::string("<mergeCells><mergeCell ref=\"A1&#0;\"/></mergeCells>"),
         }) {
        auto p = r.try_parse(body);
        ASSERT_FALSE(p.has_value()) << body;
        EXPECT_EQ(p.error().kind, ErrorKind::Xml) << body;
    }
}

TEST(SheetReader, InputEndingInsideACellLosesOnlyThatCell) {
    Reader r;
    const std::string doc =
        "<worksheet><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\"><v>2</v>";
    auto p = reader::parse_sheet(doc, r.shared, r.styles, r.kinds, false);
    ASSERT_TRUE(p) << p.error().message;
    EXPECT_EQ(keys(p->worksheet), std::vector<std::string>{"A1"});
}

TEST(SheetReader, NullStyleSheetFallsBackToTheEmptyOne) {
    Reader r;
    const std::vector<std::optional<TemporalKind>> none;
    auto p = reader::parse_sheet("<worksheet><sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>45000</v></c></row>"
                                 "</sheetData><conditionalFormatting sqref=\"A1\"><cfRule dxfId=\"0\"/>"
                                 "</conditionalFormatting></worksheet>",
                                 r.shared, nullptr, none, false);
    ASSERT_TRUE(p) << p.error().message;
    const Cell* c = p->worksheet.find_cell("A1");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->value, num(45000));
    EXPECT_EQ(c->stylesheet, empty_stylesheet());
    EXPECT_FALSE(p->worksheet.conditional_formatting.at(0).rules.at(0).dxf.has_value());
}

// Plain cells are read straight from the source and every other spelling through the events: the two
// roads must give the same cells, and what the quick one refuses must fall to the other intact.
TEST(SheetReader, PlainAndOtherSpellingsOfCellsAgree) {
    Reader r;
    struct Case {
        const char* xml;
        const char* key;
        Value value;
        uint64_t style;
    };
    const Case cases[] = {
        {"<c r=\"A1\" s=\"1\"><v>45292</v></c>", "A1", date(2024, 1, 1), 1},
        {"<c r='B1' t='s'><v>2</v></c>", "B1", str("two"), 0},
        {"<c  r=\"C1\"\n\tt=\"str\" ><v> x &amp; y </v></c>", "C1", str("x & y"), 0},
        {"<c r=\"D1\" t=\"b\"><v>1</v></c>", "D1", Value{true}, 0},
        {"<c r=\"E1\" s=\"2\"/>", "E1", kEmpty, 2},
        {"<c r=\"F1\" s=\"3\" />", "F1", kEmpty, 3},
        {"<c r=\"G1\"><v></v></c>", "G1", kEmpty, 0},
        {"<c r=\"H1\" cm=\"1\"><v>3</v></c>", "H1", num(3), 0},          // another attribute
        {"<c r=\"i1\"><v>4</v></c>", "i1", num(4), 0},                   // not canonical
        {"<c r=\"J1\" r=\"K1\"><v>5</v></c>", "J1", num(5), 0},           // the first r counts
        {"<c r=\"L1\" t=\"s\"><v>1</v><f>A1</f></c>", "L1", formula("A1"), 0},
        {"<c r=\"M1\"><f>1+1</f><v>2</v></c>", "M1", formula("1+1"), 0},
        {"<c r=\"N1\" t=\"inlineStr\"><is><t>in</t></is></c>", "N1", str("in"), 0},
        {"<c r=\"O1\"><v>6</v> </c>", "O1", num(6), 0},
        {"<c r=\"P1\" s=\"&#53;\"><v>7</v></c>", "P1", date(1900, 1, 7), 5},
        {"<c r=\"Q1\" t=\"str\"><v>\xC3\xA9</v></c>", "Q1", str("\xC3\xA9"), 0},
    };
    std::string row;
    for (const Case& c : cases) row += c.xml;
    auto p = r.parse("<sheetData><row r=\"1\">" + row + "<c><v>8</v></c></row><row><c r=\"A3\"/></row></sheetData>");
    for (const Case& c : cases) {
        const Cell* cell = p.worksheet.find_cell(c.key);
        ASSERT_NE(cell, nullptr) << c.xml;
        EXPECT_EQ(cell->value, c.value) << c.xml;
        EXPECT_EQ(cell->style_index, c.style) << c.xml;
    }
    EXPECT_EQ(p.worksheet.find_cell("K1"), nullptr);
    EXPECT_EQ(p.worksheet.find_cell("R1")->value, num(8));  // follows the last cell of the row
    EXPECT_NE(p.worksheet.find_cell("A3"), nullptr);
    EXPECT_EQ(p.worksheet.cells().size(), std::size(cases) + 2);

    // A fault inside a plain cell's value is the same XML error either way.
    auto bad = r.try_parse("<sheetData><row r=\"1\"><c r=\"A1\"><v>1&bogus;</v></c></row></sheetData>");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::Xml);
    auto bad_utf8 = r.try_parse("<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>\xFF</v></c></row></sheetData>");
    ASSERT_FALSE(bad_utf8);
    EXPECT_EQ(bad_utf8.error().kind, ErrorKind::Xml);
}

namespace {

// A cell and the value it shows, comparable across two reads.
struct CellSeen {
    Value value;
    uint64_t style;
    bool operator==(const CellSeen&) const = default;
};
using SheetSeen = std::map<std::string, CellSeen>;

SheetSeen seen(const Worksheet& ws) {
    SheetSeen out;
    for (const auto& [k, c] : ws.cells()) out.emplace(k.str(), CellSeen{c.value, c.style_index});
    return out;
}

std::string describe(const SheetSeen& s) {
    std::string out;
    for (const auto& [k, c] : s) out += k + "(s" + std::to_string(c.style) + ",v" + std::to_string(c.value.index()) + ") ";
    return out;
}

// Random cells in many spellings. Each is written twice: as is, and with an attribute no reader knows
// and a comment after the start tag, which only steer it away from the direct read of plain cells.
struct CellSpeller {
    std::mt19937 rng;

    template <size_t N>
    const char* pick(const char* const (&options)[N]) { return options[rng() % N]; }

    // The cell as written, then as written the long way.
    std::pair<std::string, std::string> cell() {
        const char* const sep[] = {" ", " ", " ", "\n\t", "  ", "\r\n"};
        const char* const quote[] = {"\"", "\"", "'"};
        const char* const eq[] = {"=", "=", "=", " = "};
        const uint32_t row = rng() % 4 + 1, col = rng() % 5 + 1;
        std::string r = coords::rc_to_a1(row, col);
        switch (rng() % 10) {
        case 0: r[0] = static_cast<char>(r[0] - 'A' + 'a'); break;
        case 1: r.insert(1, "0"); break;
        case 2: r.insert(1, "+"); break;
        case 3: r.clear(); break;  // no reference: after the previous cell
        case 4: r += " "; break;
        default: break;
        }
        std::vector<std::pair<std::string, std::string>> attrs;
        if (!r.empty()) attrs.emplace_back("r", r);
        if (rng() % 2) attrs.emplace_back("s", pick({"0", "1", "2", "3", "5", "&#49;", "x", "01", "99"}));
        if (rng() % 3) attrs.emplace_back("t", pick({"n", "s", "b", "e", "str", "inlineStr", "d", "S", "", "&#115;"}));
        if (rng() % 6 == 0) attrs.emplace_back(pick({"cm", "vm", "x:r", "ph"}), "1");
        std::shuffle(attrs.begin(), attrs.end(), rng);
        std::string open = rng() % 12 == 0 ? "x:c" : "c";
        std::string tag = "<" + open;
        for (const auto& [name, value] : attrs) {
            const std::string q = pick(quote);
            tag += pick(sep) + name + pick(eq) + q + value + q;
        }
        if (rng() % 6 == 0) tag += pick(sep);

        const char* const texts[] = {"1", "2", " 3 ", "0", "1.5E3", "-4", "&#50;", "a&amp;b", "2024-01-02",
                                     "2024-01-02T10:00:00", "10:30", "#N/A", "\xC3\xA9", "", "1\r\n", "x\r\ny",
                                     "x\ry", "true", "45292", "&lt;&gt;"};
        const std::string x = pick(texts);
        std::string body;
        switch (rng() % 13) {
        case 0: body = ""; break;  // written as an empty element
        case 1: body = "<v/>"; break;
        case 2: body = "<f>1+1</f><v>" + x + "</v>"; break;
        case 3: body = "<v>" + x + "</v><f>A1</f>"; break;
        case 4: body = "<x:v>" + x + "</x:v>"; break;
        case 5: body = "<v><![CDATA[" + x + "]]></v>"; break;
        case 6: body = "<v>" + x + "<!--c--></v>"; break;
        case 7: body = "<v>" + x + "</v><?pi x?>"; break;
        case 8: body = "<is><t>" + x + "</t></is>"; break;
        case 9: body = "<v>" + x + "</v> "; break;
        case 10: body = "<v>" + x + "</v>\r\n"; break;
        default: body = "<v>" + x + "</v>"; break;
        }
        if (body.empty() && rng() % 4 == 0) body = " ";  // <c ...> </c>
        auto write = [&](bool long_way) {
            std::string out = tag;
            if (long_way) out += " zz=\"0\"";
            if (body.empty()) return out + "/>";
            out += ">";
            if (long_way) out += "<!---->";
            return out + body + "</" + open + ">";
        };
        return {write(false), write(true)};
    }
};

}  // namespace

// The direct read of plain cells and the general read agree on every cell, whatever its spelling.
TEST(SheetReader, DirectAndGeneralReadsAgreeOnRandomCells) {
    Reader r;
    CellSpeller speller{std::mt19937(11)};
    for (int sheet = 0; sheet < 400; ++sheet) {
        std::string plain = "<sheetData>", long_way = "<sheetData>";
        const int rows = static_cast<int>(speller.rng() % 4) + 1;
        for (int row = 1; row <= rows; ++row) {
            const std::string row_tag = speller.rng() % 4 ? "<row r=\"" + std::to_string(row) + "\">" : "<row>";
            plain += row_tag;
            long_way += row_tag;
            const int cells = static_cast<int>(speller.rng() % 6);
            for (int i = 0; i < cells; ++i) {
                auto [a, b] = speller.cell();
                plain += a;
                long_way += b;
            }
            plain += "</row>";
            long_way += "</row>";
        }
        plain += "</sheetData>";
        long_way += "</sheetData>";
        auto p = r.try_parse(plain);
        auto q = r.try_parse(long_way);
        ASSERT_EQ(p.has_value(), q.has_value()) << plain << "\n" << long_way;
        if (!p) {
            EXPECT_EQ(p.error().kind, q.error().kind) << plain;
            continue;
        }
        const SheetSeen a = seen(p->worksheet), b = seen(q->worksheet);
        ASSERT_EQ(a, b) << plain << "\n" << long_way << "\n" << describe(a) << "\n" << describe(b);
    }
}

// A part cut off inside its last cell loses that cell and nothing else (or is an XML error), on
// either road.
TEST(SheetReader, PartCutInsideACellLosesThatCell) {
    Reader r;
    CellSpeller speller{std::mt19937(5)};
    const std::string head = "<worksheet><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\" t=\"s\"><v>2</v></c>";
    auto whole = reader::parse_sheet(head, r.shared, r.styles, r.kinds, false);
    ASSERT_TRUE(whole) << whole.error().message;
    const SheetSeen before = seen(whole->worksheet);
    for (int i = 0; i < 60; ++i) {
        auto [a, b] = speller.cell();
        for (const std::string& cell : {a, b}) {
            for (size_t cut = 0; cut < cell.size(); ++cut) {
                const std::string doc = head + cell.substr(0, cut);
                auto p = reader::parse_sheet(doc, r.shared, r.styles, r.kinds, false);
                if (!p) {
                    EXPECT_EQ(p.error().kind, ErrorKind::Xml) << doc;
                    continue;
                }
                EXPECT_EQ(seen(p->worksheet), before) << doc;
            }
        }
    }
}

// Spellings of one cell that the direct read must leave to the events, with the values they hold.
TEST(SheetReader, TrickySpellingsOfAPlainCell) {
    Reader r;
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v>x\r\ny\rz</v></c>"), str("x\ny\nz"));  // line ends as a parser hands them on
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v>x&#13;&#10;y</v></c>"), str("x\r\ny"));
    EXPECT_EQ(r.value("<c r=\"A1\"><v><![CDATA[12]]></v></c>"), num(12));
    EXPECT_EQ(r.value("<c r=\"A1\"><v>1<!-- note -->2</v></c>"), num(12));
    EXPECT_EQ(r.value("<c r=\"A1\"><v>&#52;2</v></c>"), num(42));
    EXPECT_EQ(r.value("<x:c r=\"A1\" t=\"s\"><x:v>1</x:v></x:c>"), str("one"));
    EXPECT_EQ(r.value("<c t=\"b\" r=\"A1\"><?pi?><v>1</v></c>"), Value{true});
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"e\"><v>#DIV/0!</v></c>"), kEmpty);
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"d\"><v>2024-01-02T03:04:05</v></c>"), date_time(2024, 1, 2, 3 * 3600 + 4 * 60 + 5));
    EXPECT_EQ(r.value("<c r=\"A+1\"><v>5</v></c>", "A+1"), num(5));
    EXPECT_EQ(r.value("<c r=\"A01\"><v>5</v></c>", "A01"), num(5));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v> </v></c>"), str(""));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v></v></c>"), str(""));
    EXPECT_EQ(r.value("<c r=\"A1\" t=\"str\"><v/></c>"), kEmpty);
}

namespace {

// An mc:AlternateContent of a choice requiring the extension "x14" (not one the reader models)
// and a fallback.
std::string alt(std::string_view choice, std::string_view fallback, std::string_view required = "x14") {
    return "<mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
           "xmlns:x14=\"urn:x14\"><mc:Choice Requires=\"" + std::string(required) + "\">" + std::string(choice) +
           "</mc:Choice><mc:Fallback>" + std::string(fallback) + "</mc:Fallback></mc:AlternateContent>";
}

// What a sheet read: its cells (key=number), merged ranges, hyperlinks, rules per block, column
// widths and the kinds of the children carried.
std::string read_back(const ParsedSheet& p) {
    const Worksheet& ws = p.worksheet;
    std::string out;
    for (const auto& k : keys(ws)) {
        const Value& v = ws.find_cell(k)->value;
        out += k + "=" + (std::holds_alternative<double>(v) ? std::to_string(int(std::get<double>(v))) : "?") + " ";
    }
    out += "M";
    for (const auto& m : ws.merged_ranges) out += " " + m;
    out += " H";
    for (const auto& h : p.hyperlinks) out += " " + h.cell_ref;
    out += " F";
    for (const auto& b : ws.conditional_formatting) out += " " + std::to_string(b.rules.size());
    out += " W";
    std::map<uint32_t, double> widths(ws.column_widths.begin(), ws.column_widths.end());
    for (const auto& [c, w] : widths) out += " " + std::to_string(c) + ":" + std::to_string(int(w));
    out += " K";
    for (const auto& e : ws.carried) out += " " + std::to_string(int(e.kind));
    return out;
}

}  // namespace

// Of alternatives, the reader takes one branch: cells and rows that follow the previous one keep
// their places, and nothing is read or carried twice.
TEST(SheetReader, AlternativesAreReadOnce) {
    Reader r;
    const std::string c = "<c><v>1</v></c>", cf = "<cfRule type=\"expression\"><formula>1</formula></cfRule>";
    const struct {
        std::string body;
        const char* want;
    } cases[] = {
        {"<sheetData><row r=\"1\">" + c + alt("<c><v>2</v></c><c><v>3</v></c>", "<c><v>4</v></c>") +
             "<c r=\"D1\"/><c><v>5</v></c></row></sheetData>",
         "A1=1 B1=4 D1=? E1=5 M H F W K"},
        {"<sheetData>" + alt("<row><c><v>2</v></c></row><row/>", "<row r=\"2\"><c><v>4</v></c></row>") +
             "<row><c><v>5</v></c></row></sheetData>",
         "A2=4 A3=5 M H F W K"},
        {"<sheetData><row r=\"1\">" + alt("<c><v>2</v></c>", "<c><v>4</v></c>", "r") + "</row></sheetData>",
         "A1=2 M H F W K"},
        {"<cols>" + alt("<col min=\"1\" max=\"3\" width=\"9\"/>", "<col min=\"2\" max=\"2\" width=\"5\"/>") + "</cols>"
             "<mergeCells>" + alt("<mergeCell ref=\"A1:B2\"/>", "<mergeCell ref=\"C1:D2\"/>") + "</mergeCells>"
             "<hyperlinks>" + alt("<hyperlink ref=\"A1\"/>", "") + "<hyperlink ref=\"B1\"/></hyperlinks>",
         "M C1:D2 H B1 F W 2:5 K"},
        {"<conditionalFormatting sqref=\"A1\">" + alt(cf + cf, cf) + "</conditionalFormatting>", "M H F 1 W K"},
        // Around the root's children: what the model reads is read from the branch taken, and the
        // rest of that branch carried child by child.
        {alt("<sheetData><row r=\"1\">" + c + "</row></sheetData>",
             "<sheetData><row r=\"2\">" + c + "</row></sheetData><pageMargins left=\"1\"/>"),
         "A2=1 M H F W K 20"},
        {alt("<conditionalFormatting sqref=\"A1\">" + cf + "</conditionalFormatting>", ""), "M H F W K"},
    };
    for (const auto& t : cases) EXPECT_EQ(read_back(r.parse(t.body)), t.want) << t.body;

    // Anything else is carried whole, every branch as written, whatever names it holds deeper.
    const std::string controls = alt("<controls><control r:id=\"rId1\"><row>1</row></control></controls>", "<pageMargins/>");
    auto p = r.parse(controls);
    ASSERT_EQ(p.worksheet.carried.size(), 1u);
    EXPECT_EQ(p.worksheet.carried[0].kind, SheetChild::Other);
    EXPECT_EQ(p.worksheet.carried[0].xml, controls);
}

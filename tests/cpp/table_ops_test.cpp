#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model/workbook.hpp"

using namespace velmo;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> names(const std::vector<TableColumn>& cols) {
    std::vector<std::string> out;
    for (const auto& c : cols) out.push_back(c.name);
    return out;
}

std::vector<std::string> header_names(std::initializer_list<std::pair<const char*, Value>> cells, const char* range) {
    Worksheet ws("S");
    for (const auto& [k, v] : cells) ws.set_cell(k, v);
    return names(table::derive_columns_from_header(ws, range));
}

std::vector<std::string> display_names(const Worksheet& ws) {
    std::vector<std::string> out;
    for (const auto& st : ws.tables) out.push_back(st.table.display_name);
    return out;
}

Value text(const char* s) { return Value(std::string(s)); }

}  // namespace

TEST(AddTable, DuplicateNamesFoldOnlyAsciiCase) {
    Worksheet ws("S");
    ASSERT_TRUE(ws.add_table(Table::make("Sales", "A1:B2")));
    auto dup = ws.add_table(Table::make("SALES", "not a range"));  // the name is reported before the range
    ASSERT_FALSE(dup);
    EXPECT_EQ(dup.error().kind, ErrorKind::DuplicateTableName);
    EXPECT_EQ(dup.error().message, "SALES");
    EXPECT_EQ(display_names(ws), (std::vector<std::string>{"Sales"}));

    ASSERT_TRUE(ws.add_table(Table::make("\xc3\x84pfel", "D1:E2")));  // Äpfel
    EXPECT_TRUE(ws.add_table(Table::make("\xc3\xa4pfel", "D1:E2")));  // äpfel is another name
    EXPECT_TRUE(ws.add_table(Table::make("", "A1")));                  // an empty name is not checked
}

TEST(AddTable, RangeChecks) {
    Worksheet ws("S");
    for (const char* bad : {"C1:A3", "$A$1:$B$2", "A1:", "A:C", ""}) {
        auto r = ws.add_table(Table::make("T", bad));
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
        EXPECT_EQ(r.error().message, "table ref_range \"" + std::string(bad) + "\" does not parse to at least one column");
    }
    EXPECT_TRUE(ws.tables.empty());

    ASSERT_TRUE(ws.add_table(Table::make("Spaced", " A1 : B2 ")));
    EXPECT_EQ(ws.tables.back().table.ref_range, " A1 : B2 ");  // stored as given
    EXPECT_EQ(ws.tables.back().table.columns.size(), 2u);

    ws.set_cell("A3", text("Low"));
    ASSERT_TRUE(ws.add_table(Table::make("Upside", "A3:C1")));  // rows are not compared; header row 3
    EXPECT_EQ(names(ws.tables.back().table.columns), (std::vector<std::string>{"Low", "Column2", "Column3"}));
}

TEST(AddTable, SpanWiderThanTheGridRefusedBeforeDeriving) {
    Worksheet ws("S");
    for (const char* range : {"A1:MWLQKWU1", "A1:XFE1"}) {
        auto r = ws.add_table(Table::make("Wide", range));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
    }
    EXPECT_EQ(ws.add_table(Table::make("Wide", "A1:MWLQKWU1")).error().message,
              "table ref_range \"A1:MWLQKWU1\" spans 4294967295 columns; at most 16384 are allowed");
    EXPECT_TRUE(ws.tables.empty());
    EXPECT_TRUE(table::derive_columns_from_header(ws, "A1:MWLQKWU1").empty());

    ASSERT_TRUE(ws.add_table(Table::make("Full", "A1:XFD1")));
    EXPECT_EQ(ws.tables.back().table.columns.size(), 16384u);
    EXPECT_EQ(ws.tables.back().table.columns.back().name, "Column16384");

    // Columns supplied by the caller need no derivation and are kept as given.
    Table given = Table::make("Given", "B1:MWLQKWU1");
    given.columns = {{"x", 1}, {"x", 1}};
    ASSERT_TRUE(ws.add_table(given));
    EXPECT_EQ(ws.tables.back().table.columns, given.columns);
}

TEST(AddTable, DefaultsAndAppendOrder) {
    Worksheet ws("S");
    Table t = Table::make("Disp", "A1:B2");
    t.name.clear();
    t.id = 9;
    t.header_row_count = 0;
    ASSERT_TRUE(ws.add_table(t));
    const SheetTable& st = ws.tables.back();
    EXPECT_EQ(st.table.name, "Disp");
    EXPECT_EQ(st.table.id, 9u);
    EXPECT_EQ(st.table.header_row_count, 0u);
    EXPECT_FALSE(st.raw.has_value());
    EXPECT_EQ(st.table.columns, (std::vector<TableColumn>{{"Column1", 1}, {"Column2", 2}}));
}

TEST(DeriveColumns, HeaderLookupUsesCanonicalKeys) {
    EXPECT_EQ(header_names({{"A1", text("Only")}}, "A1"), (std::vector<std::string>{"Only"}));
    EXPECT_EQ(header_names({{"A1", text("x")}, {"B1", text("y")}}, "a1:b3"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(header_names({{"b1", text("lower")}}, "A1:B1"), (std::vector<std::string>{"Column1", "Column2"}));
    EXPECT_EQ(header_names({}, "C5:E9"), (std::vector<std::string>{"Column1", "Column2", "Column3"}));
    EXPECT_EQ(header_names({{"A1", text("  ")}, {"B1", text("")}}, "A1:B1"), (std::vector<std::string>{"  ", "Column2"}));
    EXPECT_EQ(header_names({{"A1", Value(1.0)}, {"B1", Value(true)}, {"C1", Value(Formula{"SUM(A1)"})}}, "A1:C1"),
              (std::vector<std::string>{"1", "TRUE", "SUM(A1)"}));
    EXPECT_TRUE(header_names({}, "C1:A1").empty());
    EXPECT_TRUE(header_names({}, "nope").empty());

    Worksheet ws("S");
    auto cols = table::derive_columns_from_header(ws, "C1:D1");
    EXPECT_EQ(cols, (std::vector<TableColumn>{{"Column1", 1}, {"Column2", 2}}));
}

TEST(DeriveColumns, Deduplication) {
    EXPECT_EQ(header_names({{"A1", text("Name")}, {"B1", text("Name")}, {"C1", text("name")}}, "A1:C1"),
              (std::vector<std::string>{"Name", "Name1", "name2"}));
    EXPECT_EQ(header_names({{"A1", text("A")}, {"B1", text("A1")}, {"C1", text("A")}}, "A1:C1"),
              (std::vector<std::string>{"A", "A1", "A2"}));
    EXPECT_EQ(header_names({{"A1", text("Column2")}}, "A1:B1"), (std::vector<std::string>{"Column2", "Column21"}));
    // Non-ASCII letters do not fold.
    EXPECT_EQ(header_names({{"A1", text("\xc3\x84")}, {"B1", text("\xc3\xa4")}}, "A1:B1"),
              (std::vector<std::string>{"\xc3\x84", "\xc3\xa4"}));
}

// A table [Name, Qty, Price] over A1:C3 after its header cells are rewritten: each column takes
// its header cell's shown text, and a renamed column never repeats another's name.
TEST(HeaderNames, ColumnsFollowTheirHeaderCells) {
    const Date d{std::chrono::year{2024}, std::chrono::January, std::chrono::day{31}};
    using Names = std::vector<std::string>;
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, Value>> cells;  // written after the table is added
        Names want;                                          // empty: the columns agree already
        uint32_t header_rows = 1;
    };
    const std::vector<Case> cases = {
        {"only case differs", {{"B1", text("QTY")}}, {"Name", "QTY", "Price"}},
        {"repeats a later kept name", {{"A1", text("Qty")}}, {"Qty1", "Qty", "Price"}},
        {"two renamed alike", {{"A1", text("X")}, {"B1", text("x")}}, {"X", "x1", "Price"}},
        {"two swapped", {{"A1", text("Price")}, {"C1", text("Name")}}, {"Price", "Qty", "Name"}},
        {"empty text and empty cell keep", {{"A1", text("")}, {"B1", Value{}}}, {}},
        {"General number and boolean", {{"B1", Value(2024.0)}, {"C1", Value(true)}}, {"Name", "2024", "TRUE"}},
        {"number too long to show whole", {{"B1", Value(0.1 + 0.2)}, {"C1", Value(1e21)}}, {}},
        {"date, formula keep", {{"B1", Value(d)}, {"C1", Value(Formula{"\"x\""})}}, {}},
        {"no header row", {{"B1", text("Amount")}}, {}, 0},
    };
    for (const Case& c : cases) {
        Worksheet ws("S");
        for (const char* k : {"A1", "B1", "C1"}) ws.set_cell(k, text(k[0] == 'A' ? "Name" : k[0] == 'B' ? "Qty" : "Price"));
        Table t = Table::make("T", "A1:C3");
        t.header_row_count = c.header_rows;
        ASSERT_TRUE(ws.add_table(t));
        for (const auto& [k, v] : c.cells) ws.set_cell(k, v);
        const auto got = table::columns_named_by_header(ws, ws.tables[0].table);
        if (c.want.empty()) {
            EXPECT_FALSE(got) << c.what;
            continue;
        }
        ASSERT_TRUE(got) << c.what;
        EXPECT_EQ(names(*got), c.want) << c.what;
        for (size_t i = 0; i < got->size(); ++i) EXPECT_EQ((*got)[i].id, i + 1) << c.what;
    }

    // A number in a format other than General shows as that format decides: the name stays.
    Worksheet ws("S");
    auto styles = std::make_shared<StyleSheet>();
    styles->cell_xfs.resize(2);
    styles->cell_xfs[1].num_fmt_id = 10;  // 0.00%
    Cell percent(styles);
    percent.value = 0.5;
    percent.style_index = 1;
    ws.put_cell("A1", percent);
    percent.style_index = 0;
    ws.put_cell("B1", percent);
    Table t = Table::make("T", "A1:C1");
    t.columns = {{"Rate", 1}, {"Share", 2}, {"Extra", 3}, {"Past the range", 4}};
    EXPECT_EQ(names(*table::columns_named_by_header(ws, t)), (Names{"Rate", "0.5", "Extra", "Past the range"}));
    t.ref_range = "nope";
    EXPECT_FALSE(table::columns_named_by_header(ws, t));
}

TEST(ValueToHeader, EveryKind) {
    using table::value_to_header;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(value_to_header(Value{}), "");
    EXPECT_EQ(value_to_header(text("as is ")), "as is ");
    EXPECT_EQ(value_to_header(Value(1.0)), "1");
    EXPECT_EQ(value_to_header(Value(2.5)), "2.5");
    EXPECT_EQ(value_to_header(Value(0.0000001)), "0.0000001");
    EXPECT_EQ(value_to_header(Value(1e21)), "1000000000000000000000");
    // Shortest digits, not the exact binary value (99999999999999991611392), so the name matches
    // the header cell as saved.
    EXPECT_EQ(value_to_header(Value(1e23)), "1" + std::string(23, '0'));
    EXPECT_EQ(value_to_header(Value(0.1 + 0.2)), "0.30000000000000004");
    EXPECT_EQ(value_to_header(Value(-0.0)), "-0");
    EXPECT_EQ(value_to_header(Value(std::nan(""))), "NaN");
    EXPECT_EQ(value_to_header(Value(inf)), "inf");
    EXPECT_EQ(value_to_header(Value(-inf)), "-inf");
    EXPECT_EQ(value_to_header(Value(std::numeric_limits<double>::denorm_min())).size(), 326u);
    EXPECT_EQ(value_to_header(Value(false)), "FALSE");

    const Date d{std::chrono::year{2024}, std::chrono::January, std::chrono::day{31}};
    EXPECT_EQ(value_to_header(Value(d)), "2024-01-31");
    EXPECT_EQ(value_to_header(Value(Date{std::chrono::year{33}, std::chrono::March, std::chrono::day{4}})), "0033-03-04");
    EXPECT_EQ(value_to_header(Value(DateTime{d, TimeOfDay{43200, 0}})), "2024-01-31 12:00:00");
    EXPECT_EQ(value_to_header(Value(TimeOfDay{43200, 250'000'000})), "12:00:00.250");
    EXPECT_EQ(value_to_header(Value(TimeOfDay{3661, 1'000})), "01:01:01.000001");
    EXPECT_EQ(value_to_header(Value(TimeOfDay{59, 7})), "00:00:59.000000007");
    EXPECT_EQ(value_to_header(Value(TimeOfDay{86399, 1'500'000'000})), "23:59:60.500");

    EXPECT_EQ(value_to_header(Value(Duration{0, 0})), "P0D");
    EXPECT_EQ(value_to_header(Value(Duration{3600, 0})), "PT3600S");
    EXPECT_EQ(value_to_header(Value(Duration{-2, 500'000'000})), "-PT1.5S");
    EXPECT_EQ(value_to_header(Value(Duration{-1, 0})), "-PT1S");
    EXPECT_EQ(value_to_header(Value(Duration{0, 120'000'000})), "PT0.12S");
    EXPECT_EQ(value_to_header(Value(Duration{std::numeric_limits<int64_t>::min(), 0})), "-PT9223372036854775808S");
    EXPECT_EQ(value_to_header(Value(Formula{"SUM(A1)"})), "SUM(A1)");
}

TEST(RemoveTable, KeepsTheOthersPairedWithTheirParts) {
    Worksheet ws("S");
    for (const char* n : {"One", "Two", "Three"})
        ws.tables.push_back(SheetTable{Table::make(n, "A1:B2"), RawTable{std::string("<") + n + "/>", false}});
    EXPECT_FALSE(ws.remove_table("Four").has_value());
    EXPECT_EQ(ws.tables.size(), 3u);

    auto removed = ws.remove_table("ONE");
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->table.display_name, "One");
    ASSERT_EQ(ws.tables.size(), 2u);
    EXPECT_EQ(ws.tables[0].table.display_name, "Two");
    EXPECT_EQ(ws.tables[0].raw->bytes, "<Two/>");
    EXPECT_EQ(ws.tables[1].raw->bytes, "<Three/>");
}

TEST(TableMut, MarksTheRetainedPartOfTheFirstMatch) {
    Worksheet ws("S");
    ws.tables.push_back(SheetTable{Table::make("Dup", "A1:B2"), RawTable{"first", false}});
    ws.tables.push_back(SheetTable{Table::make("DUP", "D1:E2"), RawTable{"second", false}});
    ASSERT_TRUE(ws.add_table(Table::make("Added", "G1:H2")));

    ASSERT_NE(ws.find_table("dup"), nullptr);
    EXPECT_FALSE(ws.tables[0].raw->modified);  // a read-only look-up marks nothing

    Table* t = ws.table_mut("dup");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->ref_range, "A1:B2");
    EXPECT_TRUE(ws.tables[0].raw->modified);
    EXPECT_FALSE(ws.tables[1].raw->modified);

    ASSERT_NE(ws.table_mut("added"), nullptr);
    EXPECT_FALSE(ws.tables[2].raw.has_value());
    EXPECT_EQ(ws.table_mut("missing"), nullptr);
    EXPECT_EQ(ws.find_table("missing"), nullptr);

    auto removed = ws.remove_table("Dup");
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->raw->bytes, "first");
}

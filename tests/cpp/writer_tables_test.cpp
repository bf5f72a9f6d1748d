#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/workbook.hpp"
#include "reader/sheet_rels.hpp"
#include "reader/table_reader.hpp"
#include "support/xml_well_formed.hpp"
#include "writer/namespaces.hpp"
#include "writer/table_part.hpp"

using namespace velmo;
using namespace velmo::writer;

namespace {

Table make_table(const char* name, std::vector<const char*> columns = {"A"}, uint32_t id = 0) {
    Table t = Table::make(name, "A1:B2");
    uint32_t n = 0;
    for (const char* c : columns) t.columns.push_back({c, ++n});
    t.id = id;
    return t;
}

// A table read from a package with the given id; `modified` as a later edit would set it.
SheetTable read_table(const char* name, uint32_t id, bool modified = false) {
    return {make_table(name, {"A"}, id), RawTable{"<table id=\"" + std::to_string(id) + "\"/>", modified}};
}

SheetTable new_table(const char* name) { return {make_table(name), std::nullopt}; }

// "part:id[v]" per table, sheets separated by "|".
std::string plan_of(const std::vector<Worksheet>& sheets, const std::unordered_set<uint64_t>& taken = {}) {
    const TableNumbering n = assign_table_ids(sheets, taken);
    std::string out;
    for (size_t s = 0; s < n.sheets.size(); ++s) {
        if (s) out += "|";
        for (size_t t = 0; t < n.sheets[s].size(); ++t) {
            const TablePlan& p = n.sheets[s][t];
            if (t) out += " ";
            out += std::to_string(p.part_number) + ":" + std::to_string(p.id) + (p.verbatim ? "v" : "");
        }
    }
    return out;
}

std::vector<Worksheet> sheets_of(std::vector<std::vector<SheetTable>> tables) {
    std::vector<Worksheet> sheets;
    for (auto& ts : tables) sheets.emplace_back("S" + std::to_string(sheets.size() + 1)).tables = std::move(ts);
    return sheets;
}

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";

}  // namespace

TEST(TableNumbering, PartNumbersRunOverTheWorkbookAndIdsAvoidKeptOnes) {
    EXPECT_EQ(plan_of(sheets_of({{new_table("a")}, {new_table("b")}})), "1:1|2:2");
    EXPECT_EQ(plan_of(sheets_of({{read_table("a", 5)}, {new_table("b")}})), "1:5v|2:1");
    EXPECT_EQ(plan_of(sheets_of({{read_table("a", 1), read_table("b", 2)}, {}, {new_table("c")}})), "1:1v 2:2v||3:3");
    // A changed table loses its id to the smallest free one.
    EXPECT_EQ(plan_of(sheets_of({{read_table("a", 3, true), read_table("b", 1)}})), "1:2 2:1v");
    // Two kept tables with one id keep it; their parts differ.
    EXPECT_EQ(plan_of(sheets_of({{read_table("a", 4), read_table("b", 4)}})), "1:4v 2:4v");
    // Ids at the top of the 32-bit range do not make the counter wrap onto them.
    EXPECT_EQ(plan_of(sheets_of({{read_table("a", 4294967295u), read_table("b", 1), new_table("c"), new_table("d")}})),
              "1:4294967295v 2:1v 3:2 4:3");

    const auto sheets = sheets_of({{new_table("a")}, {}, {read_table("b", 9), new_table("c")}});
    const TableNumbering n = assign_table_ids(sheets);
    EXPECT_EQ(n.table_count, 3u);
    EXPECT_EQ(n.part_numbers(0), (std::vector<uint64_t>{1}));
    EXPECT_TRUE(n.part_numbers(1).empty());
    EXPECT_EQ(n.part_numbers(2), (std::vector<uint64_t>{2, 3}));
    EXPECT_TRUE(n.part_numbers(7).empty());
    // Numbering twice gives the same answer, and the model is untouched.
    EXPECT_EQ(plan_of(sheets), plan_of(sheets));
    EXPECT_EQ(sheets[2].tables[1].table.id, 0u);
    EXPECT_EQ(table_part_name(12), "xl/tables/table12.xml");
    EXPECT_EQ(table_rels_part_name(12), "xl/tables/_rels/table12.xml.rels");

    // Names the source uses for other parts are passed over; ids are not affected.
    EXPECT_EQ(plan_of(sheets_of({{new_table("a")}, {read_table("b", 1), new_table("c")}}), {1, 3}), "2:2|4:1v 5:3");
    EXPECT_EQ(n.all_part_numbers(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(assign_table_ids(sheets, {2}).all_part_numbers(), (std::vector<uint64_t>{1, 3, 4}));
}

// Which "xl/tables/table{k}.xml" of the source are something else than a table the sheets name.
TEST(TableNumbering, NamesTheSourceHoldsForOtherParts) {
    Workbook wb;
    wb.sheets.emplace_back("S1").tables.push_back(read_table("a", 1));
    wb.sheet_relationships = {{{"rId1", std::string(reader::kTableRelType), "../tables/table1.xml", std::nullopt},
                               {"rId2", std::string(reader::kTableRelType), "/xl/tables/Table%32.xml", std::nullopt},
                               {"rId3", "urn:other", "../tables/table8.xml", std::nullopt},
                               {"rId4", std::string(reader::kTableRelType), "../tables/table9.xml", "External"}}};
    for (const char* name : {"xl/tables/table1.xml", "xl/tables/table2.xml", "XL/Tables/Table3.xml", "xl/tables/table04.xml",
                             "xl/tables/table+5.xml", "xl/tables/table.xml", "xl/tables/tableSingleCells6.xml",
                             "xl/tables/table7.xml.rels", "xl/other/table10.xml", "xl/tables/table8.xml",
                             "xl/tables/table9.xml", "xl/tables/table99999999999999999999.xml"})
        wb.source_entries.push_back({name, 0, 0, false});
    EXPECT_EQ(table_numbers_taken(wb), (std::unordered_set<uint64_t>{3, 8, 9}));
    // Without tables to number there is nothing to avoid.
    wb.sheets[0].tables.clear();
    EXPECT_TRUE(table_numbers_taken(wb).empty());
}

TEST(TablePart, RegeneratedTableExactText) {
    Table t = make_table("Sales & Co", {"Region", "Q'1"});
    t.name = "";
    t.ref_range = "B2:C9";
    t.header_row_count = 1;
    t.style_info = TableStyleInfo{"TableStyleMedium9", false, false, true, false};
    auto part = serialize_table_xml(t, 7);
    ASSERT_TRUE(part) << part.error().display();
    EXPECT_EQ(*part, kDecl +
                         "<table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"7\" "
                         "name=\"Sales &amp; Co\" displayName=\"Sales &amp; Co\" ref=\"B2:C9\" headerRowCount=\"1\">"
                         "<autoFilter ref=\"B2:C9\"/><tableColumns count=\"2\">"
                         "<tableColumn id=\"1\" name=\"Region\"/><tableColumn id=\"2\" name=\"Q&apos;1\"/>"
                         "</tableColumns><tableStyleInfo name=\"TableStyleMedium9\" showRowStripes=\"1\"/></table>");
    EXPECT_TRUE(velmo::test::parses_as_xml(*part));

    // Without style info there is no tableStyleInfo; every flag set writes all four.
    Table plain = make_table("T", {"x"});
    plain.name = "Inner";
    plain.header_row_count = 0;
    part = serialize_table_xml(plain, 1);
    ASSERT_TRUE(part);
    EXPECT_NE(part->find("id=\"1\" name=\"Inner\" displayName=\"T\" ref=\"A1:B2\" headerRowCount=\"0\">"), std::string::npos);
    EXPECT_EQ(part->find("tableStyleInfo"), std::string::npos);
    // Without a header row there is no filter: its buttons would sit on the first data row.
    EXPECT_EQ(part->find("autoFilter"), std::string::npos);
    plain.style_info = TableStyleInfo{"S", true, true, true, true};
    part = serialize_table_xml(plain, 1);
    ASSERT_TRUE(part);
    EXPECT_NE(part->find("<tableStyleInfo name=\"S\" showFirstColumn=\"1\" showLastColumn=\"1\" showRowStripes=\"1\" "
                         "showColumnStripes=\"1\"/></table>"),
              std::string::npos);
}

TEST(TablePart, RefusalsNameTheTable) {
    auto none = serialize_table_xml(make_table("Odd \"name\"\n", {}), 1);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(none.error().message, "table \"Odd \\\"name\\\"\\n\" has zero columns, cannot serialize");

    // Column names, like the header cells they repeat, escape what XML cannot carry; other texts refuse it.
    auto escaped = serialize_table_xml(make_table("T", {"ok", "b\x1F_x0041_"}), 1);
    ASSERT_TRUE(escaped);
    EXPECT_NE(escaped->find("name=\"b_x001F__x005F_x0041_\""), std::string::npos);
    Table styled = make_table("T", {"ok"});
    styled.style_info = TableStyleInfo{"S\x1F", false, false, false, false};
    auto bad = serialize_table_xml(styled, 1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::InvalidFormat);
    EXPECT_EQ(bad.error().message, "table \"T\": text holds U+001F, which XML does not allow (offset 1)");
    auto broken = serialize_table_xml(make_table("T", {"ok", "b\xFF"}), 1);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message, "table \"T\": text is not valid UTF-8 (byte 0xFF at offset 1)");

    // A range past the last row or column, at either corner; the last cell of the grid is fine.
    for (const char* ref : {"A1048570:B1048600", "XFD1:XFE3", "A1048577", "C3:A1048577"}) {
        Table t = make_table("Big", {"x", "y"});
        t.ref_range = ref;
        auto beyond = serialize_table_xml(t, 1);
        ASSERT_FALSE(beyond) << ref;
        EXPECT_EQ(beyond.error().kind, ErrorKind::InvalidFormat);
        EXPECT_EQ(beyond.error().message,
                  std::string("table \"Big\" range \"") + ref + "\" lies outside the grid (A1:XFD1048576)");
    }
    Table edge = make_table("Edge", {"x", "y"});
    edge.ref_range = "XFC1048575:XFD1048576";
    EXPECT_TRUE(serialize_table_xml(edge, 1));
}

TEST(TablePart, KeptBytesGoOutUnchangedUntilModified) {
    SheetTable kept = read_table("a", 5);
    kept.raw->bytes = "<table id=\"5\" totalsRowCount=\"1\">anything</table>";
    auto bytes = table_part_bytes(kept, TablePlan{1, 5, true});
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, kept.raw->bytes);

    kept.raw->modified = true;
    const TableNumbering n = assign_table_ids(sheets_of({{kept}}));
    ASSERT_FALSE(n.sheets[0][0].verbatim);
    bytes = table_part_bytes(kept, n.sheets[0][0]);
    ASSERT_TRUE(bytes);
    // Written anew from the bytes loaded: the model's texts where the part differs, the rest as it was.
    EXPECT_EQ(*bytes, "<table ref=\"A1:B2\" displayName=\"a\" name=\"a\" id=\"1\" totalsRowCount=\"1\">anything</table>");
}

// A changed table starts from its loaded part: only what the change touched is written anew.
TEST(TablePart, ChangedTableIsWrittenFromItsLoadedPart) {
    const auto with = [](std::string text, std::string_view from, std::string_view to) {
        return text.replace(text.find(from), from.size(), to);
    };
    // As a desktop application writes a totals row: labels, functions, a column formula, revision ids, extensions.
    const std::string totals = "<table xmlns=\"" + std::string(kMainNs) + "\" xmlns:xr=\"urn:xr\" id=\"3\" xr:uid=\"{A}\" "
                               "name=\"S\" displayName=\"S\" ref=\"A1:B5\" totalsRowCount=\"1\"><autoFilter ref=\"A1:B4\"/>"
                               "<tableColumns count=\"2\"><tableColumn id=\"1\" name=\"a\" totalsRowLabel=\"Total\"/><tableColumn "
                               "id=\"2\" name=\"b\" totalsRowFunction=\"sum\"><calculatedColumnFormula>1</calculatedColumnFormula>"
                               "</tableColumn></tableColumns><tableStyleInfo name=\"M\"/><extLst/></table>";
    const std::string renumbered = with(totals, "id=\"3\"", "id=\"1\""), style = "tableStyleInfo name=\"L\" showColumnStripes=\"1\"/>";
    const std::string bare = "<table xmlns=\"" + std::string(kMainNs) + "\" id=\"1\" name=\"H\" displayName=\"H\" ref=\"C3:C6\" "
                             "headerRowCount=\"0\"><tableColumns count=\"1\"><tableColumn id=\"1\" name=\"a\"/></tableColumns><extLst/></table>";
    const std::string prefixed = "<x:table xmlns:x=\"" + std::string(kMainNs) + "\" id=\"1\" name=\"P\" displayName=\"P\" ref=\"A1:A3\">"
                                 "<x:autoFilter ref=\"A1:A3\"/><x:tableColumns count=\"1\"><x:tableColumn id=\"1\" name=\"p\"/>"
                                 "</x:tableColumns></x:table>";
    const auto restyle = [](Table& t) { t.style_info = TableStyleInfo{"L", false, false, false, true}; };
    const struct {
        std::string loaded;
        std::function<void(Table&)> edit;
        std::string expected;
    } cases[] = {
        {totals, restyle, with(renumbered, "tableStyleInfo name=\"M\"/>", style)},
        {totals, [](Table& t) { t.style_info.reset(); }, with(renumbered, "<tableStyleInfo name=\"M\"/>", "")},
        {bare, restyle, with(bare, "<extLst/>", "<" + style + "<extLst/>")},
        // The filter follows the range, short of the totals row, and goes with the header row.
        {totals, [](Table& t) { t.ref_range = "A1:B9"; }, with(with(renumbered, "A1:B5", "A1:B9"), "A1:B4", "A1:B8")},
        {totals, [](Table& t) { t.header_row_count = 0; },
         with(with(renumbered, "<autoFilter ref=\"A1:B4\"/>", ""), "<table ", "<table headerRowCount=\"0\" ")},
        {prefixed,
         [&](Table& t) {
             restyle(t);
             t.columns[0].name = "q<";
             t.display_name = "R&D";
         },
         with(with(with(prefixed, "name=\"p\"", "name=\"q&lt;\""), "displayName=\"P\"", "displayName=\"R&amp;D\""),
              "</x:table>", "<x:" + style + "</x:table>")},
    };
    for (const auto& c : cases) {
        SheetTable st{*reader::parse_table_xml(c.loaded), RawTable{c.loaded, true}};
        c.edit(st.table);
        auto bytes = table_part_bytes(st, TablePlan{1, 1, false});
        ASSERT_TRUE(bytes) << c.loaded;
        EXPECT_EQ(*bytes, c.expected);
        EXPECT_TRUE(test::parses_as_xml(*bytes));
    }
    // A part that cannot be walked is written from the model alone; the refusals hold either way.
    SheetTable cut{make_table("T", {"x"}, 4), RawTable{"<table id=\"4\"><tableColumns>", true}};
    EXPECT_EQ(*table_part_bytes(cut, TablePlan{1, 1, false}), *serialize_table_xml(cut.table, 1));
    cut.table.columns.clear();
    EXPECT_FALSE(table_part_bytes(SheetTable{cut.table, RawTable{totals, true}}, TablePlan{1, 1, false}));
}

// A table whose header cells were rewritten goes out named after them: a kept part changes in
// those names alone (formulas, totals and ids stay); a part whose header cells agree keeps its bytes.
TEST(TablePart, ColumnsTakeTheirHeaderCellsNames) {
    const std::string loaded = "<table xmlns=\"" + std::string(kMainNs) + "\" id=\"7\" name=\"S\" displayName=\"S\" "
                               "ref=\"A1:C4\" totalsRowCount=\"1\"><autoFilter ref=\"A1:C3\"/><tableColumns count=\"3\">"
                               "<tableColumn id=\"1\" name=\"a\" totalsRowLabel=\"Total\"/><tableColumn id=\"2\" "
                               "totalsRowFunction=\"sum\"><calculatedColumnFormula>1</calculatedColumnFormula></tableColumn>"
                               "<tableColumn name='c' id=\"3\"/></tableColumns><extLst/></table>";
    const auto with = [](std::string text, std::string_view from, std::string_view to) {
        return text.replace(text.find(from), from.size(), to);
    };
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> headers;
        bool modified;
        std::string want;
    };
    const std::string restyled = with(with(loaded, "id=\"7\"", "id=\"1\""), "<extLst/>", "<tableStyleInfo name=\"L\"/><extLst/>");
    const std::vector<Case> cases = {
        {"headers agree", {{"A1", "a"}, {"C1", "c"}}, false, loaded},
        {"a header rewritten", {{"A1", "a<\n"}, {"C1", "c"}}, false, with(loaded, "name=\"a\"", "name=\"a&lt;&#10;\"")},
        {"a column without a name", {{"B1", "b"}}, false, with(loaded, "<tableColumn id=\"2\"", "<tableColumn name=\"b\" id=\"2\"")},
        {"single-quoted name", {{"C1", "C'"}}, false, with(loaded, "name='c'", "name='C&apos;'")},
        {"restyled and renamed", {{"C1", "d"}}, true, with(restyled, "name='c'", "name='d'")},
    };
    for (const Case& c : cases) {
        Worksheet ws("S");
        SheetTable st{*reader::parse_table_xml(loaded), RawTable{loaded, c.modified}};
        if (c.modified) st.table.style_info = TableStyleInfo{"L", false, false, false, false};
        for (const auto& [k, v] : c.headers) ws.set_cell(k, Value(std::string(v)));
        auto bytes = table_part_bytes(ws, st, TablePlan{1, c.modified ? 1u : 7u, !c.modified});
        ASSERT_TRUE(bytes) << c.what;
        EXPECT_EQ(*bytes, c.want) << c.what;
        EXPECT_TRUE(test::parses_as_xml(*bytes)) << c.what;
    }

    // A new table is generated with the header's names; a name XML cannot carry is refused.
    Worksheet ws("S");
    ws.set_cell("B1", Value(std::string("Qty")));
    const SheetTable added{make_table("N", {"A", "B"}), std::nullopt};
    EXPECT_NE(table_part_bytes(ws, added, TablePlan{1, 1, false})->find("name=\"Qty\""), std::string::npos);
    ws.set_cell("A1", Value(std::string("\xff")));
    SheetTable kept{*reader::parse_table_xml(loaded), RawTable{loaded, false}};
    EXPECT_FALSE(table_part_bytes(ws, kept, TablePlan{1, 7, true}));
}

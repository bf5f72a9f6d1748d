#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "reader/table_reader.hpp"

using namespace velmo;
using namespace velmo::reader;

namespace {

Table parse(std::string_view xml) {
    auto r = parse_table_xml(xml);
    EXPECT_TRUE(r) << r.error().display();
    return r ? std::move(*r) : Table{};
}

std::string table_tag(std::string_view attrs) { return "<table " + std::string(attrs) + "/>"; }

}  // namespace

TEST(TableReader, ReadsIdentityColumnsAndStyle) {
    const auto t = parse(
        "<?xml version=\"1.0\"?><table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"3\" "
        "name=\"Table3\" displayName=\"A&amp;B\" ref=\"A1:C4\" totalsRowShown=\"0\">"
        "<autoFilter ref=\"A1:C4\"/><tableColumns count=\"9\"><tableColumn id=\"1\" name=\"Name\"/>"
        "<tableColumn id=\"2\" name=\" Qty \"><calculatedColumnFormula>1</calculatedColumnFormula></tableColumn>"
        "<tableColumn name=\"NoId\"/><tableColumn id=\"4\" name=\"a_x000a_b_x005F_x0041_\"/></tableColumns>"
        "<tableStyleInfo name=\"TableStyleMedium9\" showFirstColumn=\"0\" showLastColumn=\"true\" "
        "showRowStripes=\"1\" showColumnStripes=\"TRUE\"/></table>");
    EXPECT_EQ(t.id, 3u);
    EXPECT_EQ(t.name, "Table3");
    EXPECT_EQ(t.display_name, "A&B");
    EXPECT_EQ(t.ref_range, "A1:C4");
    EXPECT_EQ(t.header_row_count, 1u);
    // A header's line break is stored as an escape, as in the cell.
    EXPECT_EQ(t.columns, (std::vector<TableColumn>{{"Name", 1}, {" Qty ", 2}, {"NoId", 0}, {"a\nb_x0041_", 4}}));
    ASSERT_TRUE(t.style_info);
    EXPECT_EQ(*t.style_info, (TableStyleInfo{"TableStyleMedium9", false, true, true, false}));
}

TEST(TableReader, DefaultsAndBadNumbers) {
    const auto empty = parse("<worksheet/>");
    EXPECT_EQ(empty.id, 0u);
    EXPECT_EQ(empty.header_row_count, 1u);
    EXPECT_TRUE(empty.name.empty() && empty.display_name.empty() && empty.ref_range.empty());
    EXPECT_TRUE(empty.columns.empty());
    EXPECT_FALSE(empty.style_info);

    EXPECT_EQ(parse(table_tag("headerRowCount=\"0\"")).header_row_count, 0u);
    EXPECT_EQ(parse(table_tag("headerRowCount=\"+2\"")).header_row_count, 2u);
    for (const char* bad : {"-1", "abc", "", " 1", "4294967296"})
        EXPECT_EQ(parse(table_tag("headerRowCount=\"" + std::string(bad) + "\"")).header_row_count, 1u) << bad;
    EXPECT_EQ(parse(table_tag("id=\" 3\"")).id, 0u);
    EXPECT_EQ(parse(table_tag("id=\"4294967295\"")).id, 4294967295u);

    // A bare tableStyleInfo: empty name, no flags; a second one replaces the first whole.
    auto t = parse("<table><tableStyleInfo name=\"A\" showRowStripes=\"1\"/><tableStyleInfo/></table>");
    EXPECT_EQ(t.style_info, TableStyleInfo{});
    t = parse("<table><tableStyleInfo showRowStripes=\"yes\" showColumnStripes=\" 1\" showFirstColumn=\"true\"/></table>");
    EXPECT_EQ(t.style_info, (TableStyleInfo{"", true, false, false, false}));
}

TEST(TableReader, MatchesElementsByLocalName) {
    const auto t = parse("<x:table xmlns:x=\"urn:main\" displayName=\"T\"><x:tableColumns>"
                         "<x:tableColumn id=\"1\" name=\"a\"/><TableColumn id=\"2\" name=\"skipped\"/>"
                         "</x:tableColumns><ext><tableColumn id=\"9\" name=\"stray\"/></ext>"
                         "<table ref=\"B2:B3\"/></x:table>");
    EXPECT_EQ(t.display_name, "T");
    EXPECT_EQ(t.ref_range, "B2:B3");  // a later table element sets what it carries
    EXPECT_EQ(t.columns, (std::vector<TableColumn>{{"a", 1}, {"stray", 9}}));
}

TEST(TableReader, XmlErrors) {
    for (const char* bad : {"<table><tableColumns></table>", "<table name=\"&bogus;\"/>", "<table name=x/>"}) {
        auto r = parse_table_xml(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().kind, ErrorKind::Xml);
    }
}

// ---- through the open sequence ----

#include "support/open_package.hpp"

TEST(TableReader, OpenReadsTablesInRelationshipOrderWithTheirBytes) {
    const std::string second = "<table xmlns=\"urn:x\" id=\"2\" displayName=\"Second\" ref=\"D1:D2\">\n"
                               "  <tableColumns count=\"1\"><tableColumn id=\"1\" name=\"d\"/></tableColumns>"
                               "<extLst><ext uri=\"{kept}\"/></extLst></table>";
    const std::string first = "<table id=\"1\" displayName=\"First\" ref=\"A1:B3\" headerRowCount=\"0\"/>";
    test::Package p;
    p.sheet("S", "<sheetData/>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          test::relationships(test::relationship("rId3", test::rel_type("table"), "../tables/table2.xml") +
                              test::relationship("rId1", test::rel_type("table"), "/xl/tables/missing.xml") +
                              test::relationship("rId2", test::rel_type("table"), "../tables/table1.xml")));
    p.set("xl/tables/table2.xml", second);
    p.set("xl/tables/table1.xml", first);
    auto wb = test::open_package(p);
    ASSERT_TRUE(wb) << wb.error().display();
    const auto& tables = wb->sheets[0].tables;
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].table.display_name, "Second");
    EXPECT_EQ(tables[0].table.columns, (std::vector<TableColumn>{{"d", 1}}));
    ASSERT_TRUE(tables[0].raw);
    EXPECT_EQ(tables[0].raw->bytes, second);
    EXPECT_FALSE(tables[0].raw->modified);
    EXPECT_EQ(tables[1].table.display_name, "First");
    EXPECT_EQ(tables[1].table.header_row_count, 0u);
    ASSERT_TRUE(tables[1].raw);
    EXPECT_EQ(tables[1].raw->bytes, first);

    p.set("xl/tables/table1.xml", "<table><tableColumns></table>");
    auto broken = test::open_package(p);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().kind, ErrorKind::Xml);
}

// A table's own relationships stay with it, their targets made to work from "xl/tables/", where a
// save writes every table part; a part that does not parse fails the load, naming it.
TEST(TableReader, OpenKeepsEachTablesOwnRelationships) {
    const std::string query = test::rel_type("queryTable"), link = test::rel_type("hyperlink");
    // Where the source keeps the table part and its relationships, the target written, the target kept.
    for (const auto& [part, rels, target, kept] : std::vector<std::array<std::string, 4>>{
             {"xl/tables/table1.xml", "xl/tables/_rels/table1.xml.rels", "../queryTables/q.xml", "../queryTables/q.xml"},
             {"xl/tables/table1.xml", "xl/tables/_rels/table1.xml.rels", "/xl/q.xml", "/xl/q.xml"},
             {"xl/other/t.xml", "xl/other/_rels/t.xml.rels", "../queryTables/q.xml", "/xl/queryTables/q.xml"},
             {"t.xml", "_rels/t.xml.rels", "q.xml", "/q.xml"}}) {
        test::Package p;
        p.sheet("S", "<sheetData/>");
        p.set("xl/worksheets/_rels/sheet1.xml.rels",
              test::relationships(test::relationship("rId1", test::rel_type("table"), "/" + part) +
                                  test::relationship("rId2", test::rel_type("table"), "../tables/plain.xml")));
        p.set(part, "<table id=\"1\" displayName=\"Q\" ref=\"A1:A2\"/>");
        p.set(rels, test::relationships(test::relationship("rId1", query, target) + test::relationship("rId2", link, "x", "External")));
        p.set("xl/tables/plain.xml", "<table id=\"2\" displayName=\"P\" ref=\"C1:C2\"/>");
        auto wb = test::open_package(p);
        ASSERT_TRUE(wb) << wb.error().display();
        const auto& tables = wb->sheets[0].tables;
        ASSERT_EQ(tables.size(), 2u);
        EXPECT_EQ(tables[0].raw->relationships,
                  (std::vector<SheetRelEntry>{{"rId1", query, kept, std::nullopt}, {"rId2", link, "x", "External"}}))
            << part;
        EXPECT_TRUE(tables[1].raw->relationships.empty());

        p.set(rels, "<Relationships><Relationship Id=\"rId1\"></Relationships>");
        auto broken = test::open_package(p);
        ASSERT_FALSE(broken) << part;
        EXPECT_EQ(broken.error().kind, ErrorKind::Xml);
        EXPECT_TRUE(broken.error().message.starts_with(rels + ": ")) << broken.error().message;
    }
}

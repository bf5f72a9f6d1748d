#include <gtest/gtest.h>

#include <string>

#include "reader/workbook_rels.hpp"

using namespace velmo;
using reader::parse_sheet_refs;
using reader::SheetRef;

namespace {

constexpr const char* kRelsNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* kWsType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";

std::string workbook(std::string_view body, std::string_view prefix = "r", std::string_view ns = kRelsNs) {
    std::string doc = "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" xmlns:";
    doc += prefix;
    doc += "=\"";
    doc += ns;
    doc += "\">";
    doc += body;
    doc += "</workbook>";
    return doc;
}

std::string rel(std::string_view id, std::string_view target, std::string_view type = kWsType) {
    return "<Relationship Id=\"" + std::string(id) + "\" Type=\"" + std::string(type) + "\" Target=\"" + std::string(target) + "\"/>";
}

std::string rels(std::string_view body) {
    return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + std::string(body) +
           "</Relationships>";
}

}  // namespace

TEST(WorkbookRels, SheetsJoinTheirRelationshipsInOrder) {
    auto r = parse_sheet_refs(
        workbook("<sheets><sheet name=\"B &amp; C\" sheetId=\"2\" state=\"hidden\" r:id=\"rId2\"/>"
                 "<sheet name=\" A \" sheetId=\"1\" state=\"veryHidden\" r:id=\"rId1\"/>"
                 "<sheet name=\"twin\" state=\"Hidden\" r:id=\"rId1\"/></sheets>"),
        rels(rel("rId1", "worksheets/sheet1.xml") + rel("rId2", "/xl/worksheets/sheet2.xml") +
             rel("rId3", "theme/theme1.xml", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/theme")));
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->sheets, (std::vector<SheetRef>{{"B & C", "xl/worksheets/sheet2.xml", SheetState::Hidden},
                                                {" A ", "xl/worksheets/sheet1.xml", SheetState::VeryHidden},
                                                {"twin", "xl/worksheets/sheet1.xml", SheetState::Visible}}));
    EXPECT_EQ(r->active_tab, 0u);
    EXPECT_FALSE(r->date1904);
}

TEST(WorkbookRels, TargetForms) {
    EXPECT_EQ(reader::workbook_target_entry("/xl/worksheets/sheet1.xml"), "xl/worksheets/sheet1.xml");
    EXPECT_EQ(reader::workbook_target_entry("xl/worksheets/sheet1.xml"), "xl/worksheets/sheet1.xml");
    EXPECT_EQ(reader::workbook_target_entry("worksheets/sheet1.xml"), "xl/worksheets/sheet1.xml");
    EXPECT_EQ(reader::workbook_target_entry("../sheet1.xml"), "xl/../sheet1.xml");
    EXPECT_EQ(reader::workbook_target_entry(""), "xl/");
}

TEST(WorkbookRels, RelationshipIdFoundByNamespaceWhateverThePrefix) {
    const auto rs = rels(rel("rId1", "worksheets/sheet1.xml") + rel("rId2", "worksheets/sheet2.xml"));
    // Another prefix bound to the relationships namespace.
    auto a = parse_sheet_refs(workbook("<sheets><sheet name=\"S\" rel:id=\"rId1\"/></sheets>", "rel"), rs);
    ASSERT_TRUE(a) << a.error().message;
    ASSERT_EQ(a->sheets.size(), 1u);
    EXPECT_EQ(a->sheets[0].path, "xl/worksheets/sheet1.xml");
    // The qualified id wins over a plain one; a plain "id" serves when nothing else is there; an
    // undeclared "r:" prefix is still taken at its word.
    auto b = parse_sheet_refs(
        "<workbook xmlns:q=\"" + std::string(kRelsNs) +
            "\"><sheet name=\"A\" id=\"rId2\" q:id=\"rId1\"/><sheet name=\"B\" id=\"rId2\"/><sheet name=\"C\" r:id=\"rId1\"/></workbook>",
        rs);
    ASSERT_TRUE(b) << b.error().message;
    EXPECT_EQ(b->sheets, (std::vector<SheetRef>{{"A", "xl/worksheets/sheet1.xml"},
                                                {"B", "xl/worksheets/sheet2.xml"},
                                                {"C", "xl/worksheets/sheet1.xml"}}));
    // A declaration on the sheet element itself counts, and goes out of scope with it.
    auto c = parse_sheet_refs("<workbook><sheet name=\"A\" xmlns:z=\"" + std::string(kRelsNs) +
                                  "\" z:id=\"rId1\"/><sheet name=\"B\" z:id=\"rId2\"/></workbook>",
                              rs);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_EQ(c->sheets, (std::vector<SheetRef>{{"A", "xl/worksheets/sheet1.xml"}}));
}

TEST(WorkbookRels, IncompleteSheetsAndRelationshipsAreSkipped) {
    auto r = parse_sheet_refs(
        workbook("<sheet r:id=\"rId1\"/><sheet name=\"noid\"/><sheet name=\"ok\" r:id=\"rId1\"/><sheet name=\"twice\" r:id=\"rId9\"/>"),
        rels("<Relationship Id=\"rId1\" Target=\"worksheets/x.xml\"/>" + rel("rId1", "worksheets/sheet1.xml") +
             "<Relationship Type=\"" + kWsType + "\" Target=\"a.xml\"/>" + rel("rId9", "worksheets/old.xml") +
             rel("rId9", "worksheets/new.xml") + "<p:Relationship xmlns:p=\"q\" Id=\"rId5\" Type=\"" + kWsType +
             "\" Target=\"s5.xml\"/>"));
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->sheets, (std::vector<SheetRef>{{"ok", "xl/worksheets/sheet1.xml"}, {"twice", "xl/worksheets/new.xml"}}));
}

TEST(WorkbookRels, ActiveTabAndDateSystem) {
    auto tab = [](std::string_view views) {
        auto r = parse_sheet_refs(workbook(views), rels(""));
        EXPECT_TRUE(r);
        return r ? r->active_tab : 999;
    };
    EXPECT_EQ(tab("<workbookView activeTab=\"+2\"/>"), 2u);
    EXPECT_EQ(tab("<workbookView activeTab=\"7\"/>"), 7u);
    for (const char* bad : {"-1", " 2", "2.0", "x", ""})
        EXPECT_EQ(tab(std::string("<workbookView activeTab=\"") + bad + "\"/>"), 0u) << bad;
    EXPECT_EQ(tab("<workbookView activeTab=\"1\"/><workbookView activeTab=\"3\"/>"), 3u);
    EXPECT_EQ(tab("<workbookView activeTab=\"1\"/><workbookView activeTab=\"x\"/>"), 1u);

    auto d1904 = [](std::string_view pr) {
        auto r = parse_sheet_refs(workbook(pr), rels(""));
        return r && r->date1904;
    };
    EXPECT_TRUE(d1904("<workbookPr date1904=\"1\"/>"));
    EXPECT_TRUE(d1904("<workbookPr date1904=\"true\"/>"));
    EXPECT_FALSE(d1904("<workbookPr date1904=\"0\"/>"));
    EXPECT_FALSE(d1904("<workbookPr defaultThemeVersion=\"124226\"/>"));
}

TEST(WorkbookRels, Failures) {
    // A chart sheet's relationship is not a worksheet relationship.
    auto chart = parse_sheet_refs(
        workbook("<sheet name=\"S\" r:id=\"rId1\"/><sheet name=\"Chart\" r:id=\"rId2\"/>"),
        rels(rel("rId1", "worksheets/sheet1.xml") +
             rel("rId2", "chartsheets/sheet1.xml", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartsheet")));
    ASSERT_FALSE(chart);
    EXPECT_EQ(chart.error().kind, ErrorKind::MissingPart);
    EXPECT_EQ(chart.error().message, "workbook relationship rId2");

    auto bad_name = parse_sheet_refs(workbook("<sheet name=\"&nbsp;\" r:id=\"rId1\"/>"), rels(""));
    ASSERT_FALSE(bad_name);
    EXPECT_EQ(bad_name.error().kind, ErrorKind::Xml);

    auto bad_utf8 = parse_sheet_refs(workbook("<sheet name=\"\xC3(\" r:id=\"rId1\"/>"), rels(rel("rId1", "s.xml")));
    ASSERT_FALSE(bad_utf8);
    EXPECT_EQ(bad_utf8.error().kind, ErrorKind::Xml);

    // The workbook part's errors come first.
    auto both = parse_sheet_refs("<workbook><sheets></workbook>", "<Relationships></x>");
    ASSERT_FALSE(both);
    EXPECT_EQ(both.error().kind, ErrorKind::Xml);
    auto bad_rels = parse_sheet_refs(workbook(""), "<Relationships><Relationship Id=rId1/></Relationships>");
    ASSERT_FALSE(bad_rels);
    EXPECT_EQ(bad_rels.error().kind, ErrorKind::Xml);
}

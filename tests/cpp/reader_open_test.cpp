#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "reader/reader.hpp"
#include "support/package_builder.hpp"

using namespace velmo;
using namespace std::chrono;
using test::Package;
using test::rel_type;
using test::relationship;
using test::relationships;

namespace {

class OpenWorkbook : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = std::filesystem::temp_directory_path() / "velmo-open-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(std::string_view bytes, const std::string& name = "book.xlsx") {
        const std::string path = dir_ + "/" + name;
        test::write_file(path, bytes);
        return path;
    }
    Result<Workbook> open(const Package& p) { return reader::open_workbook(write(p.build())); }

    std::string dir_;
};

const Value& value_at(const Worksheet& ws, std::string_view key) {
    static const Value none;
    const Cell* c = ws.find_cell(key);
    return c ? c->value : none;
}

void expect_error(const Result<Workbook>& r, ErrorKind kind, std::string_view message) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, kind);
    EXPECT_EQ(r.error().message, message);
}

}  // namespace

TEST_F(OpenWorkbook, LoadsSheetsInWorkbookOrderWithSharedStyles) {
    Package p;
    p.set("xl/sharedStrings.xml", "<sst uniqueCount=\"2\"><si><t>alpha</t></si><si><t>beta</t></si></sst>");
    p.workbook_head("<bookViews><workbookView activeTab=\"7\"/></bookViews>");
    p.sheet("First", "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>1</v></c><c r=\"B1\" s=\"1\"><v>45000</v></c>"
                     "<c r=\"C1\"><v>2.5</v></c></row></sheetData>");
    p.sheet("Second &amp; more", "<sheetData><row r=\"2\"><c r=\"A2\" t=\"s\"><v>0</v></c></row></sheetData>");
    auto wb = open(p);
    ASSERT_TRUE(wb) << wb.error().display();
    ASSERT_EQ(wb->sheets.size(), 2u);
    EXPECT_EQ(wb->sheets[0].name, "First");
    EXPECT_EQ(wb->sheets[1].name, "Second & more");
    EXPECT_EQ(wb->active_index, 7u);  // kept as read
    EXPECT_EQ(wb->sheet_relationships.size(), 2u);
    EXPECT_TRUE(wb->sheet_relationships[0].empty());

    const Worksheet& ws = wb->sheets[0];
    EXPECT_EQ(value_at(ws, "A1"), Value(std::string("beta")));
    EXPECT_EQ(value_at(ws, "B1"), Value(Date{year{2023}, month{3}, day{15}}));
    EXPECT_EQ(value_at(ws, "C1"), Value(2.5));
    EXPECT_EQ(value_at(wb->sheets[1], "A2"), Value(std::string("alpha")));

    ASSERT_TRUE(wb->stylesheet);
    EXPECT_EQ(wb->stylesheet->cell_xfs.size(), 2u);
    EXPECT_EQ(ws.find_cell("A1")->stylesheet, wb->stylesheet);
    EXPECT_EQ(wb->sheets[1].find_cell("A2")->stylesheet, wb->stylesheet);
    EXPECT_EQ(wb->source_path, dir_ + "/book.xlsx");
}

TEST_F(OpenWorkbook, Date1904SystemGivesTrueDates) {
    Package p;
    p.workbook_head("<workbookPr date1904=\"1\"/>");
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>0</v></c><c r=\"B1\" s=\"1\"><v>43538</v></c>"
                 "<c r=\"C1\"><v>43538</v></c></row></sheetData>");
    auto wb = open(p);
    ASSERT_TRUE(wb) << wb.error().display();
    const Worksheet& ws = wb->sheets[0];
    EXPECT_EQ(value_at(ws, "A1"), Value(Date{year{1904}, month{1}, day{1}}));
    EXPECT_EQ(value_at(ws, "B1"), Value(Date{year{2023}, month{3}, day{15}}));
    EXPECT_EQ(value_at(ws, "C1"), Value(43538.0));  // plain numbers are not shifted
}

TEST_F(OpenWorkbook, SourcePathIsMadeAbsolute) {
    Package p;
    p.sheet("S", "");
    write(p.build(), "rel.xlsx");
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    auto wb = reader::open_workbook("rel.xlsx");
    auto wb2 = reader::open_workbook("./rel.xlsx");
    std::filesystem::current_path(old);
    ASSERT_TRUE(wb) << wb.error().display();
    EXPECT_EQ(wb->source_path, dir_ + "/rel.xlsx");
    ASSERT_TRUE(wb2);
    EXPECT_EQ(wb2->source_path, dir_ + "/./rel.xlsx");  // not normalised, only anchored
}

TEST_F(OpenWorkbook, ArchiveAndMissingPartFailures) {
    auto missing_file = reader::open_workbook(dir_ + "/nope.xlsx");
    ASSERT_FALSE(missing_file);
    EXPECT_EQ(missing_file.error().kind, ErrorKind::Io);

    auto not_zip = reader::open_workbook(write("this is not a zip archive at all", "x.xlsx"));
    ASSERT_FALSE(not_zip);
    EXPECT_EQ(not_zip.error().kind, ErrorKind::InvalidFormat);
    EXPECT_TRUE(not_zip.error().message.starts_with("invalid Zip archive: ")) << not_zip.error().message;

    // Styles are read first, so they are what a package lacking everything reports.
    Package bare;
    bare.remove("xl/styles.xml").remove("xl/workbook.xml").remove("xl/_rels/workbook.xml.rels");
    expect_error(open(bare), ErrorKind::MissingPart, "xl/styles.xml");

    Package no_wb;
    no_wb.remove("xl/workbook.xml");
    expect_error(open(no_wb), ErrorKind::MissingPart, "xl/workbook.xml");
    Package no_rels;
    no_rels.remove("xl/_rels/workbook.xml.rels");
    expect_error(open(no_rels), ErrorKind::MissingPart, "xl/_rels/workbook.xml.rels");

    // A save could not declare the parts it writes.
    Package no_types;
    no_types.remove("[Content_Types].xml");
    expect_error(open(no_types), ErrorKind::Zip, "[Content_Types].xml is missing");

    Package no_sheet;
    no_sheet.sheet("S", "").remove("xl/worksheets/sheet1.xml");
    expect_error(open(no_sheet), ErrorKind::MissingPart, "xl/worksheets/sheet1.xml");

    // Two entries for one needed part: whichever is chosen, the other is lost.
    Package twice;
    twice.sheet("S", "").set("xl/worksheets/Sheet1.xml", "<x/>");
    expect_error(open(twice), ErrorKind::InvalidFormat,
                 "invalid Zip archive: entries xl/worksheets/Sheet1.xml and xl/worksheets/sheet1.xml name one part");

    Package chart;
    chart.set("xl/workbook.xml", "<workbook><sheet name=\"C\" r:id=\"rId9\"/></workbook>");
    expect_error(open(chart), ErrorKind::MissingPart, "workbook relationship rId9");
}

TEST_F(OpenWorkbook, UnreadableEntries) {
    auto damaged = [](const std::string& victim) {
        Package p;
        p.sheet("S", "");
        p.set("xl/sharedStrings.xml", "<sst/>");
        p.set("xl/worksheets/_rels/sheet1.xml.rels", relationships(""));
        test::ZipBuilder b;
        b.deflated("[Content_Types].xml", test::content_types_xml());
        for (const char* name : {"xl/styles.xml", "xl/sharedStrings.xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                                 "xl/worksheets/sheet1.xml", "xl/worksheets/_rels/sheet1.xml.rels"}) {
            std::string content;
            if (std::string_view(name) == "xl/styles.xml") content = test::default_styles();
            else if (std::string_view(name) == "xl/sharedStrings.xml") content = "<sst/>";
            else if (std::string_view(name) == "xl/workbook.xml") content = p.workbook_xml();
            else if (std::string_view(name) == "xl/_rels/workbook.xml.rels") content = p.workbook_rels_xml();
            else if (std::string_view(name) == "xl/worksheets/sheet1.xml") content = test::worksheet("");
            else content = relationships("");
            auto& e = b.deflated(name, content);
            if (victim == name) e.crc32 ^= 1;
        }
        return b.build();
    };
    // A required part that cannot be read counts as missing; an optional one fails as an archive error.
    auto styles = reader::open_workbook(write(damaged("xl/styles.xml")));
    expect_error(styles, ErrorKind::MissingPart, "xl/styles.xml");
    auto strings = reader::open_workbook(write(damaged("xl/sharedStrings.xml")));
    ASSERT_FALSE(strings);
    EXPECT_EQ(strings.error().kind, ErrorKind::Zip);
    auto rels = reader::open_workbook(write(damaged("xl/worksheets/_rels/sheet1.xml.rels")));
    ASSERT_FALSE(rels);
    EXPECT_EQ(rels.error().kind, ErrorKind::Zip);
    auto sheet = reader::open_workbook(write(damaged("xl/worksheets/sheet1.xml")));
    expect_error(sheet, ErrorKind::MissingPart, "xl/worksheets/sheet1.xml");
    ASSERT_TRUE(reader::open_workbook(write(damaged("none"))));
}

TEST_F(OpenWorkbook, OptionalPartsAndEmptyWorkbook) {
    Package empty;
    auto wb = open(empty);
    ASSERT_TRUE(wb) << wb.error().display();
    EXPECT_TRUE(wb->sheets.empty());
    EXPECT_TRUE(wb->sheet_relationships.empty());

    // Without shared strings, shared-string cells read as empty.
    Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row></sheetData>");
    auto wb2 = open(p);
    ASSERT_TRUE(wb2) << wb2.error().display();
    EXPECT_EQ(value_at(wb2->sheets[0], "A1"), Value{});
}

TEST_F(OpenWorkbook, XmlErrorsFailTheLoad) {
    for (const char* part : {"xl/styles.xml", "xl/sharedStrings.xml", "xl/workbook.xml", "xl/worksheets/sheet1.xml",
                             "xl/worksheets/_rels/sheet1.xml.rels"}) {
        Package p;
        p.sheet("S", "");
        p.set(part, "<broken><x></broken>");
        auto r = open(p);
        ASSERT_FALSE(r) << part;
        EXPECT_EQ(r.error().kind, ErrorKind::Xml) << part;
    }
}

TEST_F(OpenWorkbook, PartsCutShortKeepWhatPrecedesTheCut) {
    // Every part below ends inside an open element: what was complete before the cut is read.
    auto cut = [](std::string xml, std::string_view tail) {
        EXPECT_TRUE(xml.ends_with(tail));
        xml.resize(xml.size() - tail.size());
        return xml;
    };
    Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                 "<c r=\"C1\" s=\"1\"><v>1</v></c></row></sheetData><hyperlinks><hyperlink ref=\"D1\" r:id=\"rId1\"/></hyperlinks>");
    p.set("xl/sharedStrings.xml", "<sst><si><t>kept</t></si><si><t>lost");
    p.set("xl/styles.xml", "<styleSheet><cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/></cellXfs><fonts><font><b/>");
    p.set("xl/workbook.xml", cut(p.workbook_xml(), "</sheets></workbook>"));
    p.set("xl/_rels/workbook.xml.rels", cut(p.workbook_rels_xml(), "</Relationships>"));
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          cut(relationships(relationship("rId1", rel_type("hyperlink"), "https://example.com/", "External")), "</Relationships>"));
    auto wb = open(p);
    ASSERT_TRUE(wb) << wb.error().display();
    ASSERT_EQ(wb->sheets.size(), 1u);
    const Worksheet& ws = wb->sheets[0];
    EXPECT_EQ(value_at(ws, "A1"), Value(std::string("kept")));
    EXPECT_EQ(value_at(ws, "B1"), Value{});  // its item never ended
    EXPECT_EQ(value_at(ws, "C1"), Value(Date{year{1900}, month{1}, day{1}}));
    EXPECT_TRUE(wb->stylesheet->fonts.empty());
    const Cell* d1 = ws.find_cell("D1");
    ASSERT_TRUE(d1 && d1->hyperlink());
    EXPECT_EQ(d1->hyperlink()->target, "https://example.com/");
}

TEST_F(OpenWorkbook, RelationshipPrefixIsResolvedByNamespace) {
    Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
    p.set("xl/workbook.xml", std::string("<x:workbook xmlns:x=\"") + test::kMainNs + "\" xmlns:rel=\"" + test::kOfficeRelsNs +
                                 "\"><x:sheets><x:sheet name=\"S\" sheetId=\"1\" rel:id=\"rId1\"/></x:sheets></x:workbook>");
    auto wb = open(p);
    ASSERT_TRUE(wb) << wb.error().display();
    ASSERT_EQ(wb->sheets.size(), 1u);
    EXPECT_EQ(value_at(wb->sheets[0], "A1"), Value(1.0));
}

TEST_F(OpenWorkbook, SheetRelationshipsAndHyperlinks) {
    Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>1</v></c></row></sheetData><hyperlinks>"
                 "<hyperlink ref=\"A1\" r:id=\"rId2\" tooltip=\"tip\"/>"
                 "<hyperlink ref=\"B5\" location=\"'S'!A1\" display=\"go\"/>"
                 "<hyperlink ref=\"C3\" r:id=\"rId404\" location=\"loc\"/>"
                 "<hyperlink ref=\"d4\" r:id=\"rId3\"/><hyperlink ref=\"d4\" r:id=\"rId2\"/></hyperlinks>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          relationships(relationship("rId1", rel_type("table"), "../tables/missing.xml") +
                        relationship("rId2", rel_type("hyperlink"), "https://example.com/a?b=1&amp;c=2", "External") +
                        relationship("rId3", rel_type("hyperlink"), "../other.xml")));
    auto wb = open(p);
    ASSERT_TRUE(wb) << wb.error().display();
    const Worksheet& ws = wb->sheets[0];

    ASSERT_EQ(wb->sheet_relationships.size(), 1u);
    const auto& rels = wb->sheet_relationships[0];
    ASSERT_EQ(rels.size(), 3u);
    EXPECT_EQ(rels[1], (SheetRelEntry{"rId2", rel_type("hyperlink"), "https://example.com/a?b=1&c=2", "External"}));

    const Cell* a1 = ws.find_cell("A1");
    ASSERT_TRUE(a1 && a1->hyperlink());
    EXPECT_EQ(*a1->hyperlink(), (Hyperlink{"https://example.com/a?b=1&c=2", std::nullopt, "tip", std::nullopt}));
    EXPECT_EQ(a1->style_index, 1u);  // the existing cell keeps its value and style
    EXPECT_EQ(a1->value, Value(Date{year{1900}, month{1}, day{1}}));

    // A link on a cell the part did not hold creates it, sharing the workbook's styles.
    const Cell* b5 = ws.find_cell("B5");
    ASSERT_TRUE(b5 && b5->hyperlink());
    EXPECT_EQ(*b5->hyperlink(), (Hyperlink{"", "'S'!A1", std::nullopt, "go"}));
    EXPECT_EQ(b5->value, Value{});
    EXPECT_EQ(b5->style_index, 0u);
    EXPECT_EQ(b5->stylesheet, wb->stylesheet);

    const Cell* c3 = ws.find_cell("C3");
    ASSERT_TRUE(c3 && c3->hyperlink());
    EXPECT_EQ(c3->hyperlink()->target, "");  // unknown relationship id
    EXPECT_EQ(c3->hyperlink()->location, "loc");

    // Keys are taken as written, and a later link on the same cell wins; the target is not resolved.
    const Cell* d4 = ws.find_cell("d4");
    ASSERT_TRUE(d4 && d4->hyperlink());
    EXPECT_EQ(d4->hyperlink()->target, "https://example.com/a?b=1&c=2");
    EXPECT_EQ(ws.find_cell("D4"), nullptr);
}

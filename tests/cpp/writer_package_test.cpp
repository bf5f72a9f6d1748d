// Whole packages: entry order, the workbook-level parts, content types (generated and patched),
// and what a save of a loaded workbook copies, drops and regenerates.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reader/reader.hpp"
#include "support/package_builder.hpp"
#include "support/zip_builder.hpp"
#include "support/zip_outputs.hpp"
#include "writer/content_types.hpp"
#include "writer/package.hpp"
#include "reader/package_reach.hpp"
#include "writer/writer.hpp"
#include "zip/archive_reader.hpp"

namespace fs = std::filesystem;
using namespace velmo;
using velmo::test::Package;
using velmo::test::rel_type;
using velmo::test::relationship;
using velmo::test::relationships;
using velmo::test::StringOutput;
using velmo::writer::PartNameSet;
using velmo::writer::WrittenParts;

namespace {

constexpr const char* kCtHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">";

struct Saved {
    std::string bytes;
    zip::ArchiveReader archive;

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : archive.entries()) out.push_back(e.name);
        return out;
    }
    bool has(std::string_view name) const { return archive.find(name) != nullptr; }
    std::string part(std::string_view name) const {
        const zip::Entry* e = archive.find(name);
        if (!e) return "<missing " + std::string(name) + ">";
        auto r = archive.read(*e);
        return r ? *r : "<unreadable>";
    }
    std::string raw(std::string_view name) const {
        auto r = archive.read_raw(*archive.find(name));
        return r ? *r : "";
    }
};

Saved save(const Workbook& wb) {
    StringOutput out;
    auto r = writer::write_package(wb, out, wb.source_path);
    EXPECT_TRUE(r) << (r ? "" : r.error().display());
    auto archive = zip::ArchiveReader::open_memory(out.bytes);
    EXPECT_TRUE(archive);
    return Saved{out.bytes, std::move(*archive)};
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "velmo-package-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir = templ;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    Workbook load(const std::string& name, const std::string& bytes) {
        test::write_file(path(name), bytes);
        auto wb = reader::open_workbook(path(name));
        EXPECT_TRUE(wb) << (wb ? "" : wb.error().display());
        return std::move(*wb);
    }

    fs::path dir;
};

size_t count(std::string_view hay, std::string_view needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

// ---- new workbooks ----

TEST(NewPackage, OneEmptySheetGivesTheMinimalPackageInItsFixedOrder) {
    Saved s = save(Workbook::make_new());
    EXPECT_EQ(s.names(), (std::vector<std::string>{"[Content_Types].xml", "_rels/.rels", "xl/workbook.xml",
                                                   "xl/_rels/workbook.xml.rels", "xl/styles.xml",
                                                   "xl/worksheets/sheet1.xml"}));
    EXPECT_EQ(s.part("[Content_Types].xml"),
              std::string(kCtHead) +
                  "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                  "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                  "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
                  "<Override PartName=\"/xl/styles.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
                  "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
                  "</Types>");
    EXPECT_EQ(s.part("_rels/.rels"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
              "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" Target=\"xl/workbook.xml\"/>"
              "</Relationships>");
    EXPECT_EQ(s.part("xl/workbook.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
              "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
              "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
              "<bookViews><workbookView activeTab=\"0\"/></bookViews>"
              "<sheets><sheet name=\"Sheet\" sheetId=\"1\" r:id=\"rId2\"/></sheets></workbook>");
    for (const auto& e : s.archive.entries()) {
        EXPECT_EQ(e.dos_date, 0x21) << e.name;
        EXPECT_EQ(e.dos_time, 0) << e.name;
        EXPECT_EQ(e.external_attributes, 0100644u << 16) << e.name;
    }
}

TEST(NewPackage, SheetsStringsCommentsAndTablesAreNumberedAndDeclared) {
    Workbook wb = Workbook::make_new();
    wb.sheets.emplace_back("Two & 'Co'");
    wb.sheets.emplace_back("Three");
    wb.sheet_relationships.resize(3);
    wb.sheets[0].set_cell("A1", std::string("x"));
    wb.sheets[1].set_cell_comment("B2", Comment{"note", "me"});
    wb.sheets[2].set_cell("A1", std::string("h"));
    ASSERT_TRUE(wb.sheets[2].add_table(Table::make("T1", "A1:A2")));

    Saved s = save(wb);
    EXPECT_EQ(s.names(), (std::vector<std::string>{
                             "[Content_Types].xml", "_rels/.rels", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                             "xl/styles.xml", "xl/sharedStrings.xml", "xl/worksheets/sheet1.xml",
                             "xl/worksheets/sheet2.xml", "xl/comments2.xml", "xl/drawings/vmlDrawing2.vml",
                             "xl/worksheets/_rels/sheet2.xml.rels", "xl/worksheets/sheet3.xml",
                             "xl/tables/table1.xml", "xl/worksheets/_rels/sheet3.xml.rels"}));

    const std::string wbxml = s.part("xl/workbook.xml");
    EXPECT_NE(wbxml.find("<sheet name=\"Two &amp; &apos;Co&apos;\" sheetId=\"2\" r:id=\"rId3\"/>"), std::string::npos);
    EXPECT_NE(wbxml.find("<sheet name=\"Three\" sheetId=\"3\" r:id=\"rId4\"/>"), std::string::npos);
    const std::string rels = s.part("xl/_rels/workbook.xml.rels");
    EXPECT_NE(rels.find("<Relationship Id=\"rId5\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                        "relationships/sharedStrings\" Target=\"sharedStrings.xml\"/>"),
              std::string::npos);

    const std::string ct = s.part("[Content_Types].xml");
    // The vml default stands between the xml default and the workbook override.
    EXPECT_NE(ct.find("<Default Extension=\"xml\" ContentType=\"application/xml\"/><Default Extension=\"vml\""),
              std::string::npos);
    EXPECT_EQ(count(ct, "/xl/comments2.xml"), 1u);
    EXPECT_EQ(count(ct, "/xl/comments"), 1u);
    EXPECT_EQ(count(ct, "/xl/tables/table1.xml"), 1u);
    EXPECT_EQ(count(ct, "/xl/sharedStrings.xml"), 1u);
    EXPECT_EQ(count(ct, "/xl/worksheets/sheet"), 3u);
}

TEST(NewPackage, TwoSavesGiveIdenticalBytes) {
    Workbook wb = Workbook::make_new();
    for (int i = 1; i <= 40; ++i) {
        const std::string n = std::to_string(i);
        wb.sheets[0].set_cell("A" + n, std::string("text ") + std::to_string(i % 7));
        wb.sheets[0].set_cell("B" + n, double(i) / 3);
        wb.sheets[0].set_cell_hyperlink("C" + n, "https://example.com/" + n);
        if (i % 5 == 0) wb.sheets[0].set_cell_comment("D" + n, Comment{"c" + n, "a" + std::to_string(i % 3)});
    }
    ASSERT_TRUE(wb.sheets[0].add_table(Table::make("Data", "A1:B40")));
    EXPECT_EQ(save(wb).bytes, save(wb).bytes);
}

TEST(NewPackage, AFailingSerialiserAbandonsThePackage) {
    Workbook wb = Workbook::make_new();
    wb.sheets[0].name = std::string("bad\x01title");
    StringOutput out;
    auto r = writer::write_package(wb, out, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFormat);
}

// ---- content types, patched ----

WrittenParts parts(size_t sheets, bool strings = false, std::vector<size_t> comments = {}, size_t tables = 0) {
    WrittenParts p;
    p.sheet_count = sheets;
    p.has_strings = strings;
    p.comment_sheets = std::move(comments);
    for (size_t k = 1; k <= tables; ++k) p.table_parts.push_back(k);
    return p;
}

PartNameSet package_of(std::initializer_list<std::string_view> names) {
    PartNameSet s;
    for (auto n : names) s.add(n);
    return s;
}

const std::string kBasic = std::string(kCtHead) +
                           "<Default Extension=\"rels\" ContentType=\"r\"/><Default Extension=\"xml\" ContentType=\"x\"/>"
                           "<Override PartName=\"/xl/workbook.xml\" ContentType=\"w\"/>"
                           "<Override PartName=\"/xl/styles.xml\" ContentType=\"s\"/>"
                           "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"ws\"/>"
                           "<Override PartName=\"/docProps/core.xml\" ContentType=\"core\"/>";
const auto kBasicPackage = {std::string_view("xl/workbook.xml"), std::string_view("xl/styles.xml"),
                            std::string_view("xl/worksheets/sheet1.xml"), std::string_view("docProps/core.xml")};

TEST(PatchContentTypes, NothingNeededLeavesTheTextUnchanged) {
    const std::string src = kBasic + "</Types>";
    auto r = writer::patch_content_types(src, parts(1), package_of(kBasicPackage));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, src);
}

TEST(PatchContentTypes, EveryTableDeclarationGoesWhateverItsFormAndTheNewOnesFollowInOneRun) {
    const std::string src = kBasic +
                            "\n  <Override PartName=\"/xl/tables/table1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml\"/>"
                            "<Override PartName=\"/xl/tables/table2.xml\" ContentType=\"t\" />"
                            "<Override ContentType='t' PartName='/xl/tables/table1001.xml'/>"
                            "<Override PartName=\"/XL/Tables/Table7.xml\" ContentType=\"t\"></Override>"
                            "<Override PartName=\"/xl/comments1.xml\" ContentType=\"c\"/>"
                            "</Types>";
    auto pkg = package_of(kBasicPackage);
    auto r = writer::patch_content_types(src, parts(1, true, {1}, 2), package_of({"xl/workbook.xml", "xl/styles.xml",
                                                                                   "xl/worksheets/sheet1.xml",
                                                                                   "docProps/core.xml",
                                                                                   "xl/comments1.xml"}));
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(*r, kBasic + "\n  <Override PartName=\"/xl/comments1.xml\" ContentType=\"c\"/>"
                           "<Default Extension=\"vml\" ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>"
                           "<Override PartName=\"/xl/tables/table1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml\"/>"
                           "<Override PartName=\"/xl/tables/table2.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml\"/>"
                           "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
                           "</Types>");
}

TEST(PatchContentTypes, DeclarationsOfAbsentPartsGoAndMissingOnesAreAdded) {
    // The source declared shared strings and a second sheet; the new package has neither, but a
    // new comments part on sheet 1 and sheet parts the source named differently. A declaration
    // naming no part is not this save's to judge.
    const std::string src = std::string(kCtHead) +
                            "<Default Extension=\"xml\" ContentType=\"x\"/>"
                            "<Override ContentType=\"odd\"/>"
                            "<Override PartName=\"/xl/workbook.xml\" ContentType=\"macro\"/>"
                            "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"ss\"/>"
                            "<Override PartName=\"/xl/worksheets/sheet2.xml\" ContentType=\"ws\"/>"
                            "<Override PartName=\"/xl/styles.xml\" ContentType=\"s\"/></Types>";
    auto r = writer::patch_content_types(
        src, parts(1, false, {1}),
        package_of({"xl/workbook.xml", "xl/styles.xml", "xl/worksheets/sheet1.xml", "xl/comments1.xml"}));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, std::string(kCtHead) +
                      "<Default Extension=\"xml\" ContentType=\"x\"/>"
                      "<Override ContentType=\"odd\"/>"
                      "<Override PartName=\"/xl/workbook.xml\" ContentType=\"macro\"/>"
                      "<Override PartName=\"/xl/styles.xml\" ContentType=\"s\"/>"
                      "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                      "<Default Extension=\"vml\" ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>"
                      "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
                      "<Override PartName=\"/xl/comments1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml\"/>"
                      "</Types>");
}

TEST(PatchContentTypes, ExistingDeclarationsCountWhateverTheirCaseOrEscapes) {
    // Each part keeps one declaration, its first, named as this save writes it.
    const std::string src = kBasic + "<Override PartName=\"/XL/sharedStrings.xml\" ContentType=\"ss\"/>"
                                     "<Override PartName=\"/xl/comments%31.xml\" ContentType=\"c&amp;\"/>"
                                     "<Override PartName=\"/xl/SharedStrings.xml\" ContentType=\"other\"/>"
                                     "<Override PartName=\"/DOCPROPS/Core.xml\" ContentType=\"other\"/></Types>";
    auto r = writer::patch_content_types(src, parts(1, true, {1}),
                                         package_of({"xl/workbook.xml", "xl/styles.xml", "xl/worksheets/sheet1.xml",
                                                     "docProps/core.xml", "xl/sharedStrings.xml", "xl/comments1.xml"}));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, kBasic + "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"ss\"/>"
                           "<Override PartName=\"/xl/comments1.xml\" ContentType=\"c&amp;\"/>"
                           "<Default Extension=\"vml\" ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>"
                           "</Types>");
}

TEST(PatchContentTypes, DamagedSourcesAreRefused) {
    auto pkg = package_of(kBasicPackage);
    auto no_end = writer::patch_content_types(kBasic, parts(1, true), pkg);
    ASSERT_FALSE(no_end);
    auto self_closed = writer::patch_content_types(std::string(kCtHead).substr(0, std::string(kCtHead).size() - 1) + "/>",
                                                   parts(1, true), pkg);
    ASSERT_FALSE(self_closed);
    EXPECT_EQ(self_closed.error().kind, ErrorKind::Zip);
    auto not_utf8 = writer::patch_content_types(kBasic + "<!-- \xff --></Types>", parts(1, true), pkg);
    ASSERT_FALSE(not_utf8);
    EXPECT_EQ(not_utf8.error().kind, ErrorKind::Io);
}

// ---- loaded workbooks ----

// A package as a spreadsheet application leaves it: document properties, a theme, printer
// settings and a drawing related from sheet 1, shared strings, a table on sheet 2.
Package rich_source() {
    Package p;
    p.sheet("First", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
    p.sheet("Second", "<sheetData><row r=\"1\"><c r=\"A1\"><v>2</v></c></row></sheetData><tableParts count=\"1\"><tablePart r:id=\"rId1\"/></tableParts>");
    p.set("docProps/core.xml", "<core>props</core>");
    p.set("xl/theme/theme1.xml", "<theme>t</theme>");
    p.set("xl/printerSettings/printerSettings1.bin", std::string("\x00\x01\x02 binary", 10));
    p.set("xl/drawings/drawing1.xml", "<drawing/>");
    p.set("xl/sharedStrings.xml", "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>");
    p.set("xl/tables/table1.xml",
          "<table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"1\" name=\"T\" displayName=\"T\" "
          "ref=\"A1:A2\"><tableColumns count=\"1\"><tableColumn id=\"1\" name=\"c\"/></tableColumns></table>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          relationships(relationship("rId1", rel_type("printerSettings"), "../printerSettings/printerSettings1.bin") +
                        relationship("rId2", rel_type("drawing"), "../drawings/drawing1.xml") +
                        relationship("rId3", rel_type("hyperlink"), "https://old.example", "External")));
    p.set("xl/worksheets/_rels/sheet2.xml.rels", relationships(relationship("rId1", rel_type("table"), "../tables/table1.xml")));
    p.set("[Content_Types].xml",
          std::string(kCtHead) +
              "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
              "<Default Extension=\"xml\" ContentType=\"application/xml\"/><Default Extension=\"bin\" ContentType=\"b\"/>"
              "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
              "<Override PartName=\"/xl/styles.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
              "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
              "<Override PartName=\"/xl/worksheets/sheet2.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
              "<Override PartName=\"/xl/tables/table1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml\"/>"
              "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
              "<Override PartName=\"/docProps/core.xml\" ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
              "<Override PartName=\"/xl/theme/theme1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
              "<Override PartName=\"/xl/drawings/drawing1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.drawing+xml\"/>"
              "</Types>");
    p.set("_rels/.rels", relationships(relationship("rId1", rel_type("officeDocument"), "xl/workbook.xml")));
    return p;
}

TEST_F(TempDir, UnmodelledEntriesAreCopiedRawInSourceOrder) {
    const std::string src_bytes = rich_source().build();
    Workbook wb = load("src.xlsx", src_bytes);
    // Drop what the model may have picked up of tables and links, so this test only sees copying.
    for (auto& ws : wb.sheets) ws.tables.clear();
    for (auto& ws : wb.sheets)
        for (auto item : ws.cells_mut())
            if (item.cell.extras) item.cell.extras->hyperlink.reset();

    Saved s = save(wb);
    auto src = zip::ArchiveReader::open_memory(src_bytes);
    ASSERT_TRUE(src);
    std::vector<std::string> copied;
    for (const auto& e : src->entries()) {
        if (e.name.starts_with("xl/tables/") || e.name == "xl/sharedStrings.xml" || e.name == "xl/workbook.xml" ||
            e.name == "[Content_Types].xml" ||
            e.name == "xl/_rels/workbook.xml.rels" || e.name == "xl/styles.xml" || e.name.starts_with("xl/worksheets/"))
            continue;
        copied.push_back(e.name);
        ASSERT_TRUE(s.has(e.name)) << e.name;
        EXPECT_EQ(s.raw(e.name), *src->read_raw(e)) << e.name;
        EXPECT_EQ(s.archive.find(e.name)->crc32, e.crc32);
    }
    auto names = s.names();
    ASSERT_GE(names.size(), copied.size());
    EXPECT_EQ(std::vector<std::string>(names.end() - static_cast<long>(copied.size()), names.end()), copied);
    EXPECT_FALSE(s.has("xl/sharedStrings.xml"));
    EXPECT_FALSE(s.has("xl/tables/table1.xml"));
    // The source declared a table part and shared strings the package no longer holds: patched.
    EXPECT_EQ(names.front(), "[Content_Types].xml");
    const std::string ct = s.part("[Content_Types].xml");
    EXPECT_EQ(count(ct, "/xl/tables/"), 0u);
    EXPECT_EQ(count(ct, "/xl/sharedStrings.xml"), 0u);
    EXPECT_EQ(count(ct, "/xl/theme/theme1.xml"), 1u);

    // Sheet 1 keeps its printer settings and drawing (with their ids), loses the dead hyperlink;
    // sheet 2 loses its table relationship and so has no relationships part at all.
    EXPECT_EQ(s.part("xl/worksheets/_rels/sheet1.xml.rels"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>" +
                  relationships(relationship("rId1", rel_type("printerSettings"), "../printerSettings/printerSettings1.bin") +
                                relationship("rId2", rel_type("drawing"), "../drawings/drawing1.xml"))
                      .substr(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>").size()));
    EXPECT_FALSE(s.has("xl/worksheets/_rels/sheet2.xml.rels"));
}

TEST_F(TempDir, ContentTypesNeedingNothingAreCarriedRawInTheirPlace) {
    Package p;
    p.set("docProps/app.xml", "<app/>");
    p.sheet("S", "<sheetData/>");
    p.set("[Content_Types].xml",
          std::string(kCtHead) + "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                                 "<Default Extension=\"rels\" ContentType=\"r\"/>"
                                 "<Override PartName=\"/xl/workbook.xml\" ContentType=\"w\"/>"
                                 "<Override PartName=\"/xl/styles.xml\" ContentType=\"s\"/>"
                                 "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"ws\"/></Types>");
    const std::string bytes = p.build();
    Workbook wb = load("src.xlsx", bytes);
    Saved s = save(wb);
    auto src = zip::ArchiveReader::open_memory(bytes);
    EXPECT_EQ(s.names(), (std::vector<std::string>{"xl/workbook.xml", "xl/_rels/workbook.xml.rels", "xl/styles.xml",
                                                   "xl/worksheets/sheet1.xml", "[Content_Types].xml", "docProps/app.xml"}));
    EXPECT_EQ(s.raw("[Content_Types].xml"), *src->read_raw(*src->find("[Content_Types].xml")));
}

TEST_F(TempDir, PatchedContentTypesComeFirstAndDropTheOldTables) {
    Workbook wb = load("src.xlsx", rich_source().build());
    wb.sheets[0].set_cell("B1", std::string("text"));
    Saved s = save(wb);
    EXPECT_EQ(s.names().front(), "[Content_Types].xml");
    const std::string ct = s.part("[Content_Types].xml");
    EXPECT_EQ(count(ct, "/xl/sharedStrings.xml"), 1u);
    EXPECT_EQ(count(ct, "/docProps/core.xml"), 1u);
    EXPECT_EQ(count(ct, "Extension=\"bin\""), 1u);
    EXPECT_EQ(count(ct, "/xl/tables/"), wb.sheets[1].tables.size());
    EXPECT_EQ(count(s.bytes, "[Content_Types].xml"), 2u);  // one local header, one directory record
}

TEST_F(TempDir, SheetPartsTheSourceNamedDifferentlyAreReplacedNotCopied) {
    Package p;
    p.set("xl/workbook.xml",
          "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
          "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
          "<sheet name=\"Only\" sheetId=\"4\" r:id=\"rId9\"/></sheets></workbook>");
    p.set("xl/_rels/workbook.xml.rels", relationships(relationship("rId9", rel_type("worksheet"), "worksheets/sheet4.xml")));
    p.set("xl/worksheets/sheet4.xml", test::worksheet("<sheetData/>"));
    p.set("xl/worksheets/_rels/sheet4.xml.rels",
          relationships(relationship("rId1", rel_type("table"), "../tables/table9.xml")));
    p.set("[Content_Types].xml",
          std::string(kCtHead) + "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                                 "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                                 "<Override PartName=\"/xl/workbook.xml\" ContentType=\"w\"/>"
                                 "<Override PartName=\"/xl/worksheets/sheet4.xml\" ContentType=\"ws\"/></Types>");
    Workbook wb = load("src.xlsx", p.build());
    Saved s = save(wb);
    EXPECT_TRUE(s.has("xl/worksheets/sheet1.xml"));
    EXPECT_FALSE(s.has("xl/worksheets/sheet4.xml"));
    EXPECT_FALSE(s.has("xl/worksheets/_rels/sheet4.xml.rels"));
    const std::string ct = s.part("[Content_Types].xml");
    EXPECT_EQ(count(ct, "/xl/worksheets/sheet4.xml"), 0u);
    EXPECT_EQ(count(ct, "/xl/worksheets/sheet1.xml"), 1u);
    EXPECT_EQ(count(ct, "/xl/styles.xml"), 1u);
}

// Notes stored under names of the source's own, beside parts reached only through them, parts other
// relationships reach and a part nothing reached even in the source.
Package notes_source() {
    Package p;
    p.sheet("S", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData><legacyDrawing r:id=\"rId2\"/>");
    p.set("xl/worksheets/_rels/sheet1.xml.rels",
          relationships(relationship("rId1", rel_type("comments"), "../notes/old.xml") +
                        relationship("rId2", rel_type("vmlDrawing"), "../drawings/legacy.vml")));
    p.set("xl/notes/old.xml", "<comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><authors>"
                              "<author>Ann</author></authors><commentList><comment ref=\"A1\" authorId=\"0\"><text><t>"
                              "private words</t></text></comment></commentList></comments>");
    p.set("xl/drawings/legacy.vml", "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:x=\"urn:schemas-microsoft-com:office:excel\">"
                                    "<v:shape id=\"_x0000_s1025\"><v:imagedata r:id=\"rId1\"/><x:ClientData ObjectType=\"Note\">"
                                    "<x:Row>0</x:Row><x:Column>0</x:Column></x:ClientData></v:shape></xml>");
    p.set("xl/drawings/_rels/legacy.vml.rels", relationships(relationship("rId1", rel_type("image"), "../media/image1.png")));
    p.set("xl/media/image1.png", "png");
    p.set("customXml/item1.xml", "<item/>");
    p.set("junk/never-reached.xml", "<junk/>");
    p.set("xl/_rels/workbook.xml.rels",
          relationships(relationship("rId1", rel_type("worksheet"), "worksheets/sheet1.xml") +
                        relationship("rId7", rel_type("customXml"), "../customXml/item1.xml")));
    p.set("[Content_Types].xml",
          std::string(kCtHead) +
              "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
              "<Default Extension=\"xml\" ContentType=\"application/xml\"/><Default Extension=\"vml\" ContentType=\"v\"/>"
              "<Default Extension=\"png\" ContentType=\"image/png\"/>"
              "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
              "<Override PartName=\"/xl/notes/old.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml\"/>"
              "<Override PartName=\"/junk/never-reached.xml\" ContentType=\"j\"/></Types>");
    p.set("_rels/.rels", relationships(relationship("rId1", rel_type("officeDocument"), "xl/workbook.xml")));
    return p;
}

TEST_F(TempDir, PartsTheSaveReplacesOrLeavesUnreachedAreNotCopied) {
    struct Row {
        const char* edit;
        bool note_kept;
    } rows[] = {{"none", true}, {"note deleted with its row", false}};
    for (const Row& row : rows) {
        Workbook wb = load("src.xlsx", notes_source().build());
        if (!row.note_kept) {
            ASSERT_TRUE(wb.sheets[0].delete_rows(1, 1));
        }
        Saved s = save(wb);
        SCOPED_TRACE(row.edit);
        // The old comments part and the notes' drawing are replaced, whatever their names; the
        // picture the drawing showed goes with the last note.
        for (const char* gone : {"xl/notes/old.xml", "xl/drawings/legacy.vml", "xl/drawings/_rels/legacy.vml.rels"})
            EXPECT_FALSE(s.has(gone)) << gone;
        EXPECT_EQ(s.has("xl/comments1.xml"), row.note_kept);
        EXPECT_EQ(s.has("xl/media/image1.png"), row.note_kept);
        size_t holding = 0;
        for (const std::string& name : s.names()) holding += count(s.part(name), "private words");
        EXPECT_EQ(holding, row.note_kept ? 1u : 0u);
        EXPECT_TRUE(s.has("customXml/item1.xml"));
        EXPECT_TRUE(s.has("junk/never-reached.xml"));  // the source held it unreached
        const std::string ct = s.part("[Content_Types].xml");
        EXPECT_EQ(count(ct, "/xl/notes/old.xml"), 0u);
        EXPECT_EQ(count(ct, "/junk/never-reached.xml"), 1u);
    }
}

// A sheet stored in a folder of its own is saved as "xl/worksheets/sheet1.xml" and still reaches
// its drawing; a part that a stray comments relationship names but the workbook reaches too (its
// theme) is not taken for a replaced comments part.
TEST_F(TempDir, PartsStillReachedStayWhereverTheSheetStood) {
    Package p;
    p.set("xl/sheets/main/s.xml", test::worksheet("<sheetData/><drawing r:id=\"rId1\"/>"));
    p.set("xl/sheets/main/_rels/s.xml.rels",
          relationships(relationship("rId1", rel_type("drawing"), "../../drawings/d.xml") +
                        relationship("rId2", rel_type("comments"), "../../theme/theme1.xml")));
    p.set("xl/drawings/d.xml", "<d/>");
    p.set("xl/theme/theme1.xml", "<theme/>");
    p.set("xl/workbook.xml", "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" xmlns:r=\"" +
                                 std::string(test::kOfficeRelsNs) + "\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
    p.set("xl/_rels/workbook.xml.rels", relationships(relationship("rId1", rel_type("worksheet"), "sheets/main/s.xml") +
                                                      relationship("rId2", rel_type("theme"), "theme/theme1.xml")));
    p.set("[Content_Types].xml", std::string(kCtHead) +
                                     "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                                     "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>");
    p.set("_rels/.rels", relationships(relationship("rId1", rel_type("officeDocument"), "xl/workbook.xml")));
    Workbook wb = load("src.xlsx", p.build());
    Saved s = save(wb);
    EXPECT_FALSE(s.has("xl/sheets/main/s.xml"));
    EXPECT_TRUE(s.has("xl/drawings/d.xml"));
    EXPECT_TRUE(s.has("xl/theme/theme1.xml"));
    EXPECT_EQ(count(s.part("xl/worksheets/_rels/sheet1.xml.rels"), "Target=\"/xl/drawings/d.xml\""), 1u);
}

TEST(PackageReach, RelationshipsPartsAndWhatTheyReach) {
    using reader::rels_owner;
    EXPECT_EQ(rels_owner("xl/_rels/workbook.xml.rels"), "xl/workbook.xml");
    EXPECT_EQ(rels_owner("_rels/.rels"), "");
    EXPECT_EQ(rels_owner("xl/drawings/_RELS/a.vml.RELS"), "xl/drawings/a.vml");
    EXPECT_EQ(rels_owner("xl/workbook.xml"), std::nullopt);
    EXPECT_EQ(rels_owner("xl/other/workbook.xml.rels"), std::nullopt);
    EXPECT_EQ(rels_owner("a.rels"), std::nullopt);

    // Root -> workbook -> sheet (relative, "..", absolute and escaped targets; an explicit internal
    // mode is no mode); external targets and relationships parts of parts nothing reaches count for
    // nothing; a cycle ends.
    const std::map<std::string, std::vector<SheetRelEntry>> rels{
        {"_rels/.rels", {{"rId1", "t", "xl/workbook.xml", {}}, {"rId2", "t", "https://x", "External"}}},
        {"xl/_rels/workbook.xml.rels", {{"rId1", "t", "worksheets/sheet1.xml", {}}, {"rId2", "t", "/docProps/a%20b.xml", {}}}},
        {"xl/worksheets/_rels/sheet1.xml.rels",
         {{"rId1", "t", "../drawings/d.xml", {}}, {"rId2", "t", "../workbook.xml", {}}, {"rId3", "t", "e.xml", "Internal"}}},
        {"xl/orphan/_rels/o.xml.rels", {{"rId1", "t", "../media/m.png", {}}}},
    };
    const PartNameSet reached = reader::reachable_parts([&](std::string_view name) -> const std::vector<SheetRelEntry>* {
        const auto it = rels.find(std::string(name));
        return it == rels.end() ? nullptr : &it->second;
    });
    for (const char* part : {"xl/workbook.xml", "xl/worksheets/sheet1.xml", "docProps/a b.xml", "xl/drawings/d.xml", "xl/worksheets/e.xml"})
        EXPECT_TRUE(reached.contains(part)) << part;
    for (const char* part : {"xl/orphan/o.xml", "xl/media/m.png", "https://x", ""}) EXPECT_FALSE(reached.contains(part)) << part;
}

TEST_F(TempDir, SourceGoneFails) {
    Package p;
    p.sheet("S", "<sheetData/>");
    Workbook wb = load("src.xlsx", p.build());
    StringOutput out;
    fs::remove(path("src.xlsx"));
    auto gone = writer::write_package(wb, out, wb.source_path);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().kind, ErrorKind::Io);
}

TEST_F(TempDir, SavingOverTheSourceReadsItFirst) {
    Workbook wb = load("src.xlsx", rich_source().build());
    ASSERT_TRUE(writer::write_xlsx(wb, path("src.xlsx")));
    auto again = reader::open_workbook(path("src.xlsx"));
    ASSERT_TRUE(again) << again.error().display();
    auto archive = zip::ArchiveReader::open(path("src.xlsx"));
    ASSERT_TRUE(archive);
    EXPECT_NE(archive->find("docProps/core.xml"), nullptr);
    EXPECT_NE(archive->find("xl/theme/theme1.xml"), nullptr);
}

TEST_F(TempDir, SourceEntriesSpellingARegeneratedPartDifferentlyAreNotCopied) {
    Package p;
    p.sheet("S", "<sheetData/>");
    p.set("[Content_Types].xml", std::string(kCtHead) + "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                                                        "<Override PartName=\"/XL/Styles.xml\" ContentType=\"s\"/></Types>");
    p.remove("xl/styles.xml").set("XL/Styles.xml", test::default_styles());
    p.remove("xl/worksheets/sheet1.xml").set("xl/worksheets/Sheet1.xml", test::worksheet("<sheetData/>"));
    for (const char* name : {"xl/%73haredStrings.xml", "xl/Comments1.xml", "xl/drawings/VmlDrawing1.vml"})
        p.set(name, "<old/>");
    // The sheet's table, named by its relationship, is the part the save writes as table 1.
    p.set("xl/worksheets/_rels/sheet%31.xml.rels", relationships(relationship("rId1", rel_type("table"), "../tables/table1.xml")));
    p.set("Xl/Tables/table1.xml", "<table id=\"1\" displayName=\"T\" ref=\"A1:A2\"/>");
    p.set("docProps/app.xml", "<app/>");
    Workbook wb = load("src.xlsx", p.build());
    wb.sheets[0].set_cell("A1", std::string("t"));
    wb.sheets[0].set_cell_comment("B2", Comment{"note", "me"});
    Saved s = save(wb);
    EXPECT_EQ(s.names(), (std::vector<std::string>{"[Content_Types].xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                                                   "xl/styles.xml", "xl/sharedStrings.xml", "xl/worksheets/sheet1.xml",
                                                   "xl/comments1.xml", "xl/drawings/vmlDrawing1.vml", "xl/tables/table1.xml",
                                                   "xl/worksheets/_rels/sheet1.xml.rels", "docProps/app.xml"}));
    // The source's declaration of the styles still stands for the regenerated part.
    const std::string ct = s.part("[Content_Types].xml");
    EXPECT_EQ(count(ct, "tyles.xml"), 1u);
}

TEST_F(TempDir, SourceEntriesNamingOnePartTwiceFailTheSaveCleanly) {
    Package p;
    p.sheet("S", "<sheetData/>");
    p.set("[Content_Types].xml", std::string(kCtHead) + "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>");
    p.set("docProps/app.xml", "<app/>");
    p.set("docProps/App.xml", "<app/>");
    Workbook wb = load("src.xlsx", p.build());
    StringOutput out;
    auto r = writer::write_package(wb, out, wb.source_path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Zip);
    EXPECT_EQ(r.error().message, "duplicate entry name docProps/app.xml");

    test::write_file(path("dest.xlsx"), "old");
    ASSERT_FALSE(writer::write_xlsx(wb, path("dest.xlsx")));
    std::ifstream in(path("dest.xlsx"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"dest.xlsx", "src.xlsx"}));
}

TEST(WriteXlsx, DuplicateTableNamesAcrossSheetsAreRefusedBeforeAnyFileIsTouched) {
    Workbook wb = Workbook::make_new();
    wb.sheets.emplace_back("Two");
    wb.sheets[0].set_cell("A1", std::string("a"));
    wb.sheets[1].set_cell("A1", std::string("b"));
    ASSERT_TRUE(wb.sheets[0].add_table(Table::make("Sales", "A1:A2")));
    ASSERT_TRUE(wb.sheets[1].add_table(Table::make("SALES", "A1:A2")));
    auto r = writer::write_xlsx(wb, "/nonexistent-dir/out.xlsx");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::DuplicateTableName);
    EXPECT_EQ(r.error().message, "SALES");
}

}  // namespace
